// What a round showed, and how it is reported: one JSON object per round
// (JSON Lines), or lines for a person.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vocabulary.h"

namespace bench {

// The nine named values in the plug-in's order, and the English gloss and
// refusal code of the plug-in's texts.
using vocabulary::gloss;
using vocabulary::kValueNames;
using vocabulary::refusal_code;

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

// One trace line of an event, for a person.
std::string trace_line(const FrameEvent& e);

// One named value as the plug-in gave it: a number, or the text it refused with.
struct ValueRead {
    const char* name = "";
    bool ok = false;
    float num = 0.0F;  // when ok
    std::string text;  // the shortest text of num, or the refusal
    std::string code;  // when refused: "not_ready", "stale", "unsupported" or "error"
};

// One alarm report as the host received it (CheckThresholdBool).
struct AlarmReport {
    std::string signal;
    std::string nm;
    std::string text;
    bool active = false;
    unsigned seq = 0;
};

// A list whose clear() keeps its items for reuse: a list refilled every
// round allocates nothing once it has grown. add() hands back an item as it
// was left; the caller sets every field.
template <typename T>
class KeptList {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + size_; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T& add()
    {
        if (size_ == items_.size()) items_.emplace_back();
        return items_[size_++];
    }
    void clear() { size_ = 0; }

private:
    std::vector<T> items_;
    std::size_t size_ = 0;
};

struct RoundResult {
    long round = 0;
    std::string clock;
    std::vector<std::string> requests;
    bool completed = false;
    std::vector<std::string> log;
    KeptList<AlarmReport> alarms;   // as the host received them
    std::vector<ValueRead> values;  // in kValueNames' order
    std::vector<std::uint8_t> record;
    std::vector<std::string> rejected;
    std::vector<std::string> missing;  // requests without a reply in time
    std::vector<FrameEvent> frames;    // kept when the line is traced
    std::string line_lost;             // why the serial line went away in this round

    // Empty again for round n, every buffer kept for the next round's use.
    void reset(long n);
};

// The shortest text that reads back as exactly `v`, with an exponent only
// when that is shorter ("230", "230.5", "3.4e+38").
std::string shortest(float v);
// The same text, assigned to `text` (its buffer kept).
void assign_shortest(std::string& text, float v);
// The round's JSON line (without its newline) appended to `out`, the keys in
// byte order as JsonCpp writes them.
void write_json(std::string& out, const RoundResult& r);
// The round's lines for a person, appended to `out`.
void show(std::string& out, const RoundResult& r, bool colour, bool quiet);

}  // namespace bench
