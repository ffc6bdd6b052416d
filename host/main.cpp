// tavimo-host: shares a Linux X display, or a Wayland session (GNOME's own API, a wlroots
// compositor's protocols or the desktop portal), with Tavimo viewers.
//
// It listens on ADDRESS:54321 (FrameChannel) and ADDRESS:54322 (InputChannel), serves one
// viewer at a time, answers the viewer's request for a frame once the screen changed (so
// an idle desktop costs nothing), and plays the viewer's mouse and keys back (XTest, or
// the compositor's remote-desktop session, GNOME's own or the desktop portal's, or a
// wlroots compositor's virtual pointer and keyboard). The protocol has neither
// authentication nor encryption, so it listens on loopback unless told otherwise; reach it
// from another machine through an SSH tunnel of both ports. On loopback it lets in only
// sockets of the user it runs as (an SSH tunnel into that user's account arrives from that
// user's sshd).
//
// Event log (stderr, or --log FILE): one line per event, the first word naming it. The
// session lines are the counterpart server's (listening, frame-connected, frame-recv,
// frame-send header/body, frame-closed-by-client/-server, input-connected,
// input-closed-by-client/-server, session-end, server-exit); the host adds:
//   backend x11|gnome|portal|wlroots (WHY)
//                                    which desktop is shared: --backend, or what auto saw
//   monitor all WxH+0+0 | monitor NAME WxH+X+Y (N of M)
//                                    what is shared (--monitor): all of the X screen, or
//                                    that RandR monitor, GNOME monitor or wlroots output,
//                                    where it lies on the screen or in the layout
//   monitor-unknown TEXT             --monitor named none of the monitors there are (listed)
//   monitor-one-at-a-time TEXT       GNOME and wlroots, --monitor all with several: the
//                                    primary (or first) one is shared, and how to pick another
//   portal-approval persisted|asked-each-time (WHY)
//                                    whether the portal can keep the user's approval (its
//                                    RemoteDesktop version 2 and later) or asks every start
//   portal-token-ignored PATH: WHY   a kept restore token not fit to use: the portal asks
//   portal-token-saved PATH | portal-token-not-saved WHY | portal-token-none
//                                    what became of the approval the portal returned
//   portal-devices-missing keyboard|pointer
//                                    input the user did not allow in the portal's dialog
//   keymap RULES/MODEL/LAYOUT/VARIANT/OPTIONS (from SOURCE)
//                                    wlroots: the keymap the host's virtual keyboard brings
//                                    (XKB_DEFAULT_* | --keyboard | default)
//   keyboard jis|us (--keyboard | from the X layout L | from GNOME's input sources L |
//                    the portal does not say the desktop's layout | from the keymap's layout L)
//                                    where the viewer's key codes sit: the keys pressed are
//                                    the same places on the host's keyboard
//   frame-refused PEER busy          a second viewer while one is served, closed at once
//   peer-refused frame|input uid=N|? PEER other-user|owner-unknown
//                                    a connection from another local user's socket, or
//                                    one whose owner was not found, closed at once
//   frame-scaled WxH -> wxh[: larger than a viewer can show]
//                                    frames are the screen scaled down (--scale, --fit, or
//                                    by itself past the viewer's 64 MiB bitmap)
//   frame-size WxH capture=shm|getimage[+damage][+motion] | pipewire+damage|tiles |
//                  screencopy+damage
//                                    the session's frame size, from its first capture
//   screen-size WxH frames-stay WxH  the screen changed size; frames keep the first size
//   quality A -> B frame=I bytes=N   the working JPEG quality changed to fit frames
//   frame-too-large bytes=N ...      even the lowest quality did not fit: the session ends
//   capture-error TEXT / encode-error TEXT  (the session ends; e.g. the shared monitor
//                                    is gone from the layout)
//   display-error TEXT / display-lost the desktop cannot be shared / went away for good
//                                    (the X server, or the compositor's session): exit 1
//   input-message SERVER_EXIT|TELNET|UNKNOWN type=0xT (an unknown type ends the channel)
//   input-key-unknown 0xVK           no key of the viewer's layout sends that code: ignored
//   input-key-unmapped 0xVK place=P  the X keyboard has no key named P: ignored
//   input-mouse-unknown 0xCODE       an event code the viewer does not send: ignored
//   input-mouse-before-frame 0xCODE  a mouse message before the session's first frame: ignored
//   input-released keys=K buttons=B  what was still held when the InputChannel closed
//   input-mouse / input-key ...      each message, only with --trace-input
//   rate-quality A -> B frame=I bytes=N  --max-rate changed the quality of the frames to come
//   frames N partial=P sharp=S capture-ms=C encode-ms=E bytes=B streamed=W
//                                    at the end of a session: frames sent, how many carried
//                                    areas, how many were the sharp frame after a still
//                                    screen, the averages of capture (pointer included),
//                                    encode and size, and how many whole frames were made
//                                    while the screen was read (their encoding counts in
//                                    the capture's time)
//
// Exit status: 0 after MSG_SERVER_EXIT, --once or SIGINT/SIGTERM; 1 when it cannot start
// or loses the display; 2 on a bad command line (a --monitor that is not there included).

#include <X11/Xlib.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/host_session.h"
#include "host/jpeg_encoder.h"
#include "host/gnome_desktop.h"
#include "host/monitor_choice.h"
#include "host/portal_desktop.h"
#include "host/wlroots_desktop.h"
#include "host/x_display.h"
#include "wire/frame_wire.h"
#include "session/event_log.h"
#include "session/session_loop.h"
#include "tavimo_version.h"

namespace {

EventLog* g_log = nullptr;

int onDisplayLost(Display*)
{
    if (g_log)
        g_log->line("display-lost");
    std::fputs("tavimo-host: the X display went away\n", stderr);
    // Straight out: exit() would run destructors that talk to the dead display again,
    // from inside Xlib's own error path. The log is written through as it goes.
    _exit(1);
}

const char kUsage[] =
    "usage: tavimo-host [options]\n"
    "  --backend B         what to share: x11 (the X display), gnome (a GNOME Wayland\n"
    "                      session, through the compositor's remote desktop API),\n"
    "                      wlroots (sway and other wlroots compositors: screencopy,\n"
    "                      virtual pointer and keyboard), portal (a Wayland session\n"
    "                      through the desktop portal, e.g. KDE Plasma: the user\n"
    "                      approves in the portal's dialog), or auto (default: in a\n"
    "                      Wayland session gnome where that API answers, else wlroots\n"
    "                      where the compositor offers those, else portal where its\n"
    "                      RemoteDesktop answers; otherwise x11). Portals whose\n"
    "                      RemoteDesktop is version 2 or later (xdg-desktop-portal\n"
    "                      since mid-2023, with a backend that keeps approvals) ask\n"
    "                      once: the approval is kept in\n"
    "                      $XDG_STATE_HOME/tavimo-host/ (~/.local/state/tavimo-host/);\n"
    "                      older ones (version 1, e.g. GNOME 43's) ask every start\n"
    "  --display NAME      the X display to share (default: $DISPLAY)\n"
    "  --monitor M         share one monitor of the X screen, the pointer kept inside\n"
    "                      it. M is its number, counting the RandR monitors (xrandr\n"
    "                      --listmonitors) from 1 by their left edges, then their top\n"
    "                      edges; or its name (DP-1, or one set with xrandr\n"
    "                      --setmonitor); or all, the whole screen (default).\n"
    "                      wlroots: the outputs (swaymsg -t get_outputs), counted the\n"
    "                      same way in the layout; screencopy copies one output, so\n"
    "                      all shares the first of them (the log lists the others).\n"
    "                      gnome: the monitors of GNOME's display settings (Meta-0,\n"
    "                      DP-1), counted the same way; all shares the primary one.\n"
    "                      portal: not taken (the portal's dialog picks)\n"
    "  --address ADDR      listen there (default 127.0.0.1; anything else is reachable\n"
    "                      without a password: prefer an SSH tunnel)\n"
    "  --quality N         JPEG quality 1-100 (default 80)\n"
    "  --subsampling S     chroma subsampling 444, 422 or 420 (default 420)\n"
    "  --max-rate RATE     keep the average rate to the viewer under RATE bytes a second\n"
    "                      (K and M: thousands, millions): lower quality first, then\n"
    "                      fewer frames; a still screen is sent once more at --quality\n"
    "  --min-quality N     the lowest quality --max-rate goes to (default 30)\n"
    "  --scale PERCENT     send the screen (or the --monitor) scaled down to PERCENT\n"
    "                      (1-100) of its size; the viewer's clicks land on the pixels\n"
    "                      it points at\n"
    "  --fit WxH           send the screen (or the --monitor) at the largest size within\n"
    "                      W x H that keeps its shape (never larger than it is)\n"
    "  --keyboard jis|us   the viewer's keyboard (default: jis when the X keyboard's\n"
    "                      first layout, or GNOME's first input source, is jp, else us).\n"
    "                      wlroots: the host's own keymap comes from XKB_DEFAULT_RULES,\n"
    "                      _MODEL, _LAYOUT, _VARIANT and _OPTIONS where set (as sway\n"
    "                      reads them), else layout jp for --keyboard jis, else us\n"
    "  --log FILE          the event log there instead of on standard error\n"
    "  --ready FILE        written once the listeners listen\n"
    "  --once              end after the first viewer\n"
    "  --allow-other-users let every local user connect, not only the one the host runs as\n"
    "  --no-shm            read the screen with XGetImage even where MIT-SHM works\n"
    "  --no-damage         read and encode the whole screen for every frame and answer\n"
    "                      at once, changed or not\n"
    "  --trace-input       log every input message, keys included\n"
    "  --version           print the version and exit\n"
    "  --help\n";

enum class Backend { Auto, X11, Gnome, Portal, Wlroots };

const char* backendName(Backend backend)
{
    switch (backend) {
    case Backend::X11: return "x11";
    case Backend::Gnome: return "gnome";
    case Backend::Portal: return "portal";
    case Backend::Wlroots: return "wlroots";
    default: return "auto";
    }
}

struct Options {
    Backend backend = Backend::Auto;
    SessionConfig session;
    HostSettings host;
    std::string display;
    MonitorChoice monitor;  // --monitor: all by default
    std::string logPath;
    bool shm = true;
    bool damage = true;
    KeyboardLayout keyboard = KeyboardLayout::Us;  // the viewer's: where its key codes sit
    bool keyboardGiven = false;
};

// 0: go on; otherwise the exit status.
int parse(int argc, char** argv, Options& options)
{
    enum { BackendOption = 999, Display, Monitor, Address, Quality, Subsampling, MaxRate, MinQuality, Scale, Fit,
           Keyboard, Log, Ready, Once, AllowOthers, NoShm, NoDamage, Trace, Help, Version };
    static const option longOptions[] = {
        {"backend", required_argument, nullptr, BackendOption},
        {"display", required_argument, nullptr, Display}, {"address", required_argument, nullptr, Address},
        {"monitor", required_argument, nullptr, Monitor},
        {"quality", required_argument, nullptr, Quality}, {"subsampling", required_argument, nullptr, Subsampling},
        {"max-rate", required_argument, nullptr, MaxRate}, {"min-quality", required_argument, nullptr, MinQuality},
        {"scale", required_argument, nullptr, Scale},     {"fit", required_argument, nullptr, Fit},
        {"keyboard", required_argument, nullptr, Keyboard},
        {"log", required_argument, nullptr, Log},         {"ready", required_argument, nullptr, Ready},
        {"once", no_argument, nullptr, Once},             {"no-shm", no_argument, nullptr, NoShm},
        {"allow-other-users", no_argument, nullptr, AllowOthers},
        {"no-damage", no_argument, nullptr, NoDamage},
        {"trace-input", no_argument, nullptr, Trace},     {"help", no_argument, nullptr, Help},
        {"version", no_argument, nullptr, Version},
        {nullptr, 0, nullptr, 0},
    };
    const char* display = std::getenv("DISPLAY");
    options.display = display ? display : "";
    options.session.refuseWhileBusy = true;
    options.session.endWithInput = true;
    options.session.ownUserOnly = true;
    options.host.bodyLimit = size_t(kFrameBufferSize);
    for (int c; (c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        std::string value = optarg ? optarg : "";
        switch (c) {
        case BackendOption:
            if (value == "auto" || value == "x11" || value == "gnome" || value == "portal" || value == "wlroots") {
                options.backend = value == "auto"     ? Backend::Auto
                                  : value == "x11"    ? Backend::X11
                                  : value == "gnome"  ? Backend::Gnome
                                  : value == "portal" ? Backend::Portal
                                                      : Backend::Wlroots;
                break;
            }
            std::fprintf(stderr, "tavimo-host: --backend wants auto, x11, gnome, portal or wlroots, not '%s'\n",
                         value.c_str());
            return 2;
        case Display: options.display = value; break;
        case Monitor:
            if (!parseMonitorChoice(value, options.monitor)) {
                std::fprintf(stderr, "tavimo-host: --monitor wants a number from 1, a monitor's name or all, "
                             "not '%s'\n", value.c_str());
                return 2;
            }
            break;
        case Address: options.session.address = value; break;
        case Quality:
        case MinQuality: {
            char* end = nullptr;
            long quality = std::strtol(value.c_str(), &end, 10);
            const char* name = c == Quality ? "--quality" : "--min-quality";
            if (value.empty() || *end != 0 || quality < 1 || quality > 100) {
                std::fprintf(stderr, "tavimo-host: %s wants 1 to 100, not '%s'\n", name, value.c_str());
                return 2;
            }
            (c == Quality ? options.host.quality : options.host.pacing.minQuality) = int(quality);
            break;
        }
        case MaxRate:
            options.host.pacing.maxRate = parseRate(value.c_str());
            if (options.host.pacing.maxRate < 0) {
                std::fprintf(stderr, "tavimo-host: --max-rate wants bytes a second (e.g. 1M, 500K), not '%s'\n",
                             value.c_str());
                return 2;
            }
            break;
        case Scale:
            if (!parseScalePercent(value, options.host.scale.percent)) {
                std::fprintf(stderr, "tavimo-host: --scale wants a percentage from 1 to 100, not '%s'\n",
                             value.c_str());
                return 2;
            }
            break;
        case Fit:
            if (!parseFitBox(value, options.host.scale.fitWidth, options.host.scale.fitHeight)) {
                std::fprintf(stderr, "tavimo-host: --fit wants WIDTHxHEIGHT (e.g. 1920x1080), not '%s'\n",
                             value.c_str());
                return 2;
            }
            break;
        case Subsampling:
            options.host.subsampling = subsamplingFromText(value);
            if (options.host.subsampling < 0) {
                std::fprintf(stderr, "tavimo-host: --subsampling wants 444, 422 or 420, not '%s'\n", value.c_str());
                return 2;
            }
            break;
        case Keyboard:
            if (!keyboardLayoutFromName(value, options.keyboard)) {
                std::fprintf(stderr, "tavimo-host: --keyboard wants jis or us, not '%s'\n", value.c_str());
                return 2;
            }
            options.keyboardGiven = true;
            break;
        case Log: options.logPath = value; break;
        case Ready: options.session.readyPath = value; break;
        case Once: options.session.once = true; break;
        case AllowOthers: options.session.ownUserOnly = false; break;
        case NoShm: options.shm = false; break;
        case NoDamage: options.damage = false; break;
        case Trace: options.host.traceInput = true; break;
        case Help: std::fputs(kUsage, stdout); return -1;
        case Version: std::puts("tavimo-host " TAVIMO_VERSION); return -1;
        default: std::fputs(kUsage, stderr); return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "tavimo-host: unexpected argument '%s'\n%s", argv[optind], kUsage);
        return 2;
    }
    options.host.pacing.quality = options.host.quality;
    return 0;
}

// The monitor --monitor names: its index in `monitors`, -1 for all of them; false, said in
// the log and on stderr, when there is no such monitor. A desktop that shares one monitor
// at a time (`oneAtATime`) takes the primary one, else the first, for all, and says so.
bool chooseLogged(const Options& options, const std::vector<MonitorInfo>& monitors, const PixelRect& all,
                  bool oneAtATime, EventLog& log, int& chosen)
{
    std::string error;
    if (!chooseMonitor(options.monitor, monitors, chosen, error)) {
        log.line("monitor-unknown " + error);
        if (!options.logPath.empty())
            std::fprintf(stderr, "tavimo-host: %s\n", error.c_str());
        return false;
    }
    if (chosen < 0 && oneAtATime) {
        auto primary = std::find_if(monitors.begin(), monitors.end(), [](const MonitorInfo& m) { return m.primary; });
        chosen = primary == monitors.end() ? 0 : int(primary - monitors.begin());
        if (monitors.size() > 1)
            log.line(std::string("monitor-one-at-a-time this desktop shares one monitor at a time: ") +
                     (primary == monitors.end() ? "the first" : "the primary") +
                     "; pick another with --monitor NUMBER or NAME: " + listMonitors(monitors));
    }
    if (chosen < 0)
        log.event("monitor all %dx%d+%d+%d", all.width, all.height, all.x, all.y);
    else
        log.event("monitor %s (%d of %zu)", describeMonitor(monitors[size_t(chosen)]).c_str(), chosen + 1,
                  monitors.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (int status = parse(argc, argv, options))
        return status < 0 ? 0 : status;

    takeStopSignals();

    EventLog log;
    std::string error;
    if (!options.logPath.empty()) {
        if (!log.open(options.logPath, error)) {
            std::fprintf(stderr, "tavimo-host: %s\n", error.c_str());
            return 1;
        }
    } else {
        log.setEcho(true);
    }
    g_log = &log;

    if (!isLoopbackAddress(options.session.address))
        std::fprintf(stderr,
                     "tavimo-host: warning: %s is not a loopback address. The viewer protocol has no password and "
                     "no encryption: whoever reaches this address sees the screen and controls it. Prefer the "
                     "default 127.0.0.1 and an SSH tunnel of ports 54321 and 54322. Nor can the host tell "
                     "which user a connection to this address comes from, so it does not check.\n",
                     options.session.address.c_str());
    else if (!options.session.ownUserOnly)
        std::fputs("tavimo-host: warning: --allow-other-users: every user of this machine can connect to the "
                   "loopback ports and see and control the screen.\n",
                   stderr);

    // Auto: a Wayland session's DISPLAY is XWayland, which shows only the X programs.
    std::string why = "--backend";
    if (options.backend == Backend::Auto) {
        const char* type = std::getenv("XDG_SESSION_TYPE");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        options.backend = Backend::X11;
        if (!type || std::strcmp(type, "wayland") != 0)
            why = std::string("XDG_SESSION_TYPE is ") + (type ? type : "unset") + ", not wayland";
        else if (!wayland || !*wayland)
            why = "XDG_SESSION_TYPE is wayland but WAYLAND_DISPLAY is unset";
        else if (GnomeDesktop::available(why)) {
            options.backend = Backend::Gnome;
            why = "a Wayland session where GNOME's remote desktop API answers";
        } else if (std::string wlroots; WlrootsDesktop::available(wlroots)) {
            options.backend = Backend::Wlroots;
            why = "a Wayland session whose compositor offers screencopy and virtual input";
        } else if (std::string portalWhy; PortalDesktop::available(portalWhy)) {
            options.backend = Backend::Portal;
            why = "a Wayland session where the desktop portal's RemoteDesktop answers (" + why + "; " + wlroots + ")";
        } else {
            why = "a Wayland session, but " + why + "; " + wlroots + "; " + portalWhy +
                  "; only X programs on XWayland are shared";
        }
    }
    log.event("backend %s (%s)", backendName(options.backend), why.c_str());
    if (options.backend == Backend::Portal && options.monitor.kind != MonitorChoice::All) {
        log.line("monitor-unknown --monitor does not apply to the portal: its dialog asks which monitor to share");
        std::fputs("tavimo-host: --monitor does not apply to the portal backend: the monitor is the one chosen in "
                   "the portal's dialog\n",
                   stderr);
        return 2;
    }

    std::unique_ptr<Desktop> desktop;
    std::string layouts, source = "--keyboard";
    if (options.backend == Backend::Gnome) {
        auto gnome = std::make_unique<GnomeDesktop>();
        std::vector<MonitorInfo> monitors;
        int chosen = -1;
        if (gnome->connect(error) && !(monitors = gnome->monitors(error)).empty() &&
            !chooseLogged(options, monitors, {}, true, log, chosen))
            return 2;
        if (!monitors.empty() && gnome->open(monitors[size_t(chosen)], error)) {
            layouts = GnomeDesktop::keyboardLayouts();
            source = "from GNOME's input sources " + (layouts.empty() ? std::string("(none)") : layouts);
            gnome->setKeyboard(options.keyboardGiven ? options.keyboard : keyboardLayoutForXLayouts(layouts));
            desktop = std::move(gnome);
        }
    } else if (options.backend == Backend::Portal) {
        auto portal = std::make_unique<PortalDesktop>();
        if (portal->open([&](const std::string& line) { log.line(line); }, error)) {
            source = "the portal does not say the desktop's layout";
            portal->setKeyboard(options.keyboardGiven ? options.keyboard : keyboardLayoutForXLayouts(""));
            desktop = std::move(portal);
        }
    } else if (options.backend == Backend::Wlroots) {
        KeymapNames keymap = WlrootsDesktop::keymapNames(options.keyboardGiven, options.keyboard);
        log.event("keymap %s/%s/%s/%s/%s (from %s)", keymap.rules.c_str(), keymap.model.c_str(),
                  keymap.layout.c_str(), keymap.variant.c_str(), keymap.options.c_str(), keymap.source.c_str());
        auto wlroots = std::make_unique<WlrootsDesktop>();
        std::vector<MonitorInfo> monitors;
        int chosen = -1;
        if (wlroots->connect(error)) {
            monitors = wlroots->monitors();
            // Screencopy copies one output.
            if (!chooseLogged(options, monitors, {}, true, log, chosen))
                return 2;
        }
        if (!monitors.empty() && wlroots->open(keymap, monitors[size_t(chosen)].name, error)) {
            layouts = keymap.layout;
            source = "from the keymap's layout " + layouts;
            wlroots->setKeyboard(options.keyboardGiven ? options.keyboard : keyboardLayoutForXLayouts(layouts));
            desktop = std::move(wlroots);
        }
    } else {
        auto display = std::make_unique<XDisplay>();
        XSetIOErrorHandler(onDisplayLost);
        if (!display->open(options.display, options.shm, options.damage, error)) {
            display.reset();
        } else {
            // The whole screen, or one monitor of it.
            std::vector<MonitorInfo> monitors = display->monitors();
            int chosen = -1;
            if (!chooseLogged(options, monitors, display->sharedArea(), false, log, chosen))
                return 2;
            if (chosen >= 0 && !display->shareMonitor(monitors[size_t(chosen)], error))
                display.reset();  // gone between the two looks
        }
        if (display) {
            layouts = display->keyboardLayouts();
            source = "from the X layout " + (layouts.empty() ? std::string("(unnamed)") : layouts);
            display->setKeyboard(options.keyboardGiven ? options.keyboard : keyboardLayoutForXLayouts(layouts));
            desktop = std::move(display);
        }
    }
    if (!desktop) {
        log.event("display-error %s", error.c_str());
        if (!options.logPath.empty())
            std::fprintf(stderr, "tavimo-host: %s\n", error.c_str());
        return 1;
    }
    if (!options.keyboardGiven)
        options.keyboard = keyboardLayoutForXLayouts(layouts);
    else
        source = "--keyboard";
    log.event("keyboard %s (%s)", keyboardLayoutName(options.keyboard), source.c_str());

    HostSession host(options.session, options.host, *desktop, log);
    if (!host.listen(error)) {
        log.line("listen-failed " + error);
        if (!options.logPath.empty())
            std::fprintf(stderr, "tavimo-host: %s\n", error.c_str());
        return 1;
    }
    int status = host.run();
    return host.desktopGone() ? 1 : status;
}
