// The span of rounds a page pictures (--from, --to), in seconds of the
// rounds' own clock readings.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace bench {

struct ClockSpan {
    std::int64_t from = std::numeric_limits<std::int64_t>::min();
    std::int64_t to = std::numeric_limits<std::int64_t>::max();
    bool whole() const
    {
        return from == std::numeric_limits<std::int64_t>::min() &&
               to == std::numeric_limits<std::int64_t>::max();
    }
    // --from after --to: no round can be in it.
    bool empty() const { return from > to; }
    bool holds(std::int64_t t) const { return t >= from && t <= to; }
    static constexpr const char* kEmpty = "--from is after --to: no round between";
};

// "YYYY-MM-DD HH:MM:SS" (a round's clock) as seconds since 1970 of that
// reading; "YYYY-MM-DD" is its first second, or its last for the end of a
// span. Throws std::runtime_error saying what is wrong.
std::int64_t clock_seconds(const std::string& text, bool end_of_span = false);

}  // namespace bench
