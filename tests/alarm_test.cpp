// The alarm table as the host receives it from rounds of the built plug-in.
#include <gtest/gtest.h>

#include "support.h"

namespace {

using standin::Service;
using Status = std::array<unsigned char, 14>;  // record offsets 73..86

class AlarmTest : public vx40test::DeviceTest {
protected:
    // Completes a round whose 2A/44 reply carries `status`; returns the reports.
    std::vector<standin::Call> round_with(const Status& status)
    {
        host_.clear();
        vx40test::full_round(*dev_, {}, vx40test::info44_with(status));
        std::vector<standin::Call> reports;
        for (const auto* c : host_.of(Service::CheckThresholdBool)) {
            reports.push_back(*c);
        }
        return reports;
    }
    // Sequence numbers (1..18) of the active reports.
    std::vector<unsigned> active_rows(const Status& status)
    {
        std::vector<unsigned> rows;
        for (const auto& c : round_with(status)) {
            if (c.flag) {
                rows.push_back(c.seq);
            }
        }
        return rows;
    }
    static Status with(std::size_t record_offset, unsigned char value)
    {
        Status s{};
        s.at(record_offset - 73) = value;
        return s;
    }
};

TEST_F(AlarmTest, QuietUpsReportsEighteenInactiveRowsNumberedFromOne)
{
    for (int round = 0; round < 2; ++round) {
        const auto reports = round_with(Status{});
        ASSERT_EQ(reports.size(), 18U);
        for (unsigned i = 0; i < 18; ++i) {
            EXPECT_EQ(reports[i].seq, i + 1);
            EXPECT_EQ(reports[i].number, 2);
            EXPECT_FALSE(reports[i].flag);
            EXPECT_EQ(reports[i].text[2], reports[i].text[3]);
            EXPECT_EQ(reports[i].text[1].size(), 5U);
        }
        EXPECT_EQ(dev_->alarm_seq_, 19);
    }
    // The reports come right after Reset and before the analog checks.
    const auto seq = host_.sequence();
    const auto first = std::find(seq.begin(), seq.end(), Service::CheckThresholdBool);
    ASSERT_NE(first, seq.begin());
    EXPECT_EQ(*(first - 1), Service::Reset);
    EXPECT_EQ(*(first + 18), Service::DoBatchCheckThreshold);
}

// The alarm table as the host must see it, written out once: signal id, NM
// alarm id, text (given twice), the status byte and the value that raises it.
struct GoldenRow {
    const char* signal_id;
    const char* nm_alarm_id;
    const char* text;
    std::size_t offset;
    unsigned char value;
};
const GoldenRow kGolden[] = {
    {"vx40_0", "08032", "逆变器不同步告警", 73, 0x03},
    {"vx40_1", "08049", "市电电压低于下限（掉电）", 74, 0x01},
    {"vx40_2", "08049", "市电电压高于上限", 74, 0x02},
    {"vx40_3", "08049", "市电电压超限", 74, 0xE0},
    {"vx40_4", "08028", "整流器故障告警", 75, 0xF0},
    {"vx40_5", "08034", "逆变器故障告警", 76, 0xF0},
    {"vx40_5", "08024", "旁路电压过低", 77, 0x01},
    {"vx40_6", "08023", "旁路电压过高", 77, 0x02},
    {"vx40_7", "08042", "即将停机告警", 78, 0x01},
    {"vx40_8", "08049", "蓄电池总电压高于上限（电压过高 ）", 78, 0x03},
    {"vx40_9", "08049", "蓄电池总电压故障", 78, 0xF0},
    {"vx40_10", "08049", "蓄电池总电压预告警", 78, 0xE0},
    {"vx40_11", "08047", "充电器故障告警", 81, 0xF0},
    {"vx40_12", "08049", "零线/火线接反", 82, 0xF0},
    {"vx40_13", "08049", "输出短路", 83, 0xF0},
    {"vx40_14", "08049", "输出过载", 84, 0xF0},
    {"vx40_15", "08049", "散热器温度过高", 85, 0xF0},
    {"vx40_16", "08049", "市电频率超限", 86, 0xE0},
};

// Every row active in turn (and none, first): each round's eighteen reports
// must be exactly the golden rows, in order, numbered 1 to 18, with only the
// raised row active.
TEST_F(AlarmTest, GoldenTranscriptWithEachRowActiveInTurn)
{
    for (int active = -1; active < 18; ++active) {
        const Status status =
            active < 0 ? Status{} : with(kGolden[active].offset, kGolden[active].value);
        const auto reports = round_with(status);
        ASSERT_EQ(reports.size(), std::size(kGolden)) << "row " << active + 1;
        for (std::size_t i = 0; i < std::size(kGolden); ++i) {
            const auto& c = reports[i];
            const GoldenRow& g = kGolden[i];
            SCOPED_TRACE(testing::Message() << "raised row " << active + 1 << ", report " << i + 1);
            EXPECT_EQ(c.number, 2);
            EXPECT_EQ(c.text[0], g.signal_id);
            EXPECT_EQ(c.text[1], g.nm_alarm_id);
            EXPECT_EQ(c.text[2], g.text);
            EXPECT_EQ(c.text[3], g.text);
            EXPECT_EQ(c.flag, static_cast<int>(i) == active);
            EXPECT_EQ(c.seq, i + 1);
        }
    }
}

TEST_F(AlarmTest, NearValuesAndUntestedBytesRaiseNothing)
{
    for (std::size_t offset = 73; offset <= 86; ++offset) {
        for (int v : {0x00, 0xF1, 0xE1, 0xFF, 0x04, 0x0F}) {
            EXPECT_TRUE(active_rows(with(offset, static_cast<unsigned char>(v))).empty())
                << offset << " " << v;
        }
    }
    EXPECT_TRUE(active_rows(with(73, 0x01)).empty());
    EXPECT_TRUE(active_rows(with(73, 0xF0)).empty());
    EXPECT_TRUE(active_rows(with(74, 0x03)).empty());
    EXPECT_TRUE(active_rows(with(74, 0xF0)).empty());
    EXPECT_TRUE(active_rows(with(78, 0x02)).empty());
    EXPECT_TRUE(active_rows(with(75, 0xE0)).empty());
    for (int v : {0x01, 0x03, 0xE0, 0xF0}) {
        EXPECT_TRUE(active_rows(with(79, static_cast<unsigned char>(v))).empty());
        EXPECT_TRUE(active_rows(with(80, static_cast<unsigned char>(v))).empty());
    }
}

TEST_F(AlarmTest, SharedSignalIdCarriesTwoDistinctAlarms)
{
    const auto reports = round_with(with(76, 0xF0));
    EXPECT_EQ(reports[5].text[0], "vx40_5");
    EXPECT_EQ(reports[5].seq, 6U);
    EXPECT_TRUE(reports[5].flag);
    EXPECT_EQ(reports[6].text[0], "vx40_5");
    EXPECT_EQ(reports[6].seq, 7U);
    EXPECT_FALSE(reports[6].flag);
    EXPECT_NE(reports[5].text[1], reports[6].text[1]);
    EXPECT_EQ(reports[7].text[0], "vx40_6");
    EXPECT_EQ(reports[17].text[0], "vx40_16");
}

TEST_F(AlarmTest, TextsAreTheExactUtf8Bytes)
{
    const auto reports = round_with(Status{});
    // Row 2: 市电电压低于下限（掉电） with full-width parentheses.
    EXPECT_EQ(reports[1].text[2],
              "\xE5\xB8\x82\xE7\x94\xB5\xE7\x94\xB5\xE5\x8E\x8B\xE4\xBD\x8E\xE4\xBA\x8E"
              "\xE4\xB8\x8B\xE9\x99\x90\xEF\xBC\x88\xE6\x8E\x89\xE7\x94\xB5\xEF\xBC\x89");
    // Row 10: ASCII space before the full-width closing parenthesis.
    EXPECT_EQ(reports[9].text[2],
              "\xE8\x93\x84\xE7\x94\xB5\xE6\xB1\xA0\xE6\x80\xBB\xE7\x94\xB5\xE5\x8E\x8B"
              "\xE9\xAB\x98\xE4\xBA\x8E\xE4\xB8\x8A\xE9\x99\x90\xEF\xBC\x88\xE7\x94\xB5"
              "\xE5\x8E\x8B\xE8\xBF\x87\xE9\xAB\x98\x20\xEF\xBC\x89");
    // Row 14: ASCII slash.
    EXPECT_EQ(reports[13].text[2],
              "\xE9\x9B\xB6\xE7\xBA\xBF/\xE7\x81\xAB\xE7\xBA\xBF"
              "\xE6\x8E\xA5\xE5\x8F\x8D");
    EXPECT_EQ(reports[0].text[1], "08032");
    EXPECT_EQ(reports[1].text[1], "08049");
}

TEST_F(AlarmTest, ShortStatusReplyKeepsThePreviousBytes)
{
    EXPECT_EQ(active_rows(with(83, 0xF0)), std::vector<unsigned>{15});
    host_.clear();
    dev_->RefreshStatus();
    vx40test::reply(*dev_, 128, vx40test::pattern(64, 0));
    vx40test::reply(*dev_, 14, vx40test::pattern(7, 0));
    vx40test::reply(*dev_, 29, vx40test::info44_with(Status{}));
    vx40test::reply(*dev_, 90, vx40test::pattern(45, 0));
    EXPECT_EQ(printed(), "error in VX40_2A_44 expected len=30 actual len:29\nrvSize is 0\n");
    const auto reports = host_.of(Service::CheckThresholdBool);
    ASSERT_EQ(reports.size(), 18U);
    EXPECT_TRUE(reports[14]->flag);
}

TEST_F(AlarmTest, ThrowingReportStopsTheTableThere)
{
    round_with(Status{});
    host_.clear();
    host_.fail_at(Service::CheckThresholdBool, 5);
    EXPECT_THROW(vx40test::full_round(*dev_), standin::InjectedFault);
    EXPECT_EQ(host_.count(Service::CheckThresholdBool), 5U);
    EXPECT_EQ(dev_->alarm_seq_, 6);  // the counter keeps the advances made
    EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 0U);
    EXPECT_EQ(round_with(Status{}).size(), 18U);  // the next round is whole again
}

}  // namespace
