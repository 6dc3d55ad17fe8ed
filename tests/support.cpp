#include "support.h"

#include <cstdlib>
#include <ctime>

namespace vx40test {

const standin::Plugin& plugin()
{
    static const standin::Plugin loaded(standin::default_plugin_path());
    return loaded;
}

void DeviceTest::SetUp()
{
    standin::set_clock(kStart);
    dev_ = make_device();
}

std::vector<unsigned char> pattern(std::size_t bytes, unsigned char seed)
{
    std::vector<unsigned char> info(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        info[i] = static_cast<unsigned char>(seed + i);
    }
    return info;
}

int reply(PMBusProtocol& dev, std::uint16_t info_hex_length, const std::vector<unsigned char>& info)
{
    const auto frame = standin::decoded_frame(0x21, 0x01, 0x2A, 0x00, info_hex_length, info);
    return standin::deliver(dev, frame.data());
}

void full_round(PMBusProtocol& dev, const std::vector<unsigned char>& info41,
                const std::vector<unsigned char>& info44)
{
    dev.RefreshStatus();
    reply(dev, 128, info41.empty() ? pattern(64, 0x10) : info41);
    reply(dev, 14, pattern(7, 0x50));
    reply(dev, 30, info44.empty() ? pattern(15, 0x90) : info44);
    reply(dev, 90, pattern(45, 0xC0));
}

std::vector<unsigned char> last_distributed(const standin::Host& h)
{
    const auto sent = h.of(standin::Service::SendSP);
    return sent.empty() ? std::vector<unsigned char>{} : sent.back()->bytes;
}

std::array<unsigned char, 4> float_le(float v)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8U),
            static_cast<unsigned char>(bits >> 16U), static_cast<unsigned char>(bits >> 24U)};
}

std::vector<unsigned char> info41_with(const std::vector<float>& values)
{
    std::vector<unsigned char> info(64, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto b = float_le(values[i]);
        std::memcpy(&info[1 + 4 * i], b.data(), b.size());
    }
    return info;
}

std::vector<unsigned char> info44_with(const std::array<unsigned char, 14>& status)
{
    std::vector<unsigned char> info(15, 0);
    std::memcpy(&info[1], status.data(), status.size());
    return info;
}

}  // namespace vx40test

int main(int argc, char** argv)
{
    // Local time is UTC in the tests, so time stamps are predictable.
    setenv("TZ", "UTC0", 1);
    tzset();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
