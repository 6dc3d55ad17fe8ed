#include "frame.h"

#include <stdexcept>

namespace standin {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void put_hex(std::string& s, unsigned value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        s.push_back(kHex[(value >> (4 * i)) & 0xFU]);
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

unsigned length_field(unsigned lenid)
{
    const unsigned sum = (lenid & 0xFU) + ((lenid >> 4U) & 0xFU) + ((lenid >> 8U) & 0xFU);
    const unsigned lchk = (16U - (sum % 16U)) % 16U;
    return (lchk << 12U) | lenid;
}

unsigned checksum(const char* s, std::size_t from, std::size_t to)
{
    unsigned sum = 0;
    for (std::size_t i = from; i < to; ++i) {
        sum += static_cast<unsigned char>(s[i]);
    }
    return (0x10000U - (sum % 0x10000U)) % 0x10000U;
}

}  // namespace

std::string encode_frame_cut(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                             std::uint8_t cid2_or_rtn, const std::vector<std::uint8_t>& info,
                             std::size_t info_hex)
{
    if (info_hex > kMaxInfoHex || info_hex > 2 * info.size()) {
        throw std::length_error("INFO too long for one frame");
    }
    std::string s;
    s.reserve(18 + info_hex);
    s.push_back('~');
    put_hex(s, ver, 2);
    put_hex(s, adr, 2);
    put_hex(s, cid1, 2);
    put_hex(s, cid2_or_rtn, 2);
    put_hex(s, length_field(static_cast<unsigned>(info_hex)), 4);
    // INFO's hex characters, the last byte's possibly cut to its first digit.
    for (std::size_t i = 0; i < info_hex; ++i) {
        const std::uint8_t b = info[i / 2];
        s.push_back(kHex[i % 2 == 0 ? b >> 4U : b & 0xFU]);
    }
    put_hex(s, checksum(s.data(), 1, s.size()), 4);
    s.push_back('\r');
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
    for (std::size_t i = 1; i <= body; ++i) {
        if (hex_value(data[i]) < 0) return Refusal::NotHex;
    }
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

    out.bytes.reserve(6 + lenid / 2);
    for (std::size_t at : {1U, 3U, 5U, 7U}) {
        out.bytes.push_back(static_cast<std::uint8_t>(field(at, 2)));
    }
    out.bytes.push_back(static_cast<std::uint8_t>(lenid & 0xFFU));
    out.bytes.push_back(static_cast<std::uint8_t>(lenid >> 8U));
    for (std::size_t i = 0; i < lenid / 2; ++i) {
        out.bytes.push_back(static_cast<std::uint8_t>(field(13 + 2 * i, 2)));
    }
    return Refusal::None;
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
    if (done_) clear();
    if (c == '~') {
        // An unfinished frame is noise once a new one starts.
        for (const char f : frame_) {
            if (noise_.size() < kMaxNoiseChars) noise_.push_back(f);
        }
        frame_.clear();
        frame_.push_back('~');
    } else if (frame_.empty()) {
        // Bounded; a reader that loses nothing takes it at noise_full().
        if (noise_.size() < kMaxNoiseChars) noise_.push_back(c);
    } else {
        frame_.push_back(c);
    }
    done_ = !frame_.empty() && (c == '\r' || frame_.size() > kMaxFrameChars);
    return done_;
}

}  // namespace standin
