// The VX40's vocabulary as the tools speak it: the four requests and their
// reply sizes, the nine analog values (by the scenario's names and by the
// plug-in's), the status bytes with their states, and the English gloss of
// every text the plug-in gives. The plug-in keeps its own tables; these are
// what the tools check it against. Depends on nothing else here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vocabulary {

// The UPS's device type (CID1), the one its requests carry.
inline constexpr std::uint8_t kCid1 = 0x2A;

// One of the four requests of a round, in the round's order.
struct Request {
    std::uint8_t cid2;
    const char* name;        // as a person and a scenario write it: "41"
    std::size_t info_bytes;  // the whole reply's INFO
};
inline constexpr std::array<Request, 4> kRequests{{
    {0x41, "41", 64},  // DATAFLAG, nine floats LE, 27 further bytes
    {0x43, "43", 7},
    {0x44, "44", 15},  // DATAFLAG, fourteen status bytes
    {0x46, "46", 45},
}};
// The request of that name ("41"), or null.
const Request* find_request(std::string_view name);
// The request of that CID2, or null.
const Request* find_request(std::uint8_t cid2);
// "41, 43, 44 or 46".
std::string request_names();

// The nine analog values in the order the UPS sends them: the names a
// scenario and a typed command use, and the names the plug-in gives them.
inline constexpr std::array<const char*, 9> kAnalogNames{
    "input_v_ab",  "input_v_bc", "input_v_ca", "output_v_ab", "output_v_bc",
    "output_v_ca", "output_a_a", "output_a_b", "output_a_c"};
inline constexpr std::array<const char*, 9> kValueNames{
    "ACInputLineOrPhaseAB_A",  "ACInputLineOrPhaseBC_B",  "ACInputLineOrPhaseCA_C",
    "ACOutputLineOrPhaseAB_A", "ACOutputLineOrPhaseBC_B", "ACOutputLineOrPhaseCA_C",
    "ACOutputCurrentA",        "ACOutputCurrentB",        "ACOutputCurrentC"};
// The values by three, as the page charts them.
inline constexpr std::array<const char*, 3> kValueGroups{"Input voltage (V)", "Output voltage (V)",
                                                         "Output current (A)"};

// A status byte's state by name ("normal" is 0 for every byte).
struct State {
    const char* name;
    std::uint8_t value;
};
// A status byte after 2A/44's DATAFLAG, by name, with the values its alarms test.
struct StatusByte {
    const char* name;
    std::size_t index;
    std::span<const State> states;
};
std::span<const StatusByte> status_bytes();
const StatusByte* find_status(std::string_view name);
inline constexpr std::size_t kStatusBytes = 14;

// A text the plug-in gives (an alarm or a refusal), with its English gloss
// and, for a value's refusal, the code the JSON carries beside it ("" for an alarm).
struct Gloss {
    const char* text;
    const char* english;
    const char* code;
};
std::span<const Gloss> glosses();
// The gloss of a text, or "".
std::string gloss(std::string_view text);
// "not_ready", "stale" or "unsupported" for the three refusals of a value,
// "error" for any other text.
std::string refusal_code(std::string_view text);

}  // namespace vocabulary
