#include "ups.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "frame.h"
#include "text.h"

namespace emulator {

namespace {

// A float into INFO at `at`, little-endian, as the UPS sends its values.
void put_float(std::vector<std::uint8_t>& info, std::size_t at, float v)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (std::size_t b = 0; b < 4; ++b) info[at + b] = static_cast<std::uint8_t>(bits >> (8 * b));
}

}  // namespace

void Emulator::apply(const RoundScript& script)
{
    for (const auto& [i, v] : script.analog) state_.analog.at(i) = v;
    for (const auto& [i, v] : script.status) state_.status.at(i) = v;
}

std::optional<std::vector<std::uint8_t>> Emulator::reply_info(std::uint8_t cid2) const
{
    std::vector<std::uint8_t> info;
    if (!reply_info(cid2, info)) return std::nullopt;
    return info;
}

bool Emulator::reply_info(std::uint8_t cid2, std::vector<std::uint8_t>& info) const
{
    const vocabulary::Request* request = vocabulary::find_request(cid2);
    if (request == nullptr) return false;
    info.resize(request->info_bytes);
    switch (cid2) {
        case 0x41:  // DATAFLAG, nine floats LE, then bytes counting on
            info[0] = 0;
            for (std::size_t i = 0; i < 9; ++i) put_float(info, 1 + 4 * i, state_.analog[i]);
            for (std::size_t i = 37; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(i);
            break;
        case 0x44:  // DATAFLAG, the status bytes
            info[0] = 0;
            std::copy(state_.status.begin(), state_.status.end(), info.begin() + 1);
            break;
        case 0x46:
            for (std::size_t i = 0; i < info.size(); ++i)
                info[i] = static_cast<std::uint8_t>(0x80 + i);
            break;
        default:  // 43: bytes counting from 0
            for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(i);
            break;
    }
    return true;
}

namespace {

constexpr const char* kHexDigits = protocol::kHexUpper;

// Writes the CHKSUM that matches the frame's characters as they now stand.
void reseal(std::string& frame)
{
    const std::size_t at = frame.size() - 5;  // four CHKSUM digits, then CR
    const unsigned sum = protocol::frame_checksum(frame.substr(1, at - 1));
    for (std::size_t i = 0; i < 4; ++i) frame[at + i] = kHexDigits[(sum >> (12 - 4 * i)) & 0xFU];
}

// The next hex digit after `c`, wrapping: a digit that is surely different.
char other_digit(char c)
{
    const char* at = std::strchr(kHexDigits, c);
    return at == nullptr ? '0' : kHexDigits[(at - kHexDigits + 1) % 16];
}

using vocabulary::kCid1;

// A damaged request addressed to this UPS is answered with the family's
// return code for the damage, and no INFO.
constexpr struct {
    protocol::Refusal damage;
    std::uint8_t rtn;
    const char* note;
} kDamageReplies[] = {
    {protocol::Refusal::WrongVersion, protocol::rtn::kVersion, "RTN 01 (VER)"},
    {protocol::Refusal::Checksum, protocol::rtn::kChecksum, "RTN 02 (CHKSUM)"},
    {protocol::Refusal::LengthChecksum, protocol::rtn::kLengthChecksum, "RTN 03 (LENGTH checksum)"},
};

}  // namespace

void LineUps::feed_rounds(const std::vector<RoundScript>* rounds)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    rounds_ = rounds;
    next_round_ = 0;
}

std::string LineUps::once(std::uint8_t cid2, std::optional<WireFault> fault)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const auto armed = once_.find(cid2); armed != once_.end()) {
        return armed->second ? armed->second->kinds : "drop";
    }
    once_.emplace(cid2, std::move(fault));
    return "";
}

void LineUps::set(const RoundScript& change)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ups_.apply(change);
}

UpsState LineUps::state() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return ups_.state();
}

void LineUps::begin_round(const RoundScript& script)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ups_.apply(script);
    script_ = script;
}

Answer LineUps::answer(const std::string& request_line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    // On a shared line a UPS answers only requests addressed to it: a frame
    // whose ADR is another's, a reply (its own heard back, or another
    // unit's), or what is not a frame gets nothing.
    const auto reply = [&](std::uint8_t rtn, const std::string& why) {
        Answer a;
        a.now = protocol::encode_frame(ver_, adr_, kCid1, rtn, {});
        a.note = why;
        return a;
    };
    // Cut by the finder at its limit: whatever its first characters say.
    if (request_line.size() > protocol::kMaxFrameChars) return not_for_it("over-long frame");
    const auto head = protocol::frame_head(request_line);
    if (!head) return not_for_it("not a frame");
    if (head->adr != adr_) return not_for_it("another address");
    if (protocol::is_return_code(head->cid2)) return not_for_it("a reply");
    protocol::Decoded& request = request_;
    const auto refusal =
        protocol::decode_frame(request_line.data(), request_line.size(), ver_, adr_, request);
    for (const auto& [why, rtn, text] : kDamageReplies) {
        if (refusal == why) return reply(rtn, text);
    }
    if (refusal != protocol::Refusal::None) return nothing(protocol::refusal_text(refusal));
    const std::uint8_t cid2 = request.bytes[3];
    if (request.bytes[2] != kCid1) return not_for_it("another device type");
    ++served_;
    // A scripted round begins with the round's first request; past the
    // script, rounds count on with nothing scripted.
    if (rounds_ != nullptr && cid2 == vocabulary::kRequests.front().cid2) {
        script_ = next_round_ < rounds_->size() ? (*rounds_)[next_round_] : RoundScript{};
        ups_.apply(script_);
        ++next_round_;
    }
    Answer a;
    if (header_only(cid2)) {
        a = reply(protocol::rtn::kNormal, "");
    } else if (!ups_.reply_info(cid2, info_)) {
        a = reply(protocol::rtn::kUnknownCid2, "RTN 04 (CID2 unknown)");
    } else {
        a = shape_reply(cid2);
    }
    a.round = next_round_;
    a.after_script = rounds_ != nullptr && next_round_ > rounds_->size();
    return a;
}

Answer LineUps::nothing(const char* why)
{
    Answer a;
    a.note = why;
    return a;
}

Answer LineUps::not_for_it(const char* why)
{
    Answer a = nothing(why);
    a.for_it = false;
    return a;
}

Answer LineUps::shape_reply(std::uint8_t cid2)
{
    std::optional<WireFault> once;  // a fault for this reply only (none: dropped)
    const auto one = once_.find(cid2);
    const bool armed = one != once_.end();
    if (armed) {
        once = one->second;
        once_.erase(one);
    }
    return shape(ver_, adr_, cid2, info_, script_, armed ? &once : nullptr);
}

Answer shape(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid2,
             const std::vector<std::uint8_t>& info, const RoundScript& script,
             const std::optional<WireFault>* once)
{
    if (script.drop.count(cid2) != 0 || (once != nullptr && !once->has_value())) {
        Answer a;
        a.note = "dropped";
        a.fault = "drop";
        return a;
    }
    static const WireFault kNoFault{};
    const auto found = script.wire.find(cid2);
    const WireFault* f = found != script.wire.end() ? &found->second : &kNoFault;
    if (once != nullptr) f = &once->value();
    const auto cut = script.short_reply.find(cid2);
    const bool cut_short = cut != script.short_reply.end() && f->rtn == 0;
    const std::uint8_t from = f->adr.value_or(adr);
    std::string frame;
    if (f->rtn != 0) {
        const std::size_t hex = f->rtn_info ? 2 * info.size() : 0;
        protocol::encode_frame_cut(frame, ver, from, kCid1, f->rtn, info.data(), info.size(), hex);
    } else {
        const std::size_t hex =
            cut_short ? std::min(cut->second, 2 * info.size()) : 2 * info.size();
        protocol::encode_frame_cut(frame, ver, from, kCid1, protocol::rtn::kNormal, info.data(),
                                   info.size(), hex);
    }
    if (f->bad_lchksum) {
        frame[9] = other_digit(frame[9]);  // LCHKSUM is LENGTH's first digit
        reseal(frame);
    }
    if (f->bad_chksum) frame[frame.size() - 2] = other_digit(frame[frame.size() - 2]);
    Answer a;
    (f->late ? a.late : a.now) = f->noise.empty() ? std::move(frame) : f->noise + frame;
    a.chunk = f->chunk;
    a.late_ms = f->late_ms;
    a.fault = f->kinds;
    if (cut_short)
        a.fault += (a.fault.empty() ? "short=" : " short=") + std::to_string(cut->second);
    if (!a.fault.empty()) a.note = "wire fault";
    return a;
}

Answer reshape(const std::string& noise, const std::string& reply, std::uint8_t cid2,
               const RoundScript& script, const RoundScript& spoof,
               const std::optional<WireFault>* once)
{
    protocol::Decoded d;
    const auto head = protocol::frame_head(reply);
    const bool good = head && protocol::decode_frame(reply.data(), reply.size(), head->ver,
                                                     head->adr, d) == protocol::Refusal::None;
    if (!good || d.bytes[2] != kCid1 || d.bytes[3] != protocol::rtn::kNormal) {
        Answer a;
        if ((once != nullptr && !once->has_value()) || script.drop.count(cid2) != 0) {
            a.note = "dropped";
            a.fault = "drop";
        } else {
            a.now = noise + reply;
            a.note = "no good reply to change: passed as it came";
        }
        return a;
    }
    std::vector<std::uint8_t> info(d.bytes.begin() + 6, d.bytes.end());
    apply_to_info(cid2, script, info);
    apply_to_info(cid2, spoof, info);
    Answer a = shape(head->ver, head->adr, cid2, info, script, once);
    if (!a.now.empty()) {
        a.now.insert(0, noise);
    } else if (!a.late.empty()) {
        a.late.insert(0, noise);
    }
    return a;
}

void apply_to_info(std::uint8_t cid2, const RoundScript& change, std::vector<std::uint8_t>& info)
{
    if (cid2 == 0x41) {  // DATAFLAG, then nine floats, little-endian
        for (const auto& [i, v] : change.analog) {
            if (1 + 4 * i + 4 <= info.size()) put_float(info, 1 + 4 * i, v);
        }
    } else if (cid2 == 0x44) {  // DATAFLAG, then the status bytes
        for (const auto& [i, v] : change.status) {
            if (1 + i < info.size()) info[1 + i] = v;
        }
    }
}

}  // namespace emulator
