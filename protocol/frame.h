// protocol/: the line protocol of this UPS family, as both ends of a line
// speak it (the stand-in host's port layer, the emulator, the simulator, the
// recordings). It takes nothing from any other folder.
//
// Serial framing of this UPS family, as the host's port layer speaks it:
//   SOI '~' | VER ADR CID1 CID2/RTN (2 hex each) | LENGTH (4 hex) | INFO | CHKSUM (4 hex) | EOI CR
// LENGTH: low 12 bits LENID = INFO hex characters; high 4 bits LCHKSUM = the
// negated sum (mod 16) of LENID's three nibbles. CHKSUM: the negated sum
// (mod 65536) of the ASCII codes after SOI up to the end of INFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

inline constexpr std::size_t kMaxInfoHex = 0xFFF;
inline constexpr std::size_t kMaxFrameChars = 1 + 8 + 4 + kMaxInfoHex + 4 + 1;
inline constexpr std::size_t kMaxNoiseChars = 2 * kMaxFrameChars;

// Encodes one frame; INFO of up to 2047 bytes (throws std::length_error beyond).
std::string encode_frame(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                         std::uint8_t cid2_or_rtn, const std::vector<std::uint8_t>& info);

// As encode_frame, but with INFO cut to `info_hex` characters (which may be
// odd), LENGTH and CHKSUM made to match.
std::string encode_frame_cut(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                             std::uint8_t cid2_or_rtn, const std::vector<std::uint8_t>& info,
                             std::size_t info_hex);
// The same frame written over `out`, its buffer kept.
void encode_frame_cut(std::string& out, std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                      std::uint8_t cid2_or_rtn, const std::uint8_t* info, std::size_t info_size,
                      std::size_t info_hex);

// The return codes (RTN) of a reply: 00 for a good one; the others say what
// the UPS found wrong with the request.
namespace rtn {
inline constexpr std::uint8_t kNormal = 0x00;
inline constexpr std::uint8_t kVersion = 0x01;         // VER not its own
inline constexpr std::uint8_t kChecksum = 0x02;        // CHKSUM wrong
inline constexpr std::uint8_t kLengthChecksum = 0x03;  // LENGTH's checksum nibble wrong
inline constexpr std::uint8_t kUnknownCid2 = 0x04;     // a command it does not know
}  // namespace rtn

enum class Refusal {
    None,
    NoSoi,
    NoEoi,
    NotHex,
    OddLength,
    LengthChecksum,
    Checksum,
    InfoShort,
    InfoLong,
    WrongVersion,
    WrongAddress,
    TooLong,
};
inline constexpr std::size_t kRefusalCount = 12;
const char* refusal_text(Refusal r);

// A decoded frame as the protocol layer hands it to a device: VER, ADR, CID1,
// CID2 or RTN, LENID (16-bit little-endian), INFO bytes.
struct Decoded {
    std::vector<std::uint8_t> bytes;
};

// Decodes exactly one frame of `n` characters. Reads nothing outside
// [data, data + n).
Refusal decode_frame(const char* data, std::size_t n, std::uint8_t ver, std::uint8_t adr,
                     Decoded& out);

// The header a frame's first characters name (SOI, then VER, ADR, CID1 and
// CID2 or RTN as two hex digits each), the rest unread; nothing when they
// are not that.
struct Head {
    std::uint8_t ver = 0;
    std::uint8_t adr = 0;
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;  // or RTN, in a reply
};
std::optional<Head> frame_head(std::string_view line);
// A reply's RTN stands where a request's CID2 does: the family's commands
// are 0x40 and above, its return codes below. A frame whose field is a
// return code is a reply, which no unit answers.
inline bool is_return_code(std::uint8_t field)
{
    return field < 0x40;
}

// The CHKSUM field of the characters between SOI and CHKSUM.
unsigned frame_checksum(const std::string& chars);

// Finds frames in the characters read from a line, as the port layer does:
// anything before an SOI is noise; a frame runs from its SOI to CR. An SOI
// inside a frame starts it again (what came before becomes noise), and a
// frame longer than kMaxFrameChars is cut there for the decoder to refuse.
class FrameFinder {
public:
    // Takes one character; true when it ends a frame, which frame() then
    // holds, with noise() the characters skipped before it.
    bool put(char c);
    // Takes characters of [data, data + n) as put does, one after another,
    // and stops after one that ends a frame (ended()) or fills the noise
    // (noise_full()); returns how many it took.
    std::size_t put(const char* data, std::size_t n);
    bool ended() const { return done_; }
    const std::string& frame() const { return frame_; }
    const std::string& noise() const { return noise_; }
    // No character taken since the last frame ended.
    bool idle() const { return done_ || (frame_.empty() && noise_.empty()); }
    // A frame has begun (its SOI taken) and not ended.
    bool in_frame() const { return !done_ && !frame_.empty(); }
    // Noise of a frame's length or more waits: a reader that keeps every
    // character takes it now (the finder keeps at most kMaxNoiseChars).
    bool noise_full() const { return !done_ && noise_.size() >= kMaxFrameChars; }
    std::string take_noise();
    void clear();

private:
    std::string noise_;
    std::string frame_;
    bool done_ = false;
};

}  // namespace protocol
