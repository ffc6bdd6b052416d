// The process-wide objects, built before WinMain in the order of globals.cpp and
// released after it in reverse.
#pragma once

#include <windows.h>

#include <atomic>

#include "connect/host_history.h"
#include "display/frame_image.h"
#include "net/net_connection.h"

extern HostHistory hostHistory;  // loaded from client.ini at window creation
extern HostEntry currentHost;    // the destination being connected

extern NetConnection frameChannel;  // port 54321: frames, requested in lock-step
extern NetConnection inputChannel;  // port 54322: input messages, send only
extern FrameImage frameImage;

extern HWND mainWindow;

// Written by one thread, read by the other: frames shown and input forwarded, and the
// frame channel connected by the dialog.
extern std::atomic<bool> viewActive;
extern std::atomic<bool> connectionOpen;
