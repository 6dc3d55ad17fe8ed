// A whole number as a person types it, for the tools' options and commands.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace io {

// `text` whole (no sign games, nothing after it) and in lo..hi; base 0 also
// takes 0x1F and 017.
inline std::optional<long long> whole_number(const std::string& text, long long lo, long long hi,
                                             int base = 10)
{
    std::size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(text, &used, base);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.empty() || used != text.size() || v < lo || v > hi) return std::nullopt;
    return v;
}

}  // namespace io
