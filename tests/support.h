// Test support: the built plug-in loaded as the host loads it, a recorder
// bound per test, a fixed clock, and helpers to drive polling rounds.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
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

// Everything written to standard output while it lives, caught at the
// descriptor, so a print the library makes at any moment (a constructor, a
// destructor) is caught too. Nested captures of GoogleTest's still work.
class StdoutWatch {
public:
    StdoutWatch();
    ~StdoutWatch();
    StdoutWatch(const StdoutWatch&) = delete;
    StdoutWatch& operator=(const StdoutWatch&) = delete;
    StdoutWatch(StdoutWatch&&) = delete;
    StdoutWatch& operator=(StdoutWatch&&) = delete;
    // What was written since the last take.
    std::string take();

private:
    std::FILE* file_;
    int saved_;
    long read_ = 0;
};

// A device made by the plug-in for a host bound to the test, watched from
// its creation to its destruction: what it prints and the test does not read
// (printed()) fails the test.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<PMBusProtocol> make_device() const { return plugin().create_device(); }
    // Destroys the device and makes a new one with the host's knobs as set.
    void remake();
    std::string printed() { return out_->take(); }

    standin::Host host_;
    standin::ScopedHost bind_{host_};
    std::unique_ptr<StdoutWatch> out_ = std::make_unique<StdoutWatch>();
    std::unique_ptr<PMBusProtocol> dev_;
};

// A host for a table of cases whose outcome must not depend on its kindness.
struct HostKind {
    const char* name;
    standin::Harsh harsh;
};
// A kind host, and harsh ones that empty and grow the rule list.
std::vector<HostKind> host_kinds();
inline void PrintTo(const HostKind& kind, std::ostream* os)
{
    *os << kind.name;
}

// DeviceTest once per host kind. The harsh host's lists are a round's input,
// which each case gives itself: they start empty here (construction keeping
// what the host put in them is a test of its own).
class HostsTest : public DeviceTest, public ::testing::WithParamInterface<HostKind> {
protected:
    void SetUp() override;
    // What a reported value becomes in the device's map after its report.
    float after_report(float v) const { return v + GetParam().harsh.ao_report_adds; }
};

#define VX40_FOR_EACH_HOST(suite)                                                       \
    INSTANTIATE_TEST_SUITE_P(Hosts, suite, ::testing::ValuesIn(vx40test::host_kinds()), \
                             [](const auto& kind) { return std::string(kind.param.name); })

// INFO for a step's reply: `bytes` INFO bytes, byte i = seed + i.
std::vector<unsigned char> pattern(std::size_t bytes, unsigned char seed);

// Delivers a reply with the given INFO length (hex characters) and INFO.
int reply(PMBusProtocol& dev, std::uint16_t info_hex_length,
          const std::vector<unsigned char>& info);

// A full round: RefreshStatus and four full-length replies whose INFO bytes
// are pattern(n, seed) with seeds 0x10, 0x50, 0x90, 0xC0, unless given.
// Checks that it printed the rule count line and nothing else.
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
