// A Linux desktop to connect Tavimo to: an Xvfb of its own with openbox and two xterms,
// shared by the real tavimo-host on a fresh loopback address. Its X state is read back
// with the X tools run on that display.
#pragma once

#include <string>

struct RemoteGeometry {
    int x = -1, y = -1, width = 0, height = 0;
};

struct RemoteDesktop {
    std::string address;
    std::string dir;      // Unix path: the scripts, the host's log, the terminals' files
    std::string display;  // ":N" of the remote Xvfb

    ~RemoteDesktop();
    // The terminals termA and termB write what is typed into them to a.txt and b.txt.
    bool start();
    // Runs a shell script on the remote display; its standard output and error.
    std::string shell(const std::string& script) const;
    RemoteGeometry window(const std::string& title) const;
    // x and y of the remote pointer.
    RemoteGeometry pointer() const;
    // True while any key or button the host can press is down on the remote X server.
    bool anythingHeld() const;
    std::string file(const std::string& name) const;
    int count(const std::string& prefix) const;
    bool waitFor(const std::string& prefix, int count = 1, int timeoutMs = 30000) const;
};
