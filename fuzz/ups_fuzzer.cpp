// Arbitrary bytes on vx40-ups's line, found as frames the way its line end
// finds them:
// - as requests on a bus of three emulated units (ADR 01, 02, 03): never a
//   crash; at most the unit the frame names answers, never one to a reply;
//   every answer is a well-formed reply from that unit (no wire fault is
//   scripted) with a return code of the family (00 to 04) that decodes back;
// - as a real UPS's replies passing the tap: asked nothing, the tap passes
//   each one exactly as it came; asked to change a status byte, a good reply
//   stays a good reply from the same unit with its INFO's length;
// and the finder taking the bytes in runs finds the same frames.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "ups.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& frame)
{
    std::fprintf(stderr, "%s: %s\n", what, frame.c_str());
    std::abort();
}

// Each unit offered the frame; the one that answers must be the one it names.
void on_the_bus(std::vector<std::unique_ptr<emulator::LineUps>>& bus, const std::string& frame)
{
    const auto head = protocol::frame_head(frame);
    for (auto& unit : bus) {
        const emulator::Answer a = unit->answer(frame);
        if (!a.late.empty()) fail("a late answer with no fault scripted", frame);
        if (a.now.empty()) continue;
        if (!head || head->adr != unit->adr()) fail("answered what names another unit", frame);
        if (protocol::is_return_code(head->cid2)) fail("answered a reply", frame);
        protocol::Decoded reply;
        if (protocol::decode_frame(a.now.data(), a.now.size(), 0x21, unit->adr(), reply) !=
                protocol::Refusal::None ||
            reply.bytes[2] != 0x2A || reply.bytes[3] > 0x04) {
            fail("not a well-formed reply", a.now);
        }
    }
}

// The frame as a UPS's reply to 2A/<cid2> passing the tap.
void through_the_tap(const std::string& noise, const std::string& frame, std::uint8_t cid2)
{
    const emulator::RoundScript nothing;
    const emulator::Answer passed =
        emulator::reshape(noise, frame, cid2, nothing, nothing, nullptr);
    if (passed.now != noise + frame || !passed.late.empty()) fail("not passed as it came", frame);

    emulator::RoundScript spoof;
    spoof.status[3] = 0xF0;
    spoof.analog[0] = 180.0F;
    const emulator::Answer changed = emulator::reshape("", frame, cid2, nothing, spoof, nullptr);
    const auto head = protocol::frame_head(frame);
    protocol::Decoded before;
    protocol::Decoded after;
    if (!head ||
        protocol::decode_frame(frame.data(), frame.size(), head->ver, head->adr, before) !=
            protocol::Refusal::None ||
        before.bytes[3] != 0) {
        return;  // not a good reply: passed as it came, checked above
    }
    if (protocol::decode_frame(changed.now.data(), changed.now.size(), head->ver, head->adr,
                               after) != protocol::Refusal::None ||
        after.bytes.size() != before.bytes.size()) {
        fail("a changed reply is no longer good", changed.now);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const emulator::UpsState state{};
    std::vector<std::unique_ptr<emulator::LineUps>> bus;
    for (std::uint8_t adr = 1; adr <= 3; ++adr) {
        bus.push_back(std::make_unique<emulator::LineUps>(state, 0x21, adr));
    }
    protocol::FrameFinder finder;
    std::vector<std::string> frames;
    for (std::size_t i = 0; i < size; ++i) {
        if (finder.noise_full()) finder.take_noise();
        if (!finder.put(static_cast<char>(data[i]))) continue;
        frames.push_back(finder.frame());
        on_the_bus(bus, finder.frame());
        through_the_tap(finder.noise(), finder.frame(), size > 0 ? data[0] : 0x44);
    }
    // Taken in runs, the same characters give the same frames.
    protocol::FrameFinder runs;
    std::size_t found = 0;
    const auto* chars = reinterpret_cast<const char*>(data);
    for (std::size_t at = 0; at < size;) {
        if (runs.noise_full()) runs.take_noise();
        at += runs.put(chars + at, size - at);
        if (!runs.ended()) continue;
        if (found >= frames.size() || runs.frame() != frames[found]) {
            std::fprintf(stderr, "frame %zu differs when taken in runs\n", found);
            std::abort();
        }
        ++found;
    }
    if (found != frames.size()) std::abort();
    return 0;
}
