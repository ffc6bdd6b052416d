#include "net/receiver_thread_win.h"

#include "app/globals.h"
#include "app/message_box.h"
#include "display/viewport_win.h"
#include "net/frame_channel_win.h"

namespace {

// The sender never waits on the network, so it answers a stop at once.
constexpr DWORD kSenderStopMs = 1000;

bool stopping()
{
    return WaitForSingleObject(frameChannel.stopEvent, 0) == WAIT_OBJECT_0;
}

// Whether the next frame has been asked for already.
bool receiveHeader(const ExtensionUptake& uptake)
{
    // Only a whole header is answered: anything else waits for more, or ends.
    if (readFrameHeader(frameChannel) != HeaderRead::Complete)
        return false;
    if (!uptake.version) {
        sendControl(MSG_SEND_BODY);
        return false;
    }
    // With the extension the body is on its way already: asking for the next frame now lets
    // the host take the next change while this one crosses the link and is drawn.
    sendBodyAndNextRequest(uptake.second(), uptake.third());
    return true;
}

void receiveBody(ExtensionUptake& uptake, bool asked)
{
    frameChannel.eager = uptake.version != 0;
    int32_t received = readFrameBody(frameChannel);
    if (stopping())
        return;
    // A body cut off before its first byte has nothing to show. The window thread shows
    // the frame while this one waits, so a plain request leaves once it is on screen.
    if (received > 0) {
        FrameExtension extension;
        DecodeResult result = decodeFrame(frameImage, frameChannel.frameBuffer, received, uptake.version, &extension);
        if (result == DecodeResult::BadRecord) {
            refuseFrame(frameChannel, extension.problem.c_str());
            return;
        }
        if (result == DecodeResult::Decoded) {
            uptake.frameDecoded(extension.records);
            SendMessageW(mainWindow, WM_VIEWFRAME, kShowDecodedFrame, 0);
        }
    }
    if (!asked)
        sendControl(MSG_NEXT_FRAME, uptake.second(), uptake.third());
    frameChannel.totalReceived = 0;
}

void runFrameLoop()
{
    ExtensionUptake uptake;  // this connection's: the server's offer holds for it alone
    bool asked = false;
    bool ended = waitForRead(frameChannel);
    while (!ended) {
        if (!frameChannel.bodyPhase)
            asked = receiveHeader(uptake);
        else
            receiveBody(uptake, asked);
        ended = stopping() || waitForRead(frameChannel);
    }
    viewActive = false;
    connectionOpen = false;
}

}  // namespace

DWORD WINAPI ReceiverThread(LPVOID)
{
    // Where the frames come from, not a second look-up that may name another host.
    if (!connectToAddress(inputChannel, mainWindow, frameChannel.address.sin_addr, kInputPort) && !stopping()) {
        if (startInputSender() ||
            WSAEventSelect(frameChannel.sock, frameChannel.netEvent, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR)
            showMessage(nullptr, L"event_error");
        else
            runFrameLoop();
    }
    stopInputSender(kSenderStopMs);
    WSACloseEvent(frameChannel.netEvent);
    frameChannel.netEvent = WSA_INVALID_EVENT;
    closeSocket(frameChannel);
    closeSocket(inputChannel);
    // A window already gone leaves the bitmaps to the exit.
    SendMessageW(mainWindow, WM_VIEWFRAME, kFramesEnded, 0);
    return 0;
}

bool stopReceiverThread(HANDLE thread, DWORD timeoutMs)
{
    if (!thread)
        return true;
    // Before the globals go, also when the receiver is held in one of its message boxes.
    stopInputSender(kSenderStopMs);
    SetEvent(frameChannel.stopEvent);
    // A connect still under way on the input channel gives up when its socket closes.
    closeSocket(inputChannel);
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs)
            return false;
        DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - spent, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0)
            return true;
        if (woken != WAIT_OBJECT_0 + 1)
            return false;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // answers sent messages
    }
}
