#include "frame.h"

#include "text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace protocol {

namespace {

constexpr const char* kHex = kHexUpper;

// Each character's hex value, or -1: one load per character.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int i = 0; i < 16; ++i)
        t[static_cast<unsigned char>(kHex[i])] = static_cast<std::int8_t>(i);
    return t;
}();

int hex_value(char c)
{
    return kHexValue[static_cast<unsigned char>(c)];
}

// Writes `digits` hex digits of value at p; returns the end.
char* put_hex(char* p, unsigned value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(value >> (4 * i)) & 0xFU];
    return p;
}

unsigned length_field(unsigned lenid)
{
    const unsigned sum = (lenid & 0xFU) + ((lenid >> 4U) & 0xFU) + ((lenid >> 8U) & 0xFU);
    const unsigned lchk = (16U - (sum % 16U)) % 16U;
    return (lchk << 12U) | lenid;
}

// The sum of the four 16-bit lanes of a word.
unsigned lane_sum(std::uint64_t lanes)
{
    return static_cast<unsigned>((lanes & 0xFFFFU) + ((lanes >> 16U) & 0xFFFFU) +
                                 ((lanes >> 32U) & 0xFFFFU) + (lanes >> 48U));
}

unsigned checksum(const char* s, std::size_t from, std::size_t to)
{
    // Eight characters at a time, their bytes added in four 16-bit lanes; a
    // word adds at most 510 to a lane, so the lanes are summed every 128 words.
    constexpr std::uint64_t kEven = 0x00FF00FF00FF00FFULL;
    unsigned sum = 0;
    std::uint64_t lanes = 0;
    unsigned words = 0;
    std::size_t i = from;
    for (; i + 8 <= to; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, s + i, sizeof w);
        lanes += (w & kEven) + ((w >> 8U) & kEven);
        if (++words == 128) {
            sum += lane_sum(lanes);
            lanes = 0;
            words = 0;
        }
    }
    sum += lane_sum(lanes);
    for (; i < to; ++i) sum += static_cast<unsigned char>(s[i]);
    return (0x10000U - (sum % 0x10000U)) % 0x10000U;
}

}  // namespace

void encode_frame_cut(std::string& out, std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                      std::uint8_t cid2_or_rtn, const std::uint8_t* info, std::size_t info_size,
                      std::size_t info_hex)
{
    if (info_hex > kMaxInfoHex || info_hex > 2 * info_size) {
        throw std::length_error("INFO too long for one frame");
    }
    out.resize(18 + info_hex);
    char* const s = out.data();
    char* p = s;
    *p++ = '~';
    p = put_hex(p, ver, 2);
    p = put_hex(p, adr, 2);
    p = put_hex(p, cid1, 2);
    p = put_hex(p, cid2_or_rtn, 2);
    p = put_hex(p, length_field(static_cast<unsigned>(info_hex)), 4);
    // INFO's hex characters, the last byte's possibly cut to its first digit.
    for (std::size_t i = 0; i < info_hex / 2; ++i) {
        *p++ = kHex[info[i] >> 4U];
        *p++ = kHex[info[i] & 0xFU];
    }
    if (info_hex % 2 != 0) *p++ = kHex[info[info_hex / 2] >> 4U];
    p = put_hex(p, checksum(s, 1, static_cast<std::size_t>(p - s)), 4);
    *p = '\r';
}

std::string encode_frame_cut(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                             std::uint8_t cid2_or_rtn, const std::vector<std::uint8_t>& info,
                             std::size_t info_hex)
{
    std::string s;
    encode_frame_cut(s, ver, adr, cid1, cid2_or_rtn, info.data(), info.size(), info_hex);
    return s;
}

std::string encode_frame(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                         std::uint8_t cid2_or_rtn, const std::vector<std::uint8_t>& info)
{
    return encode_frame_cut(ver, adr, cid1, cid2_or_rtn, info, 2 * info.size());
}

const char* refusal_text(Refusal r)
{
    static constexpr const char* kTexts[kRefusalCount] = {"accepted",
                                                          "missing SOI",
                                                          "missing EOI",
                                                          "non-hex character",
                                                          "odd LENID",
                                                          "LENGTH checksum",
                                                          "CHKSUM mismatch",
                                                          "INFO shorter than LENID",
                                                          "INFO longer than LENID",
                                                          "another VER",
                                                          "another ADR",
                                                          "over-long frame"};
    return kTexts[static_cast<std::size_t>(r)];
}

Refusal decode_frame(const char* data, std::size_t n, std::uint8_t ver, std::uint8_t adr,
                     Decoded& out)
{
    out.bytes.clear();
    if (n > kMaxFrameChars) return Refusal::TooLong;
    if (n == 0 || data[0] != '~') return Refusal::NoSoi;
    if (data[n - 1] != '\r') return Refusal::NoEoi;
    const std::size_t body = n - 2;  // characters between SOI and EOI
    int not_hex = 0;                 // a character's -1 sets it negative
    for (std::size_t i = 1; i <= body; ++i) not_hex |= hex_value(data[i]);
    if (not_hex < 0) return Refusal::NotHex;
    if (body < 8 + 4 + 4) return Refusal::InfoShort;
    auto field = [&](std::size_t at, int digits) {
        unsigned v = 0;
        for (int i = 0; i < digits; ++i) {
            v = (v << 4U) |
                static_cast<unsigned>(hex_value(data[at + static_cast<std::size_t>(i)]));
        }
        return v;
    };
    const unsigned length = field(9, 4);
    const unsigned lenid = length & 0xFFFU;
    if (length_field(lenid) != length) return Refusal::LengthChecksum;
    if (lenid % 2U != 0) return Refusal::OddLength;
    const std::size_t info_chars = body - 16;
    if (info_chars < lenid) return Refusal::InfoShort;
    if (info_chars > lenid) return Refusal::InfoLong;
    if (checksum(data, 1, 13 + lenid) != field(13 + lenid, 4)) return Refusal::Checksum;
    if (field(1, 2) != ver) return Refusal::WrongVersion;
    if (field(3, 2) != adr) return Refusal::WrongAddress;

    out.bytes.resize(6 + lenid / 2);
    std::uint8_t* b = out.bytes.data();
    for (const std::size_t at : {1U, 3U, 5U, 7U}) *b++ = static_cast<std::uint8_t>(field(at, 2));
    *b++ = static_cast<std::uint8_t>(lenid & 0xFFU);
    *b++ = static_cast<std::uint8_t>(lenid >> 8U);
    const char* c = data + 13;
    for (std::size_t i = 0; i < lenid / 2; ++i, c += 2) {
        *b++ = static_cast<std::uint8_t>((static_cast<unsigned>(hex_value(c[0])) << 4U) |
                                         static_cast<unsigned>(hex_value(c[1])));
    }
    return Refusal::None;
}

std::optional<Head> frame_head(std::string_view line)
{
    if (line.size() < 9 || line[0] != '~') return std::nullopt;
    std::uint8_t field[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
        const int hi = hex_value(line[1 + 2 * i]);
        const int lo = hex_value(line[2 + 2 * i]);
        if (hi < 0 || lo < 0) return std::nullopt;
        field[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return Head{field[0], field[1], field[2], field[3]};
}

unsigned frame_checksum(const std::string& chars)
{
    return checksum(chars.data(), 0, chars.size());
}

std::string FrameFinder::take_noise()
{
    std::string taken;
    taken.swap(noise_);
    return taken;
}

void FrameFinder::clear()
{
    noise_.clear();
    frame_.clear();
    done_ = false;
}

bool FrameFinder::put(char c)
{
    put(&c, 1);
    return done_;
}

std::size_t FrameFinder::put(const char* data, std::size_t n)
{
    std::size_t i = 0;
    while (i < n) {
        if (done_) clear();
        if (data[i] == '~') {
            // An unfinished frame is noise once a new one starts.
            const std::size_t room = kMaxNoiseChars - std::min(noise_.size(), kMaxNoiseChars);
            noise_.append(frame_, 0, std::min(frame_.size(), room));
            frame_.assign(1, '~');
            ++i;
            if (noise_full()) return i;
        } else if (frame_.empty()) {
            if (noise_.size() >= kMaxFrameChars) {
                // Full and not taken: kept up to its bound, a character at a time.
                if (noise_.size() < kMaxNoiseChars) noise_.push_back(data[i]);
                return i + 1;
            }
            // Noise up to the next SOI, or until it is full.
            const void* soi = std::memchr(data + i, '~', n - i);
            const std::size_t to_soi =
                (soi != nullptr ? static_cast<std::size_t>(static_cast<const char*>(soi) - data)
                                : n) -
                i;
            const std::size_t run = std::min(to_soi, kMaxFrameChars - noise_.size());
            noise_.append(data + i, run);
            i += run;
            if (noise_full()) return i;
        } else {
            // Inside a frame: up to its EOI, the next SOI or its length limit.
            const std::size_t limit = i + std::min(n - i, kMaxFrameChars + 1 - frame_.size());
            const void* cr = std::memchr(data + i, '\r', limit - i);
            std::size_t end = cr != nullptr
                                  ? static_cast<std::size_t>(static_cast<const char*>(cr) - data)
                                  : limit;
            if (const void* soi = std::memchr(data + i, '~', end - i); soi != nullptr) {
                end = static_cast<std::size_t>(static_cast<const char*>(soi) - data);
            } else if (cr != nullptr) {
                ++end;  // the CR ends the frame
            }
            frame_.append(data + i, end - i);
            i = end;
            if (frame_.back() == '\r' || frame_.size() > kMaxFrameChars) {
                done_ = true;
                return i;
            }
        }
    }
    return i;
}

}  // namespace protocol
