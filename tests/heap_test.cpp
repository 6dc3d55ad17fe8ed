// Heap traffic of the steady state, counted by replacing the global
// allocation functions in this executable: the plug-in's operator new
// resolves to them as well.
#include <gtest/gtest.h>

#include <string>

#include "heap_count.h"
#include "host.h"
#include "plugin.h"
#include "workload.h"

namespace {

using standin::Service;

class Heap : public ::testing::Test {
protected:
    void SetUp() override
    {
        standin::set_clock(1773144000);
        // A first round does the process's one-time set-up (time zone, stream
        // buffers); the counts below are of the rounds after it.
        workload::round(*dev_, replies_);
    }

    // Alarm texts of a round that do not fit in a std::string's own buffer:
    // the most allocations a round may make.
    std::size_t long_alarm_texts()
    {
        standin::Host recorder;
        const standin::ScopedHost bind(recorder);
        workload::round(*dev_, replies_);
        const std::size_t small = std::string().capacity();
        std::size_t n = 0;
        for (const standin::Call* c : recorder.of(Service::CheckThresholdBool)) {
            if (c->text[2].size() > small) ++n;
        }
        EXPECT_EQ(recorder.count(Service::CheckThresholdBool), 18U);
        return n;
    }

    standin::Plugin plugin_{standin::default_plugin_path()};
    std::unique_ptr<PMBusProtocol> dev_ = plugin_.create_device();
    workload::Replies replies_;
    standin::Host quiet_ = [] {
        standin::Host h;
        h.keep_calls = false;
        return h;
    }();
    standin::ScopedHost bind_{quiet_};  // for the whole test, the warm-up round included
};

TEST_F(Heap, FirstThreeStepsAllocateNothing)
{
    quiet_.clear();
    dev_->RefreshStatus();
    for (std::size_t step = 0; step < 3; ++step) {
        const auto n =
            heapcount::during([&] { standin::deliver(*dev_, replies_.frames[step].data()); });
        EXPECT_EQ(n, 0U) << "step " << step + 1;
    }
    EXPECT_EQ(quiet_.count(Service::WritePmbusCmd), 4U);  // the four requests, reply by reply
}

TEST_F(Heap, RoundAndRestoreAllocateAtMostTheLongAlarmTexts)
{
    const std::size_t bound = long_alarm_texts();
    ASSERT_GT(bound, 0U);
    quiet_.clear();
    for (int r = 0; r < 3; ++r) {
        EXPECT_LE(heapcount::during([&] { workload::round(*dev_, replies_); }), bound);
    }
    const auto image = workload::cached_record();
    EXPECT_LE(heapcount::during([&] {
                  EXPECT_EQ(dev_->LoadFromCache(image.data(), static_cast<int>(image.size())), 1);
              }),
              bound);
    EXPECT_EQ(quiet_.count(Service::SaveDeviceHistory), 4U);
}

TEST_F(Heap, ValueReadAllocatesNothing)
{
    const std::string name = "ACOutputCurrentA";
    float v = 0.0F;
    EXPECT_EQ(heapcount::during([&] { v = dev_->Get_Value(0, name); }), 0U);
    EXPECT_NE(v, 0.0F);  // the round's bytes, not an untouched record
}

}  // namespace

// The provider and its reference count come in one allocation (make_shared):
// the list's buffer and that block, nothing more.
TEST_F(Heap, ProviderListIsTwoAllocations)
{
    EXPECT_EQ(heapcount::during([&] {
                  const auto list = plugin_.providers();
                  EXPECT_EQ(list.size(), 1U);
              }),
              2U);
}

// A new device zero-fills its record itself: on a heap that hands out
// non-zero memory, the first round still distributes zeros where no reply
// has written.
TEST_F(Heap, NewDeviceRecordIsZeroOnADirtyHeap)
{
    heapcount::set_poison(true);
    auto dev = plugin_.create_device();
    heapcount::set_poison(false);
    standin::Host recorder;
    const standin::ScopedHost bind(recorder);
    EXPECT_EQ(dev->LoadFromCache(std::string(138, '\x01')), 0);  // refused: nothing written
    dev->RoundDone();
    const auto sent = recorder.of(Service::SendSP);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(std::vector<unsigned char>(sent[0]->bytes.begin(), sent[0]->bytes.begin() + 132),
              std::vector<unsigned char>(132, 0));
}
