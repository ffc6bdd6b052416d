// A Wayland client's event loop on a thread of its own, for the tests' and benchmarks'
// clients: reads and dispatches until `stop`, sending what the handlers asked meanwhile.
#pragma once

#include <poll.h>
#include <wayland-client.h>

#include <atomic>

inline void runWaylandEvents(wl_display* display, const std::atomic<bool>& stop)
{
    pollfd fd{wl_display_get_fd(display), POLLIN, 0};
    while (!stop) {
        while (wl_display_prepare_read(display) != 0)
            wl_display_dispatch_pending(display);
        wl_display_flush(display);
        if (poll(&fd, 1, 50) > 0)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
        wl_display_dispatch_pending(display);
    }
}
