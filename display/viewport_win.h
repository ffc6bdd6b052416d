// The main window's view of the frame: fitting the window to the first frame, the
// scroll bars and offsets, and painting. Message handlers for the main window procedure;
// each is followed there by DefWindowProcW.
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

// Sizes the main window to show a frame of that size whole, within the work area. Runs
// on the receiver thread; the window's own thread carries out the resizes meanwhile.
void fitWindowToFrame(int32_t width, int32_t height);

// Moves the view by up to (dx, dy) frame pixels, shifting what is on screen and painting
// only the strip that comes into view.
void scrollViewBy(int32_t dx, int32_t dy);

// Paints a client area of that size from the frame image at the offsets; what lies
// beyond the frame is filled with the background brush.
void paintFrame(HDC dc, int32_t clientWidth, int32_t clientHeight, HBRUSH background);

void onViewSize(HWND window);
void onViewHScroll(WPARAM wParam);
void onViewVScroll(WPARAM wParam);
void onViewMouseWheel(WPARAM wParam);
void onViewGetMinMaxInfo(LPARAM lParam);
void onViewPaint(HWND window);
