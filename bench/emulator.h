// The emulated UPS and the scenarios that script it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bench {

struct UpsState {
    std::array<float, 9> analog{};
    std::array<std::uint8_t, 14> status{};
};

// What one entry of "rounds" applies before its round.
struct RoundScript {
    std::map<std::size_t, float> analog;
    std::map<std::size_t, std::uint8_t> status;
    std::map<std::uint8_t, std::size_t> short_reply;  // CID2 -> INFO hex characters
    std::set<std::uint8_t> drop;                      // CID2 not answered
    long advance = 0;                                 // seconds, after the round
};

struct Scenario {
    UpsState ups;
    std::vector<RoundScript> rounds;
};

// Parses a scenario; throws std::runtime_error naming the fault.
Scenario parse_scenario(const std::string& text);
// The built-in demo: an alarm raised and cleared, a short reply, a dropped
// reply, stale data refused after a gap.
Scenario demo_scenario();

class Emulator {
public:
    explicit Emulator(UpsState state) : state_(state) {}
    void apply(const RoundScript& script);
    // Full-length INFO for 2A/<cid2>, or nothing for a command it does not know.
    std::optional<std::vector<std::uint8_t>> reply_info(std::uint8_t cid2) const;

private:
    UpsState state_;
};

}  // namespace bench
