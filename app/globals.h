// The process-wide objects, all in one place. Built before wWinMain in the order of
// globals.cpp and released after it in reverse. Beside each: the thread that writes it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "connect/host_history.h"
#include "display/frame_image_win.h"
#include "display/viewport_win.h"
#include "input/input_sender_win.h"
#include "net/net_connection_win.h"

constexpr int kDestinationUnits = 128;  // UTF-16 units with the terminator

extern HostHistory hostHistory;  // window thread: loaded at creation, updated on connect
extern HostEntry currentHost;    // window thread: the destination being connected
extern std::wstring iniPath;     // window thread: client.ini in the current directory
// Window thread (the connect dialog): the destination as the user typed it.
extern wchar_t destinationText[kDestinationUnits];

extern NetConnection frameChannel;  // port 54321; the receiver thread once it runs
extern NetConnection inputChannel;  // port 54322; connected and closed by the receiver thread
extern InputSender inputSender;  // window thread queues; the sender thread sends
// Receiver thread decodes into `next`; the window thread owns the rest.
extern FrameImage frameImage;
extern ViewState viewState;  // window thread: scroll offsets, scroll bars and the fit's size cap

// Window thread (the key scan and the dialog): the down state last reported per key.
extern uint8_t keyStateCache[256];

extern HWND mainWindow;               // window thread, at creation
extern HCURSOR linkCursor;            // window thread, at start: the About link's hand
extern HANDLE receiverThreadHandle;   // window thread, from the connect until exit

// Window thread sets it once a frame is fitted; the receiver thread clears it at the
// end. Frames shown and input forwarded.
extern std::atomic<bool> viewActive;
// Window thread (the dialog) sets it; the receiver thread clears it at the end.
extern std::atomic<bool> connectionOpen;
