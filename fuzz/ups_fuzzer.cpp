// Arbitrary bytes on vx40-ups's line, found as frames the way its line end
// finds them and answered by the emulated UPS: never a crash, and every
// answer is nothing or a well-formed reply frame from this UPS (no wire fault
// is scripted) with a return code of the family (00 to 04) that decodes back.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame.h"
#include "ups.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const emulator::UpsState state{};
    emulator::LineUps ups(state, 0x21, 0x01);
    standin::FrameFinder finder;
    for (std::size_t i = 0; i < size; ++i) {
        if (finder.noise_full()) finder.take_noise();
        if (!finder.put(static_cast<char>(data[i]))) continue;
        const emulator::Answer a = ups.answer(finder.frame());
        if (!a.late.empty()) std::abort();
        if (a.now.empty()) continue;
        standin::Decoded reply;
        if (standin::decode_frame(a.now.data(), a.now.size(), 0x21, 0x01, reply) !=
                standin::Refusal::None ||
            reply.bytes[2] != 0x2A || reply.bytes[3] > 0x04) {
            std::fprintf(stderr, "not a well-formed reply: %s\n", a.now.c_str());
            std::abort();
        }
    }
    return 0;
}
