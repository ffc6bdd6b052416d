#include "host/x_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>

namespace {

int g_xErrors = 0;

int countError(Display*, XErrorEvent*)
{
    ++g_xErrors;
    return 0;
}

// The TurboJPEG layout of a 32-bit ZPixmap, or -1 when it is none TurboJPEG reads as it is.
int pixelFormatOf(const XImage& image)
{
    if (image.bits_per_pixel != 32)
        return -1;
    bool lsb = image.byte_order == LSBFirst;
    if (image.red_mask == 0xFF0000 && image.green_mask == 0xFF00 && image.blue_mask == 0xFF)
        return lsb ? TJPF_BGRX : TJPF_XRGB;
    if (image.red_mask == 0xFF && image.green_mask == 0xFF00 && image.blue_mask == 0xFF0000)
        return lsb ? TJPF_RGBX : TJPF_XBGR;
    return -1;
}

}  // namespace

XDisplay::~XDisplay()
{
    if (display_) {
        dropImage();
        XCloseDisplay(display_);
    }
    delete static_cast<XShmSegmentInfo*>(shmInfo_);
}

bool XDisplay::open(const std::string& name, bool allowShm, std::string& error)
{
    display_ = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display_) {
        error = "cannot open display '" + std::string(name.empty() ? "(DISPLAY unset)" : name) + "'";
        return false;
    }
    XSetErrorHandler(countError);
    root_ = DefaultRootWindow(display_);
    int event = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display_, &event, &errorBase, &major, &minor)) {
        error = "the X server has no XTEST extension: input cannot be forwarded";
        return false;
    }
    cursorImages_ = XFixesQueryExtension(display_, &event, &errorBase);
    allowShm_ = allowShm;
    shmInfo_ = new XShmSegmentInfo{};
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, root_, &attributes);
    return makeImage(attributes.width, attributes.height, error);
}

bool XDisplay::makeImage(int width, int height, std::string& error)
{
    dropImage();
    Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
    int depth = DefaultDepth(display_, DefaultScreen(display_));
    auto* info = static_cast<XShmSegmentInfo*>(shmInfo_);
    shm_ = false;
    if (allowShm_ && XShmQueryExtension(display_)) {
        image_ = XShmCreateImage(display_, visual, unsigned(depth), ZPixmap, nullptr, info, unsigned(width),
                                 unsigned(height));
        if (image_) {
            shmId_ = shmget(IPC_PRIVATE, size_t(image_->bytes_per_line) * size_t(height), IPC_CREAT | 0600);
            void* memory = shmId_ >= 0 ? shmat(shmId_, nullptr, 0) : reinterpret_cast<void*>(-1);
            if (memory != reinterpret_cast<void*>(-1)) {
                info->shmid = shmId_;
                info->shmaddr = image_->data = static_cast<char*>(memory);
                info->readOnly = False;
                g_xErrors = 0;
                XShmAttach(display_, info);
                XSync(display_, False);
                // Gone from the system once both sides detach, even if this process dies.
                shmctl(shmId_, IPC_RMID, nullptr);
                shm_ = g_xErrors == 0;  // a server on another machine cannot attach
            }
            if (!shm_)
                dropImage();
        }
    }
    if (!shm_) {
        // A plain image to learn the layout; XGetImage brings a fresh one each frame.
        image_ = XGetImage(display_, root_, 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
        if (!image_) {
            error = "cannot read the screen";
            return false;
        }
    }
    pixelFormat_ = pixelFormatOf(*image_);
    if (pixelFormat_ < 0) {
        error = "unsupported pixel layout: depth " + std::to_string(depth) + ", " +
                std::to_string(image_->bits_per_pixel) + " bits a pixel";
        return false;
    }
    return true;
}

void XDisplay::dropImage()
{
    if (!image_)
        return;
    if (shm_) {
        auto* info = static_cast<XShmSegmentInfo*>(shmInfo_);
        XShmDetach(display_, info);
        XSync(display_, False);
        XDestroyImage(image_);  // frees the XImage record; data is the segment
        shmdt(info->shmaddr);
    } else if (shmId_ >= 0 && image_->data) {
        shmdt(image_->data);
        image_->data = nullptr;
        XDestroyImage(image_);
    } else {
        XDestroyImage(image_);
    }
    image_ = nullptr;
    shmId_ = -1;
    shm_ = false;
}

bool XDisplay::capture(ScreenPicture& out, std::string& error)
{
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    XGetGeometry(display_, root_, &root, &x, &y, &width, &height, &border, &depth);
    if (int(width) != image_->width || int(height) != image_->height) {
        if (!makeImage(int(width), int(height), error))
            return false;
    }
    if (shm_) {
        if (!XShmGetImage(display_, root_, image_, 0, 0, AllPlanes)) {
            error = "XShmGetImage failed";
            return false;
        }
    } else {
        XImage* fresh = XGetImage(display_, root_, 0, 0, width, height, AllPlanes, ZPixmap);
        if (!fresh) {
            error = "XGetImage failed";
            return false;
        }
        XDestroyImage(image_);
        image_ = fresh;
    }
    out.pixels = reinterpret_cast<uint8_t*>(image_->data);
    out.width = image_->width;
    out.height = image_->height;
    out.pitch = image_->bytes_per_line;
    out.pixelFormat = pixelFormat_;
    drawPointer(out);
    return true;
}

void XDisplay::drawPointer(const ScreenPicture& picture)
{
    if (!cursorImages_)
        return;
    XFixesCursorImage* cursor = XFixesGetCursorImage(display_);
    if (!cursor)
        return;
    // The red byte's place in a pixel; the others follow from it.
    int redAt = tjRedOffset[picture.pixelFormat], greenAt = tjGreenOffset[picture.pixelFormat],
        blueAt = tjBlueOffset[picture.pixelFormat];
    int left = cursor->x - cursor->xhot, top = cursor->y - cursor->yhot;
    for (int row = std::max(0, -top); row < cursor->height && top + row < picture.height; ++row) {
        uint8_t* line = picture.pixels + size_t(top + row) * size_t(picture.pitch);
        for (int column = std::max(0, -left); column < cursor->width && left + column < picture.width; ++column) {
            // Premultiplied ARGB in the low 32 bits of an unsigned long, whatever its width.
            uint32_t argb = uint32_t(cursor->pixels[size_t(row) * cursor->width + size_t(column)]);
            uint32_t alpha = argb >> 24;
            if (alpha == 0)
                continue;
            uint8_t* pixel = line + size_t(left + column) * 4;
            uint32_t keep = 255 - alpha;
            auto over = [keep](uint32_t source, uint8_t& target) {
                target = uint8_t(std::min<uint32_t>(255, source + (target * keep + 127) / 255));
            };
            over((argb >> 16) & 0xFF, pixel[redAt]);
            over((argb >> 8) & 0xFF, pixel[greenAt]);
            over(argb & 0xFF, pixel[blueAt]);
        }
    }
    XFree(cursor);
}

void XDisplay::movePointer(int x, int y)
{
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
}

void XDisplay::button(int button, bool press)
{
    XTestFakeButtonEvent(display_, unsigned(button), press ? True : False, CurrentTime);
}

bool XDisplay::key(uint32_t keysym, bool press)
{
    KeyCode code = XKeysymToKeycode(display_, KeySym(keysym));
    if (code == 0)
        return false;
    XTestFakeKeyEvent(display_, code, press ? True : False, CurrentTime);
    return true;
}

void XDisplay::flush()
{
    XFlush(display_);
}
