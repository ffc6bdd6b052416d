#include "winhost/screen_capture_win.h"

namespace {

std::string failure(const char* what)
{
    return std::string(what) + " failed: error " + std::to_string(GetLastError());
}

}  // namespace

ScreenCapture::~ScreenCapture()
{
    dropBuffers();
}

void ScreenCapture::dropBuffers()
{
    for (Buffer& buffer : buffers_) {
        if (buffer.dc) {
            SelectObject(buffer.dc, buffer.original);
            DeleteDC(buffer.dc);
        }
        if (buffer.bitmap)
            DeleteObject(buffer.bitmap);
        buffer = Buffer();
    }
    havePrevious_ = false;
    width_ = height_ = 0;
    ++generation_;
}

bool ScreenCapture::makeBuffers(int width, int height, std::string& error)
{
    dropBuffers();
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down: row 0 first, as TurboJPEG reads it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    for (Buffer& buffer : buffers_) {
        void* bits = nullptr;
        buffer.bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        buffer.dc = buffer.bitmap ? CreateCompatibleDC(nullptr) : nullptr;
        if (!buffer.dc) {
            error = failure(buffer.bitmap ? "CreateCompatibleDC" : "CreateDIBSection");
            dropBuffers();
            return false;
        }
        buffer.original = SelectObject(buffer.dc, buffer.bitmap);
        buffer.bits = static_cast<uint8_t*>(bits);
    }
    width_ = width;
    height_ = height;
    return true;
}

bool ScreenCapture::capture(ScreenFrame& out, std::string& error)
{
    // The virtual desktop, or the monitor, where it is now; both may start below 0.
    PixelRect area;
    gone_ = !area_.now(area, error);
    if (gone_)
        return false;
    int width = area.width, height = area.height;
    if ((width != width_ || height != height_) && !makeBuffers(width, height, error))
        return false;
    Buffer& target = buffers_[next_];
    HDC screen = GetDC(nullptr);
    if (!screen) {
        error = failure("GetDC");
        return false;
    }
    // CAPTUREBLT: layered windows too, as the user sees them.
    BOOL copied = BitBlt(target.dc, 0, 0, width, height, screen, area.x, area.y, SRCCOPY | CAPTUREBLT);
    DWORD copyError = GetLastError();
    ReleaseDC(nullptr, screen);
    if (!copied) {
        // Access denied while another desktop (the lock screen, a UAC prompt) has the input.
        error = "BitBlt from the screen failed: error " + std::to_string(copyError);
        return false;
    }
    drawPointer(target.dc, area);
    GdiFlush();  // the DIB's bytes are complete only once GDI has run what it queued
    out.pixels = target.bits;
    out.previous = havePrevious_ ? buffers_[1 - next_].bits : nullptr;
    out.width = width;
    out.height = height;
    out.pitch = width * 4;
    havePrevious_ = true;
    next_ = 1 - next_;
    return true;
}

void ScreenCapture::drawPointer(HDC dc, const PixelRect& area)
{
    CURSORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info) || !(info.flags & CURSOR_SHOWING) || !info.hCursor)
        return;
    // Asked every time: a pointer handle that was destroyed may come back as another pointer.
    ICONINFO icon = {};
    if (!GetIconInfo(info.hCursor, &icon))
        return;
    if (icon.hbmMask)
        DeleteObject(icon.hbmMask);
    if (icon.hbmColor)
        DeleteObject(icon.hbmColor);
    int x = info.ptScreenPos.x - int(icon.xHotspot) - area.x, y = info.ptScreenPos.y - int(icon.yHotspot) - area.y;
    DrawIconEx(dc, x, y, info.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
}
