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

// One frame on the line, or the timeout of a request: seconds since the
// session began (monotonic), "tx" or "rx" (or "timeout"), the frame's text,
// and the decoder's verdict for a reply ("accepted" or the refusal).
struct FrameEvent {
    double seconds = 0.0;
    std::string direction;
    std::string text;
    std::string verdict;
    long round = 0;
    std::size_t step = 0;  // 1 to 4 within the round
};

// The frame's characters as text: CR as "\r", anything not printable as \xNN.
std::string printable(const std::string& frame);
// One trace line of an event, for a person.
std::string trace_line(const FrameEvent& e);

// One named value as the plug-in gave it: a number, or the text it refused with.
struct ValueRead {
    const char* name = "";
    bool ok = false;
    float num = 0.0F;  // when ok
    std::string text;  // the shortest text of num, or the refusal
};

struct RoundResult {
    long round = 0;
    std::string clock;
    std::vector<std::string> requests;
    bool completed = false;
    std::vector<std::string> log;
    standin::CallList alarms;       // copies of the host's, kept from round to round
    std::vector<ValueRead> values;  // in kValueNames' order
    std::vector<std::uint8_t> record;
    std::vector<std::string> rejected;
    std::vector<std::string> missing;  // requests without a reply in time
    std::vector<FrameEvent> frames;    // kept when the line is traced
    std::string line_lost;             // why the serial line went away in this round

    // Empty again for round n, every buffer kept for the next round's use.
    void reset(long n);
};

// English gloss of a text the plug-in gives (an alarm or a refusal), or "".
std::string gloss(const std::string& text);
// "not_ready", "stale" or "unsupported" for the three refusals of a value.
std::string refusal_code(const std::string& text);

std::string hex(const std::vector<std::uint8_t>& bytes);
// The shortest text that reads back as exactly `v`, with an exponent only
// when that is shorter ("230", "230.5", "3.4e+38").
std::string shortest(float v);
// The same text, assigned to `text` (its buffer kept).
void assign_shortest(std::string& text, float v);
Json::Value to_json(const RoundResult& r);
// The round's JSON line (without its newline) appended to `out`: the very
// text Json::writeString gives for to_json(r) with no indentation, made
// without building the value.
void write_json(std::string& out, const RoundResult& r);
// The round's lines for a person, appended to `out`.
void show(std::string& out, const RoundResult& r, bool colour, bool quiet);

}  // namespace bench
