// Arbitrary bytes into the stand-in host's frame decoder: bounded, no read
// outside the buffer (ASan), and every accepted frame encodes back to the
// same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exact-size copy, so that any read past the end is caught.
    const std::unique_ptr<char[]> buf(new char[size]);
    if (size > 0) std::memcpy(buf.get(), data, size);
    const std::uint8_t ver = size > 1 ? data[0] : 0x21;
    protocol::Decoded out;
    if (protocol::decode_frame(buf.get(), size, ver, 0x01, out) != protocol::Refusal::None) return 0;
    if (out.bytes.size() < 6) std::abort();
    const std::vector<std::uint8_t> info(out.bytes.begin() + 6, out.bytes.end());
    const std::string again =
        protocol::encode_frame(out.bytes[0], out.bytes[1], out.bytes[2], out.bytes[3], info);
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) {
        std::fprintf(stderr, "accepted frame does not encode back to itself\n");
        std::abort();
    }
    return 0;
}
