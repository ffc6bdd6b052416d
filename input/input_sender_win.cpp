#include "input/input_sender_win.h"

#include "app/globals.h"
#include "app/message_box.h"

namespace {

// Kept small so that a server that stops reading shows in our own queue within a few
// hundred keys, where the bound and the stall clock see it, instead of megabytes
// vanishing into the system's buffer first.
constexpr int kSocketSendBuffer = 8 * 1024;

constexpr wchar_t kStalledText[] = L"入力の送信が止まりました(*_*)\r\nサーバーが入力を受け取っていません。";

struct SocketSink final : ByteSink {
    int take(const uint8_t* data, size_t length) override
    {
        int sent = sendOn(inputChannel, data, int(length));
        if (sent != SOCKET_ERROR)
            return sent;
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
};

struct Locked {
    Locked() { EnterCriticalSection(&inputSender.lock); }
    ~Locked() { LeaveCriticalSection(&inputSender.lock); }
};

// True when the server closed the channel or the event could not be read.
bool channelClosed()
{
    WSANETWORKEVENTS events = {};
    if (WSAEnumNetworkEvents(inputChannel.sock, inputChannel.netEvent, &events) == SOCKET_ERROR)
        return true;
    return (events.lNetworkEvents & FD_CLOSE) != 0;
}

// Under the lock. True when the channel must end; `why` is then the user's message, or
// null for a channel that failed or was stopped (every send would fail, as before).
bool sendWaiting(bool stopping, bool closed, const wchar_t*& why)
{
    SocketSink sink;
    uint32_t now = GetTickCount();
    Drained outcome = closed ? Drained::Failed : inputSender.queue.drain(sink, now);
    why = nullptr;
    if (stopping || outcome == Drained::Failed)
        return true;
    if (inputSender.overflowed || inputSender.queue.stalled(now)) {
        why = kStalledText;
        return true;
    }
    return false;
}

DWORD WINAPI InputSenderThread(LPVOID)
{
    HANDLE waits[] = {inputChannel.stopEvent, inputSender.wake, inputChannel.netEvent};
    const wchar_t* why = nullptr;
    for (;;) {
        DWORD timeout;
        {
            Locked hold;
            uint32_t due = inputSender.queue.msUntilStall(GetTickCount());
            timeout = due == kNoDeadline ? INFINITE : due;
        }
        DWORD woken = WaitForMultipleObjects(3, waits, FALSE, timeout);
        bool stopping = woken == WAIT_OBJECT_0 || woken == WAIT_FAILED;
        bool closed = woken == WAIT_OBJECT_0 + 2 && channelClosed();
        Locked hold;
        if (sendWaiting(stopping, closed, why)) {
            inputSender.running = false;
            inputSender.queue.clear();
            break;
        }
    }
    if (why)
        closeSocket(inputChannel);  // the server sees the end; frames go on
    // The box below may stay open until the program ends; nothing shared is touched after.
    SetEvent(inputSender.idle);
    if (why)
        showMessage(nullptr, why);
    return 0;
}

}  // namespace

InputSender::InputSender()
{
    InitializeCriticalSection(&lock);
    wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

// The lock and the events stay: at exit a sender may still be about to use them.
InputSender::~InputSender() = default;

bool startInputSender()
{
    int size = kSocketSendBuffer;
    setsockopt(inputChannel.sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    if (WSAEventSelect(inputChannel.sock, inputChannel.netEvent, FD_WRITE | FD_CLOSE) == SOCKET_ERROR)
        return true;
    {
        Locked hold;
        inputSender.queue.clear();
        inputSender.overflowed = false;
        inputSender.running = true;
    }
    ResetEvent(inputSender.idle);
    HANDLE thread = CreateThread(nullptr, 0, InputSenderThread, nullptr, 0, nullptr);
    if (!thread) {
        Locked hold;
        inputSender.running = false;
        SetEvent(inputSender.idle);
        return true;
    }
    CloseHandle(thread);  // it is waited for through `idle`
    return false;
}

void stopInputSender(DWORD timeoutMs)
{
    SetEvent(inputChannel.stopEvent);
    WaitForSingleObject(inputSender.idle, timeoutMs);
}

void queueInput(const void* bytes, int length)
{
    {
        Locked hold;
        if (!inputSender.running)
            return;
        if (!inputSender.queue.push(static_cast<const uint8_t*>(bytes), size_t(length), GetTickCount()))
            inputSender.overflowed = true;
    }
    SetEvent(inputSender.wake);
}
