// Proof that nobody opens a FIFO: a child process blocked in a blocking
// open(2) of it for writing, which returns only once someone opens the FIFO
// for reading. While the child stays blocked, nobody has.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace vmd::test {

class FifoWriter {
public:
    explicit FifoWriter(const std::string& fifo) : fifo_(fifo) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            ::_exit(fd >= 0 ? 0 : 1);
        }
        // Until the child sleeps, it may not have reached open(2) yet, and a
        // reader then would go unnoticed.
        for (int i = 0; i < 10000 && pid_ > 0 && state() != 'S'; ++i) pause();
    }
    ~FifoWriter() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    // Still in open(2): right now, and after a moment's grace, in which a
    // writer released meanwhile would have been woken.
    bool blocked() const {
        if (state() != 'S') return false;
        for (int i = 0; i < 50; ++i) pause();
        return state() == 'S';
    }

    // Opens the FIFO for reading, which releases the writer; true once it has
    // come out of open(2) with a descriptor and exited (within 10 s).
    bool release() {
        const int reader = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (reader < 0) return false;
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 10000 && done == 0; ++i) {
            done = ::waitpid(pid_, &status, WNOHANG);
            if (done == 0) pause();
        }
        ::close(reader);
        if (done != pid_) return false;
        pid_ = 0;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    static void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

    // The child's state letter from /proc/PID/stat: 'S' while it sleeps in
    // open(2), '?' when it cannot be read.
    char state() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(in, line);
        const std::size_t close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
    }

    std::string fifo_;
    pid_t pid_ = -1;
};

}  // namespace vmd::test
