// emulator/: the emulated UPS, its scenarios and its end of a line, on top
// of io/, protocol/ and vocabulary/; never the stand-in host.
//
// The emulated UPS: its state, the replies it makes from it, and how one
// reply goes wrong on the wire; shared by vx40-bench and vx40-ups.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "frame.h"
#include "vocabulary.h"
#include "wire_fault.h"

namespace emulator {

struct UpsState {
    std::array<float, 9> analog{};
    std::array<std::uint8_t, vocabulary::kStatusBytes> status{};
};

// What one entry of "rounds" applies before its round.
struct RoundScript {
    std::map<std::size_t, float> analog;
    std::map<std::size_t, std::uint8_t> status;
    std::map<std::uint8_t, std::size_t> short_reply;  // CID2 -> INFO hex characters
    std::set<std::uint8_t> drop;                      // CID2 not answered
    std::map<std::uint8_t, WireFault> wire;           // CID2 -> how its reply goes wrong
    long advance = 0;                                 // seconds, after the round
};

class Emulator {
public:
    explicit Emulator(UpsState state) : state_(state) {}
    void apply(const RoundScript& script);
    // Full-length INFO for 2A/<cid2>, or nothing for a command it does not know.
    std::optional<std::vector<std::uint8_t>> reply_info(std::uint8_t cid2) const;
    // The same INFO written over `info` (its buffer kept); false for a
    // command it does not know.
    bool reply_info(std::uint8_t cid2, std::vector<std::uint8_t>& info) const;
    const UpsState& state() const { return state_; }

private:
    UpsState state_;
};

// What the emulated UPS puts on the line for one request: characters to send
// now, and characters to send after the host has given up waiting.
struct Answer {
    std::string now;
    std::string late;
    std::size_t chunk = 0;  // characters per write; 0: all at once
    int late_ms = 0;        // a late reply's own delay after the request; 0: the line's
    // Why the answer is not a plain reply ("another address", "dropped",
    // "wire fault", "RTN 02 (CHKSUM)", ...); "" when it is one.
    std::string note;
    // What went wrong on purpose, as typed ("chksum rtn=4", "drop",
    // "short=20"); "" for none.
    std::string fault;
    bool for_it = true;         // false: not a frame, a reply, or for another address or type
    std::size_t round = 0;      // with feed_rounds(): the round, counted on past the script
    bool after_script = false;  // ... and the script had no entry for it
};

// get-protocol-version (CID2 4F) and get-address (50): answered with RTN 00
// and no INFO, the answer being the reply's header.
inline bool header_only(std::uint8_t cid2)
{
    return cid2 == 0x4F || cid2 == 0x50;
}

// A reply to 2A/<cid2> with this INFO, shaped by a round's script and a
// one-off fault (`once`: none when null, a dropped reply when it holds
// nothing): dropped, cut short, or gone wrong on the wire. The emulated UPS
// shapes its own replies with it, the tap a real UPS's.
Answer shape(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid2,
             const std::vector<std::uint8_t>& info, const RoundScript& script,
             const std::optional<WireFault>* once);
// A real UPS's reply to 2A/<cid2> (with the noise before it) as a tap
// passes it changed: its values and status bytes set by `script` and then
// `spoof`, then shaped as shape() does. A reply that is not a good one of
// this device type (it does not decode, its CID1 is not 2A, its RTN not 00)
// can only be dropped: else it goes as it came, with a note saying so.
Answer reshape(const std::string& noise, const std::string& reply, std::uint8_t cid2,
               const RoundScript& script, const RoundScript& spoof,
               const std::optional<WireFault>* once);
// A script's values and status bytes written into the INFO of a reply to
// 2A/<cid2> (41 carries the values, 44 the status bytes), where it has them.
void apply_to_info(std::uint8_t cid2, const RoundScript& change, std::vector<std::uint8_t>& info);

// The emulated UPS on the line: answers a request frame addressed to it with
// a reply frame, shaped by the round's script (short INFO, dropped reply,
// wire faults). Called from the line's thread as well as the session's.
class LineUps {
public:
    LineUps(UpsState state, std::uint8_t ver, std::uint8_t adr) : ups_(state), ver_(ver), adr_(adr)
    {
    }
    void begin_round(const RoundScript& script);
    // On a line there are no round calls: each well-formed 2A/41 for this
    // UPS begins the next of `rounds` (kept by the caller); after the last,
    // the state stays as it is and no fault is scripted, and rounds count on.
    void feed_rounds(const std::vector<RoundScript>* rounds);
    // As a UPS of this protocol family on a shared line: the four 2A
    // requests with their INFO, shaped by the round's script (short INFO,
    // dropped reply, wire faults); get-protocol-version (CID2 4F) and
    // get-address (50) with RTN 00; a damaged request addressed to it with
    // RTN 01 (VER), 02 (CHKSUM) or 03 (LENGTH checksum), an unknown CID2
    // with RTN 04, no INFO. Nothing for another ADR or device type, for a
    // reply (another unit's, or its own heard back), or for characters that
    // are no frame.
    Answer answer(const std::string& request_line);
    // The next reply to 2A/<cid2> only: dropped (no fault given) or with
    // this fault, on top of the round's script. A reply has one such fault:
    // when one is armed already, nothing changes and its kinds are returned
    // ("" when this one was armed).
    std::string once(std::uint8_t cid2, std::optional<WireFault> fault);
    std::uint8_t adr() const { return adr_; }
    // Changes the state now, keeping the round's script.
    void set(const RoundScript& change);
    UpsState state() const;
    // Requests addressed to this UPS and well formed, answered or not.
    unsigned long served() const { return served_; }

private:
    static Answer nothing(const char* why);
    static Answer not_for_it(const char* why);
    // The reply to a known request, shaped by the round's script and a
    // one-off fault: dropped, cut short, or gone wrong on the wire.
    Answer shape_reply(std::uint8_t cid2);

    mutable std::mutex mutex_;
    Emulator ups_;
    RoundScript script_;
    std::uint8_t ver_;
    std::uint8_t adr_;
    std::map<std::uint8_t, std::optional<WireFault>> once_;
    const std::vector<RoundScript>* rounds_ = nullptr;
    std::size_t next_round_ = 0;
    std::atomic<unsigned long> served_{0};
    // Buffers of answer(), kept from one request to the next.
    protocol::Decoded request_;
    std::vector<std::uint8_t> info_;
};

}  // namespace emulator
