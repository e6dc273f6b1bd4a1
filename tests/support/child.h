// A part of a test run in a child process of its own: for what would disturb
// the test runner (closing its standard descriptors) or might never come back
// (a read that loops). The child's time is bounded by an alarm, whose signal
// ends it.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace vmd::test {

struct ChildOutcome {
    // The child exited of itself, with status 0, within its time.
    bool finished = false;
    // What `work` returned, as far as the child wrote it.
    std::string output;
};

// Forks; the child runs `work` and hands back the text it returns, or is
// ended by SIGALRM after `seconds`.
inline ChildOutcome in_child(const std::function<std::string()>& work, unsigned seconds = 60) {
    ChildOutcome outcome;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return outcome;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(seconds);
        // Above the standard descriptors, which `work` may close: the runner
        // itself may have started without some of them.
        ::close(ends[0]);
        const int out = ::fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
        ::close(ends[1]);
        if (out < 0) ::_exit(3);
        std::string text;
        try {
            text = work();
        } catch (...) {
            ::_exit(2);
        }
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(out, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ::_exit(4);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    if (pid > 0) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) != 0;) {
            if (n > 0) {
                outcome.output.append(buffer, static_cast<std::size_t>(n));
            } else if (errno != EINTR) {
                break;
            }
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        outcome.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ::close(ends[0]);
    return outcome;
}

}  // namespace vmd::test
