// The tools' shared tables: every wire fault reads the same from a scenario
// and from a typed command, with one set of limits; the vocabulary's requests
// are the emulator's replies.
#include <gtest/gtest.h>

#include <json/value.h>
#include <json/writer.h>

#include <string>
#include <vector>

#include "clock_span.h"
#include "frame.h"
#include "json_text.h"
#include "recording.h"
#include "round_reader.h"
#include "scenario.h"
#include "ups.h"
#include "vocabulary.h"
#include "wire_fault.h"

namespace {

using emulator::WireFault;

// A fault read from a scenario's wire entry, or the reason it was refused.
std::string from_scenario(const std::string& json, WireFault& f)
{
    try {
        f = emulator::parse_wire_fault(io::parse_json(json), "w");
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

std::string from_typed(const std::vector<std::string>& words, WireFault& f)
{
    std::string why;
    const auto got = emulator::typed_wire_fault(words, why);
    if (got) f = *got;
    return got ? "" : why;
}

bool same(const WireFault& a, const WireFault& b)
{
    return a.bad_chksum == b.bad_chksum && a.bad_lchksum == b.bad_lchksum && a.rtn == b.rtn &&
           a.rtn_info == b.rtn_info && a.late == b.late && a.late_ms == b.late_ms &&
           a.noise == b.noise && a.chunk == b.chunk && a.adr == b.adr && a.kinds == b.kinds;
}

TEST(WireFaults, ScenarioAndTypedCommandReadTheSameFaultWithTheSameLimits)
{
    const struct {
        const char* scenario;
        std::vector<std::string> typed;
        bool taken;
    } cases[] = {
        {R"({"chksum": true})", {"chksum"}, true},
        {R"({"lchksum": true})", {"lchksum"}, true},
        {R"({"late": true})", {"late"}, true},
        {R"({"late": 3000})", {"late=3000"}, true},
        {R"({"late": 600000})", {"late=600000"}, true},
        {R"({"late": 0})", {"late=0"}, false},
        {R"({"late": 600001})", {"late=600001"}, false},
        {R"({"rtn": 4, "rtn_info": true})", {"rtn=4", "rtn_info"}, true},
        {R"({"rtn": 255})", {"rtn=255"}, true},
        {R"({"rtn": 0})", {"rtn=0"}, false},
        {R"({"rtn": 256})", {"rtn=256"}, false},
        {R"({"adr": 0})", {"adr=0"}, true},
        {R"({"adr": 256})", {"adr=256"}, false},
        {R"({"chunk": 1})", {"chunk=1"}, true},
        {R"({"chunk": 4095})", {"chunk=4095"}, true},
        {R"({"chunk": 4096})", {"chunk=4096"}, false},
        {R"({"chunk": 0})", {"chunk=0"}, false},
        {R"({"noise": "xy~1"})", {"noise=xy~1"}, true},
        {R"({"noise": ""})", {"noise="}, false},
        {R"({"bogus": true})", {"bogus"}, false},
    };
    for (const auto& c : cases) {
        WireFault scripted;
        WireFault typed;
        const std::string scenario_why = from_scenario(c.scenario, scripted);
        const std::string typed_why = from_typed(c.typed, typed);
        EXPECT_EQ(scenario_why.empty(), c.taken) << c.scenario << ": " << scenario_why;
        EXPECT_EQ(typed_why.empty(), c.taken) << c.typed[0] << ": " << typed_why;
        if (c.taken) {
            EXPECT_TRUE(same(scripted, typed)) << c.scenario;
        }
    }
    // A flag is a bare word when typed and true or false in a scenario.
    WireFault f;
    EXPECT_FALSE(from_typed({"chksum=1"}, f).empty());
    EXPECT_EQ(from_scenario(R"({"chksum": 1})", f), "w.chksum: true or false");
    EXPECT_EQ(from_scenario(R"({"rtn": 0})", f), "w.rtn: an error return is 1..255");
}

TEST(WireFaults, EveryKindIsNamedInTheTypedRefusal)
{
    WireFault f;
    const std::string why = from_typed({"what"}, f);
    for (const emulator::FaultKind& k : emulator::fault_kinds()) {
        EXPECT_NE(why.find(k.name), std::string::npos) << k.name << " missing from: " << why;
    }
}

TEST(Vocabulary, EveryRequestIsAnsweredWithItsWholeInfo)
{
    const emulator::Emulator ups{emulator::UpsState{}};
    for (const vocabulary::Request& r : vocabulary::kRequests) {
        const auto info = ups.reply_info(r.cid2);
        ASSERT_TRUE(info.has_value()) << r.name;
        EXPECT_EQ(info->size(), r.info_bytes) << r.name;
        EXPECT_EQ(vocabulary::find_request(r.name), &r);
    }
    EXPECT_FALSE(ups.reply_info(0x42).has_value());
    EXPECT_EQ(vocabulary::request_names(), "41, 43, 44 or 46");
}

TEST(Vocabulary, EveryStatusStateIsSetByNameAndDescribedByIt)
{
    for (const vocabulary::StatusByte& b : vocabulary::status_bytes()) {
        ASSERT_LT(b.index, vocabulary::kStatusBytes) << b.name;
        for (const vocabulary::State& s : b.states) {
            const emulator::RoundScript change = emulator::named_change(b.name, s.name);
            ASSERT_EQ(change.status.count(b.index), 1U) << b.name;
            EXPECT_EQ(change.status.at(b.index), s.value) << b.name << " " << s.name;
            emulator::UpsState state;
            state.status[b.index] = s.value;
            EXPECT_NE(emulator::describe(state).find(std::string(b.name) + "=" + s.name),
                      std::string::npos);
        }
    }
}

TEST(Vocabulary, RefusalsHaveTheirCodesAndAlarmsTheirGlosses)
{
    EXPECT_EQ(vocabulary::refusal_code("数据未就绪"), "not_ready");
    EXPECT_EQ(vocabulary::refusal_code("数据已超时"), "stale");
    EXPECT_EQ(vocabulary::refusal_code("不支持变量"), "unsupported");
    EXPECT_EQ(vocabulary::refusal_code("逆变器故障告警"), "error");
    EXPECT_EQ(vocabulary::gloss("逆变器故障告警"), "inverter fault alarm");
    EXPECT_EQ(vocabulary::gloss("no such text"), "");
    for (const vocabulary::Gloss& g : vocabulary::glosses()) EXPECT_NE(*g.english, '\0') << g.text;
}

}  // namespace

namespace {

// A round's clock as the page reads it: seconds since 1970 of that reading,
// over the whole four-digit range; a day past its month's end counts on.
TEST(PageClock, ReadsEveryDateOfFourDigitYears)
{
    const struct {
        const char* text;
        std::int64_t seconds;
    } cases[] = {
        {"1970-01-01 00:00:00", 0},
        {"1969-12-31 23:59:59", -1},
        {"2000-03-01 00:00:00", 951868800},
        {"2024-02-29 12:00:00", 1709208000},
        {"2026-02-31 00:00:00", 1772496000},  // 2026-03-03
        {"0001-01-01 00:00:00", -62135596800},
        {"9999-12-31 23:59:59", 253402300799},
    };
    for (const auto& c : cases) EXPECT_EQ(bench::clock_seconds(c.text), c.seconds) << c.text;
    EXPECT_EQ(bench::clock_seconds("2024-02-29", true), 1709251199);
    for (const char* bad :
         {"2024-13-01 00:00:00", "2024-01-01 24:00:00", "2024-01-01 00:00", "x"}) {
        EXPECT_THROW(bench::clock_seconds(bad), std::runtime_error) << bad;
    }
}

}  // namespace

namespace {

// What the page pictures of a round, as text to compare.
std::string pictured(const bench::RoundResult& r)
{
    std::string s = std::to_string(r.round) + " " + r.clock + (r.completed ? " done" : " not");
    for (const auto& v : r.values) {
        s += std::string(" ") + v.name + "=" + (v.ok ? std::to_string(v.num) : v.code);
    }
    for (const auto& a : r.alarms) {
        s += " [" + a.signal + "|" + a.nm + "|" + a.text + (a.active ? "|on|" : "|off|") +
             std::to_string(a.seq) + "]";
    }
    for (const auto* list : {&r.log, &r.rejected, &r.missing}) {
        s += " {";
        for (const auto& l : *list) s += l + ";";
        s += "}";
    }
    return s;
}

// A round the bench writes reads back the same, through the quick reader and
// through JsonCpp; a line the quick reader declines is read by JsonCpp.
TEST(RoundReader, ReadsBackWhatTheBenchWrites)
{
    bench::RoundResult r;
    r.reset(7);
    r.clock = "2026-12-10 13:14:15";
    r.completed = true;
    r.values.resize(9);
    for (std::size_t k = 0; k < 9; ++k) {
        r.values[k].name = vocabulary::kValueNames[k];
        r.values[k].ok = k != 4;
        r.values[k].num = 200.5F + static_cast<float>(k);
        bench::assign_shortest(r.values[k].text, r.values[k].num);
    }
    r.values[4].text = "数据已超时";
    r.values[4].code = "stale";
    for (unsigned i = 0; i < 3; ++i) {
        bench::AlarmReport& a = r.alarms.add();
        a = {"vx40_" + std::to_string(i), "08049", "输出过载", i == 1, i + 1};
    }
    r.log = {"rvSize is 0", "error in \"x\"\n"};
    r.rejected = {"CHKSUM mismatch"};
    r.missing = {"2A46"};
    std::string line;
    bench::write_json(line, r);

    bench::RoundReader reader;
    bench::RoundResult quick;
    ASSERT_TRUE(reader.read_line(line, quick)) << line;
    EXPECT_EQ(pictured(quick), pictured(r));
    bench::RoundResult parsed;
    reader.read(io::parse_json(line), parsed);
    EXPECT_EQ(pictured(parsed), pictured(r));

    // Declined by the quick reader (a number past its reach), read by JsonCpp.
    const std::string odd = line.substr(0, line.size() - 1) + R"(,"x":1234567890123456789})";
    EXPECT_FALSE(reader.read_line(odd, quick));
    reader.read(io::parse_json(odd), parsed);
    EXPECT_EQ(pictured(parsed), pictured(r));

    // Known alarm rows: their texts are not read again.
    reader.skip_alarm_texts_before(2);
    bench::RoundResult fresh;
    ASSERT_TRUE(reader.read_line(line, fresh));
    EXPECT_EQ(fresh.alarms[0].text, "");
    EXPECT_EQ(fresh.alarms[2].text, "输出过载");
    EXPECT_TRUE(fresh.alarms[1].active);
}

TEST(RoundReader, NamesWhatIsMissing)
{
    bench::RoundReader reader;
    bench::RoundResult r;
    const struct {
        const char* line;
        const char* fault;
    } cases[] = {
        {R"([1])", "a round is not a JSON object"},
        {R"({"clock":"x"})", "\"round\" missing or not a number"},
        {R"({"round":3})", "round 3: \"clock\" missing"},
        {R"({"round":3,"clock":"2026-01-01 00:00:00"})", "round 3: \"values\" missing"},
        {R"({"round":3,"clock":"2026-01-01 00:00:00","values":{}})",
         "round 3: value ACInputLineOrPhaseAB_A missing"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(reader.read_line(c.line, r)) << c.line;
        try {
            reader.read(io::parse_json(c.line), r);
            ADD_FAILURE() << c.line << " was read";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.fault);
        }
    }
}

}  // namespace

namespace {

// The text JsonCpp's writer gives a value with the recordings' settings.
std::string jsoncpp_text(const Json::Value& v, bool decimal)
{
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    if (decimal) {
        writer["precisionType"] = "decimal";
        writer["precision"] = 6;
    }
    return Json::writeString(writer, v);
}

// The one line writer writes the text JsonCpp's writer would, for every
// kind of member and for times that round, carry and drop zeros.
TEST(JsonLine, WritesWhatJsonCppWrites)
{
    for (const double t : {0.0, 1.0, 0.5, 1e-7, 4e-7, 5e-7, 0.0019, 0.1234565, 0.9999996, 12.25,
                           86399.999999, 123456789.0, 1e15, -2.5}) {
        Json::Value v;
        v["t"] = t;
        std::string line;
        io::JsonLine(line).decimal("t", t, 6).close();
        EXPECT_EQ(line, jsoncpp_text(v, true)) << t;
        line.clear();
        io::JsonLine(line).number("t", t).close();
        EXPECT_EQ(line, jsoncpp_text(v, false)) << t;
    }
    io::Received got;
    got.noise = std::string("\x01~x", 3);
    got.clock = 1796907359;
    got.late = true;
    got.frame = "~21012A00\r";
    const struct {
        const char* event;
        const io::Received* got;
        const char* text;
    } events[] = {{"tx", nullptr, "~21012A410000FDA4\r"},
                  {"rx", &got, "~21012A00\r"},
                  {"rx", &got, ""},
                  {"timeout", nullptr, ""}};
    for (const auto& e : events) {
        Json::Value v;
        v["event"] = e.event;
        v["t"] = 1.0625;
        v["round"] = Json::Int64{7};
        v["step"] = Json::UInt64{3};
        if (*e.text != '\0') v["text"] = e.text;
        if (e.got != nullptr) {
            v["noise"] = "017e78";
            v["clock"] = Json::Int64{1796907359};
            v["late"] = true;
        }
        std::string line;
        io::frame_event(line, e.event, 1.0625, 7, 3, e.text, e.got);
        EXPECT_EQ(line, jsoncpp_text(v, true)) << e.event;
    }
    Json::Value settings;
    settings["mode"] = 3;
    settings["name"] = "上海 \"ups\"";
    settings["ratio"] = 0.1;
    Json::Value v;
    v["event"] = "session";
    v["format"] = 2;
    v["device_id"] = 9U;
    v["settings"] = settings;
    v["cache"] = "00ff";
    v["clock"] = Json::Int64{-5};
    v["line"] = "emulator in process";
    v["baud"] = 4800U;
    v["timeout_ms"] = 2000;
    std::string line;
    io::session_event(line, 9, settings, std::string("\x00\xff", 2), -5, "emulator in process",
                      4800, 2000);
    EXPECT_EQ(line, jsoncpp_text(v, true));
}

}  // namespace
