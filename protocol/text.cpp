#include "text.h"

namespace protocol {

std::string printable(std::string_view chars)
{
    std::string out;
    for (const char c : chars) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u > 0x7E) {
            out += "\\x";
            out.push_back(kHexUpper[u >> 4U]);
            out.push_back(kHexUpper[u & 0xFU]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string hex_of(const unsigned char* bytes, std::size_t size)
{
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHexLower[bytes[i] >> 4U]);
        text.push_back(kHexLower[bytes[i] & 0xFU]);
    }
    return text;
}

}  // namespace protocol
