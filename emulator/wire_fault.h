// How one reply goes wrong on the wire, and the one table of its kinds that
// a scenario's "wire" entries and vx40-ups's typed `fault` command both read:
// a new kind is one row here (and its effect in LineUps::shape_reply).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Json {
class Value;
}

namespace emulator {

struct WireFault {
    bool bad_chksum = false;          // CHKSUM off by one
    bool bad_lchksum = false;         // LENGTH's checksum nibble wrong, CHKSUM made to match it
    std::uint8_t rtn = 0;             // a non-zero return code in place of 00
    bool rtn_info = false;            // ... with the INFO of the good reply, else none
    bool late = false;                // sent after the host's timeout
    int late_ms = 0;                  // ... this long after the request; 0: the line's default
    std::string noise;                // characters before the SOI
    std::size_t chunk = 0;            // characters per write (1: byte by byte); 0: all at once
    std::optional<std::uint8_t> adr;  // answered from another address
    std::string kinds;                // the kinds as typed ("chksum rtn=4"), for the records
};

// One kind of wire fault. A flag is `true` in a scenario and its bare name
// when typed; a number is a whole number lo..hi (`name=N` typed); a text has
// lo..hi characters (`name=TEXT` typed); a flag or number is either (the
// setter is given -1 for the bare flag).
struct FaultKind {
    enum class Arg { Flag, Number, Text, FlagOrNumber };
    const char* name;
    Arg arg;
    long long lo;
    long long hi;
    const char* refusal;  // what a scenario's bad value is told
    void (*set)(WireFault& f, long long number, const std::string& text);
};
const std::vector<FaultKind>& fault_kinds();

// A scenario's wire entry ({"chksum": true, "chunk": 5}); std::runtime_error
// "WHERE.KEY: reason" for a key or a value it does not take.
WireFault parse_wire_fault(const Json::Value& v, const std::string& where);
// Typed words ("chksum", "rtn=2", "rtn_info", ...) as one fault; nothing, with
// the reason in `why`, for a word that is none.
std::optional<WireFault> typed_wire_fault(const std::vector<std::string>& words, std::string& why);
// The kinds as typed: "chksum, lchksum, rtn=1..255, ...".
std::string typed_fault_kinds();

}  // namespace emulator
