// Scenarios: the JSON that scripts the emulated UPS round by round
// (examples/scenario.json), and the built-in demo.
#pragma once

#include <string>
#include <vector>

#include "ups.h"

namespace emulator {

struct Scenario {
    UpsState ups;
    std::vector<RoundScript> rounds;
};

// Parses a scenario; throws std::runtime_error naming the fault.
Scenario parse_scenario(const std::string& text);
// The built-in demo: an alarm raised and cleared, a short reply, a dropped
// reply, stale data refused after a gap.
Scenario demo_scenario();

}  // namespace emulator
