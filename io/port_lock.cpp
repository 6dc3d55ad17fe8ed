#include "port_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <utility>

namespace io {

namespace {

// Where lock files go; VX40_LOCK_DIR moves it (a test's own folder).
std::string lock_dir()
{
    const char* dir = std::getenv("VX40_LOCK_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/var/lock";
}

std::string real_path(const std::string& path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

// LCK..NAME: the device's path under /dev, its slashes as underscores.
std::string lock_file_of(const std::string& device)
{
    std::string name = real_path(device);
    if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
    for (char& c : name) c = c == '/' ? '_' : c;
    return lock_dir() + "/LCK.." + name;
}

std::string process_name(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// The process a lock file names, when it is alive; 0 otherwise.
pid_t live_owner(const std::string& file)
{
    std::ifstream in(file);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > INT_MAX) return 0;
    const auto p = static_cast<pid_t>(pid);
    return kill(p, 0) == 0 || errno == EPERM ? p : 0;
}

}  // namespace

std::string link_target(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string holders_of(const std::string& device)
{
    const std::string target = real_path(device);
    std::string found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return found;
    while (const dirent* p = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
        const std::string fds = "/proc/" + std::string(p->d_name) + "/fd";
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(fds.c_str()), closedir);
        if (!dir) continue;
        while (const dirent* f = readdir(dir.get())) {
            if (link_target(fds + "/" + f->d_name) != target) continue;
            found += (found.empty() ? "" : ", ") + process_name(static_cast<pid_t>(pid));
            break;
        }
    }
    return found;
}

PortLock::PortLock(int fd, const std::string& path, bool exclusive)
{
    const std::string lock_file = lock_file_of(path);
    const auto refuse = [&](std::string who) {
        if (who.empty()) who = holders_of(path);
        throw std::invalid_argument("port " + path + ": in use by " +
                                    (who.empty() ? "another program" : who));
    };
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const pid_t owner = live_owner(lock_file);
        refuse(owner != 0 ? process_name(owner) : "");
    }
    fd_ = fd;
    // The lock file: another program's, alive, refuses; a dead one's goes.
    if (const pid_t owner = live_owner(lock_file); owner != 0 && owner != getpid()) {
        release();
        refuse(process_name(owner) + ", by " + lock_file);
    }
    unlink(lock_file.c_str());
    const int lf = open(lock_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (lf >= 0) {
        // The common format: the process number in ten columns, a newline.
        char text[16];
        const int n = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
        const bool whole = write(lf, text, static_cast<std::size_t>(n)) == n;
        close(lf);
        if (whole)
            lock_file_ = lock_file;
        else
            unlink(lock_file.c_str());
    }
    // A folder that takes no lock file (not there, not ours to write): the
    // device's own lock still holds.
    if (exclusive && ioctl(fd, TIOCEXCL) == 0) exclusive_ = true;
}

PortLock& PortLock::operator=(PortLock&& other) noexcept
{
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        exclusive_ = std::exchange(other.exclusive_, false);
        lock_file_ = std::exchange(other.lock_file_, std::string());
    }
    return *this;
}

void PortLock::release() noexcept
{
    if (fd_ < 0) return;
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    // Only while it still names this process.
    if (!lock_file_.empty() && live_owner(lock_file_) == getpid()) unlink(lock_file_.c_str());
    fd_ = -1;
    exclusive_ = false;
    lock_file_.clear();
}

PortLock::~PortLock()
{
    release();
}

}  // namespace io
