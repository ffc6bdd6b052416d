// The input channel's sender: the window thread queues whole messages and never waits;
// a thread of its own hands them to the non-blocking socket as it takes them, and ends the
// channel, telling the user, when the server stops taking them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "input/input_queue.h"

struct InputSender {
    InputSender();
    ~InputSender();
    InputSender(const InputSender&) = delete;
    InputSender& operator=(const InputSender&) = delete;

    CRITICAL_SECTION lock;  // the fields below; the window thread and the sender take it
    InputQueue queue;
    bool running = false;     // false: messages are dropped, as sends on a closed socket were
    bool overflowed = false;  // a message did not fit: the server has long stopped reading
    HANDLE wake = nullptr;    // auto-reset: something was queued
    // Manual-reset, set while no sender touches the shared state any more.
    HANDLE idle = nullptr;
};

// Once the input channel is connected: makes its socket non-blocking and starts the
// sender. True on failure (nothing shown; the channel is left as it was).
bool startInputSender();
// Hands the socket what it takes at once, then stops the sender. Waits at most
// `timeoutMs`; safe to call more than once, and before any start.
void stopInputSender(DWORD timeoutMs);
// Window thread: queues one whole message, or drops it when the channel is not running.
void queueInput(const void* bytes, int length);
