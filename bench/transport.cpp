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
#include "line_end.h"
#include "port_lock.h"

namespace bench {

using io::Clock;
using io::LineReader;
using io::make_raw;
using io::write_all;

namespace {

// The frames in `bytes`, as a port layer would find them, added to `frames`.
void frames_in(protocol::FrameFinder& finder, const std::string& bytes, bool late, Reply& frames)
{
    for (std::size_t at = 0; at < bytes.size();) {
        at += finder.put(bytes.data() + at, bytes.size() - at);
        if (finder.ended()) frames.push_back({finder.noise(), finder.frame(), 0, late});
        if (finder.noise_full()) frames.push_back({finder.take_noise(), "", 0, late});
    }
    if (!finder.idle()) frames.push_back({finder.noise() + finder.frame(), "", 0, late});
    finder.clear();  // idle for the next characters, its buffers kept
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
        frames_in(finder_, owed_, true, got);
        frames_in(finder_, a.now, false, got);
        owed_ = a.late;
        return got;
    }
    std::string where() const override { return "emulator in process"; }

private:
    LineUps& ups_;
    std::string owed_;
    protocol::FrameFinder finder_;
};

// The host's side of a serial line, as the host's port layer drives it.
class Serial : public Transport {
public:
    Serial(int fd, int timeout_ms, std::string device, io::PortLock lock = {}, bool echo = false)
        : fd_(fd),
          echo_(echo),
          timeout_(timeout_ms),
          device_(std::move(device)),
          reader_(fd, device_),
          lock_(std::move(lock))
    {
    }
    ~Serial() override
    {
        lock_ = io::PortLock();
        close(fd_);
    }
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
        bool echoed = !echo_;
        while (auto frame = reader_.next(deadline)) {
            if (!echoed && frame->frame == request_line && frame->noise.empty()) {
                echoed = true;  // the request heard back: not the UPS's
                continue;
            }
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
    bool echo_;
    std::chrono::milliseconds timeout_;
    std::string device_;
    LineReader reader_;
    int owed_ = 0;  // requests that timed out since the last answer: their replies may still come
    io::PortLock lock_;
};

// The emulator's end of the pseudo-terminal, served on a thread of its own.
class Pty : public Transport {
public:
    Pty(LineUps& ups, const LineOptions& line) : ups_(ups)
    {
        const io::PseudoTerminal pty = io::open_pseudo_terminal(line.baud);
        master_ = pty.ups_side;
        host_side_ = std::make_unique<Serial>(pty.host_side, line.timeout_ms, pty.host_path);
        emulator::Pace pace;
        pace.baud = line.baud;
        pace.line_rate = line.line_rate;
        pace.late_after = std::chrono::milliseconds(line.timeout_ms) + kLateBy;
        ups_end_ = std::make_unique<emulator::UpsEnd>(master_, "emulator side", pace,
                                                      [this] { return stop_.load(); });
        // Stop signals go to the host's side, whose waits they end.
        server_ = io::thread_without_stops([this] { serve(); });
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
    void serve()
    {
        const auto answer = [this](const Received& request) { return ups_.answer(request.frame); };
        try {
            while (!stop_) ups_end_->serve_one(answer, std::chrono::milliseconds(50));
        } catch (const LineLost&) {
            // The host side closed: nothing more to answer.
        }
    }

    LineUps& ups_;
    int master_ = -1;
    std::unique_ptr<Serial> host_side_;
    std::atomic<bool> stop_{false};
    std::unique_ptr<emulator::UpsEnd> ups_end_;
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

std::unique_ptr<Transport> over_port(const std::string& device, const LineOptions& line)
{
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw std::invalid_argument("port " + device + ": cannot open: " + std::strerror(errno));
    }
    io::PortLock lock;
    try {
        // The host's end is this program's alone, as the simulator's is.
        lock = io::PortLock(fd, device, false);
        make_raw(fd, line.baud, device);
    } catch (...) {
        lock = io::PortLock();
        close(fd);
        throw;
    }
    return std::make_unique<Serial>(fd, line.timeout_ms, device, std::move(lock), line.echo);
}

}  // namespace bench
