#include "json_text.h"

#include "number.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <utility>

namespace io {

namespace {

// JsonCpp says "* Line L, Column C\n  reason\n"; `first_line` is where the
// text starts in its file.
std::string where_and_why(const std::string& errors, std::size_t first_line)
{
    auto number_after = [&](const char* label, std::size_t from, std::size_t& value) {
        const std::size_t at = errors.find(label, from);
        if (at == std::string::npos) return std::string::npos;
        std::size_t end = at + std::strlen(label);
        value = 0;
        while (end < errors.size() && std::isdigit(static_cast<unsigned char>(errors[end])) != 0) {
            value = value * 10 + static_cast<std::size_t>(errors[end++] - '0');
        }
        return end;
    };
    std::size_t line = 0;
    std::size_t column = 0;
    std::size_t at = number_after("Line ", 0, line);
    if (at != std::string::npos) at = number_after(", Column ", at, column);
    if (at == std::string::npos || line == 0) return std::to_string(first_line) + ":1: " + errors;
    at = errors.find_first_not_of(" \n", at);
    const std::string why =
        at == std::string::npos ? "" : errors.substr(at, errors.find('\n', at) - at);
    return std::to_string(first_line + line - 1) + ":" + std::to_string(column) + ": " + why;
}

constexpr std::pair<char, char> kEscapes[] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
                                              {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'}};

// The characters of a JSON string that stand for themselves: all but the
// quote, the backslash and control characters.
constexpr std::array<bool, 256> kStandsForItself = [] {
    std::array<bool, 256> t{};
    for (std::size_t c = 0x20; c < t.size(); ++c) t[c] = c != '"' && c != '\\';
    return t;
}();

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse(Json::CharReader& reader, const std::string& text, Json::Value& v, std::string& errors)
{
    if (quick_parse(text, v)) return true;
    return reader.parse(text.data(), text.data() + text.size(), &v, &errors);
}

std::unique_ptr<Json::CharReader> strict_reader()
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;  // one value per text, or per line
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

void JsonCursor::blanks()
{
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
}
bool JsonCursor::take(char c)
{
    blanks();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
}
bool JsonCursor::word(const char* w)
{
    const std::size_t n = std::strlen(w);
    if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
    p_ += n;
    return true;
}
bool JsonCursor::value(Json::Value& v, int depth)
{
    blanks();
    if (p_ == end_ || depth > kMaxDepth) return false;
    switch (*p_) {
        case '{':
            return object(v, depth);
        case '[':
            return array(v, depth);
        case '"': {
            std::string s;
            if (!string(s)) return false;
            v = Json::Value(s);
            return true;
        }
        case 't':
            return word("true") && (v = Json::Value(true), true);
        case 'f':
            return word("false") && (v = Json::Value(false), true);
        case 'n':
            return word("null") && (v = Json::Value(), true);
        default:
            return number(v);
    }
}
bool JsonCursor::object(Json::Value& v, int depth)
{
    ++p_;
    v = Json::Value(Json::objectValue);
    if (take('}')) return true;
    std::string key;
    do {
        blanks();
        if (p_ == end_ || *p_ != '"' || !string(key) || !take(':')) return false;
        if (!value(v[key], depth + 1)) return false;
    } while (take(','));
    return take('}');
}
bool JsonCursor::array(Json::Value& v, int depth)
{
    ++p_;
    v = Json::Value(Json::arrayValue);
    if (take(']')) return true;
    do {
        if (!value(v.append(Json::Value()), depth + 1)) return false;
    } while (take(','));
    return take(']');
}
bool JsonCursor::string(std::string& s)
{
    return text(&s);
}

bool JsonCursor::skip(int depth)
{
    blanks();
    if (p_ != end_ && *p_ == '"') return text(nullptr);
    Json::Value v;
    return value(v, depth);
}

bool JsonCursor::text(std::string* to)
{
    blanks();
    if (p_ == end_ || *p_ != '"') return false;
    ++p_;
    std::string ignored;
    std::string& s = to != nullptr ? *to : ignored;
    s.clear();
    while (p_ != end_) {
        // A run of characters that stand for themselves, taken whole.
        const char* run = p_;
        while (p_ != end_ && kStandsForItself[static_cast<unsigned char>(*p_)]) ++p_;
        if (to != nullptr) s.append(run, p_);
        if (p_ == end_) return false;
        const char c = *p_++;
        if (c == '"') return true;
        if (c != '\\') return false;  // a raw control character: left to JsonCpp
        if (p_ == end_) return false;
        const char e = *p_++;
        if (e != 'u') {
            const auto* found = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                             [e](const auto& esc) { return esc.first == e; });
            if (found == std::end(kEscapes)) return false;
            if (to != nullptr) s.push_back(found->second);
            continue;
        }
        // One code point of the Basic Multilingual Plane, not a surrogate
        // and not NUL; anything else is left to JsonCpp.
        if (end_ - p_ < 4) return false;
        unsigned cp = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex_digit(*p_++);
            if (h < 0) return false;
            cp = (cp << 4U) | static_cast<unsigned>(h);
        }
        if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (to == nullptr) continue;
        if (cp < 0x80) {
            s.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            s.push_back(static_cast<char>(0xC0U | (cp >> 6U)));
            s.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
        } else {
            s.push_back(static_cast<char>(0xE0U | (cp >> 12U)));
            s.push_back(static_cast<char>(0x80U | ((cp >> 6U) & 0x3FU)));
            s.push_back(static_cast<char>(0x80U | (cp & 0x3FU)));
        }
    }
    return false;
}
// Skips decimal digits; how many.
std::ptrdiff_t JsonCursor::digits()
{
    const char* from = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ - from;
}
bool JsonCursor::number(Json::Value& v)
{
    const char* start = p_;
    if (p_ != end_ && *p_ == '-') ++p_;
    const char* first_digit = p_;
    const std::ptrdiff_t whole = digits();
    if (whole == 0 || (whole > 1 && *first_digit == '0')) return false;
    bool decimal = false;
    if (p_ != end_ && *p_ == '.') {
        decimal = true;
        ++p_;
        if (digits() == 0) return false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
        decimal = true;
        ++p_;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (digits() == 0) return false;
    }
    if (!decimal) {
        if (whole > 18) return false;
        std::int64_t n = 0;
        std::from_chars(start, p_, n);
        v = Json::Value(static_cast<Json::Int64>(n));
        return true;
    }
    double d = 0.0;
    const auto [end, error] = std::from_chars(start, p_, d);
    if (error != std::errc() || end != p_ || !std::isfinite(d)) return false;
    v = Json::Value(d);
    return true;
}

bool JsonCursor::read(Json::Value& v)
{
    return value(v, 0) && end();
}

bool JsonCursor::end()
{
    blanks();
    return p_ == end_;
}

bool JsonCursor::boolean(bool& b)
{
    blanks();
    if (word("true")) return b = true, true;
    if (word("false")) return b = false, true;
    return false;
}

bool quick_parse(std::string_view text, Json::Value& v)
{
    return JsonCursor(text).read(v);
}

Json::Value parse_json(const std::string& text)
{
    const auto reader = strict_reader();
    Json::Value v;
    std::string errors;
    if (!parse(*reader, text, v, errors)) throw JsonSyntax(where_and_why(errors, 1));
    return v;
}

Json::Value read_json_object(const std::string& what, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument(what + " " + path + ": cannot read: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    Json::Value v;
    try {
        v = parse_json(text.str());
    } catch (const JsonSyntax& e) {
        throw std::invalid_argument(path + ":" + e.what());
    }
    if (!v.isObject()) throw std::invalid_argument(what + " " + path + ": not a JSON object");
    return v;
}

JsonLines::JsonLines(std::istream& in) : in_(in), reader_(strict_reader()) {}

JsonLines::~JsonLines() = default;

bool JsonLines::next(Json::Value& v, const Quick* quick, bool* taken)
{
    if (taken != nullptr) *taken = false;
    while (std::getline(in_, text_)) {
        ++n_;
        if (text_.empty()) continue;
        if (quick != nullptr && (*quick)(text_)) {
            if (taken != nullptr) *taken = true;
            return true;
        }
        const bool torn = in_.eof();  // the file ends without this line's newline
        errors_.clear();
        if (parse(*reader_, text_, v, errors_)) return true;
        if (!torn) throw JsonSyntax(where_and_why(errors_, n_));
        warning_ = "line " + std::to_string(n_) + " is cut short (" + std::to_string(text_.size()) +
                   " bytes, no newline): left out";
        return false;
    }
    return false;
}

std::string read_json_lines(std::istream& in,
                            const std::function<void(std::size_t, const Json::Value&)>& each,
                            const std::function<bool(std::size_t, const std::string&)>& quick)
{
    JsonLines lines(in);
    const JsonLines::Quick offered = [&](const std::string& text) {
        return quick && quick(lines.line(), text);
    };
    Json::Value v;
    bool taken = false;
    while (lines.next(v, &offered, &taken)) {
        if (!taken) each(lines.line(), v);
    }
    return lines.warning();
}

void append_quoted(std::string& out, std::string_view s)
{
    // Printable ASCII but the quote, the backslash and the slash: written as
    // it stands by every JSON writer.
    static constexpr std::array<bool, 256> kPlain = [] {
        std::array<bool, 256> t{};
        for (int c = 0x20; c < 0x7F; ++c)
            t[static_cast<std::size_t>(c)] = c != '"' && c != '\\' && c != '/';
        return t;
    }();
    bool plain = true;
    for (const char c : s) plain &= kPlain[static_cast<unsigned char>(c)];
    if (plain) {
        ((out += '"') += s) += '"';
        return;
    }
    // Looked up by the text itself, without a copy.
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view v) const
        {
            return std::hash<std::string_view>{}(v);
        }
    };
    thread_local std::unordered_map<std::string, std::string, Hash, std::equal_to<>> seen;
    constexpr std::size_t kRemembered = 4096;
    if (const auto it = seen.find(s); it != seen.end()) {
        out += it->second;
        return;
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string text(s);
    std::string quoted = Json::writeString(writer, Json::Value(text));
    out += quoted;
    if (seen.size() < kRemembered) seen.emplace(std::move(text), std::move(quoted));
}

void append_number(std::string& out, double v)
{
    if (!std::isfinite(v)) {
        out += Json::valueToString(v);
        return;
    }
    // The same values come round after round.
    out += remembered_text<32>(v, [v](char* first, char* last) {
        char* end = std::to_chars(first, last - 2, v, std::chars_format::general, 17).ptr;
        if (std::find_if(first, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
            *end++ = '.';
            *end++ = '0';
        }
        return end;
    });
}

namespace {

// JsonCpp's writer as the lines are written: no indentation; doubles to
// `places` decimals when given, else to its default precision.
std::string jsoncpp_text(const Json::Value& value, unsigned places)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    if (places != 0) {
        writer["precisionType"] = "decimal";
        writer["precision"] = places;
    }
    return Json::writeString(writer, value);
}

}  // namespace

std::string& JsonLine::long_member(std::string_view key)
{
    out_ += first_ ? "\"" : ",\"";
    first_ = false;
    out_.append(key);
    out_ += "\":";
    return out_;
}

JsonLine& JsonLine::decimal(std::string_view key, double value, unsigned places)
{
    std::string& out = member(key);
    if (!std::isfinite(value) || places > 17) {
        out += jsoncpp_text(Json::Value(value), places);
        return *this;
    }
    char buf[64];
    const auto done = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed,
                                    static_cast<int>(places));
    std::string_view digits(buf, static_cast<std::size_t>(done.ptr - buf));
    if (digits.find('.') == std::string_view::npos) {
        out.append(digits);
        out += ".0";
        return *this;
    }
    // Trailing zeros dropped, one digit kept after the point.
    std::size_t end = digits.size();
    while (end > 0 && digits[end - 1] == '0' && digits[end - 2] != '.') --end;
    out.append(digits.substr(0, end));
    return *this;
}

JsonLine& JsonLine::json(std::string_view key, const Json::Value& value, unsigned places)
{
    member(key) += jsoncpp_text(value, places);
    return *this;
}

}  // namespace io
