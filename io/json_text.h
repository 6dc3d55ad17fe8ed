// The JSON the bench reads (settings, scenarios, recordings, --json rounds):
// one parser, and a syntax error named once as "LINE:COLUMN: reason", for
// the caller to put its file in front of.
#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <json/reader.h>
#include <json/value.h>

namespace io {

// "LINE:COLUMN: reason" of the first syntax error.
struct JsonSyntax : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A whole JSON text; throws JsonSyntax.
Json::Value parse_json(const std::string& text);

// The quick reader every parse tries first, alone: true with the value
// JsonCpp would give for the JSON the tools write (objects, arrays, strings,
// integers of up to 18 digits, decimals, true, false, null); false, leaving
// the text to JsonCpp, for anything else.
bool quick_parse(const std::string& text, Json::Value& v);

// Appends the text JsonCpp's writer (no indentation) gives for a string
// value holding `s`. Plain printable ASCII is quoted here; any other text is
// quoted by JsonCpp, and remembered (a bounded number of texts).
void append_quoted(std::string& out, std::string_view s);
// Appends the text JsonCpp's writer gives for a double: "%.17g" with ".0"
// added to a whole number; not-finite values are left to JsonCpp.
void append_number(std::string& out, double v);

// JSON Lines read one at a time, as they come; only the line in hand is kept.
// A last line cut short (no newline at its end, and not JSON) is what a
// killed run or a full disk leaves: it ends the lines and warning() names
// it. Any other line that is not JSON throws JsonSyntax.
class JsonLines {
public:
    explicit JsonLines(std::istream& in);
    ~JsonLines();
    JsonLines(const JsonLines&) = delete;
    JsonLines& operator=(const JsonLines&) = delete;
    JsonLines(JsonLines&&) = delete;
    JsonLines& operator=(JsonLines&&) = delete;
    // The next line that is not empty; false at the end.
    bool next(Json::Value& v);
    std::size_t line() const { return n_; }  // the number of the line last read
    const std::string& warning() const { return warning_; }

private:
    std::istream& in_;
    std::unique_ptr<Json::CharReader> reader_;
    std::string text_;
    std::string errors_;
    std::size_t n_ = 0;
    std::string warning_;
};

// JSON Lines: `each(line_number, value)` for every line that is not empty.
// A last line cut short (no newline at its end, and not JSON) is what a
// killed run or a full disk leaves: it is skipped and the returned warning
// names it ("" when there is none). Any other line that is not JSON throws
// JsonSyntax; `each` may throw to refuse a line.
std::string read_json_lines(std::istream& in,
                            const std::function<void(std::size_t, const Json::Value&)>& each);

}  // namespace io
