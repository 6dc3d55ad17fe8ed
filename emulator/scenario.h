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

// A scenario file read and parsed; its fault as one line (std::invalid_argument):
// "PATH:LINE:COLUMN: reason" for JSON that does not parse, "scenario PATH: ..."
// for the rest.
Scenario read_scenario(const std::string& path);
// Parses a scenario; throws std::runtime_error naming the fault.
Scenario parse_scenario(const std::string& text);
// One change by name, as a person types it: an analog value
// ("input_v_ab", "180") or a status byte by its state or a byte
// ("inverter", "fault"). Throws std::runtime_error naming what is known.
RoundScript named_change(const std::string& name, const std::string& value);
// The state for a person: the nine values by name, and every status byte
// that is not normal, by its state's name.
std::string describe(const UpsState& state);
// The names named_change() takes, with each status byte's states.
std::string known_names();
// The built-in demo: an alarm raised and cleared, a short reply, a dropped
// reply, stale data refused after a gap.
Scenario demo_scenario();

}  // namespace emulator
