#include "transport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "frame.h"

namespace bench {

void LineUps::begin_round(const RoundScript& script)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ups_.apply(script);
    script_ = script;
}

std::optional<std::string> LineUps::answer(const std::string& request_line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    standin::Decoded request;
    if (standin::decode_frame(request_line.data(), request_line.size(), ver_, adr_, request) !=
        standin::Refusal::None) {
        return std::nullopt;  // not for this UPS, or garbled: no answer
    }
    const std::uint8_t cid1 = request.bytes[2];
    const std::uint8_t cid2 = request.bytes[3];
    const auto info = ups_.reply_info(cid2);
    if (cid1 != 0x2A || !info || script_.drop.count(cid2) != 0) {
        return std::nullopt;
    }
    const auto cut = script_.short_reply.find(cid2);
    const std::size_t hex = cut != script_.short_reply.end()
                                ? std::min(cut->second, 2 * info->size())
                                : 2 * info->size();
    return standin::encode_frame_cut(ver_, adr_, cid1, 0x00, *info, hex);
}

namespace {

class InProcess : public Transport {
public:
    explicit InProcess(LineUps& ups) : ups_(ups) {}
    std::optional<std::string> exchange(const std::string& request_line) override
    {
        return ups_.answer(request_line);
    }
    std::string where() const override { return "emulator in process"; }

private:
    LineUps& ups_;
};

speed_t speed_of(unsigned baud)
{
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            throw std::invalid_argument("baud rate " + std::to_string(baud) + " not supported");
    }
}

void make_raw(int fd, unsigned baud, const std::string& device)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        if (errno == ENOTTY || errno == EINVAL)
            throw std::invalid_argument(device + ": not a serial port");
        throw std::system_error(errno, std::generic_category(), device);
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, speed_of(baud));
    cfsetospeed(&t, speed_of(baud));
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        throw std::system_error(errno, std::generic_category(), device + ": cannot set the line");
    }
}

void write_all(int fd, const std::string& s, const std::string& device)
{
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw LineLost(device + ": write: " + std::strerror(n < 0 ? errno : EIO));
        done += static_cast<std::size_t>(n);
    }
}

// Reads one line ended by CR, bounded in length and time. Characters before
// the SOI are line noise and skipped.
std::optional<std::string> read_line(int fd, int timeout_ms, const std::string& device)
{
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.size() <= standin::kMaxFrameChars) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        if ((p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            throw LineLost(device + ": the line hung up");
        }
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) throw LineLost(device + ": read: " + std::strerror(errno));
        if (n == 0) throw LineLost(device + ": the line hung up");
        if (line.empty() && c != '~') continue;
        line.push_back(c);
        if (c == '\r') return line;
    }
    return line;  // over-long: the decoder refuses it
}

class Serial : public Transport {
public:
    Serial(int fd, int timeout_ms, std::string device)
        : fd_(fd), timeout_ms_(timeout_ms), device_(std::move(device))
    {
    }
    ~Serial() override { close(fd_); }
    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;
    std::optional<std::string> exchange(const std::string& request_line) override
    {
        tcflush(fd_, TCIFLUSH);
        write_all(fd_, request_line, device_);
        return read_line(fd_, timeout_ms_, device_);
    }
    std::string where() const override { return device_; }

private:
    int fd_;
    int timeout_ms_;
    std::string device_;
};

// The emulator's end of the pseudo-terminal, served on a thread of its own.
class Pty : public Transport {
public:
    Pty(LineUps& ups, unsigned baud, int timeout_ms) : ups_(ups)
    {
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::system_error(errno, std::generic_category(), "openpty");
        }
        const char* name = ttyname(slave);
        const std::string path = name != nullptr ? name : "pseudo-terminal";
        make_raw(master_, baud, path);
        make_raw(slave, baud, path);
        host_side_ = std::make_unique<Serial>(slave, timeout_ms, path);
        server_ = std::thread([this] { serve(); });
    }
    ~Pty() override
    {
        stop_ = true;
        server_.join();
        host_side_.reset();
        close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    std::optional<std::string> exchange(const std::string& request_line) override
    {
        return host_side_->exchange(request_line);
    }
    std::string where() const override { return "emulator on " + host_side_->where(); }

private:
    void serve()
    {
        try {
            while (!stop_) {
                const auto line = read_line(master_, 50, "emulator side");
                if (!line) continue;
                if (const auto reply = ups_.answer(*line))
                    write_all(master_, *reply, "emulator side");
            }
        } catch (const LineLost&) {
            // The host side closed: nothing more to answer.
        }
    }

    LineUps& ups_;
    int master_ = -1;
    std::unique_ptr<Serial> host_side_;
    std::atomic<bool> stop_{false};
    std::thread server_;
};

}  // namespace

std::unique_ptr<Transport> in_process(LineUps& ups)
{
    return std::make_unique<InProcess>(ups);
}

std::unique_ptr<Transport> over_pty(LineUps& ups, unsigned baud, int timeout_ms)
{
    return std::make_unique<Pty>(ups, baud, timeout_ms);
}

std::unique_ptr<Transport> over_port(const std::string& device, unsigned baud, int timeout_ms)
{
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::invalid_argument(device + ": cannot open: " + std::strerror(errno));
    try {
        make_raw(fd, baud, device);
    } catch (...) {
        close(fd);
        throw;
    }
    return std::make_unique<Serial>(fd, timeout_ms, device);
}

}  // namespace bench
