// Linux programs started from the Windows-side tests (the counterpart server, shell
// scripts on the tests' display) and the files they leave, reached as Z:\ paths; and
// what the screen shows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

// Polls every 20 ms, dispatching the thread's messages, until `done`; false at the timeout.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000);
inline void pause(int ms) { waitUntil([] { return false; }, ms); }
// A loopback address no other test in this run uses, with nothing listening on it.
std::string freshLoopbackAddress();
inline std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
// Z:\... for a Unix path, so Windows file calls reach it.
std::string windowsPath(const std::string& unixPath);
// The folder for a test's files, from TAVIMO_TEST_TMP.
std::string scratchFolder(const std::string& name);
inline bool fileExists(const std::string& unixPath)
{
    return GetFileAttributesA(windowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}
std::string readFile(const std::string& unixPath);
inline void writeFile(const std::string& unixPath, const std::string& text)
{
    std::ofstream(windowsPath(unixPath), std::ios::binary) << text;
}
std::vector<std::string> readLines(const std::string& unixPath);
// Lines of a log that start with `prefix`.
int countLines(const std::string& unixPath, const std::string& prefix);
// Runs a script with /bin/sh and returns its output once it ended; with `background`, at
// once. Wine gives no handle for a Unix process.
std::string runShell(const std::string& script, bool background = false);
// The client's top left as the screen shows it, `bits` (24 or 32) a pixel: bottom-up like
// a frame bitmap for a positive height, top-down for a negative one.
std::vector<uint8_t> clientPixels(HWND window, int width, int height, int bits);
// Pixels of a viewer window showing an 800x600 remote X screen whose brightness is further
// from that screen's than JPEG's error (JPEG keeps brightness at full resolution, colour at
// half); the remote pointer, which only frames have, left out. The window is painted whole
// from its bitmap first. Polls until none is wrong, and returns the last count.
int wrongPixels(HWND viewer, const std::string& remoteDisplay, const std::string& folder);

// `tavimo-server --once` on an address of its own, stopped by the process id it left.
struct TestServer {
    std::string address;  // 127.x.y.z
    std::string dir;      // Unix path: its event log, and where it said it is ready

    ~TestServer();
    // Starts it with the extra arguments and waits until it listens.
    bool start(const std::string& arguments);
    std::vector<std::string> log() const { return readLines(dir + "/log"); }
    int count(const std::string& prefix) const { return countLines(dir + "/log", prefix); }
    bool waitFor(const std::string& prefix, int wanted = 1, int timeoutMs = 20000) const;
};
