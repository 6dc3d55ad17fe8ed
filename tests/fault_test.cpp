// Every host service a round calls, made to throw at each of its calls in
// turn: the fault reaches the caller, the steps before it took effect, the
// later ones did not, and the next round on the same device is whole.
#include <gtest/gtest.h>

#include "support.h"

namespace {

using standin::Service;

struct Position {
    Service service;
    int nth;
};

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

using FaultTest = vx40test::DeviceTest;

TEST_F(FaultTest, EveryServiceThrowingAtEveryPosition)
{
    for (const Position& p : positions()) {
        SCOPED_TRACE(std::string(standin::service_name(p.service)) + " #" + std::to_string(p.nth));
        auto dev = make_device();
        dev->ao_names_ = {"v"};
        dev->ao_values_["v"] = 1.0F;
        dev->pending_rules_.resize(2);
        host_.clear();
        host_.fail_at(p.service, p.nth);
        testing::internal::CaptureStdout();
        EXPECT_THROW(vx40test::full_round(*dev), standin::InjectedFault);
        testing::internal::GetCapturedStdout();
        // Nothing after the failing call ran.
        EXPECT_EQ(host_.count(Service::SaveDeviceHistory),
                  p.service == Service::SaveDeviceHistory ? 1U : 0U);
        EXPECT_EQ(dev->pending_rules_.size(), 2U);  // emptied only by a whole round
        // Round completion marks the data ready first; a fault in the polling
        // requests comes before it.
        const bool polling =
            p.service == Service::RefreshStatus || p.service == Service::WritePmbusCmd;
        EXPECT_EQ(dev->data_ready_, !polling);
        if (p.service == Service::CheckThresholdBool) {
            EXPECT_EQ(dev->alarm_seq_, p.nth + 1);
        }

        // The next round on the same device completes normally.
        host_.clear();
        testing::internal::CaptureStdout();
        vx40test::full_round(*dev);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(host_.count(Service::CheckThresholdBool), 18U);
        EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 1U);
        EXPECT_TRUE(dev->pending_rules_.empty());
    }
}

}  // namespace
