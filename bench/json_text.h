// The JSON the bench reads (settings, scenarios, recordings, --json rounds):
// one parser, and a syntax error named once as "LINE:COLUMN: reason", for
// the caller to put its file in front of.
#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>

#include <json/value.h>

namespace bench {

// "LINE:COLUMN: reason" of the first syntax error.
struct JsonSyntax : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A whole JSON text; throws JsonSyntax.
Json::Value parse_json(const std::string& text);

// JSON Lines: `each(line_number, value)` for every line that is not empty.
// A last line cut short (no newline at its end, and not JSON) is what a
// killed run or a full disk leaves: it is skipped and the returned warning
// names it ("" when there is none). Any other line that is not JSON throws
// JsonSyntax; `each` may throw to refuse a line.
std::string read_json_lines(std::istream& in,
                            const std::function<void(std::size_t, const Json::Value&)>& each);

}  // namespace bench
