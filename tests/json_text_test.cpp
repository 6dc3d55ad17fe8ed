// The bench's quick JSON reader against JsonCpp: where it reads a text it
// gives the value JsonCpp gives, type included; what it declines is left to
// JsonCpp. The texts: a table of shapes, and every line the bench writes for
// its demo (--json rounds and --record events). The rounds, which the bench
// writes without JsonCpp, are the text JsonCpp writes for their values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "json_text.h"
#include "run.h"

namespace {

bool jsoncpp(const std::string& text, Json::Value& v)
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &v, &errors);
}

TEST(QuickJson, ReadsWhatJsonCppReadsOrLeavesItToIt)
{
    const struct {
        const char* text;
        bool quick;
    } cases[] = {
        {R"({"a":1,"b":-2,"c":1.5,"d":"x\"y\\z\/\b\f\n\r\t\u00e9\u4e2d","e":[true,false,null],"f":{}})",
         true},
        {" \t[ 1 , {\"k\" : [ ] } ]\r\n", true},
        {R"({"t":0.0012,"n":123456789012345678,"m":-123456789012345678})", true},
        {"-0", true},
        {"1e3", true},
        {"2.5E-3", true},
        {R"({"a":1,"a":"two"})", true},  // the last one stands, as with JsonCpp
        {"\"中文 ü\"", true},
        {"1234567890123456789", false},  // past 18 digits
        {R"("\ud83d\ude00")", false},    // a surrogate pair
        {R"("\u0000")", false},
        {R"("\x")", false},
        {"// a comment\n1", false},
        {"[1,]", false},
        {"01", false},
        {"1.", false},
        {".5", false},
        {"+1", false},
        {"1e400", false},
        {"{\"a\":1} x", false},
        {"\"a\tb\"", false},  // a raw control character
        {"", false},
        {"tru", false},
        {"[", false},
        {"{\"a\" 1}", false},
    };
    for (const auto& c : cases) {
        Json::Value quick;
        Json::Value slow;
        EXPECT_EQ(io::quick_parse(c.text, quick), c.quick) << c.text;
        if (c.quick) {
            ASSERT_TRUE(jsoncpp(c.text, slow)) << c.text;
            EXPECT_EQ(quick, slow) << c.text;
        }
    }
}

TEST(QuickJson, EveryLineTheBenchWritesReadsAsJsonCppReadsIt)
{
    const std::string rounds = testing::TempDir() + "vx40-quick-rounds.jsonl";
    const std::string record = testing::TempDir() + "vx40-quick-record.jsonl";
    const std::string runner = VX40_BENCH_RUNNER;
    const auto ran = testrun::run((runner.empty() ? "" : runner + " ") + VX40_BENCH_PATH +
                                  " --quiet -D --json " + rounds + " --record " + record);
    ASSERT_EQ(ran.status, 0) << ran.out;
    std::size_t lines = 0;
    for (const std::string& path : {rounds, record}) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            Json::Value quick;
            Json::Value slow;
            ASSERT_TRUE(jsoncpp(line, slow)) << line;
            EXPECT_TRUE(io::quick_parse(line, quick)) << line;
            EXPECT_EQ(quick, slow) << line;
            if (path == rounds) {  // written without JsonCpp, as JsonCpp writes it
                Json::StreamWriterBuilder writer;
                writer["indentation"] = "";
                EXPECT_EQ(Json::writeString(writer, slow), line);
            }
            ++lines;
        }
    }
    EXPECT_GT(lines, 50U);
}

// The writing helpers give JsonCpp's own text for strings of every kind
// and for doubles: a table of edges and a sweep through the floats' bits.
TEST(QuickJson, WritesWhatJsonCppWrites)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    const std::string strings[] = {"",
                                   "2A41",
                                   "2026-03-10 12:00:00",
                                   "a/b",
                                   "say \"hi\"",
                                   "back\\slash",
                                   "tab\there\n",
                                   std::string("nul\0inside", 10),
                                   "\x7F\x01\x1F",
                                   "市电电压超限",
                                   "bad \xFF\xC3 utf-8",
                                   "\xF0\x9F\x98\x80 outside the BMP"};
    for (const std::string& text : strings) {
        for (int again = 0; again < 2; ++again) {  // computed, then remembered
            std::string out = "x";
            io::append_quoted(out, text);
            EXPECT_EQ(out, "x" + Json::writeString(writer, Json::Value(text))) << text;
        }
    }
    std::vector<double> numbers = {0.0,    -0.0,        1.0,          230.0,    230.5,
                                   -12.25, 1e16,        1e17,         1e-5,     1e-7,
                                   0.1,    3.4e38,      -3.4e38,      1.0 / 3,  5e-324,
                                   1e308,  123456789.0, std::nan(""), HUGE_VAL, -HUGE_VAL};
    for (std::uint32_t bits = 0; bits < 0xFFFFFF00U; bits += 0x00030379U) {
        float f = 0.0F;
        std::memcpy(&f, &bits, sizeof f);
        numbers.push_back(f);
    }
    for (const double v : numbers) {
        std::string out;
        io::append_number(out, v);
        EXPECT_EQ(out, Json::writeString(writer, Json::Value(v))) << v;
    }
}

}  // namespace
