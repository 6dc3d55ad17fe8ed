// A round read back from a line of a --json file (report.h writes them):
// the fields the report page pictures (round, clock, completed, the nine
// values, the alarms, the plug-in's lines, refused frames, missing replies).
// The requests, the record and the frames are passed over.
#pragma once

#include <string>

#include <json/value.h>

#include "json_text.h"
#include "round.h"

namespace bench {

class RoundReader {
public:
    // The texts of the alarms before this index are passed over (left in
    // the round as they were): a reader that knows them need not copy them.
    void skip_alarm_texts_before(std::size_t n) { known_alarms_ = n; }
    // A line as the bench writes it, read without building its value; false
    // for a line it does not read (a field missing or of another type, JSON
    // it leaves to JsonCpp), which read(Json) then reads or refuses.
    bool read_line(const std::string& line, RoundResult& r);
    // The same from the parsed line; std::runtime_error naming the field
    // that is missing or wrong.
    void read(const Json::Value& v, RoundResult& r);

private:
    bool values(io::JsonCursor& json, RoundResult& r);
    bool alarms(io::JsonCursor& json, RoundResult& r);

    std::size_t known_alarms_ = 0;
    std::string key_;    // a key being read, its buffer kept
    Json::Value value_;  // a value being read
};

}  // namespace bench
