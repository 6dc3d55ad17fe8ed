// Soak: many full rounds on one device made by the built plug-in, the host
// keeping no recordings. Reports resident memory after warm-up and at the
// end, and fails if it grew by more than the allowed bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "host.h"
#include "plugin.h"

namespace {

long resident_bytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

int reply(PMBusProtocol& dev, std::uint16_t hex_length, unsigned char fill)
{
    const std::vector<unsigned char> info((hex_length + 1U) / 2U, fill);
    const auto frame = standin::decoded_frame(0x21, 1, 0x2A, 0, hex_length, info);
    return standin::deliver(dev, frame.data());
}

}  // namespace

int main(int argc, char** argv)
{
    const long rounds = argc > 1 ? std::atol(argv[1]) : 1000000;
    const long allowed = argc > 2 ? std::atol(argv[2]) : 64 * 1024;
    const long warmup = rounds < 10000 ? rounds / 10 : 10000;
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    if (quiet == nullptr) return 2;
    standin::Host host;
    host.keep_calls = false;
    standin::ScopedHost bind(host);
    standin::set_clock(1773144000);
    const standin::Plugin plugin(standin::default_plugin_path());
    auto dev = plugin.create_device();
    long before = 0;
    for (long r = 0; r < rounds; ++r) {
        if (r == warmup) {
            (void)resident_bytes();  // the first read touches pages of its own
            before = resident_bytes();
        }
        dev->RefreshStatus();
        const auto fill = static_cast<unsigned char>(r);
        reply(*dev, 128, fill);
        reply(*dev, 14, fill);
        reply(*dev, r % 7 == 0 ? 20 : 30, 0xF0);  // now and then a short status reply
        reply(*dev, 90, fill);
        (void)dev->Get_Value(0, "ACOutputCurrentA");
        if (r % 1000 == 0) standin::advance_clock(1);
    }
    const long after = resident_bytes();
    std::fprintf(stderr,
                 "soak: %ld rounds, resident after warm-up %ld KiB, at end %ld KiB, growth %ld "
                 "bytes (allowed %ld)\n",
                 rounds, before / 1024, after / 1024, after - before, allowed);
    return after - before <= allowed ? 0 : 1;
}
