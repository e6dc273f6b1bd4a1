// Running part of a test as a process without privileges would: on a thread
// of its own whose effective capabilities are dropped (capabilities belong to
// each thread), so that refusals root never meets can be tested as root
// too, and the test process keeps what it had.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace vmd::test {

// Runs `work` on a new thread without effective capabilities; false when
// they could not be dropped (`work` has run all the same).
inline bool without_capabilities(const std::function<void()>& work) {
    bool dropped = false;
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            for (__user_cap_data_struct& d : data) d.effective = 0;
            dropped = ::syscall(SYS_capset, &header, data) == 0;
        }
        work();
    }).join();
    return dropped;
}

}  // namespace vmd::test
