// What a round showed, and how it is reported: one JSON object per round
// (JSON Lines), or lines for a person.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "host.h"

namespace bench {

// The nine named values, in the plug-in's order.
extern const char* const kValueNames[9];

struct RoundResult {
    long round = 0;
    std::string clock;
    std::vector<std::string> requests;
    bool completed = false;
    std::vector<std::string> log;
    std::vector<standin::Call> alarms;
    std::vector<std::pair<std::string, std::string>> values;  // name -> value or refusal
    std::vector<bool> value_ok;
    std::vector<float> value_num;
    std::vector<std::uint8_t> record;
    std::vector<std::string> rejected;
    std::vector<std::string> missing;  // requests without a reply in time
};

// English gloss of a text the plug-in gives (an alarm or a refusal), or "".
std::string gloss(const std::string& text);
// "not_ready", "stale" or "unsupported" for the three refusals of a value.
std::string refusal_code(const std::string& text);

std::string hex(const std::vector<std::uint8_t>& bytes);
Json::Value to_json(const RoundResult& r);
void show(std::ostream& out, const RoundResult& r, bool colour, bool quiet);

}  // namespace bench
