#include "display/viewport_win.h"

#include "app/globals.h"
#include "display/view_geometry.h"

namespace {

SIZE clientSize(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return {client.right - client.left, client.bottom - client.top};
}

RECT workArea()
{
    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

void fillScrollInfo(SCROLLINFO& info, int32_t extent, int32_t page, int32_t position)
{
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = extent - 1;
    info.nPage = UINT(page > 0 ? page : 0);
    info.nPos = position;
}

// Moves the view by up to (dx, dy) frame pixels, shifting what is on screen and painting
// only the strip that comes into view.
void scrollViewBy(int32_t dx, int32_t dy)
{
    dx = limitMove(dx, viewState.scrollX, frameImage.extentWidth, int32_t(viewState.hScroll.nPage));
    dy = limitMove(dy, viewState.scrollY, frameImage.extentHeight, int32_t(viewState.vScroll.nPage));
    if (dx == 0 && dy == 0)
        return;
    viewState.scrollX += dx;
    viewState.hScroll.nPos = viewState.scrollX;
    SetScrollInfo(mainWindow, SB_HORZ, &viewState.hScroll, TRUE);
    viewState.scrollY += dy;
    viewState.vScroll.nPos = viewState.scrollY;
    SetScrollInfo(mainWindow, SB_VERT, &viewState.vScroll, TRUE);
    ScrollWindow(mainWindow, -dx, -dy, nullptr, nullptr);
    UpdateWindow(mainWindow);
}

void scrollByRequest(WPARAM wParam, bool horizontal)
{
    int32_t offset = horizontal ? viewState.scrollX : viewState.scrollY;
    int32_t move = scrollBarMove(LOWORD(wParam), HIWORD(wParam), offset);
    if (horizontal)
        scrollViewBy(move, 0);
    else
        scrollViewBy(0, move);
}

void onViewSize(HWND window)
{
    int32_t oldX = viewState.scrollX, oldY = viewState.scrollY;
    SIZE client = clientSize(window);
    viewState.scrollX = clampOffset(viewState.scrollX, frameImage.extentWidth, client.cx);
    viewState.scrollY = clampOffset(viewState.scrollY, frameImage.extentHeight, client.cy);
    fillScrollInfo(viewState.hScroll, frameImage.extentWidth, client.cx, viewState.scrollX);
    SetScrollInfo(window, SB_HORZ, &viewState.hScroll, TRUE);

    // Showing or hiding the horizontal bar changed the client height; the WM_SIZE sent
    // for that has already run through here, but clamp for the height as it is now.
    client = clientSize(window);
    viewState.scrollY = clampOffset(viewState.scrollY, frameImage.extentHeight, client.cy);
    fillScrollInfo(viewState.vScroll, frameImage.extentHeight, client.cy, viewState.scrollY);
    SetScrollInfo(window, SB_VERT, &viewState.vScroll, TRUE);

    // The class has no redraw styles, so a resize keeps the old pixels; when the offsets
    // moved they show the wrong part of the frame.
    if (viewState.scrollX != oldX || viewState.scrollY != oldY)
        InvalidateRect(window, nullptr, FALSE);
}

void onViewMouseWheel(WPARAM wParam)
{
    ViewMove move = wheelMove(GET_WHEEL_DELTA_WPARAM(wParam), GET_KEYSTATE_WPARAM(wParam));
    scrollViewBy(move.dx, move.dy);
}

void onViewGetMinMaxInfo(LPARAM lParam)
{
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    if (!viewActive || !info)
        return;
    info->ptMaxTrackSize.x = viewState.maxWindowWidth;
    info->ptMaxTrackSize.y = viewState.maxWindowHeight;
}

void onViewPaint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SIZE client = clientSize(window);
    auto background = reinterpret_cast<HBRUSH>(GetClassLongPtrW(window, GCLP_HBRBACKGROUND));
    if (!background)
        background = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    paintFrame(dc, client.cx, client.cy, background);
    EndPaint(window, &paint);
}

// Only the areas that changed, when the picture now shown follows the one on screen.
void invalidateChanges(HWND window, uint64_t before)
{
    const FrameAssembly& assembly = frameImage.assembly;
    uint64_t now = frameImage.shown.picture;
    if (before == 0 || now != before + 1 || assembly.newest() != now || assembly.newestWhole()) {
        InvalidateRgn(window, nullptr, FALSE);
        return;
    }
    for (const PixelRect& area : assembly.changed()) {
        RECT rect = {area.x - viewState.scrollX, area.y - viewState.scrollY, area.x + area.width - viewState.scrollX,
                     area.y + area.height - viewState.scrollY};
        InvalidateRect(window, &rect, FALSE);
    }
}

// The receiver thread waits in SendMessage meanwhile, so `next` and the assembly are the
// window thread's too.
void onViewFrame(HWND window, WPARAM step)
{
    if (step == kFramesEnded) {
        releaseFrameImage(frameImage);
        return;
    }
    uint64_t before = frameImage.shown.picture;
    if (!showNextFrame(frameImage))
        return;
    const FrameBitmap& shown = frameImage.shown;
    if (!viewActive || shown.width != frameImage.extentWidth || shown.height != frameImage.extentHeight) {
        // The old size cap must not hold the window back while it is fitted anew.
        viewActive = false;
        frameImage.extentWidth = shown.width;
        frameImage.extentHeight = shown.height;
        fitWindowToFrame(shown.width, shown.height);
        viewActive = true;
        before = 0;  // all of it
    }
    invalidateChanges(window, before);
    UpdateWindow(window);
}

}  // namespace

bool dispatchViewMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        onViewPaint(window);
        return true;
    case WM_SIZE:
        onViewSize(window);
        return true;
    case WM_HSCROLL:
        scrollByRequest(wParam, true);
        return true;
    case WM_VSCROLL:
        scrollByRequest(wParam, false);
        return true;
    case WM_MOUSEWHEEL:
        onViewMouseWheel(wParam);
        return true;
    case WM_GETMINMAXINFO:
        onViewGetMinMaxInfo(lParam);
        return true;
    case WM_VIEWFRAME:
        onViewFrame(window, wParam);
        return true;
    default:
        return false;
    }
}

void fitWindowToFrame(int32_t width, int32_t height)
{
    viewState.scrollX = 0;
    viewState.scrollY = 0;
    RECT area = workArea();
    FirstFit first = firstFit(width, height, GetSystemMetrics(SM_CXFRAME), area.right, area.bottom);
    viewState.maxWindowWidth = first.width;
    SetWindowPos(mainWindow, nullptr, 0, 0, first.width, first.provisionalHeight, SWP_NOMOVE | SWP_NOZORDER);

    RECT windowRect = {};
    GetWindowRect(mainWindow, &windowRect);
    bool barShown = (GetWindowLongW(mainWindow, GWL_STYLE) & WS_HSCROLL) != 0;
    area = workArea();
    viewState.maxWindowHeight = fitHeight(height, windowRect.bottom - windowRect.top, clientSize(mainWindow).cy,
                                          barShown, GetSystemMetrics(SM_CYHSCROLL), area.bottom);
    SetWindowPos(mainWindow, nullptr, 0, 0, viewState.maxWindowWidth, viewState.maxWindowHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
    // A window that kept its size (a frame larger than the screen after another) had no
    // WM_SIZE: the bars would keep the old extent and offsets.
    onViewSize(mainWindow);
}

void paintFrame(HDC dc, int32_t clientWidth, int32_t clientHeight, HBRUSH background)
{
    BlitSize blit = {0, 0};
    const FrameBitmap& shown = frameImage.shown;
    if (shown.bitmap && frameImage.memoryDC) {
        blit = visibleFrame(viewState.scrollX, viewState.scrollY, clientWidth, clientHeight, shown.width,
                            shown.height);
        if (blit.width > 0)
            BitBlt(dc, 0, 0, blit.width, blit.height, frameImage.memoryDC, viewState.scrollX, viewState.scrollY,
                   SRCCOPY);
    }
    // A new frame invalidates without erasing, so a smaller one would leave the last
    // one's pixels beside it.
    RECT right = {blit.width, 0, clientWidth, blit.height};
    RECT below = {0, blit.height, clientWidth, clientHeight};
    if (right.left < right.right && right.top < right.bottom)
        FillRect(dc, &right, background);
    if (below.top < below.bottom && below.left < below.right)
        FillRect(dc, &below, background);
}
