// An Xvfb of a test's or benchmark's own: it picks a free display number itself, and does
// not reset when its last client goes, so the X state a test checks survives the host.
#pragma once

#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

class PrivateXvfb {
public:
    PrivateXvfb(int width, int height)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        std::string fd = std::to_string(fds[1]), size = std::to_string(width) + "x" + std::to_string(height) + "x24";
        const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", size.c_str(),
                              "-nolisten", "tcp", "-noreset", nullptr};
        if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            pid_ = -1;
        close(fds[1]);
        char number[16] = {};
        if (pid_ > 0 && read(fds[0], number, sizeof number - 1) > 0)
            name_ = ":" + std::to_string(std::atoi(number));
        close(fds[0]);
        display_ = name_.empty() ? nullptr : XOpenDisplay(name_.c_str());
    }
    ~PrivateXvfb()
    {
        if (display_)
            XCloseDisplay(display_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    const std::string& name() const { return name_; }
    // The test's own connection; null when the server did not start.
    Display* display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string name_;
    Display* display_ = nullptr;
};
