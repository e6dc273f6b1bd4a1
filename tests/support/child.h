// A part of a test run in a child process of its own: for what would disturb
// the test runner (closing its standard descriptors) or might never come back
// (a read that loops). The child's time is bounded; once it is over, the
// child is killed by its id.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

namespace vmd::test {

struct ChildOutcome {
    // The child exited of itself, with status 0, within its time.
    bool finished = false;
    // What `work` returned, as far as the child wrote it.
    std::string output;
};

// Forks; the child runs `work` and hands back the text it returns. Waits at
// most `seconds` for it.
inline ChildOutcome in_child(const std::function<std::string()>& work, int seconds = 60) {
    ChildOutcome outcome;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return outcome;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return outcome;
    }
    if (pid == 0) {
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
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(seconds);
    const auto left_ms = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    };
    bool ended = false;
    for (int wait = left_ms(); wait > 0 && !ended; wait = left_ms()) {
        pollfd p{ends[0], POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
        if (n > 0) {
            outcome.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ended = true;
        }
    }
    ::close(ends[0]);
    int status = 0;
    pid_t done = 0;
    while (done == 0 && left_ms() > 0) {
        done = ::waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno == EINTR) done = 0;
        if (done == 0) ::usleep(1000);
    }
    if (done != pid) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return outcome;
    }
    outcome.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return outcome;
}

}  // namespace vmd::test
