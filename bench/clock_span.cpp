#include "clock_span.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace bench {

namespace {

// "YYYY-MM-DD HH:MM:SS" as seconds since 1970 (the clock's own zone).
std::int64_t seconds_of(const std::string& text)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) !=
            6 ||
        static_cast<std::size_t>(used) != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 ||
        h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60) {
        throw std::runtime_error("clock \"" + text + "\" is not YYYY-MM-DD HH:MM:SS");
    }
    // A day past the month's end counts on into the next month, as sys_days does.
    using namespace std::chrono;
    const sys_days day{year{y} / month{static_cast<unsigned>(mo)} /
                       std::chrono::day{static_cast<unsigned>(d)}};
    const auto at = day + hours{h} + minutes{mi} + seconds{s};
    return at.time_since_epoch().count();
}

}  // namespace

std::int64_t clock_seconds(const std::string& text, bool end_of_span)
{
    if (text.size() == 10) return seconds_of(text + (end_of_span ? " 23:59:59" : " 00:00:00"));
    return seconds_of(text);
}

}  // namespace bench
