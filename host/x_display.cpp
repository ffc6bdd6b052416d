#include "host/x_display.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <turbojpeg.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

// A shared-memory image of that size, attached on both sides; null when that fails (a
// server on another machine cannot attach).
XImage* makeShmImage(Display* display, XShmSegmentInfo& info, int width, int height)
{
    int screen = DefaultScreen(display);
    XImage* image = XShmCreateImage(display, DefaultVisual(display, screen), unsigned(DefaultDepth(display, screen)),
                                    ZPixmap, nullptr, &info, unsigned(width), unsigned(height));
    if (!image)
        return nullptr;
    info.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * size_t(height), IPC_CREAT | 0600);
    info.shmaddr = info.shmid >= 0 ? static_cast<char*>(shmat(info.shmid, nullptr, 0)) : reinterpret_cast<char*>(-1);
    if (info.shmaddr == reinterpret_cast<char*>(-1)) {
        if (info.shmid >= 0)
            shmctl(info.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        return nullptr;
    }
    image->data = info.shmaddr;
    info.readOnly = False;
    g_xErrors = 0;
    XShmAttach(display, &info);
    XSync(display, False);
    // Gone from the system once both sides detach, even if this process dies.
    shmctl(info.shmid, IPC_RMID, nullptr);
    if (g_xErrors == 0)
        return image;
    shmdt(info.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    return nullptr;
}

void dropShmImage(Display* display, XShmSegmentInfo& info, XImage*& image)
{
    if (!image)
        return;
    XShmDetach(display, &info);
    XSync(display, False);
    shmdt(info.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    image = nullptr;
}

}  // namespace

XDisplay::~XDisplay()
{
    if (display_) {
        dropImages();
        XCloseDisplay(display_);
    }
    delete static_cast<XShmSegmentInfo*>(frameShm_);
    delete static_cast<XShmSegmentInfo*>(scratchShm_);
}

bool XDisplay::open(const std::string& name, bool allowShm, bool allowDamage, std::string& error)
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
    cursorImages_ = XFixesQueryExtension(display_, &fixesEvent_, &errorBase);
    if (allowDamage && cursorImages_ && XDamageQueryExtension(display_, &damageEvent_, &errorBase)) {
        damage_ = XDamageCreate(display_, root_, XDamageReportNonEmpty);
        region_ = XFixesCreateRegion(display_, nullptr, 0);
        XFixesSelectCursorInput(display_, root_, XFixesDisplayCursorNotifyMask);
        watchPointer();
    }
    allowShm_ = allowShm && XShmQueryExtension(display_);
    frameShm_ = new XShmSegmentInfo{};
    scratchShm_ = new XShmSegmentInfo{};
    readKeyNames();
    int width = 0, height = 0;
    querySize(width, height);
    shared_ = {0, 0, width, height};
    return makeImages(width, height, error);
}

std::vector<MonitorInfo> XDisplay::monitors()
{
    std::vector<MonitorInfo> out;
    int event = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display_, &event, &errorBase) || !XRRQueryVersion(display_, &major, &minor) ||
        (major == 1 && minor < 5))
        return out;
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(display_, root_, True, &count);
    for (int i = 0; i < count; ++i) {
        char* name = XGetAtomName(display_, list[i].name);
        out.push_back({name ? name : "", {list[i].x, list[i].y, list[i].width, list[i].height}, list[i].primary != 0});
        if (name)
            XFree(name);
    }
    if (list)
        XRRFreeMonitors(list);
    orderMonitors(out);
    return out;
}

bool XDisplay::shareMonitor(const MonitorInfo& monitor, std::string& error)
{
    monitorName_ = XInternAtom(display_, monitor.name.c_str(), True);
    monitorLabel_ = monitor.name;
    // A monitor unplugged or moved says so at once; one that xrandr --setmonitor or
    // --delmonitor changed is seen at the next capture.
    int errorBase = 0;
    if (monitorName_ != None && XRRQueryExtension(display_, &randrEvent_, &errorBase))
        XRRSelectInput(display_, root_, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    Area area;
    if (monitorName_ == None)
        error = "monitor " + monitor.name + " has no name on this display";
    if (monitorName_ == None || !queryShared(area, error))
        return false;
    shared_ = area;
    return makeImages(area.width, area.height, error);
}

// Raw motion comes for every pointer movement, XTest's included, so an idle host needs no
// timer to notice the pointer.
void XDisplay::watchPointer()
{
    int event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(display_, "XInputExtension", &inputOpcode_, &event, &error) ||
        XIQueryVersion(display_, &major, &minor) != Success)
        return;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    g_xErrors = 0;
    XISelectEvents(display_, root_, &mask, 1);
    XSync(display_, False);
    rawMotion_ = g_xErrors == 0;
}

ChangeWatch XDisplay::changeWatch() const
{
    // Events read into Xlib's queue by an earlier call leave the connection quiet.
    if (XEventsQueued(display_, QueuedAlready) > 0)
        return {ConnectionNumber(display_), 0};
    return {ConnectionNumber(display_), rawMotion_ ? -1 : kPointerPollMs};
}

bool XDisplay::changedSinceCapture()
{
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        bool generic = event.type == GenericEvent && event.xcookie.extension == inputOpcode_;
        bool layout = randrEvent_ >= 0 &&
                      (event.type == randrEvent_ + RRScreenChangeNotify || event.type == randrEvent_ + RRNotify);
        if (generic || layout || event.type == damageEvent_ + XDamageNotify ||
            event.type == fixesEvent_ + XFixesCursorNotify)
            news_ = true;
    }
    if (!news_ && !rawMotion_) {
        Window root, child;
        int x = 0, y = 0, windowX, windowY;
        unsigned mask;
        XQueryPointer(display_, root_, &root, &child, &x, &y, &windowX, &windowY, &mask);
        news_ = x != pointerX_ || y != pointerY_;
    }
    return news_;
}

std::string XDisplay::captureMethod() const
{
    return std::string(shm_ ? "shm" : "getimage") + (damage_ ? "+damage" : "") + (rawMotion_ ? "+motion" : "");
}

void XDisplay::querySize(int& width, int& height)
{
    Window root;
    int x, y;
    unsigned w = 0, h = 0, border, depth;
    XGetGeometry(display_, root_, &root, &x, &y, &w, &h, &border, &depth);
    width = int(w);
    height = int(h);
}

bool XDisplay::queryShared(Area& area, std::string& error)
{
    int width = 0, height = 0;
    querySize(width, height);
    if (monitorName_ == 0) {
        area = {0, 0, width, height};
        return true;
    }
    // One round trip, as for the size: --setmonitor and --delmonitor send no event.
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(display_, root_, True, &count);
    PixelRect monitor;
    bool found = false;
    for (int i = 0; i < count && !found; ++i)
        if (list[i].name == monitorName_) {
            monitor = {list[i].x, list[i].y, list[i].width, list[i].height};
            found = true;
        }
    if (list)
        XRRFreeMonitors(list);
    // Only what lies on the screen can be read.
    PixelRect part = rectInMonitor({0, 0, width, height}, monitor);
    if (!found || part.width == 0) {
        error = "monitor " + monitorLabel_ + (found ? " lies off the screen" : " is gone") +
                "; the monitors now: " + listMonitors(monitors());
        return false;
    }
    area = {monitor.x + part.x, monitor.y + part.y, part.width, part.height};
    return true;
}

bool XDisplay::makeImages(int width, int height, std::string& error)
{
    dropImages();
    auto& frameInfo = *static_cast<XShmSegmentInfo*>(frameShm_);
    auto& scratchInfo = *static_cast<XShmSegmentInfo*>(scratchShm_);
    shm_ = false;
    if (allowShm_) {
        frame_ = makeShmImage(display_, frameInfo, width, height);
        scratch_ = frame_ ? makeShmImage(display_, scratchInfo, width, height) : nullptr;
        shm_ = scratch_ != nullptr;
        if (!shm_)
            dropShmImage(display_, frameInfo, frame_);
    }
    if (!shm_) {
        // Read once whole; later reads go into this image in place.
        frame_ = XGetImage(display_, root_, shared_.x, shared_.y, unsigned(width), unsigned(height), AllPlanes,
                           ZPixmap);
        if (!frame_) {
            error = "cannot read the screen";
            return false;
        }
    }
    pixelFormat_ = pixelFormatOf(*frame_);
    if (pixelFormat_ < 0) {
        error = "unsupported pixel layout: " + std::to_string(frame_->bits_per_pixel) + " bits a pixel";
        return false;
    }
    whole_ = true;
    pointerArea_ = {0, 0, 0, 0};
    return true;
}

void XDisplay::dropImages()
{
    if (shm_) {
        dropShmImage(display_, *static_cast<XShmSegmentInfo*>(frameShm_), frame_);
        dropShmImage(display_, *static_cast<XShmSegmentInfo*>(scratchShm_), scratch_);
    } else if (frame_) {
        XDestroyImage(frame_);
        frame_ = nullptr;
    }
}

bool XDisplay::fetch(const Area& area, std::string& error)
{
    bool whole = area.width == frame_->width && area.height == frame_->height;
    if (shm_ && whole && listener_)
        return fetchInStrips(error);
    if (shm_ && whole) {
        if (XShmGetImage(display_, root_, frame_, shared_.x, shared_.y, AllPlanes))
            return true;
        error = "XShmGetImage failed";
        return false;
    }
    // A part arrives on its own (packed at the start of the scratch segment, or as a new
    // image), then takes its place; XGetSubImage would copy it pixel by pixel.
    XImage* part = nullptr;
    bool got = false;
    if (shm_) {
        auto& info = *static_cast<XShmSegmentInfo*>(scratchShm_);
        int screen = DefaultScreen(display_);
        part = XShmCreateImage(display_, DefaultVisual(display_, screen), unsigned(DefaultDepth(display_, screen)),
                               ZPixmap, info.shmaddr, &info, unsigned(area.width), unsigned(area.height));
        got = part && XShmGetImage(display_, root_, part, shared_.x + area.x, shared_.y + area.y, AllPlanes);
    } else {
        part = XGetImage(display_, root_, shared_.x + area.x, shared_.y + area.y, unsigned(area.width),
                         unsigned(area.height), AllPlanes, ZPixmap);
        got = part != nullptr;
        if (got && whole) {
            XDestroyImage(frame_);
            frame_ = part;
            return true;
        }
    }
    if (got) {
        size_t rowBytes = size_t(area.width) * 4;
        for (int row = 0; row < area.height; ++row)
            std::memcpy(frame_->data + size_t(area.y + row) * size_t(frame_->bytes_per_line) + size_t(area.x) * 4,
                        part->data + size_t(row) * size_t(part->bytes_per_line), rowBytes);
    }
    if (part) {
        if (shm_)
            part->data = nullptr;  // the segment is the scratch image's
        XDestroyImage(part);
    }
    if (!got)
        error = shm_ ? "XShmGetImage failed" : "XGetImage failed";
    return got;
}

// The whole picture in strips, every request sent at once: the X server copies the next
// strips while the listener makes a frame of those that came.
bool XDisplay::fetchInStrips(std::string& error)
{
    constexpr int kStripRows = 64;
    xcb_connection_t* connection = XGetXCBConnection(display_);
    const auto& info = *static_cast<XShmSegmentInfo*>(frameShm_);
    std::vector<xcb_shm_get_image_cookie_t> strips;
    XFlush(display_);
    for (int top = 0; top < frame_->height; top += kStripRows)
        strips.push_back(xcb_shm_get_image(connection, uint32_t(root_), int16_t(shared_.x), int16_t(shared_.y + top),
                                           uint16_t(frame_->width),
                                           uint16_t(std::min(kStripRows, frame_->height - top)), ~0u,
                                           XCB_IMAGE_FORMAT_Z_PIXMAP, uint32_t(info.shmseg),
                                           uint32_t(size_t(top) * size_t(frame_->bytes_per_line))));
    xcb_flush(connection);
    ScreenPicture picture = pictureNow();
    for (size_t i = 0; i < strips.size(); ++i) {
        xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(connection, strips[i], nullptr);
        if (!reply) {
            for (size_t rest = i + 1; rest < strips.size(); ++rest)
                xcb_discard_reply(connection, strips[rest].sequence);
            error = "XShmGetImage failed";
            return false;
        }
        std::free(reply);
        int top = int(i) * kStripRows, bottom = std::min(top + kStripRows, frame_->height);
        drawPointer(top, bottom);
        listener_->rowsArrived(picture, top, bottom);
    }
    pointerDrawn_ = true;
    return true;
}

ScreenPicture XDisplay::pictureNow() const
{
    ScreenPicture picture;
    picture.pixels = reinterpret_cast<uint8_t*>(frame_->data);
    picture.width = frame_->width;
    picture.height = frame_->height;
    picture.pitch = frame_->bytes_per_line;
    picture.pixelFormat = pixelFormat_;
    return picture;
}

// The parts of the shared picture to read again: all of it, or what XDamage reports as
// changed since the last read (taken off its record before the read, so later changes wait
// for the next one), carried into the picture's coordinates; changes elsewhere on the screen
// (another monitor) leave nothing to read.
bool XDisplay::fetchAll(std::vector<Area>& areas, bool& changed, std::string& error)
{
    Area screen = {0, 0, frame_->width, frame_->height};
    areas.clear();
    if (damage_) {
        XDamageSubtract(display_, damage_, None, region_);
        int count = 0;
        XRectangle bounds;
        XRectangle* rectangles = XFixesFetchRegionAndBounds(display_, region_, &count, &bounds);
        PixelRect shared = {shared_.x, shared_.y, shared_.width, shared_.height};
        auto inPicture = [&](const XRectangle& r) { return rectInMonitor({r.x, r.y, r.width, r.height}, shared); };
        long area = 0;
        for (int i = 0; i < count; ++i) {
            PixelRect part = inPicture(rectangles[i]);
            area += long(part.width) * part.height;
            if (!whole_ && count <= 16 && part.width > 0)
                areas.push_back({part.x, part.y, part.width, part.height});
        }
        // Many small parts cost more round trips than one box; most of the picture is read whole.
        PixelRect box = inPicture(bounds);
        if (!whole_ && count > 16 && box.width > 0)
            areas.push_back({box.x, box.y, box.width, box.height});
        if (rectangles)
            XFree(rectangles);
        if (whole_ || area * 2 > long(screen.width) * screen.height)
            areas.assign(1, screen);
    } else {
        areas.push_back(screen);
    }
    whole_ = false;
    changed = !areas.empty();
    for (Area& part : areas) {
        // Clipped to the screen: a region may reach past it after a size change.
        int right = std::min(part.x + part.width, screen.width), bottom = std::min(part.y + part.height, screen.height);
        part.x = std::max(0, part.x);
        part.y = std::max(0, part.y);
        part.width = right - part.x;
        part.height = bottom - part.y;
        if (part.width > 0 && part.height > 0 && !fetch(part, error))
            return false;
    }
    return true;
}

bool XDisplay::capture(ScreenPicture& out, std::string& error)
{
    // The notices only say that something changed, which the region says better; left
    // unread they would pile up in Xlib's queue. Later ones count for the next capture.
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
    }
    news_ = false;
    // Size changes are rare; the round trip is cheap next to reading pixels.
    Area shared;
    if (!queryShared(shared, error))
        return false;
    bool moved = shared.x != shared_.x || shared.y != shared_.y;
    shared_ = shared;
    if (shared.width != frame_->width || shared.height != frame_->height) {
        if (!makeImages(shared.width, shared.height, error))
            return false;
    } else if (moved) {
        whole_ = true;
    }
    restoreUnderPointer();
    // Where the pointer goes is known before the pixels come, so that rows handed over
    // while the rest is read already show it.
    Area pointerWas = pointerArea_;
    bool pointerMoved = placePointer();
    pointerDrawn_ = false;
    std::vector<Area> areas;
    bool changed = false;
    bool fetched = fetchAll(areas, changed, error);
    if (fetched && !pointerDrawn_)
        drawPointer(0, frame_->height);
    if (cursor_) {
        XFree(cursor_);
        cursor_ = nullptr;
    }
    if (!fetched) {
        pointerArea_ = {0, 0, 0, 0};  // what it covered is half read: nothing to restore
        whole_ = true;  // the picture may be half old: read it all next time
        return false;
    }
    ScreenPicture now = pictureNow();
    out.pixels = now.pixels;
    out.width = now.width;
    out.height = now.height;
    out.pitch = now.pitch;
    out.pixelFormat = now.pixelFormat;
    out.changed = changed || pointerMoved;
    out.areas.clear();
    bool everything = areas.size() == 1 && areas[0].width == frame_->width && areas[0].height == frame_->height;
    if (out.changed && !everything) {
        for (const Area& part : areas)
            out.areas.push_back({part.x, part.y, part.width, part.height});
        if (pointerMoved)
            for (const Area& part : {pointerWas, pointerArea_})
                out.areas.push_back({part.x, part.y, part.width, part.height});
    }
    return true;
}

void XDisplay::restoreUnderPointer()
{
    const Area& area = pointerArea_;
    for (int row = 0; row < area.height; ++row)
        std::memcpy(frame_->data + size_t(area.y + row) * size_t(frame_->bytes_per_line) + size_t(area.x) * 4,
                    underPointer_.data() + size_t(row) * size_t(area.width) * 4, size_t(area.width) * 4);
}

bool XDisplay::placePointer()
{
    XFixesCursorImage* cursor = cursorImages_ ? XFixesGetCursorImage(display_) : nullptr;
    cursor_ = cursor;
    if (!cursor) {
        bool had = pointerArea_.width > 0;
        pointerArea_ = {0, 0, 0, 0};
        return had;
    }
    pointerX_ = cursor->x;
    pointerY_ = cursor->y;
    // In the picture's coordinates; on another monitor it is nowhere.
    int left = cursor->x - cursor->xhot - shared_.x, top = cursor->y - cursor->yhot - shared_.y;
    int x0 = std::max(0, left), y0 = std::max(0, top);
    int x1 = std::min(frame_->width, left + cursor->width), y1 = std::min(frame_->height, top + cursor->height);
    Area area = {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
    if (area.width == 0 || area.height == 0)
        area = {0, 0, 0, 0};
    bool moved = area.x != pointerArea_.x || area.y != pointerArea_.y || area.width != pointerArea_.width ||
                 area.height != pointerArea_.height || cursor->cursor_serial != pointerSerial_;
    pointerArea_ = area;
    pointerSerial_ = cursor->cursor_serial;
    underPointer_.resize(size_t(area.width) * size_t(area.height) * 4);
    return moved;
}

void XDisplay::drawPointer(int fromRow, int toRow)
{
    const Area& area = pointerArea_;
    auto* cursor = static_cast<XFixesCursorImage*>(cursor_);
    if (!cursor || area.width == 0)
        return;
    int left = cursor->x - cursor->xhot - shared_.x, top = cursor->y - cursor->yhot - shared_.y;
    int redAt = tjRedOffset[pixelFormat_], greenAt = tjGreenOffset[pixelFormat_], blueAt = tjBlueOffset[pixelFormat_];
    for (int y = std::max(fromRow, area.y); y < std::min(toRow, area.y + area.height); ++y) {
        uint8_t* line = reinterpret_cast<uint8_t*>(frame_->data) + size_t(y) * size_t(frame_->bytes_per_line);
        std::memcpy(underPointer_.data() + size_t(y - area.y) * size_t(area.width) * 4, line + size_t(area.x) * 4,
                    size_t(area.width) * 4);
        for (int x = area.x; x < area.x + area.width; ++x) {
            // Premultiplied ARGB in the low 32 bits of an unsigned long, whatever its width.
            uint32_t argb = uint32_t(cursor->pixels[size_t(y - top) * cursor->width + size_t(x - left)]);
            uint32_t keep = 255 - (argb >> 24);
            if (keep == 255)
                continue;
            uint8_t* pixel = line + size_t(x) * 4;
            auto over = [keep](uint32_t source, uint8_t& target) {
                target = uint8_t(std::min<uint32_t>(255, source + (target * keep + 127) / 255));
            };
            over((argb >> 16) & 0xFF, pixel[redAt]);
            over((argb >> 8) & 0xFF, pixel[greenAt]);
            over(argb & 0xFF, pixel[blueAt]);
        }
    }
}

void XDisplay::movePointer(int x, int y)
{
    XTestFakeMotionEvent(display_, DefaultScreen(display_), shared_.x + x, shared_.y + y, CurrentTime);
}

void XDisplay::button(int button, bool press)
{
    XTestFakeButtonEvent(display_, unsigned(button), press ? True : False, CurrentTime);
}

// Keys by name rather than by keysym: the viewer names the key the user pressed, and the
// keycodes behind the names differ between X servers.
void XDisplay::readKeyNames()
{
    XkbDescPtr xkb = XkbGetMap(display_, 0, XkbUseCoreKbd);
    if (!xkb)
        return;
    if (XkbGetNames(display_, XkbKeyNamesMask | XkbKeyAliasesMask, xkb) == Success && xkb->names) {
        auto text = [](const char* name) { return std::string(name, strnlen(name, XkbKeyNameLength)); };
        for (unsigned code = xkb->min_key_code; xkb->names->keys && code <= xkb->max_key_code; ++code)
            if (xkb->names->keys[code].name[0])
                keycodes_.emplace(text(xkb->names->keys[code].name), code);
        for (int i = 0; xkb->names->key_aliases && i < xkb->names->num_key_aliases; ++i) {
            auto real = keycodes_.find(text(xkb->names->key_aliases[i].real));
            if (real != keycodes_.end())
                keycodes_.emplace(text(xkb->names->key_aliases[i].alias), real->second);
        }
    }
    XkbFreeKeyboard(xkb, 0, True);
}

bool XDisplay::key(const std::string& place, bool press)
{
    auto code = keycodes_.find(place);
    if (code == keycodes_.end())
        return false;
    XTestFakeKeyEvent(display_, code->second, press ? True : False, CurrentTime);
    return true;
}

std::string XDisplay::keyboardLayouts()
{
    // Rules, model, layouts, variants and options, each ended by a zero byte.
    Atom names = XInternAtom(display_, "_XKB_RULES_NAMES", True);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string layouts;
    if (names != None && XGetWindowProperty(display_, root_, names, 0, 1024, False, XA_STRING, &type, &format, &count,
                                            &after, &data) == Success && data && format == 8) {
        const char* at = reinterpret_cast<const char*>(data);
        const char* end = at + count;
        for (int field = 0; field < 2 && at < end; ++field)
            at += strnlen(at, size_t(end - at)) + 1;
        if (at < end)
            layouts.assign(at, strnlen(at, size_t(end - at)));
        // Any client may set the property: only its plain part goes into the log.
        layouts.erase(std::find_if(layouts.begin(), layouts.end(), [](char c) { return c <= ' ' || c > '~'; }),
                      layouts.end());
    }
    if (data)
        XFree(data);
    return layouts;
}

void XDisplay::flush()
{
    XFlush(display_);
}
