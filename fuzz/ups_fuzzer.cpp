// Arbitrary bytes on vx40-ups's line, found as frames the way its line end
// finds them and answered by the emulated UPS: never a crash, and every
// answer is nothing or a well-formed reply frame from this UPS (no wire fault
// is scripted) with a return code of the family (00 to 04) that decodes back;
// and the finder taking the bytes in runs finds the same frames.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame.h"
#include "ups.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const emulator::UpsState state{};
    emulator::LineUps ups(state, 0x21, 0x01);
    protocol::FrameFinder finder;
    std::vector<std::string> frames;
    for (std::size_t i = 0; i < size; ++i) {
        if (finder.noise_full()) finder.take_noise();
        if (!finder.put(static_cast<char>(data[i]))) continue;
        frames.push_back(finder.frame());
        const emulator::Answer a = ups.answer(finder.frame());
        if (!a.late.empty()) std::abort();
        if (a.now.empty()) continue;
        protocol::Decoded reply;
        if (protocol::decode_frame(a.now.data(), a.now.size(), 0x21, 0x01, reply) !=
                protocol::Refusal::None ||
            reply.bytes[2] != 0x2A || reply.bytes[3] > 0x04) {
            std::fprintf(stderr, "not a well-formed reply: %s\n", a.now.c_str());
            std::abort();
        }
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
