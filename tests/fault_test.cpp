// Every host service a round calls, made to throw at each of its calls in
// turn, for a kind host and harsh ones: the fault reaches the caller, the
// steps before it took effect, the later ones did not, and the next round on
// the same device is whole.
#include <gtest/gtest.h>

#include "support.h"

namespace {

using standin::Service;

// A throwing service and where it stands in a round: the polling step it is
// called in (0 for RefreshStatus) or, in round completion, the order of the
// completion's steps it comes after.
struct Position {
    Service service;
    int nth;
};

enum class Stage { Polling, BeforeCounter, AfterCounter, AfterCountLine };

Stage stage_of(Service s)
{
    switch (s) {
        case Service::RefreshStatus:
        case Service::WritePmbusCmd:
            return Stage::Polling;
        case Service::GetTtime:
        case Service::SendSP:
        case Service::Reset:
            return Stage::BeforeCounter;
        case Service::DoBatchCheckThreshold:
        case Service::SaveDeviceHistory:
            return Stage::AfterCountLine;
        default:
            return Stage::AfterCounter;
    }
}

std::vector<Position> positions()
{
    std::vector<Position> all = {{Service::RefreshStatus, 1},
                                 {Service::GetTtime, 1},
                                 {Service::SendSP, 1},
                                 {Service::Reset, 1},
                                 {Service::CheckThreshold, 1},
                                 {Service::DoBatchCheckThreshold, 1},
                                 {Service::SaveDeviceHistory, 1},
                                 {Service::CheckAOReport, 1}};
    for (int n = 1; n <= 4; ++n) all.push_back({Service::WritePmbusCmd, n});
    for (int n = 1; n <= 18; ++n) all.push_back({Service::CheckThresholdBool, n});
    return all;
}

using FaultTest = vx40test::HostsTest;

TEST_P(FaultTest, EveryServiceThrowingAtEveryPosition)
{
    for (const Position& p : positions()) {
        SCOPED_TRACE(std::string(standin::service_name(p.service)) + " #" + std::to_string(p.nth));
        remake();
        auto& dev = *dev_;
        const std::int32_t step0 = dev.poll_step_;
        const std::uint16_t counter0 = dev.alarm_seq_;
        const bool result0 = dev.round_check_result_;
        dev.ao_names_ = {"v"};
        dev.ao_values_ = {{"v", 1.0F}};
        dev.pending_rules_.assign(2, rule_value{});
        host_.clear();
        host_.fail_at(p.service, p.nth);
        EXPECT_THROW(vx40test::full_round(dev), standin::InjectedFault);
        const Stage stage = stage_of(p.service);
        // The count line is printed after the analog checks and before the
        // batch check: only a fault after it leaves it.
        EXPECT_EQ(printed(), stage == Stage::AfterCountLine ? "rvSize is 2\n" : "");
        // Nothing after the failing call ran.
        EXPECT_EQ(host_.count(Service::SaveDeviceHistory),
                  p.service == Service::SaveDeviceHistory ? 1U : 0U);
        // Emptied only by a whole round: what the host's batch check made of
        // the list stays when saving the history fails.
        const int change = GetParam().harsh.batch_changes_rules;
        const std::size_t rules_left =
            p.service == Service::SaveDeviceHistory && change != 0
                ? (change < 0 ? 0U : 2U + static_cast<std::size_t>(change))
                : 2U;
        EXPECT_EQ(dev.pending_rules_.size(), rules_left);
        // The step is set before its request goes out: a failed request
        // leaves the step it was for; a failed base RefreshStatus, the old one.
        if (p.service == Service::RefreshStatus) {
            EXPECT_EQ(dev.poll_step_, step0);
        } else if (p.service == Service::WritePmbusCmd) {
            EXPECT_EQ(dev.poll_step_, p.nth);
        }
        // Round completion marks the data ready first; a fault in the polling
        // requests comes before it. The alarm counter and the round's result
        // are reset after the record went out and before the alarm table.
        EXPECT_EQ(dev.data_ready_, stage != Stage::Polling);
        const bool reset = stage == Stage::AfterCounter || stage == Stage::AfterCountLine;
        if (p.service == Service::CheckThresholdBool) {
            EXPECT_EQ(dev.alarm_seq_, p.nth + 1);
        } else {
            EXPECT_EQ(dev.alarm_seq_, reset ? 19 : counter0);
        }
        EXPECT_EQ(dev.round_check_result_, reset ? false : result0);

        // The next round on the same device completes normally.
        host_.clear();
        vx40test::full_round(dev);
        EXPECT_EQ(host_.count(Service::CheckThresholdBool), 18U);
        EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 1U);
        EXPECT_TRUE(dev.pending_rules_.empty());
    }
}

VX40_FOR_EACH_HOST(FaultTest);

}  // namespace
