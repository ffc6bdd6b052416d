// A Wayland desktop of a test's own: a session bus, PipeWire and a compositor (with
// whatever else a backend needs) in a runtime folder of their own, named in this
// process's environment for the host and the test's client; each is ended at the end, and
// killed should the test die. A compositor that refuses root runs as another user who
// then owns the folder; root reaches its socket all the same.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/session_peer.h"

class PrivateWayland {
public:
    static constexpr const char* kWayland = "tavimo-test-wayland";

    // Programs that must be installed; `missing` names the first that is not.
    explicit PrivateWayland(std::vector<std::string> programs)
    {
        for (const std::string& program : programs)
            if (missing.empty() && std::system(("command -v " + program + " >/dev/null").c_str()) != 0)
                missing = program;
        char pattern[] = "/tmp/tavimo-wayland-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/nonexistent";
        if (!missing.empty())
            return;
        for (auto [name, value] :
             {std::pair{"XDG_RUNTIME_DIR", dir}, {"HOME", dir}, {"GSETTINGS_BACKEND", std::string("memory")},
              {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus"}, {"XDG_SESSION_TYPE", std::string("wayland")},
              {"WAYLAND_DISPLAY", std::string(kWayland)}})
            setenv(name, value.c_str(), 1);
        unsetenv("DISPLAY");
        start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + dir + "/bus"});
        ready = eventually([&] { return std::filesystem::exists(dir + "/bus"); });
        start({"pipewire"});
        ready = ready && eventually([&] { return std::filesystem::exists(dir + "/pipewire-0"); });
        start({"wireplumber"});
    }
    ~PrivateWayland()
    {
        for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
            kill(*pid, SIGTERM);
            if (!eventually([&] { return waitpid(*pid, nullptr, WNOHANG) == *pid; }) && kill(*pid, SIGKILL) == 0)
                waitpid(*pid, nullptr, 0);
        }
        // Services the bus started (the document portal's FUSE mount in the folder) go a
        // little after it.
        std::error_code ignored;
        eventually([&] { return std::filesystem::remove_all(dir, ignored) != uintmax_t(-1) && !ignored; });
    }

    // Headless mutter with a virtual monitor of `size`, primary, at the left, and one of
    // `right` beside it if given; up once its remote desktop API answers.
    static void gnome(PrivateWayland& desktop, const std::string& size, const std::string& right = "")
    {
        // The stream may miss the last frame of a window's zoom: none, so the picture is final.
        setenv("MUTTER_DEBUG_DISABLE_ANIMATIONS", "1", 1);
        std::vector<std::string> command = {"mutter", "--headless", "--wayland", "--no-x11",
                                            std::string("--wayland-display=") + kWayland};
        // Mutter makes the last one primary and puts it first.
        for (const std::string& monitor : {right, size})
            if (!monitor.empty())
                command.insert(command.end(), {"--virtual-monitor", monitor});
        desktop.start(command);
        desktop.waitFor("gdbus introspect --session -d org.gnome.Mutter.RemoteDesktop "
                        "-o /org/gnome/Mutter/RemoteDesktop");
    }

    // Headless sway with one output of that size, no bar, its socket also under kWayland.
    static void sway(PrivateWayland& desktop, const std::string& size, uid_t user)
    {
        for (auto [name, value] : {std::pair{"WLR_BACKENDS", "headless"}, {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                   {"WLR_RENDERER", "pixman"}})
            setenv(name, value, 1);
        std::ofstream(desktop.dir + "/sway.conf") << "output HEADLESS-1 mode " << size << "\nxwayland disable\n";
        desktop.ready = desktop.ready && chown(desktop.dir.c_str(), user, user) == 0;
        desktop.start({"sway", "-c", desktop.dir + "/sway.conf"}, user);
        std::string socket = desktop.dir + "/wayland-1";
        desktop.ready = desktop.ready && eventually([&] { return std::filesystem::exists(socket); }) &&
                        symlink(socket.c_str(), (desktop.dir + "/" + kWayland).c_str()) == 0;
    }

    // Runs `arguments` with output to its log in the folder, as `user` unless that is root.
    void start(std::vector<std::string> arguments, uid_t user = 0)
    {
        std::string log = dir + "/" + std::filesystem::path(arguments[0]).filename().string() + ".log";
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            if (user != 0 && (setgroups(0, nullptr) || setresgid(user, user, user) || setresuid(user, user, user)))
                _exit(126);
            std::vector<char*> argv(arguments.size() + 1);
            std::transform(arguments.begin(), arguments.end(), argv.begin(), [](std::string& a) { return a.data(); });
            execvp(argv[0], argv.data());
            _exit(127);
        }
        pids_.push_back(pid);
    }
    // Ends the program started last, as a compositor that goes.
    void stopLast(int signal = SIGTERM)
    {
        kill(pids_.back(), signal);
        waitpid(pids_.back(), nullptr, 0);
        pids_.pop_back();
    }
    // Keeps `ready` only if the shell command succeeds within the usual wait.
    void waitFor(const std::string& command)
    {
        ready = ready && eventually([&] {
            bool up = std::system((command + " >/dev/null 2>&1").c_str()) == 0;
            if (!up)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return up;
        });
    }
    // Every program's output, for a failure's message.
    std::string logs() const
    {
        std::string out;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".log") {
                std::ifstream in(entry.path());
                out += "--- " + entry.path().stem().string() + "\n" +
                       std::string(std::istreambuf_iterator<char>(in), {});
            }
        return out;
    }

    std::string missing;
    std::string dir;
    bool ready = false;

private:
    std::vector<pid_t> pids_;
};
