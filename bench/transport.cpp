#include "transport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "frame.h"

namespace bench {

volatile std::sig_atomic_t g_stop_now = 0;

namespace {

using Clock = std::chrono::steady_clock;

// The frames in `bytes`, as a port layer would find them, added to `frames`.
void frames_in(const std::string& bytes, bool late, Reply& frames)
{
    standin::FrameFinder finder;
    for (const char c : bytes) {
        if (finder.put(c)) frames.push_back({finder.noise(), finder.frame(), 0, late});
        if (finder.noise_full()) frames.push_back({finder.take_noise(), "", 0, late});
    }
    if (!finder.idle()) frames.push_back({finder.noise() + finder.frame(), "", 0, late});
}

// After a timeout the UPS may still owe that reply. What arrives before the
// next request is sent, or began to, is late. A late reply that starts after
// the next request went out is told by what follows it: after a timeout a
// frame is taken as the answer only once the line has stayed quiet this long
// after it (many character times at the slowest baud); a frame that more
// characters follow was the late one.
constexpr auto kSettle = std::chrono::milliseconds(200);
// What the emulator adds to the host's timeout before it sends a late reply.
constexpr auto kLateBy = std::chrono::milliseconds(100);

class InProcess : public Transport {
public:
    explicit InProcess(LineUps& ups) : ups_(ups) {}
    Reply exchange(const std::string& request_line) override
    {
        Answer a = ups_.answer(request_line);
        // A late reply goes on the line ahead of the next one.
        Reply got;
        frames_in(owed_, true, got);
        frames_in(a.now, false, got);
        owed_ = a.late;
        return got;
    }
    std::string where() const override { return "emulator in process"; }

private:
    LineUps& ups_;
    std::string owed_;
};

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

// Reads the line in whatever pieces it delivers and finds frames in them.
// Every character read is handed on, in a frame or as noise.
class LineReader {
public:
    LineReader(int fd, std::string device) : fd_(fd), device_(std::move(device)) {}
    // The next whole frame (or noise of a frame's length), or nothing by
    // `deadline`. `first` is set to when the frame's first character (or
    // noise before it) was read.
    std::optional<Received> next(Clock::time_point deadline, Clock::time_point* first = nullptr)
    {
        for (;;) {
            if (auto got = take(first)) return got;
            if (!fill(deadline)) return std::nullopt;
        }
    }
    // A frame has begun and not ended.
    bool in_frame() const { return finder_.in_frame(); }
    // True when nothing more comes within `quiet`: no character waiting, none read.
    bool quiet_for(Clock::duration quiet)
    {
        if (at_ < pending_.size() || !finder_.idle()) return false;
        return !fill(Clock::now() + quiet);
    }

private:
    std::optional<Received> take(Clock::time_point* first = nullptr)
    {
        while (at_ < pending_.size()) {
            if (first != nullptr && finder_.idle()) *first = read_at_;
            if (finder_.put(pending_[at_++])) return Received{finder_.noise(), finder_.frame(), 0};
            if (finder_.noise_full()) return Received{finder_.take_noise(), "", 0};
        }
        return std::nullopt;
    }

    // Reads what comes by `deadline` into pending_; false when nothing came.
    bool fill(Clock::time_point deadline)
    {
        pending_.clear();
        at_ = 0;
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
            if (ready < 0 && errno == EINTR) {
                if (g_stop_now != 0)
                    throw Interrupted(device_ + ": the wait was ended by a signal");
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

    int fd_;
    std::string device_;
    standin::FrameFinder finder_;
    std::string pending_;
    std::size_t at_ = 0;
    Clock::time_point read_at_;
};

// The host's side of a serial line, as the host's port layer drives it.
class Serial : public Transport {
public:
    Serial(int fd, int timeout_ms, std::string device)
        : fd_(fd), timeout_(timeout_ms), device_(std::move(device)), reader_(fd, device_)
    {
    }
    ~Serial() override { close(fd_); }
    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;
    Serial(Serial&&) = delete;
    Serial& operator=(Serial&&) = delete;
    Reply exchange(const std::string& request_line) override
    {
        Reply got;
        // What came since the last exchange cannot answer this request, nor
        // can a frame that began before it went out.
        while (auto early = reader_.next(Clock::now())) {
            early->late = !early->frame.empty();
            got.push_back(std::move(*early));
            if (owed_ > 0 && !early->frame.empty()) --owed_;
        }
        bool begun = reader_.in_frame();
        write_all(fd_, request_line.data(), request_line.size(), device_);
        auto deadline = Clock::now() + timeout_;
        bool answered = false;
        while (auto frame = reader_.next(deadline)) {
            if (!frame->frame.empty()) {
                if (begun || (owed_ > 0 && !reader_.quiet_for(kSettle))) {
                    // The reply owed to a request that timed out: this one's
                    // reply may follow, with its whole time from now.
                    frame->late = true;
                    begun = false;
                    owed_ = std::max(owed_ - 1, 0);
                    deadline = std::max(deadline, Clock::now() + timeout_);
                } else {
                    answered = true;
                }
            }
            got.push_back(std::move(*frame));
            if (answered) break;
        }
        // In step again after an answer; after a timeout its reply may come late.
        owed_ = answered ? 0 : std::min(owed_ + 1, 8);
        return got;
    }
    std::string where() const override { return device_; }
    void set_baud(unsigned baud) override { make_raw(fd_, baud, device_); }

private:
    int fd_;
    std::chrono::milliseconds timeout_;
    std::string device_;
    LineReader reader_;
    int owed_ = 0;  // requests that timed out since the last answer: their replies may still come
};

// The emulator's end of the pseudo-terminal, served on a thread of its own.
class Pty : public Transport {
public:
    Pty(LineUps& ups, const LineOptions& line) : ups_(ups), line_(line)
    {
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::system_error(errno, std::generic_category(), "openpty");
        }
        const char* name = ttyname(slave);
        const std::string path = name != nullptr ? name : "pseudo-terminal";
        make_raw(master_, line.baud, path);
        make_raw(slave, line.baud, path);
        host_side_ = std::make_unique<Serial>(slave, line.timeout_ms, path);
        // Stop signals go to the host's side, whose waits they end; the
        // emulator's thread never takes them.
        sigset_t stops;
        sigset_t before;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, &before);
        server_ = std::thread([this] { serve(); });
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
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
    Pty(Pty&&) = delete;
    Pty& operator=(Pty&&) = delete;
    Reply exchange(const std::string& request_line) override
    {
        return host_side_->exchange(request_line);
    }
    std::string where() const override { return "emulator on " + host_side_->where(); }

private:
    // Ten bits a character: start, eight data, stop.
    Clock::duration char_time() const
    {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / static_cast<double>(line_.baud)));
    }

    // Waits until `t`, in short steps so that the end of the run is seen.
    bool wait_until(Clock::time_point t) const
    {
        while (!stop_ && Clock::now() < t) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(t - Clock::now(), std::chrono::milliseconds(20)));
        }
        return !stop_;
    }

    void send(const std::string& bytes, std::size_t chunk)
    {
        if (line_.line_rate) {
            // Each character is on the wire for its whole time and arrives at its end.
            auto slot = Clock::now();
            for (const char c : bytes) {
                slot += char_time();
                if (!wait_until(slot)) return;
                write_all(master_, &c, 1, "emulator side");
            }
            return;
        }
        const std::size_t step = chunk == 0 ? bytes.size() : chunk;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            write_all(master_, bytes.data() + at, std::min(step, bytes.size() - at),
                      "emulator side");
        }
    }

    void serve()
    {
        LineReader reader(master_, "emulator side");
        try {
            while (!stop_) {
                Clock::time_point first;
                const auto request =
                    reader.next(Clock::now() + std::chrono::milliseconds(50), &first);
                if (!request || request->frame.empty()) continue;  // noise alone asks nothing
                const auto heard =
                    line_.line_rate
                        ? first + char_time() * static_cast<long>(request->noise.size() +
                                                                  request->frame.size())
                        : Clock::now();
                if (!wait_until(heard)) return;
                const Answer a = ups_.answer(request->frame);
                send(a.now, a.chunk);
                if (!a.late.empty()) {
                    if (!wait_until(heard + std::chrono::milliseconds(line_.timeout_ms) + kLateBy))
                        return;
                    send(a.late, a.chunk);
                }
            }
        } catch (const LineLost&) {
            // The host side closed: nothing more to answer.
        }
    }

    LineUps& ups_;
    LineOptions line_;
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

std::unique_ptr<Transport> over_pty(LineUps& ups, const LineOptions& line)
{
    return std::make_unique<Pty>(ups, line);
}

const char* const kBauds = "1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";

bool baud_supported(unsigned baud)
{
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) return true;
    }
    return false;
}

std::unique_ptr<Transport> over_port(const std::string& device, const LineOptions& line)
{
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw std::invalid_argument("port " + device + ": cannot open: " + std::strerror(errno));
    }
    try {
        make_raw(fd, line.baud, device);
    } catch (...) {
        close(fd);
        throw;
    }
    return std::make_unique<Serial>(fd, line.timeout_ms, device);
}

}  // namespace bench
