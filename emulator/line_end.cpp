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

void UpsEnd::send(const std::string& bytes, std::size_t chunk)
{
    if (pace_.line_rate) {
        // Each character is on the wire for its whole time and arrives at its end.
        auto slot = Clock::now();
        for (const char c : bytes) {
            slot += io::char_time(pace_.baud);
            if (!wait_until(slot)) return;
            io::write_all(fd_, &c, 1, name_);
        }
        return;
    }
    const std::size_t step = chunk == 0 ? bytes.size() : chunk;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        io::write_all(fd_, bytes.data() + at, std::min(step, bytes.size() - at), name_);
    }
}

bool UpsEnd::serve_one(const Answerer& answer, Clock::duration wait)
{
    Clock::time_point first;
    const auto request = reader_.next(Clock::now() + wait, &first);
    if (!request || request->frame.empty()) return false;
    const auto heard =
        pace_.line_rate
            ? first + io::char_time(pace_.baud) *
                          static_cast<long>(request->noise.size() + request->frame.size())
            : Clock::now();
    if (!wait_until(heard)) return true;
    const Answer a = answer(*request);
    send(a.now, a.chunk);
    if (!a.late.empty() && wait_until(heard + pace_.late_after)) send(a.late, a.chunk);
    return true;
}

}  // namespace emulator
