// Code run as another local user (nobody), for tests of who may connect. Needs root.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

constexpr uid_t kOtherUid = 65534;

// A child process that becomes kOtherUid, runs `body`, and exits with its result when
// finish() lets it go, so whatever the body opened stays open until then.
class OtherUser {
public:
    explicit OtherUser(const std::function<int()>& body)
    {
        int release[2];
        if (pipe2(release, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(release[1]);
            bool dropped = setgroups(0, nullptr) == 0 && setresgid(kOtherUid, kOtherUid, kOtherUid) == 0 &&
                           setresuid(kOtherUid, kOtherUid, kOtherUid) == 0;
            int result = dropped ? body() : 99;
            char byte;
            while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(result);
        }
        ::close(release[0]);
        release_ = release[1];
    }
    ~OtherUser() { finish(); }

    // The body's exit status (99: the user could not be taken on), or -1.
    int finish()
    {
        if (release_ >= 0)
            ::close(release_);
        release_ = -1;
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            result_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return result_;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    int result_ = -1;
};
