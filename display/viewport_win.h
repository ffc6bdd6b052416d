// The main window's view of the frame: showing each decoded frame, fitting the window to
// it, the scroll bars and offsets, and painting. Everything here runs on the window
// thread, so the offsets that mouse positions are packed with never change under it.
#pragma once

#include <windows.h>

#include <cstdint>

struct ViewState {
    int32_t scrollX = 0;  // frame column at the client's left edge
    int32_t scrollY = 0;  // frame row at the client's top edge
    SCROLLINFO hScroll = {};  // always sent whole; nPos mirrors scrollX
    SCROLLINFO vScroll = {};
    int32_t maxWindowWidth = 0;  // the size cap while viewActive is set
    int32_t maxWindowHeight = 0;
};

// Sent by the receiver thread, so it waits until the step is done. wParam is one of the
// steps below.
constexpr UINT WM_VIEWFRAME = WM_APP + 1;
enum ViewFrameStep : WPARAM {
    kShowDecodedFrame = 0,  // show frameImage.next, fitting the window on the first or a new size
    kFramesEnded = 1,       // the stream is over: the bitmaps go, the view turns white
};

// Handles WM_PAINT, WM_SIZE, WM_HSCROLL, WM_VSCROLL, WM_MOUSEWHEEL, WM_GETMINMAXINFO and
// WM_VIEWFRAME for the main window; false for any other message. The window procedure
// passes each of them on to DefWindowProcW all the same.
bool dispatchViewMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Sizes the main window to show a frame of that size whole, within the work area.
void fitWindowToFrame(int32_t width, int32_t height);

// Paints a client area of that size from the shown frame at the offsets; what lies
// beyond the frame is filled with the background brush.
void paintFrame(HDC dc, int32_t clientWidth, int32_t clientHeight, HBRUSH background);
