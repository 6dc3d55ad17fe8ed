#include "serial.h"

#include "stop.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace io {

namespace {

// The speeds a port may be set to: the baud and its termios constant.
constexpr struct {
    unsigned baud;
    speed_t speed;
} kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
               {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

speed_t speed_of(unsigned baud)
{
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) return s.speed;
    }
    throw std::invalid_argument("baud rate " + std::to_string(baud) + " not supported; it can be " +
                                kBauds);
}

}  // namespace

void make_raw(int fd, unsigned baud, const std::string& device)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        if (errno == ENOTTY || errno == EINVAL)
            throw std::invalid_argument("port " + device + ": not a serial port");
        throw std::invalid_argument("port " + device + ": " + std::strerror(errno));
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, speed_of(baud));
    cfsetospeed(&t, speed_of(baud));
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        throw std::invalid_argument("port " + device +
                                    ": cannot set the line: " + std::strerror(errno));
    }
}

void write_all(int fd, const char* data, std::size_t size, const std::string& device)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw LineLost(device + ": write: " + std::strerror(n < 0 ? errno : EIO));
        done += static_cast<std::size_t>(n);
    }
}

const char* const kBauds = "1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";

bool baud_supported(unsigned baud)
{
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) return true;
    }
    return false;
}

std::thread thread_without_stops(std::function<void()> body)
{
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &before);  // the new thread inherits the mask
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return thread;
}

PseudoTerminal open_pseudo_terminal(unsigned baud)
{
    PseudoTerminal p;
    if (openpty(&p.ups_side, &p.host_side, nullptr, nullptr, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "openpty");
    }
    fcntl(p.ups_side, F_SETFD, FD_CLOEXEC);
    fcntl(p.host_side, F_SETFD, FD_CLOEXEC);
    const char* name = ttyname(p.host_side);
    p.host_path = name != nullptr ? name : "pseudo-terminal";
    make_raw(p.ups_side, baud, p.host_path);
    make_raw(p.host_side, baud, p.host_path);
    return p;
}

Clock::duration char_time(unsigned baud)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(10.0 / static_cast<double>(baud)));
}

std::optional<Received> LineReader::next(Clock::time_point deadline, Clock::time_point* first)
{
    for (;;) {
        if (auto got = take(first)) return got;
        if (!fill(deadline)) return std::nullopt;
    }
}

bool LineReader::quiet_for(Clock::duration quiet)
{
    if (at_ < pending_.size() || !finder_.idle()) return false;
    return !fill(Clock::now() + quiet);
}

std::optional<Received> LineReader::take(Clock::time_point* first)
{
    while (at_ < pending_.size()) {
        if (first != nullptr && finder_.idle()) *first = read_at_;
        if (finder_.put(pending_[at_++])) return Received{finder_.noise(), finder_.frame(), 0};
        if (finder_.noise_full()) return Received{finder_.take_noise(), "", 0};
    }
    return std::nullopt;
}

bool LineReader::fill(Clock::time_point deadline)
{
    pending_.clear();
    at_ = 0;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready < 0 && errno == EINTR) {
            if (g_stop_now != 0) throw Interrupted(device_ + ": the wait was ended by a signal");
            continue;
        }
        if (ready < 0) throw LineLost(device_ + ": poll: " + std::strerror(errno));
        if (ready == 0) return false;
        if ((p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            throw LineLost(device_ + ": the line hung up");
        }
        char buf[256];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) throw LineLost(device_ + ": read: " + std::strerror(errno));
        if (n == 0) throw LineLost(device_ + ": the line hung up");
        read_at_ = Clock::now();
        pending_.assign(buf, static_cast<std::size_t>(n));
        return true;
    }
}

}  // namespace io
