// The JSON the bench reads (settings, scenarios, recordings, --json rounds):
// one parser, and a syntax error named once as "LINE:COLUMN: reason", for
// the caller to put its file in front of.
#pragma once

#include <charconv>
#include <cstddef>
#include <functional>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <json/reader.h>
#include <json/value.h>

namespace io {

// "LINE:COLUMN: reason" of the first syntax error.
struct JsonSyntax : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A whole JSON text; throws JsonSyntax.
Json::Value parse_json(const std::string& text);
// A file holding one JSON object (the host's settings); std::invalid_argument
// as one line: "WHAT PATH: cannot read: reason", "PATH:LINE:COLUMN: reason"
// or "WHAT PATH: not a JSON object".
Json::Value read_json_object(const std::string& what, const std::string& path);

// The quick reader every parse tries first, alone: true with the value
// JsonCpp would give for the JSON the tools write (objects, arrays, strings,
// integers of up to 18 digits, decimals, true, false, null); false, leaving
// the text to JsonCpp, for anything else.
bool quick_parse(std::string_view text, Json::Value& v);

// Appends the text JsonCpp's writer (no indentation) gives for a string
// value holding `s`. Plain printable ASCII is quoted here; any other text is
// quoted by JsonCpp, and remembered (a bounded number of texts).
void append_quoted(std::string& out, std::string_view s);
// Appends the text JsonCpp's writer gives for a double: "%.17g" with ".0"
// added to a whole number; not-finite values are left to JsonCpp.
void append_number(std::string& out, double v);
// Appends an integer as JsonCpp writes it: its decimal digits.
inline void append_integer(std::string& out, long long v)
{
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}
// Appends a list of texts as a JSON array of strings.
template <typename List>
void append_texts(std::string& out, const List& list)
{
    out += '[';
    bool first = true;
    for (const auto& text : list) {
        if (!first) out += ',';
        first = false;
        append_quoted(out, text);
    }
    out += ']';
}

// One JSON object appended to a line as JsonCpp's writer (no indentation)
// writes it, without building its value: the one writer of the tools' JSON
// lines (the bench's rounds, the recordings' events, the simulator's
// requests). The caller gives the members in the byte order of their keys,
// the order JsonCpp keeps them in.
class JsonLine {
public:
    explicit JsonLine(std::string& out) : out_(out) { out_ += '{'; }
    JsonLine& text(std::string_view key, std::string_view value)
    {
        append_quoted(member(key), value);
        return *this;
    }
    // A double as append_number writes it (JsonCpp's default precision).
    JsonLine& number(std::string_view key, double value)
    {
        append_number(member(key), value);
        return *this;
    }
    // A double to `places` decimals, trailing zeros dropped (JsonCpp's
    // "decimal" precision type).
    JsonLine& decimal(std::string_view key, double value, unsigned places);
    JsonLine& integer(std::string_view key, long long value)
    {
        append_integer(member(key), value);
        return *this;
    }
    JsonLine& boolean(std::string_view key, bool value)
    {
        member(key).append(value ? "true" : "false", value ? 4 : 5);
        return *this;
    }
    // Any value, written by JsonCpp (its doubles to `places` decimals, as
    // decimal() writes them, when given).
    JsonLine& json(std::string_view key, const Json::Value& value, unsigned places = 0);
    // The key (a plain ASCII name of the program's) and its colon: the
    // caller appends the value.
    std::string& member(std::string_view key)
    {
        // Keys are the program's own names: plain ASCII, quoted as they
        // stand, with the comma before them in one piece.
        char buf[64];
        if (key.size() > sizeof buf - 4) return long_member(key);
        buf[0] = ',';
        buf[1] = '"';
        key.copy(buf + 2, key.size());
        buf[key.size() + 2] = '"';
        buf[key.size() + 3] = ':';
        out_.append(buf + (first_ ? 1 : 0), key.size() + (first_ ? 3 : 4));
        first_ = false;
        return out_;
    }
    // The closing brace.
    void close() { out_ += '}'; }

private:
    std::string& long_member(std::string_view key);

    std::string& out_;
    bool first_ = true;
};

// A quick reader for the JSON the tools write themselves: plain objects,
// arrays, strings, integers and decimals, true, false and null. It gives
// exactly the value JsonCpp gives (an integer as Int64 while it fits, a
// number with a point or an exponent as a double), and declines anything
// else, even where JsonCpp would read it (a comment, an integer past 18
// digits, an unusual \u escape): JsonCpp then reads the text, and says
// where a fault is. A reader that knows the shape it expects takes the text
// piece by piece; every call is false where the quick reader declines, the
// cursor then anywhere.
class JsonCursor {
public:
    explicit JsonCursor(std::string_view text) : p_(text.data()), end_(p_ + text.size()) {}
    // The whole text as one value.
    bool read(Json::Value& v);
    // Any value, as JsonCpp gives it.
    bool value(Json::Value& v, int depth = 0);
    // The character c, after blanks.
    bool take(char c);
    // A string (after blanks), its escapes decoded, into s.
    bool string(std::string& s);
    // A value passed over: read as value() reads it, a string not kept.
    bool skip(int depth = 0);
    // A key and its colon.
    bool key(std::string& s) { return string(s) && take(':'); }
    // true or false.
    bool boolean(bool& b);
    // Only blanks are left.
    bool end();

private:
    static constexpr int kMaxDepth = 100;
    void blanks();
    bool word(const char* w);
    bool object(Json::Value& v, int depth);
    bool array(Json::Value& v, int depth);
    bool number(Json::Value& v);
    std::ptrdiff_t digits();
    // A string, into *to, or only read when to is null.
    bool text(std::string* to);

    const char* p_;
    const char* end_;
};

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
    // The next line that is not empty; false at the end. A line that
    // `quick` takes (true) is not parsed: `v` is left as it was, and
    // `*taken` says so.
    using Quick = std::function<bool(const std::string& text)>;
    bool next(Json::Value& v, const Quick* quick = nullptr, bool* taken = nullptr);
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
// `quick(line_number, text)`, when given, is offered each line first: a line
// it takes (true) is not parsed.
std::string read_json_lines(std::istream& in,
                            const std::function<void(std::size_t, const Json::Value&)>& each,
                            const std::function<bool(std::size_t, const std::string&)>& quick = {});

}  // namespace io
