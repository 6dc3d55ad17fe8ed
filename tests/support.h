// Test support: the built plug-in loaded as the host loads it, a recorder
// bound per test, a fixed clock, and helpers to drive polling rounds.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/conversion.hpp>

#include "host.h"
#include "plugin.h"
#include "record.h"
#include "unidata_device.h"

namespace vx40test {

using VX40Base = UniDataDevice<XV40Data_t, PMBusProtocol, 5193>;

// 2026-03-10 12:00:00 UTC, far from any second boundary question: the clock
// only moves when a test moves it.
inline constexpr std::time_t kStart = 1773144000;

const standin::Plugin& plugin();

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    std::unique_ptr<PMBusProtocol> make_device() const { return plugin().create_device(); }

    standin::Host host_;
    standin::ScopedHost bind_{host_};
    std::unique_ptr<PMBusProtocol> dev_;
};

// INFO for a step's reply: `bytes` INFO bytes, byte i = seed + i.
std::vector<unsigned char> pattern(std::size_t bytes, unsigned char seed);

// Delivers a reply with the given INFO length (hex characters) and INFO.
int reply(PMBusProtocol& dev, std::uint16_t info_hex_length,
          const std::vector<unsigned char>& info);

// A full round: RefreshStatus and four full-length replies whose INFO bytes
// are pattern(n, seed) with seeds 0x10, 0x50, 0x90, 0xC0, unless given.
void full_round(PMBusProtocol& dev, const std::vector<unsigned char>& info41 = {},
                const std::vector<unsigned char>& info44 = {});

// The record as the last SendSP carried it.
std::vector<unsigned char> last_distributed(const standin::Host& h);

// Little-endian bytes of a float.
std::array<unsigned char, 4> float_le(float v);

// 2A/41 INFO with a DATAFLAG byte and the given floats from data byte 0.
std::vector<unsigned char> info41_with(const std::vector<float>& values);

// 2A/44 INFO with a DATAFLAG byte and status bytes (record offsets 73..86).
std::vector<unsigned char> info44_with(const std::array<unsigned char, 14>& status);

}  // namespace vx40test
