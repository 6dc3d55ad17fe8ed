// Devices share nothing: eight devices, each polled on its own thread with
// its own recorder, give each its own records. Run under ThreadSanitizer by
// the test command.
#include <gtest/gtest.h>

#include <thread>

#include "support.h"

namespace {

using standin::Service;

TEST(Threads, EightDevicesPolledAtOnce)
{
    standin::set_clock(vx40test::kStart);
    constexpr int kDevices = 8;
    constexpr int kRounds = 200;
    std::vector<std::unique_ptr<PMBusProtocol>> devices;
    for (int i = 0; i < kDevices; ++i) devices.push_back(vx40test::plugin().create_device());
    std::vector<standin::Host> hosts(kDevices);
    std::vector<int> bad(kDevices, 0);
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();  // the rounds' "rvSize" lines
    for (int i = 0; i < kDevices; ++i) {
        threads.emplace_back([&, i] {
            standin::ScopedHost bind(hosts[static_cast<std::size_t>(i)]);
            auto& dev = *devices[static_cast<std::size_t>(i)];
            const auto seed = static_cast<unsigned char>(i * 16);
            for (int r = 0; r < kRounds; ++r) {
                dev.RefreshStatus();
                vx40test::reply(dev, 128, vx40test::pattern(64, seed));
                vx40test::reply(dev, 14, vx40test::pattern(7, seed));
                vx40test::reply(dev, 30, vx40test::pattern(15, seed));
                vx40test::reply(dev, 90, vx40test::pattern(45, seed));
                // Each record carries this device's bytes only.
                const auto record = vx40test::last_distributed(hosts[static_cast<std::size_t>(i)]);
                if (record.size() != 139 || record[4] != static_cast<unsigned char>(seed + 1) ||
                    record[87] != seed) {
                    ++bad[static_cast<std::size_t>(i)];
                }
                hosts[static_cast<std::size_t>(i)].clear();
                (void)dev.Get_Value(0, "ACOutputCurrentA");
            }
        });
    }
    for (auto& t : threads) t.join();
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < kDevices; ++i) {
        EXPECT_EQ(bad[static_cast<std::size_t>(i)], 0) << "device " << i;
        EXPECT_EQ(hosts[static_cast<std::size_t>(i)].calls.size(), 0U);
    }
}

}  // namespace
