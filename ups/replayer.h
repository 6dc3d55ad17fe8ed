// A session recorded by vx40-bench --record served back on the line: each
// request gets the characters the UPS sent for it, in the recorded order
// (late replies where they fell). A request other than the one recorded
// next is a departure: it gets the last reply recorded for the same
// request, or the family's answer to an unknown one, and the recording
// waits where it was.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "frame.h"
#include "recording.h"
#include "ups.h"

namespace ups {

class Replayer {
public:
    // Serves the recording `reader` reads (io::open_recording).
    explicit Replayer(std::unique_ptr<io::RecordingReader> reader) : reader_(std::move(reader)) {}
    emulator::Answer answer(const std::string& request);
    unsigned long departures() const { return departures_; }
    // A torn last line or a last round cut short, once the end was reached.
    const std::string& warning() const { return reader_->warning(); }

private:
    std::unique_ptr<io::RecordingReader> reader_;
    io::RecordedRound round_;
    std::size_t next_ = 0;
    bool ended_ = false;
    std::map<std::string, std::string> last_;  // request -> the characters last sent for it
    unsigned long departures_ = 0;
    protocol::Decoded decoded_;
};

}  // namespace ups
