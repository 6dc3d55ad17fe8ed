// The VX40 polling round through a device made by the built plug-in, for a
// kind host and for harsh ones: the round must not depend on the host's
// kindness (the step its constructor leaves, what its RefreshStatus does).
#include <gtest/gtest.h>

#include "support.h"

namespace {

using standin::Service;
using vx40test::pattern;
using vx40test::reply;

struct Step {
    unsigned char cid2;
    std::uint16_t min_length;
    std::size_t first_info;
    std::size_t count;
    std::size_t offset;
};
// Written out here from the record layout, independently of the plug-in.
constexpr Step kSteps[] = {
    {0x41, 128, 1, 63, 4}, {0x43, 14, 1, 6, 67}, {0x44, 30, 1, 14, 73}, {0x46, 90, 0, 45, 87}};

// What a round of four replies without INFO prints.
constexpr const char* kEmptyRoundLines =
    "error in VX40_2A_41 expected len=128 actual len:0\n"
    "error in VX40_2A_43 expected len=14 actual len:0\n"
    "error in VX40_2A_44 expected len=30 actual len:0\n"
    "error in VX40_2A_46 expected len=90 actual len:0\n"
    "rvSize is 0\n";

class PollingTest : public vx40test::HostsTest {
protected:
    std::vector<int> requests() const
    {
        std::vector<int> cid2s;
        for (const auto* c : host_.of(Service::WritePmbusCmd)) {
            EXPECT_EQ(c->number, 0x2A);
            cid2s.push_back(c->number2);
        }
        return cid2s;
    }
    static std::string hex(unsigned char b)
    {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        return {kDigits[b >> 4U], kDigits[b & 0xFU]};
    }
    // Full-length replies from step `index` to the end of the round.
    void finish_round(std::size_t index)
    {
        for (std::size_t i = index; i < std::size(kSteps); ++i) {
            reply(*dev_, kSteps[i].min_length, pattern(kSteps[i].min_length / 2, 0));
        }
    }
    // Runs RefreshStatus and replies up to (not including) step `index`.
    void advance_to(std::size_t index)
    {
        dev_->RefreshStatus();
        for (std::size_t i = 0; i < index; ++i) {
            reply(*dev_, kSteps[i].min_length, pattern(kSteps[i].min_length / 2, 0));
        }
    }
};

TEST_P(PollingTest, FullRoundFillsEachFieldAndCompletesOnce)
{
    EXPECT_EQ(dev_->RefreshStatus(), 1);
    EXPECT_EQ(requests(), std::vector<int>{0x41});
    std::vector<int> results;
    for (const Step& s : kSteps) {
        results.push_back(reply(*dev_, s.min_length, pattern(s.min_length / 2U, s.cid2)));
    }
    EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 0}));
    EXPECT_EQ(requests(), (std::vector<int>{0x41, 0x43, 0x44, 0x46}));
    EXPECT_EQ(host_.count(Service::SendSP), 1U);
    EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 1U);
    EXPECT_EQ(host_.count(Service::RefreshStatus), 1U);

    const auto record = vx40test::last_distributed(host_);
    ASSERT_EQ(record.size(), 139U);
    std::vector<unsigned char> expected(132, 0);
    for (const Step& s : kSteps) {
        for (std::size_t i = 0; i < s.count; ++i) {
            expected[s.offset + i] = static_cast<unsigned char>(s.cid2 + s.first_info + i);
        }
    }
    EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 132), expected);
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 132, record.end()),
              (std::vector<unsigned char>{0xEA, 0x07, 3, 10, 12, 0, 0}));
    EXPECT_EQ(printed(), "rvSize is 0\n");
}

TEST_P(PollingTest, EachStepAcceptsItsMinimumAndRefusesOneLess)
{
    for (std::size_t k = 0; k < std::size(kSteps); ++k) {
        const Step& s = kSteps[k];
        SCOPED_TRACE(s.cid2);
        host_.clear();
        // Round 1: step k's reply has exactly the minimum length.
        advance_to(k);
        reply(*dev_, s.min_length, pattern(s.min_length / 2U, 0x80));
        finish_round(k + 1);
        EXPECT_EQ(printed(), "rvSize is 0\n");
        // Round 2: one character less is refused with the step's message.
        advance_to(k);
        const int result = reply(*dev_, static_cast<std::uint16_t>(s.min_length - 1),
                                 pattern(s.min_length / 2U, 0x33));
        const std::string line = "error in VX40_2A_" + hex(s.cid2) +
                                 " expected len=" + std::to_string(s.min_length) +
                                 " actual len:" + std::to_string(s.min_length - 1) + "\n";
        EXPECT_EQ(printed(), k == 3 ? line + "rvSize is 0\n" : line);
        EXPECT_EQ(result, k == 3 ? 0 : 1);
        if (k < 3) {  // the sequence goes on with the next request
            EXPECT_EQ(host_.of(Service::WritePmbusCmd).back()->number2, kSteps[k + 1].cid2);
        }
        finish_round(k + 1);
        EXPECT_EQ(printed(), k == 3 ? "" : "rvSize is 0\n");

        const auto sent = host_.of(Service::SendSP);
        ASSERT_EQ(sent.size(), 2U);
        for (std::size_t i = 0; i < s.count; ++i) {
            EXPECT_EQ(sent[1]->bytes[s.offset + i],
                      static_cast<unsigned char>(0x80 + s.first_info + i));
        }
        EXPECT_EQ(sent[0]->bytes, sent[1]->bytes);  // time unchanged: the clock did not move
    }
}

TEST_P(PollingTest, LongerReplyContributesOnlyItsListedBytes)
{
    dev_->RefreshStatus();
    reply(*dev_, 200, pattern(100, 0x01));  // 100 INFO bytes
    for (int i = 0; i < 3; ++i) {
        reply(*dev_, 0, {});
    }
    EXPECT_EQ(printed(), std::string(kEmptyRoundLines).substr(50));
    const auto record = vx40test::last_distributed(host_);
    for (std::size_t i = 0; i < 132; ++i) {
        const bool in_analog = i >= 4 && i < 67;
        EXPECT_EQ(record[i], in_analog ? static_cast<unsigned char>(0x01 + i - 3) : 0) << i;
    }
}

TEST_P(PollingTest, RepliesOutsideARoundOnlyRefreshTheTime)
{
    for (int step : {0, 5}) {
        dev_->poll_step_ = step;
        standin::advance_clock(10);
        testing::internal::CaptureStdout();
        EXPECT_EQ(reply(*dev_, 0, {}), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(dev_->poll_step_, step);
        EXPECT_EQ(dev_->last_data_time_, boost::posix_time::from_time_t(standin::clock_now()));
    }
    EXPECT_TRUE(host_.calls.empty());
}

TEST_P(PollingTest, ReplyAfterTheRoundCompletesItAgain)
{
    vx40test::full_round(*dev_);
    EXPECT_EQ(reply(*dev_, 90, pattern(45, 0x77)), 0);
    EXPECT_EQ(printed(), "rvSize is 0\n");
    EXPECT_EQ(dev_->poll_step_, 4);
    EXPECT_EQ(host_.count(Service::SendSP), 2U);
    EXPECT_EQ(vx40test::last_distributed(host_)[87], 0x77);
}

// Before the first RefreshStatus the step is the one the host's construction
// left: a reply is handled as that step's, or changes nothing but the time.
TEST_P(PollingTest, FirstReplyFollowsTheStepTheHostLeft)
{
    const std::int32_t left = dev_->poll_step_;
    EXPECT_EQ(reply(*dev_, 200, pattern(100, 0x01)), left == 4 ? 0 : 1);
    const bool in_round = left >= 1 && left <= 4;
    if (in_round && left < 4) {
        EXPECT_EQ(requests(), std::vector<int>{kSteps[left].cid2});
        EXPECT_EQ(dev_->poll_step_, left + 1);
    } else {
        EXPECT_EQ(requests(), std::vector<int>{});
        EXPECT_EQ(dev_->poll_step_, left);
    }
    EXPECT_EQ(printed(), left == 4 ? "rvSize is 0\n" : "");
    if (in_round) {  // the bytes of that step reached the record
        const Step& s = kSteps[static_cast<std::size_t>(left - 1)];
        std::vector<unsigned char> record(139);
        std::memcpy(record.data(), &dynamic_cast<vx40test::VX40Base&>(*dev_).data_, 139);
        EXPECT_EQ(record[s.offset], static_cast<unsigned char>(0x01 + s.first_info));
    }
}

TEST_P(PollingTest, RefreshInTheMiddleRestartsWithTheFirstRequest)
{
    advance_to(2);
    EXPECT_EQ(dev_->poll_step_, 3);
    dev_->RefreshStatus();
    EXPECT_EQ(host_.of(Service::WritePmbusCmd).back()->number2, 0x41);
    EXPECT_EQ(reply(*dev_, 128, pattern(64, 0x42)), 1);
    EXPECT_EQ(host_.of(Service::WritePmbusCmd).back()->number2, 0x43);
    EXPECT_EQ(dev_->poll_step_, 2);
}

TEST_P(PollingTest, EveryReplyStampsItsTimeShortOrNot)
{
    dev_->RefreshStatus();
    for (const Step& s : kSteps) {
        standin::advance_clock(7);
        testing::internal::CaptureStdout();
        reply(*dev_, static_cast<std::uint16_t>(s.cid2 == 0x46 ? 90 : 0), {});
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(dev_->last_data_time_, boost::posix_time::from_time_t(standin::clock_now()));
    }
}

TEST_P(PollingTest, ShortReplyLineKeepsItsPlaceAmongStreamLines)
{
    testing::internal::CaptureStdout();
    dev_->RefreshStatus();
    for (int i = 0; i < 4; ++i) {
        reply(*dev_, 0, {});
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kEmptyRoundLines);
}

// The INFO length is the whole unsigned 16-bit little-endian count: lengths
// with a high byte, and at or above 32768, are long enough for every step.
TEST_P(PollingTest, LengthIsTheWholeUnsignedSixteenBitCount)
{
    for (const std::uint16_t length :
         {std::uint16_t{255}, std::uint16_t{256}, std::uint16_t{257}, std::uint16_t{32767},
          std::uint16_t{32768}, std::uint16_t{65535}}) {
        SCOPED_TRACE(length);
        host_.clear();
        dev_->RefreshStatus();
        testing::internal::CaptureStdout();
        for (const Step& s : kSteps) {
            reply(*dev_, length, pattern(s.min_length / 2U, s.cid2));
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
        const auto record = vx40test::last_distributed(host_);
        ASSERT_EQ(record.size(), 139U);
        for (const Step& s : kSteps) {
            EXPECT_EQ(record[s.offset], static_cast<unsigned char>(s.cid2 + s.first_info))
                << s.cid2;
        }
    }
}

// A protocol layer that hands over no frame gets what an empty reply gets:
// the step's message, the record untouched, the round going on.
TEST_P(PollingTest, MissingFrameCountsAsAnEmptyReply)
{
    vx40test::full_round(*dev_);
    const auto before = vx40test::last_distributed(host_);
    dev_->RefreshStatus();
    testing::internal::CaptureStdout();
    for (std::size_t k = 0; k < std::size(kSteps); ++k) {
        EXPECT_EQ(standin::deliver(*dev_, nullptr), k == 3 ? 0 : 1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kEmptyRoundLines);
    EXPECT_EQ(requests(), (std::vector<int>{0x41, 0x43, 0x44, 0x46, 0x41, 0x43, 0x44, 0x46}));
    EXPECT_EQ(vx40test::last_distributed(host_), before);
}

// The serial-port base runs first, then the first request: the host sees
// RefreshStatus before the request, and nothing else.
TEST_P(PollingTest, RefreshRunsTheBaseBeforeTheFirstRequest)
{
    dev_->RefreshStatus();
    EXPECT_EQ(host_.sequence(),
              (std::vector<Service>{Service::RefreshStatus, Service::WritePmbusCmd}));
}

VX40_FOR_EACH_HOST(PollingTest);

}  // namespace
