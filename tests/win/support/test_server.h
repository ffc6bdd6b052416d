// Starts the counterpart server (a Linux program, which Wine runs as it is) on a
// loopback address of its own, and reads the event log it writes.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct TestServer {
    std::string address;  // 127.x.y.z, fresh for every server
    std::string dir;      // Unix path of this server's scratch folder

    // Starts `tavimo-server --once` with the extra arguments and waits until it listens.
    bool start(const std::string& arguments);
    std::vector<std::string> log() const;
    // Waits, with a generous bound, until a log line starts with `prefix`.
    bool waitFor(const std::string& prefix, int timeoutMs = 20000) const;
    int count(const std::string& prefix) const;
    // Every byte that came in on the input channel, as upper-case hex.
    std::string rawInput() const;
};

// Polls every 20 ms until `done` or the time is up; says whether it was done.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000);
// A loopback address no other test in this run uses, with nothing listening on it.
std::string freshLoopbackAddress();
// Z:\... for a Unix path, so Windows file calls reach it.
std::string windowsPath(const std::string& unixPath);
// The folder for a test's files, from TAVIMO_TEST_TMP.
std::string scratchFolder(const std::string& name);
