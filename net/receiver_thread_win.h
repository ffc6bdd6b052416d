// The thread that runs the frame channel for the whole connection: it connects the
// input channel, requests and receives frames in lock-step, has each one decoded and
// shown, and cleans up when the channel ends.
#pragma once

#include <windows.h>

DWORD WINAPI ReceiverThread(LPVOID);

// At program end: wakes the thread out of its waits and waits for it to finish, while
// still answering the messages it sends to this (the window's) thread. Gives up after
// `timeoutMs` when the thread is held elsewhere, e.g. by one of its message boxes, and
// returns false: the process must then end without its global objects' destructors,
// which would free what the thread still uses.
bool stopReceiverThread(HANDLE thread, DWORD timeoutMs);
