#include "json_text.h"

#include <json/reader.h>

#include <cctype>
#include <cstring>
#include <memory>

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

bool parse(Json::CharReader& reader, const std::string& text, Json::Value& v, std::string& errors)
{
    return reader.parse(text.data(), text.data() + text.size(), &v, &errors);
}

std::unique_ptr<Json::CharReader> strict_reader()
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;  // one value per text, or per line
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

Json::Value parse_json(const std::string& text)
{
    const auto reader = strict_reader();
    Json::Value v;
    std::string errors;
    if (!parse(*reader, text, v, errors)) throw JsonSyntax(where_and_why(errors, 1));
    return v;
}

JsonLines::JsonLines(std::istream& in) : in_(in), reader_(strict_reader()) {}

JsonLines::~JsonLines() = default;

bool JsonLines::next(Json::Value& v)
{
    while (std::getline(in_, text_)) {
        ++n_;
        if (text_.empty()) continue;
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
                            const std::function<void(std::size_t, const Json::Value&)>& each)
{
    JsonLines lines(in);
    Json::Value v;
    while (lines.next(v)) each(lines.line(), v);
    return lines.warning();
}

}  // namespace io
