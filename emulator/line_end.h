// The UPS's end of a serial line: each request read as it comes and answered
// by the emulated UPS, at the wire's pace and with a unit's delays when
// asked. The bench serves its pseudo-terminal with it; vx40-ups serves a
// real port or a pseudo-terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
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
    // A reply begins this long after its request was heard: drawn evenly
    // from delay_lo..delay_hi for each reply, by a generator seeded `seed`.
    std::chrono::milliseconds delay_lo{0};
    std::chrono::milliseconds delay_hi{0};
    std::uint32_t seed = 1;
    // Between two characters of a reply, as a unit's slow UART leaves.
    std::chrono::milliseconds char_gap{0};
    // The line hears its own transmission (a two-wire RS-485 adapter): what
    // was sent comes back and is dropped, never taken as a request.
    bool echo = false;
};

// How one answer went out on the line.
struct Delivery {
    io::Clock::time_point heard;  // the request's last character
    io::Clock::time_point first;  // the reply's first character written
    io::Clock::time_point last;   // ... and its last
    std::size_t written = 0;      // characters of the reply written
    bool whole = false;           // every one of them (or there was none to send)
    std::string cut;              // why not: "stopped", or the line's fault
};

class UpsEnd {
public:
    // What the UPS puts on the line for one request (nothing: no answer).
    using Answerer = std::function<Answer(const io::Received& request)>;
    // Told what went out for each request, once it has (or was cut).
    using Reporter =
        std::function<void(const io::Received& request, const Answer& a, const Delivery& d)>;

    // `stopped()` true ends every wait at once.
    UpsEnd(int fd, std::string name, Pace pace, std::function<bool()> stopped)
        : fd_(fd),
          name_(std::move(name)),
          pace_(pace),
          stop_(std::move(stopped)),
          reader_(fd, name_),
          draw_(pace.seed)
    {
    }
    // Waits up to `wait` for a request and answers it; false when none came
    // (noise alone, or its own echo, asks nothing). LineLost when the line
    // is gone (reported first when a reply was being written).
    bool serve_one(const Answerer& answer, io::Clock::duration wait,
                   const Reporter& report = nullptr);
    // With an echoing line: its own characters heard back and dropped.
    void on_echo(std::function<void(const io::Received& own)> heard) { echoed_ = std::move(heard); }

private:
    bool wait_until(io::Clock::time_point t) const;
    // Writes the reply, as paced; how much of it went out, and when.
    void send(const std::string& bytes, std::size_t chunk, Delivery& d);
    io::Clock::duration reply_delay();
    bool own_echo(const io::Received& r);

    int fd_;
    std::string name_;
    Pace pace_;
    std::function<bool()> stop_;
    io::LineReader reader_;
    std::mt19937 draw_;
    std::string echo_;  // sent and not yet heard back
    std::function<void(const io::Received& own)> echoed_;
};

}  // namespace emulator
