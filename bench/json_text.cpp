#include "json_text.h"

#include <json/reader.h>

#include <memory>
#include <regex>

namespace bench {

namespace {

// JsonCpp says "* Line L, Column C\n  reason\n"; `first_line` is where the
// text starts in its file.
std::string where_and_why(const std::string& errors, std::size_t first_line)
{
    static const std::regex kError(R"(\* Line (\d+), Column (\d+)\s*\n\s*([^\n]*))");
    std::smatch m;
    if (!std::regex_search(errors, m, kError)) return std::to_string(first_line) + ":1: " + errors;
    const std::size_t line = first_line + std::stoul(m[1].str()) - 1;
    return std::to_string(line) + ":" + m[2].str() + ": " + m[3].str();
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

}  // namespace bench
