// Round completion and cache restore of the generic record device, on a small
// device of the test's own (a 20-byte record), as the host sees them.
#include <gtest/gtest.h>

#include <map>

#include "spdevice.h"
#include "support.h"
#include "unidata_device.h"

namespace {

using standin::Service;
using vx40test::kStart;

struct SmallRecord {
    unsigned char id[4];
    unsigned char payload[9];
    unsigned char time[7];
};
static_assert(sizeof(SmallRecord) == 20);

class SmallDevice : public UniDataDevice<SmallRecord, PMBusProtocol, 77> {
public:
    int process_payload() override { return 0; }
};

// Reports one alarm and remembers the counter it found.
class AlarmingDevice : public SmallDevice {
public:
    void RunCheckThreshold() override
    {
        seq_at_entry = alarm_seq_;
        CheckThresholdBool(2, "s", "n", "t", "t", true, alarm_seq_++);
    }
    unsigned seq_at_entry = 0;
};

// 2026-03-10 12:00:00 in the stand-in layout: year LE, month, day, h, m, s.
const std::vector<unsigned char> kStartStamp = {0xEA, 0x07, 3, 10, 12, 0, 0};

class RoundTest : public ::testing::Test {
protected:
    void SetUp() override { standin::set_clock(kStart); }
    standin::Host host_;
    standin::ScopedHost bind_{host_};
};

TEST_F(RoundTest, HostSeesOneRoundInOrderWithTheRecord)
{
    AlarmingDevice dev;
    dev.data_.payload[0] = 0xAB;
    dev.ao_names_ = {"volts"};
    dev.ao_values_["volts"] = 1.5F;
    dev.RoundDone();

    EXPECT_EQ(host_.sequence(),
              (std::vector<Service>{Service::GetTtime, Service::SendSP, Service::Reset,
                                    Service::CheckThresholdBool, Service::CheckAOReport,
                                    Service::CheckThreshold, Service::DoBatchCheckThreshold,
                                    Service::SaveDeviceHistory}));
    const auto& sent = *host_.of(Service::SendSP).front();
    EXPECT_EQ(sent.number, 77);
    EXPECT_EQ(sent.length, 20U);
    EXPECT_FALSE(sent.flag);
    std::vector<unsigned char> expected(20, 0);
    expected[4] = 0xAB;
    std::copy(kStartStamp.begin(), kStartStamp.end(), expected.begin() + 13);
    EXPECT_EQ(sent.bytes, expected);
    const auto& saved = *host_.of(Service::SaveDeviceHistory).front();
    EXPECT_EQ(saved.length, 20U);
    EXPECT_EQ(saved.bytes, expected);
    EXPECT_TRUE(dev.data_ready_);
    EXPECT_EQ(dev.last_data_time_, boost::posix_time::from_time_t(kStart));
}

TEST_F(RoundTest, AnalogNamesWithoutValueSkippedAndRepeatsChecked)
{
    SmallDevice dev;
    dev.ao_names_ = {"absent", "present", "present"};
    dev.ao_values_["present"] = 2.5F;
    dev.RoundDone();

    const auto reports = host_.of(Service::CheckAOReport);
    const auto checks = host_.of(Service::CheckThreshold);
    ASSERT_EQ(reports.size(), 2U);
    ASSERT_EQ(checks.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(reports[i]->text[0], "present");
        EXPECT_EQ(reports[i]->value, 2.5F);
        EXPECT_EQ(checks[i]->text[0], "present");
        EXPECT_EQ(checks[i]->text[1], "");
        EXPECT_EQ(checks[i]->value, 2.5F);
        EXPECT_EQ(checks[i]->number, 1);
    }
    EXPECT_EQ(dev.ao_values_.size(), 1U);
}

TEST_F(RoundTest, CheckResultIsTheOrOfEachRound)
{
    SmallDevice dev;
    dev.ao_names_ = {"a"};
    dev.ao_values_["a"] = 1.0F;

    host_.ao_report_result = true;
    dev.RoundDone();
    EXPECT_TRUE(dev.round_check_result_);

    host_.ao_report_result = false;
    dev.RoundDone();
    EXPECT_FALSE(dev.round_check_result_);

    host_.batch_result = true;
    dev.RoundDone();
    EXPECT_TRUE(dev.round_check_result_);
}

TEST_F(RoundTest, PendingRulesCountedHandedOnAndEmptied)
{
    SmallDevice dev;
    testing::internal::CaptureStdout();
    dev.RoundDone();
    dev.pending_rules_.resize(2);
    dev.RoundDone();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\nrvSize is 2\n");

    const auto batches = host_.of(Service::DoBatchCheckThreshold);
    ASSERT_EQ(batches.size(), 2U);
    EXPECT_EQ(batches[0]->number2, 0);
    EXPECT_EQ(batches[1]->number2, 2);
    EXPECT_TRUE(dev.pending_rules_.empty());
}

TEST_F(RoundTest, AlarmCounterStartsAtOneEveryRound)
{
    AlarmingDevice alarming;
    alarming.alarm_seq_ = 500;
    alarming.RoundDone();
    EXPECT_EQ(alarming.seq_at_entry, 1U);
    EXPECT_EQ(host_.of(Service::CheckThresholdBool).front()->seq, 1U);

    SmallDevice quiet;  // default table: no reports, counter left at 1
    quiet.alarm_seq_ = 9;
    host_.clear();
    quiet.RoundDone();
    EXPECT_EQ(host_.count(Service::CheckThresholdBool), 0U);
    EXPECT_EQ(quiet.alarm_seq_, 1);
}

TEST_F(RoundTest, ThrowingServiceEndsTheRoundAtThatStep)
{
    SmallDevice dev;
    dev.ao_names_ = {"a"};
    dev.ao_values_["a"] = 1.0F;
    dev.pending_rules_.resize(3);
    host_.fail_at(Service::CheckAOReport);
    EXPECT_THROW(dev.RoundDone(), standin::InjectedFault);
    EXPECT_EQ(host_.count(Service::SendSP), 1U);
    EXPECT_EQ(host_.count(Service::Reset), 1U);
    EXPECT_EQ(host_.count(Service::CheckThreshold), 0U);
    EXPECT_EQ(host_.count(Service::DoBatchCheckThreshold), 0U);
    EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 0U);
    EXPECT_EQ(dev.pending_rules_.size(), 3U);

    // The next round on the same device completes.
    dev.RoundDone();
    EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 1U);
    EXPECT_TRUE(dev.pending_rules_.empty());
}

TEST_F(RoundTest, HostInlineDefaults)
{
    SmallDevice dev;
    EXPECT_FALSE(dev.GetChildVDevice(0));
    EXPECT_FALSE(dev.GetChildVDevice(7));
    EXPECT_TRUE(dev.GetAllChildVDevices().empty());
    dev.RoundDone();
    // A device without its own Get_Value refuses every request as not ready.
    for (const char* name : {"", "ACOutputCurrentA"}) {
        try {
            (void)dev.Get_Value(3, name);
            ADD_FAILURE() << "no refusal for " << name;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
        }
    }
}

// Round completion as the built plug-in's device does it (the template
// instantiated inside the library), with the host's analog lists filled, for
// a kind host and harsh ones (reports that change the values, a batch check
// that empties or grows the rule list).
class PluginRoundTest : public vx40test::HostsTest {};

TEST_P(PluginRoundTest, AnalogChecksForEveryListedValueWhateverTheResults)
{
    dev_->ao_names_ = {"absent", "volts", "amps", "volts"};
    dev_->ao_values_ = {{"volts", 2.5F}, {"amps", -1.0F}};
    dev_->pending_rules_.resize(2);
    host_.ao_report_result = true;  // every report true: each is still made
    vx40test::full_round(*dev_);

    std::vector<Service> expected = {Service::RefreshStatus, Service::WritePmbusCmd,
                                     Service::WritePmbusCmd, Service::WritePmbusCmd,
                                     Service::WritePmbusCmd, Service::GetTtime,
                                     Service::SendSP,        Service::Reset};
    expected.insert(expected.end(), 18, Service::CheckThresholdBool);
    for (int i = 0; i < 3; ++i) {
        expected.push_back(Service::CheckAOReport);
        expected.push_back(Service::CheckThreshold);
    }
    expected.push_back(Service::DoBatchCheckThreshold);
    expected.push_back(Service::SaveDeviceHistory);
    EXPECT_EQ(host_.sequence(), expected);

    // Each report gets the map's value as it is then; the threshold check
    // gets the value as the report left it.
    std::map<std::string, float> values = {{"volts", 2.5F}, {"amps", -1.0F}};
    const auto reports = host_.of(Service::CheckAOReport);
    const auto checks = host_.of(Service::CheckThreshold);
    std::size_t i = 0;
    for (const char* name : {"volts", "amps", "volts"}) {
        EXPECT_EQ(reports[i]->text[0], name);
        EXPECT_EQ(reports[i]->value, values[name]);
        values[name] = after_report(values[name]);
        EXPECT_EQ(checks[i]->text[0], name);
        EXPECT_EQ(checks[i]->text[1], "");
        EXPECT_EQ(checks[i]->value, values[name]);
        EXPECT_EQ(checks[i]->number, 1);
        ++i;
    }
    EXPECT_EQ(host_.of(Service::DoBatchCheckThreshold).front()->number2, 2);
    EXPECT_TRUE(dev_->pending_rules_.empty());
    EXPECT_TRUE(dev_->round_check_result_);
    EXPECT_EQ(dev_->ao_values_, values);

    // The result is the round's own: false when every check says false...
    host_.ao_report_result = false;
    vx40test::full_round(*dev_);
    EXPECT_FALSE(dev_->round_check_result_);
    // ...and true from the batch check alone.
    host_.batch_result = true;
    vx40test::full_round(*dev_);
    EXPECT_TRUE(dev_->round_check_result_);
}

// The rule count is printed before the host's batch check, which may change
// the list; after the round the list is empty whatever the check did.
TEST_P(PluginRoundTest, RuleCountPrintedBeforeTheBatchCheckAndListEmptiedAfter)
{
    for (const std::size_t rules : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
        dev_->pending_rules_.resize(rules);
        host_.clear();
        vx40test::full_round(*dev_);  // checks the "rvSize is" line
        EXPECT_EQ(host_.of(Service::DoBatchCheckThreshold).front()->number2,
                  static_cast<int>(rules));
        EXPECT_TRUE(dev_->pending_rules_.empty());
    }
}

// A host whose CheckAOReport removes the entry it was given: the round goes on
// with the next name and makes no threshold check for the removed one.
TEST_P(PluginRoundTest, EntryRemovedByTheHostDuringItsReportIsNotChecked)
{
    dev_->ao_names_ = {"volts", "amps"};
    dev_->ao_values_ = {{"volts", 2.5F}, {"amps", -1.0F}};
    host_.on_ao_report = [](KRTVDevice& device, const std::string& name) {
        if (name == "volts") {
            device.ao_values_.erase(name);
        }
    };
    vx40test::full_round(*dev_);
    const auto reports = host_.of(Service::CheckAOReport);
    const auto checks = host_.of(Service::CheckThreshold);
    ASSERT_EQ(reports.size(), 2U);
    ASSERT_EQ(checks.size(), 1U);
    EXPECT_EQ(checks[0]->text[0], "amps");
    EXPECT_EQ(checks[0]->value, after_report(-1.0F));
    EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 1U);
}

VX40_FOR_EACH_HOST(PluginRoundTest);

}  // namespace
