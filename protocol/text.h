// The line's characters and bytes as the tools write them for a person or a
// file: hex digits, a frame made printable, bytes as lower-case hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace protocol {

// Digits as frames carry them (upper case), and as files carry bytes.
inline constexpr char kHexUpper[] = "0123456789ABCDEF";
inline constexpr char kHexLower[] = "0123456789abcdef";

// A byte as a frame carries it: two upper-case hex digits ("0A").
inline std::string hex(std::uint8_t byte)
{
    return {kHexUpper[byte >> 4U], kHexUpper[byte & 0xFU]};
}

// A frame's characters as text: CR as "\r", anything not printable as \xNN.
std::string printable(std::string_view chars);
// Bytes as lower-case hex, two digits each.
std::string hex_of(const unsigned char* bytes, std::size_t size);
inline std::string hex_of(std::string_view bytes)
{
    return hex_of(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace protocol
