// Code run as another local user (nobody), for tests of who may connect. Needs root.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

constexpr uid_t kOtherUid = 65534;

// Runs `body` in a child process that has become kOtherUid and, while what the body
// opened stays open, `meanwhile` here. The body's result; 99 when the child could not
// become that user, -1 when it did not exit.
inline int asOtherUser(const std::function<int()>& body, const std::function<void()>& meanwhile = [] {})
{
    int release[2];
    if (pipe(release) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(release[1]);
        int result = setgroups(0, nullptr) || setresgid(kOtherUid, kOtherUid, kOtherUid) ||
                             setresuid(kOtherUid, kOtherUid, kOtherUid)
                         ? 99
                         : body();
        char byte;
        while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(result);
    }
    close(release[0]);
    meanwhile();
    close(release[1]);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
