#include "replay.h"

#include <limits>

#include "host.h"
#include "text.h"

namespace bench {

void Replay::begin_round(const RecordedRound& round)
{
    round_ = &round;
    next_ = 0;
}

void Replay::end_round() const
{
    const auto& r = *round_;
    if (next_ < r.exchanges.size()) {
        throw ReplayDeparted("round " + std::to_string(r.round) + ": the plug-in made " +
                             std::to_string(next_) + " requests, the recording has " +
                             std::to_string(r.exchanges.size()));
    }
}

Reply Replay::exchange(const std::string& request_line)
{
    const auto& r = *round_;
    const std::string at =
        "round " + std::to_string(r.round) + " step " + std::to_string(next_ + 1) + ": ";
    if (next_ >= r.exchanges.size()) {
        throw ReplayDeparted(at + "the plug-in sent " + protocol::printable(request_line) +
                             ", the recording has no more requests in this round");
    }
    const RecordedExchange& e = r.exchanges[next_++];
    if (e.request != request_line) {
        throw ReplayDeparted(at + "the plug-in sent " + protocol::printable(request_line) +
                             ", the recording has " + protocol::printable(e.request));
    }
    bool answered = false;
    for (const Received& got : e.reply) answered = answered || (!got.frame.empty() && !got.late);
    if (!answered && !e.timed_out) {
        // Neither a reply nor a timeout: the recording lost it; none is made up.
        throw ReplayDeparted(at + "the recording has no reply and no timeout for " +
                             protocol::printable(e.request) + " (line " + std::to_string(e.line) +
                             ")");
    }
    return e.reply;
}

long ReplaySource::rounds() const
{
    return std::numeric_limits<long>::max();  // to the recording's end
}

bool ReplaySource::begin(long /*n*/)
{
    if (!recording_.next(round_)) return false;
    standin::set_clock(round_.clock);
    line_.begin_round(round_);
    return true;
}

void ReplaySource::end(bool /*line_lost*/)
{
    standin::set_clock(round_.read_clock);
}

}  // namespace bench
