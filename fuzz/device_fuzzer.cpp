// Drives one device made by the built plug-in through arbitrary host calls:
// polling, replies of any length and content, cache restores, value reads and
// clock moves. Beyond the sanitizers it checks that a reply changes only its
// step's field, that Get_Value returns the float at its name's offset or one
// of the three refusals, and that nothing but std::out_of_range is thrown.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host.h"
#include "plugin.h"
#include "record.h"
#include "unidata_device.h"

namespace {

using Base = UniDataDevice<XV40Data_t, PMBusProtocol, 5193>;

const char* const kNames[9] = {
    "ACInputLineOrPhaseAB_A",  "ACInputLineOrPhaseBC_B",  "ACInputLineOrPhaseCA_C",
    "ACOutputLineOrPhaseAB_A", "ACOutputLineOrPhaseBC_B", "ACOutputLineOrPhaseCA_C",
    "ACOutputCurrentA",        "ACOutputCurrentB",        "ACOutputCurrentC"};

// Field [begin, end) of the record that a reply in this step may change.
void field_of(int step, std::size_t& begin, std::size_t& end)
{
    static constexpr std::size_t kBounds[5] = {4, 67, 73, 87, 139};
    if (step < 1 || step > 4) {
        begin = end = 0;
        return;
    }
    begin = kBounds[step - 1];
    end = kBounds[step];
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() { return n > 0 ? (--n, *p++) : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8U)); }
    std::string bytes(std::size_t want)
    {
        const std::size_t k = want < n ? want : n;
        std::string s(reinterpret_cast<const char*>(p), k);
        p += k;
        n -= k;
        return s;
    }
};

const standin::Plugin& plugin()
{
    static const standin::Plugin loaded(standin::default_plugin_path());
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout);  // the plug-in's own lines
    standin::set_clock(1773144000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static standin::Host host;
    host.keep_calls = false;
    standin::ScopedHost bind(host);
    auto dev = plugin().create_device();
    auto& base = dynamic_cast<Base&>(*dev);
    Input in{data, size};
    try {
        while (in.n > 0) {
            switch (in.byte() % 6) {
                case 0:
                    dev->RefreshStatus();
                    break;
                case 1: {
                    const std::uint16_t length = in.u16();
                    const std::string info = in.bytes((length + 1U) / 2U);
                    const auto frame = standin::decoded_frame(
                        0x21, 1, 0x2A, 0, length,
                        std::vector<unsigned char>(info.begin(), info.end()));
                    XV40Data_t before{};
                    std::memcpy(&before, &base.data_, sizeof before);
                    std::size_t begin = 0;
                    std::size_t end = 0;
                    field_of(dev->poll_step_, begin, end);
                    standin::deliver(*dev, frame.data());
                    const auto* a = reinterpret_cast<const unsigned char*>(&before);
                    const auto* b = reinterpret_cast<const unsigned char*>(&base.data_);
                    for (std::size_t i = 0; i < sizeof before; ++i) {
                        if (a[i] != b[i] && (i < begin || i >= end)) fail("byte outside the field");
                    }
                    break;
                }
                case 2: {
                    const int length = static_cast<int>(in.byte()) + (in.byte() % 2 == 0 ? 0 : 100);
                    const std::string image = in.bytes(static_cast<std::size_t>(length));
                    if (in.byte() % 2 == 0) {
                        dev->LoadFromCache(image);
                    } else {
                        dev->LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                                           length);
                    }
                    break;
                }
                case 3: {
                    const std::uint8_t pick = in.byte();
                    const std::string name =
                        pick < 9 ? std::string(kNames[pick]) : in.bytes(pick % 32);
                    const unsigned index = in.u16();
                    try {
                        const float v = dev->Get_Value(index, name);
                        std::size_t at = 0;
                        for (std::size_t k = 0; k < 9; ++k) {
                            if (name == kNames[k]) at = 4 + 4 * k;
                        }
                        if (at == 0) fail("value for an unknown name");
                        float expected = 0;
                        std::memcpy(&expected,
                                    reinterpret_cast<const unsigned char*>(&base.data_) + at,
                                    sizeof expected);
                        if (std::memcmp(&v, &expected, sizeof v) != 0) fail("wrong value");
                    } catch (const std::out_of_range& e) {
                        const std::string m = e.what();
                        if (m != "数据未就绪" && m != "数据已超时" && m != "不支持变量") {
                            fail("unexpected refusal");
                        }
                    }
                    break;
                }
                case 4:
                    standin::advance_clock(static_cast<std::int8_t>(in.byte()));
                    break;
                default:
                    dev->poll_step_ = static_cast<std::int8_t>(in.byte());
                    break;
            }
        }
    } catch (const std::out_of_range&) {
        fail("out_of_range outside Get_Value");
    } catch (...) {
        fail("exception escaped");
    }
    return 0;
}
