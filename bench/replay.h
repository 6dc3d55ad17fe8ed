// A recorded session played back in place of a line (io/recording.h has
// the format): each request checked against the one recorded.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "recording.h"
#include "round_source.h"
#include "transport.h"

namespace bench {

using io::RecordedExchange;
using io::RecordedRound;
using io::RecordingReader;

// The plug-in did not make the request the recording has next.
struct ReplayDeparted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Serves a recording's replies back, one round at a time, checking that each
// request is the one recorded.
class Replay : public Transport {
public:
    explicit Replay(std::string line) : line_(std::move(line)) {}
    // Starts a round; `round` is kept until the next.
    void begin_round(const RecordedRound& round);
    // Throws ReplayDeparted when the plug-in made fewer requests than recorded.
    void end_round() const;
    Reply exchange(const std::string& request_line) override;
    std::string where() const override { return "replay of " + line_; }

private:
    std::string line_;
    const RecordedRound* round_ = nullptr;
    std::size_t next_ = 0;
};

// A recording's rounds, each on the clock it was recorded at.
class ReplaySource : public RoundSource {
public:
    explicit ReplaySource(RecordingReader& recording)
        : recording_(recording), line_(recording.session().line)
    {
    }
    Transport& line() override { return line_; }
    std::string recorded_line() const override { return recording_.session().line; }
    long rounds() const override;
    bool begin(long n) override;
    void exchanged() override { line_.end_round(); }
    void end(bool line_lost) override;
    bool replaying() const override { return true; }

private:
    RecordingReader& recording_;
    Replay line_;
    RecordedRound round_;  // the replayed round: one at a time
};

}  // namespace bench
