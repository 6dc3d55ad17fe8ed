// A serial line held by one program at a time. Two programs on one port (two
// simulators, two hosts) take each other's characters without a word, so
// each of ours locks the port it opens: an advisory lock on the device
// (flock, gone with the process however it ends) and the common lock file
// /var/lock/LCK..NAME holding the process number, which other serial
// programs respect. A second opener is refused naming the holder.
#pragma once

#include <sys/types.h>

#include <string>

namespace io {

// What the symbolic link at `path` names; "" when it is none.
std::string link_target(const std::string& path);

// The processes other than this one that hold `device` open, for messages
// ("process 1234 (vx40-ups)"); "" for none.
std::string holders_of(const std::string& device);

class PortLock {
public:
    PortLock() = default;
    // Locks the port open at `fd` (opened from `path`); with `exclusive`,
    // the kernel also refuses any other open of it (TIOCEXCL; root aside).
    // std::invalid_argument "port PATH: in use by ..." when another holds it.
    PortLock(int fd, const std::string& path, bool exclusive);
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    PortLock(PortLock&& other) noexcept { *this = std::move(other); }
    PortLock& operator=(PortLock&& other) noexcept;

private:
    void release() noexcept;

    int fd_ = -1;
    bool exclusive_ = false;
    std::string lock_file_;  // made by this lock, removed with it
};

}  // namespace io
