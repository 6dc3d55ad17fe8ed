#include "ups.h"

#include <cstring>

#include "frame.h"

namespace emulator {

void Emulator::apply(const RoundScript& script)
{
    for (const auto& [i, v] : script.analog) state_.analog.at(i) = v;
    for (const auto& [i, v] : script.status) state_.status.at(i) = v;
}

std::optional<std::vector<std::uint8_t>> Emulator::reply_info(std::uint8_t cid2) const
{
    std::vector<std::uint8_t> info;
    switch (cid2) {
        case 0x41:
            info.assign(64, 0);  // DATAFLAG, nine floats LE, 27 further bytes
            for (std::size_t i = 0; i < 9; ++i) {
                std::uint32_t bits = 0;
                std::memcpy(&bits, &state_.analog[i], sizeof bits);
                for (std::size_t b = 0; b < 4; ++b) {
                    info[1 + 4 * i + b] = static_cast<std::uint8_t>(bits >> (8 * b));
                }
            }
            for (std::size_t i = 37; i < 64; ++i) info[i] = static_cast<std::uint8_t>(i);
            return info;
        case 0x43:
            return std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6};
        case 0x44:
            info.push_back(0);
            info.insert(info.end(), state_.status.begin(), state_.status.end());
            return info;
        case 0x46:
            info.resize(45);
            for (std::size_t i = 0; i < 45; ++i) info[i] = static_cast<std::uint8_t>(0x80 + i);
            return info;
        default:
            return std::nullopt;
    }
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes the CHKSUM that matches the frame's characters as they now stand.
void reseal(std::string& frame)
{
    const std::size_t at = frame.size() - 5;  // four CHKSUM digits, then CR
    const unsigned sum = standin::frame_checksum(frame.substr(1, at - 1));
    for (std::size_t i = 0; i < 4; ++i) frame[at + i] = kHexDigits[(sum >> (12 - 4 * i)) & 0xFU];
}

// The next hex digit after `c`, wrapping: a digit that is surely different.
char other_digit(char c)
{
    const char* at = std::strchr(kHexDigits, c);
    return at == nullptr ? '0' : kHexDigits[(at - kHexDigits + 1) % 16];
}

}  // namespace

void LineUps::begin_round(const RoundScript& script)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ups_.apply(script);
    script_ = script;
}

Answer LineUps::answer(const std::string& request_line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    standin::Decoded request;
    if (standin::decode_frame(request_line.data(), request_line.size(), ver_, adr_, request) !=
        standin::Refusal::None) {
        return {};  // not for this UPS, or garbled: no answer
    }
    const std::uint8_t cid1 = request.bytes[2];
    const std::uint8_t cid2 = request.bytes[3];
    const auto info = ups_.reply_info(cid2);
    if (cid1 != 0x2A || !info || script_.drop.count(cid2) != 0) {
        return {};
    }
    const auto found = script_.wire.find(cid2);
    const WireFault f = found != script_.wire.end() ? found->second : WireFault{};
    const std::uint8_t adr = f.adr.value_or(adr_);
    std::string frame;
    if (f.rtn != 0) {
        frame = standin::encode_frame(ver_, adr, cid1, f.rtn,
                                      f.rtn_info ? *info : std::vector<std::uint8_t>{});
    } else {
        const auto cut = script_.short_reply.find(cid2);
        const std::size_t hex = cut != script_.short_reply.end()
                                    ? std::min(cut->second, 2 * info->size())
                                    : 2 * info->size();
        frame = standin::encode_frame_cut(ver_, adr, cid1, 0x00, *info, hex);
    }
    if (f.bad_lchksum) {
        frame[9] = other_digit(frame[9]);  // LCHKSUM is LENGTH's first digit
        reseal(frame);
    }
    if (f.bad_chksum) frame[frame.size() - 2] = other_digit(frame[frame.size() - 2]);
    Answer a;
    (f.late ? a.late : a.now) = f.noise + frame;
    a.chunk = f.chunk;
    return a;
}

}  // namespace emulator
