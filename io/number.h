// A whole number as a person types it, for the tools' options and commands;
// the text of a number that comes round after round, made once.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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

// A byte as the wire writes it: one or two hex digits, with or without 0x
// ("21", "0x21", "a"); nothing for anything else.
inline std::optional<std::uint8_t> hex_byte(std::string text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.empty() || text.size() > 2) return std::nullopt;
    unsigned v = 0;
    for (const char c : text) {
        const char* digits = "0123456789abcdef";
        const char lower = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        const char* at = lower != '\0' ? std::strchr(digits, lower) : nullptr;
        if (at == nullptr) return std::nullopt;
        v = v * 16 + static_cast<unsigned>(at - digits);
    }
    return static_cast<std::uint8_t>(v);
}

// The text `write(first, last)` makes of v (it returns the end of what it
// wrote, at most 30 characters). The last texts made are kept, in pairs of
// slots chosen by v's bits (the one used last first): a value that comes
// round again is not written again. The view lasts until the next call for
// the same `write`.
template <std::size_t Pairs, typename Number, typename Write>
std::string_view remembered_text(Number v, Write write)
{
    using Bits = std::conditional_t<sizeof(Number) == 8, std::uint64_t, std::uint32_t>;
    static_assert(sizeof(Bits) == sizeof(Number));
    struct Slot {
        Bits bits = 0;
        std::uint8_t length = 0;  // 0: empty
        char text[31] = {};
    };
    thread_local std::array<std::array<Slot, 2>, Pairs> slots;
    Bits bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    // The product's top bits, which every bit of the value moves (a round
    // number's low bits are all clear).
    auto& pair = slots[((static_cast<std::uint64_t>(bits) * 0x9E3779B97F4A7C15ULL) >> 48U) % Pairs];
    const auto hit = [&](const Slot& s) { return s.length != 0 && s.bits == bits; };
    if (!hit(pair[0])) {
        std::swap(pair[0], pair[1]);  // the one used last goes second
        if (!hit(pair[0])) {
            pair[0].bits = bits;
            pair[0].length = static_cast<std::uint8_t>(
                write(pair[0].text, pair[0].text + sizeof pair[0].text) - pair[0].text);
        }
    }
    return {pair[0].text, pair[0].length};
}

}  // namespace io
