// io/: what the tools read and write (the line, the stop signals, output
// files, recordings, JSON), on top of protocol/ and nothing else here.
//
// The serial line as both ends see it: a port set to raw 8N1 at a baud, and
// frames found in whatever pieces the line delivers, every character kept.
#pragma once

#include <termios.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "frame.h"

namespace io {

using Clock = std::chrono::steady_clock;

// One frame found on the line, with the characters skipped before its SOI.
// A frame that is empty carries noise alone: characters that never became
// a frame, kept so that nothing received is lost.
struct Received {
    std::string noise;
    std::string frame;
    std::time_t clock = 0;  // the local clock when it came (kept by recordings)
    bool late = false;      // owed to an earlier request that timed out
};

// A second signal ended a wait on the line.
struct Interrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The serial line went away (a pseudo-terminal closed, an adapter unplugged).
struct LineLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The speeds a serial line can be set to, and whether `baud` is one.
extern const char* const kBauds;
bool baud_supported(unsigned baud);
// Raw 8N1 at `baud`; std::invalid_argument naming the port when it is not a
// serial port or cannot be set.
void make_raw(int fd, unsigned baud, const std::string& device);
// Writes all of it; LineLost when the line is gone.
void write_all(int fd, const char* data, std::size_t size, const std::string& device);
// A thread that never takes SIGINT or SIGTERM: they go to the thread whose
// waits on the line they are meant to end.
std::thread thread_without_stops(std::function<void()> body);
// A new pseudo-terminal, both sides raw 8N1 at `baud` and closed on exec:
// the UPS's side, and the host's side with its path.
struct PseudoTerminal {
    int ups_side = -1;
    int host_side = -1;
    std::string host_path;
};
PseudoTerminal open_pseudo_terminal(unsigned baud);
// Ten bits a character: start, eight data, stop.
Clock::duration char_time(unsigned baud);

// Reads the line in whatever pieces it delivers and finds frames in them.
// Every character read is handed on, in a frame or as noise.
class LineReader {
public:
    LineReader(int fd, std::string device) : fd_(fd), device_(std::move(device)) {}
    // The next whole frame (or noise of a frame's length), or nothing by
    // `deadline`. `first` is set to when the frame's first character (or
    // noise before it) was read. LineLost when the line is gone;
    // Interrupted when a second signal ends the wait.
    std::optional<Received> next(Clock::time_point deadline, Clock::time_point* first = nullptr);
    // A frame has begun and not ended.
    bool in_frame() const { return finder_.in_frame(); }
    // True when nothing more comes within `quiet`: no character waiting, none read.
    bool quiet_for(Clock::duration quiet);

private:
    std::optional<Received> take(Clock::time_point* first);
    // Reads what comes by `deadline` into pending_; false when nothing came.
    bool fill(Clock::time_point deadline);

    int fd_;
    std::string device_;
    protocol::FrameFinder finder_;
    std::string pending_;
    std::size_t at_ = 0;
    Clock::time_point read_at_;
};

}  // namespace io
