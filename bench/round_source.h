// Where a session's rounds come from, and what keeps their time: the
// emulated UPS with its scenario (in process, or behind a pseudo-terminal),
// a real port (the scenario's timing on the real clock), or a recording
// (replay.h). The source owns the line, the clock and the script; the
// session only runs rounds over it.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "scenario.h"
#include "transport.h"

namespace bench {

class RoundSource {
public:
    virtual ~RoundSource() = default;
    // The line the round's requests go over.
    virtual Transport& line() = 0;
    // What the recording's session event names as the line.
    virtual std::string recorded_line() const = 0;
    // The rounds it has: the scenario's, or as many as a recording holds.
    virtual long rounds() const = 0;
    // Before round n: the clock moved on and the round's script applied;
    // false when there is no round n (a recording's end, a stop in a wait).
    virtual bool begin(long n) = 0;
    // After the round's exchanges, when none failed and no stop came.
    virtual void exchanged() {}
    // The round's time passes (the script's "advance") before its values are
    // read; `line_lost` when the round lost the line.
    virtual void end(bool line_lost) = 0;
    // Frames carry the clock they came at (a replay), or take the clock now.
    virtual bool replaying() const { return false; }
};

// The emulated UPS, or a real port (given opened: `port`), run through the
// scenario's rounds on the virtual clock, or on the real one with
// --realtime or a port. The device's protocol version and address, and the
// line's settings, are the device's own.
std::unique_ptr<RoundSource> scripted_source(const Options& opt, const emulator::Scenario& scenario,
                                             std::uint8_t ver, std::uint8_t adr,
                                             const LineOptions& line,
                                             std::unique_ptr<Transport> port);

}  // namespace bench
