#include "line_end.h"

#include <algorithm>
#include <thread>

namespace emulator {

using io::Clock;

bool UpsEnd::wait_until(Clock::time_point t) const
{
    // In short steps, so that the end of the run is seen.
    while (!stop_() && Clock::now() < t) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(t - Clock::now(), std::chrono::milliseconds(20)));
    }
    return !stop_();
}

Clock::duration UpsEnd::reply_delay()
{
    if (pace_.delay_hi <= pace_.delay_lo) return pace_.delay_lo;
    std::uniform_int_distribution<long long> ms(pace_.delay_lo.count(), pace_.delay_hi.count());
    return std::chrono::milliseconds(ms(draw_));
}

void UpsEnd::send(const std::string& bytes, std::size_t chunk, Delivery& d)
{
    // The first character's time when it is handed to the line, the last's
    // when it has been taken.
    const auto put = [&](const char* p, std::size_t n) {
        if (d.written == 0) d.first = Clock::now();
        try {
            io::write_all(fd_, p, n, name_);
        } catch (const io::LineLost& e) {
            d.cut = e.what();
            throw;
        }
        d.written += n;
        d.last = Clock::now();
    };
    const auto gap = pace_.char_gap;
    if (pace_.line_rate || gap.count() > 0) {
        // Each character is on the wire for its whole time (with --line-rate)
        // and arrives at its end; the unit's gap runs from the character
        // before it.
        auto slot = Clock::now();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (pace_.line_rate) slot += io::char_time(pace_.baud);
            if (i > 0 && gap.count() > 0) slot = std::max(slot, d.last + gap);
            if (!wait_until(slot)) break;
            put(&bytes[i], 1);
        }
    } else {
        const std::size_t step = chunk == 0 ? bytes.size() : chunk;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            if (at > 0 && !wait_until(Clock::now() + std::chrono::milliseconds(2))) break;
            put(bytes.data() + at, std::min(step, bytes.size() - at));
        }
    }
    if (pace_.echo) echo_ += bytes.substr(0, d.written);
}

bool UpsEnd::own_echo(const io::Received& r)
{
    if (!pace_.echo || echo_.empty()) return false;
    const std::string heard = r.noise + r.frame;
    if (echo_.compare(0, heard.size(), heard) != 0) {
        echo_.clear();  // not its own: the echo was lost, and this is the other end's
        return false;
    }
    echo_.erase(0, heard.size());
    if (echoed_) echoed_(r);
    return true;
}

bool UpsEnd::serve_one(const Answerer& answer, Clock::duration wait, const Reporter& report)
{
    Clock::time_point first;
    const auto request = reader_.next(Clock::now() + wait, &first);
    if (!request || own_echo(*request) || request->frame.empty()) return false;
    Delivery d;
    d.heard = pace_.line_rate
                  ? first + io::char_time(pace_.baud) *
                                static_cast<long>(request->noise.size() + request->frame.size())
                  : Clock::now();
    if (!wait_until(d.heard)) return true;
    const Answer a = answer(*request);
    const bool late = a.now.empty() && !a.late.empty();
    const std::string& reply = late ? a.late : a.now;
    try {
        if (!reply.empty()) {
            const auto after =
                late ? (a.late_ms > 0 ? std::chrono::milliseconds(a.late_ms) : pace_.late_after)
                     : reply_delay();
            if (wait_until(d.heard + after)) send(reply, a.chunk, d);
        }
    } catch (const io::LineLost&) {
        if (report) report(*request, a, d);
        throw;
    }
    d.whole = d.written == reply.size();
    if (!d.whole && d.cut.empty()) d.cut = "stopped";
    if (report) report(*request, a, d);
    return true;
}

}  // namespace emulator
