// The tools' shared tables: every wire fault reads the same from a scenario
// and from a typed command, with one set of limits; the vocabulary's requests
// are the emulator's replies.
#include <gtest/gtest.h>

#include <json/value.h>

#include <string>
#include <vector>

#include "frame.h"
#include "json_text.h"
#include "page.h"
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
           a.rtn_info == b.rtn_info && a.late == b.late && a.noise == b.noise &&
           a.chunk == b.chunk && a.adr == b.adr;
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
    using bench::ReportPage;
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
    for (const auto& c : cases) EXPECT_EQ(ReportPage::clock_seconds(c.text), c.seconds) << c.text;
    EXPECT_EQ(ReportPage::clock_seconds("2024-02-29", true), 1709251199);
    for (const char* bad :
         {"2024-13-01 00:00:00", "2024-01-01 24:00:00", "2024-01-01 00:00", "x"}) {
        EXPECT_THROW(ReportPage::clock_seconds(bad), std::runtime_error) << bad;
    }
}

}  // namespace
