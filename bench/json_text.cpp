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

bool parse(Json::CharReader& reader, const std::string& text, Json::Value& v,
           std::string& errors)
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

std::string read_json_lines(std::istream& in,
                            const std::function<void(std::size_t, const Json::Value&)>& each)
{
    const auto reader = strict_reader();
    std::string line;
    std::size_t n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty()) continue;
        const bool torn = in.eof();  // the file ends without this line's newline
        Json::Value v;
        std::string errors;
        if (!parse(*reader, line, v, errors)) {
            if (torn) {
                return "line " + std::to_string(n) + " is cut short (" +
                       std::to_string(line.size()) + " bytes, no newline): left out";
            }
            throw JsonSyntax(where_and_why(errors, n));
        }
        each(n, v);
    }
    return "";
}

}  // namespace bench
