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

// A decoded frame whose size is not the view's: the first one, or a server that
// changed its screen size. The view follows it.
void fitViewTo(int32_t width, int32_t height)
{
    // The old size cap must not hold the window back while it is fitted anew.
    viewActive = false;
    frameImage.extentWidth = width;
    frameImage.extentHeight = height;
    fitWindowToFrame(width, height);
    viewActive = true;
}

void receiveBody()
{
    int32_t received = readFrameBody(frameChannel);
    if (stopping())
        return;
    // A body cut off before its first byte has nothing to show.
    if (received > 0 && decodeFrame(frameImage, frameChannel.frameBuffer, received)) {
        if (!viewActive || frameImage.width != frameImage.extentWidth ||
            frameImage.height != frameImage.extentHeight)
            fitViewTo(frameImage.width, frameImage.height);
    }
    sendControl(MSG_NEXT_FRAME);
    frameChannel.totalReceived = 0;
}

void runFrameLoop()
{
    bool ended = waitForRead(frameChannel);
    while (!ended) {
        if (!frameChannel.bodyPhase) {
            // Only a whole header is answered: anything else waits for more, or ends.
            if (readFrameHeader(frameChannel) == HeaderRead::Complete)
                sendControl(MSG_SEND_BODY);
        } else {
            receiveBody();
        }
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
    releaseFrameImage(frameImage);
    return 0;
}

void stopReceiverThread(HANDLE thread, DWORD timeoutMs)
{
    if (!thread)
        return;
    // Before the globals go, also when the receiver is held in one of its message boxes.
    stopInputSender(kSenderStopMs);
    SetEvent(frameChannel.stopEvent);
    // A connect still under way on the input channel gives up when its socket closes.
    closeSocket(inputChannel);
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs)
            return;
        DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - spent, QS_SENDMESSAGE);
        if (woken != WAIT_OBJECT_0 + 1)
            return;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // answers sent messages
    }
}
