// The UPS's end of a serial line: each request read as it comes and answered
// by the emulated UPS, at the wire's pace when asked. The bench serves its
// pseudo-terminal with it; vx40-ups serves a real port or a pseudo-terminal.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "serial.h"
#include "ups.h"

namespace emulator {

struct Pace {
    unsigned baud = 4800;
    // Each character takes its time on the wire (ten bits at `baud`), both
    // ways: a request is heard at its last character's end.
    bool line_rate = false;
    // A late reply goes out this long after its request was heard.
    std::chrono::milliseconds late_after{2100};
};

class UpsEnd {
public:
    // What the UPS puts on the line for one request (nothing: no answer).
    using Answerer = std::function<Answer(const io::Received& request)>;

    // `stopped()` true ends every wait at once.
    UpsEnd(int fd, std::string name, Pace pace, std::function<bool()> stopped)
        : fd_(fd),
          name_(std::move(name)),
          pace_(pace),
          stop_(std::move(stopped)),
          reader_(fd, name_)
    {
    }
    // Waits up to `wait` for a request and answers it; false when none came
    // (noise alone asks nothing). LineLost when the line is gone.
    bool serve_one(const Answerer& answer, io::Clock::duration wait);

private:
    bool wait_until(io::Clock::time_point t) const;
    void send(const std::string& bytes, std::size_t chunk);

    int fd_;
    std::string name_;
    Pace pace_;
    std::function<bool()> stop_;
    io::LineReader reader_;
};

}  // namespace emulator
