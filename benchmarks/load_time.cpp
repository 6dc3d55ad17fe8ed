// What loading the plug-in costs the host: dlopen, get_providers (the list
// dropped at once) and dlclose, N times (default 1000), each timed on the
// monotonic clock. Prints the median and the 10th and 90th percentiles in
// microseconds. Every dlclose must really unload the library, or the next
// dlopen would cost nothing: that is checked after each one.
//
//   vx40-load-time [N]          the plug-in is VX40_PLUGIN, or the built vx40.so
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin.h"

int main(int argc, char** argv)
{
    long n = 1000;
    if (argc > 1) {
        char* end = nullptr;
        n = std::strtol(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0' || n <= 0 || n > 1000000) {
            std::fprintf(stderr, "vx40-load-time: %s: not a count of loads (1 to 1000000)\n",
                         argv[1]);
            return 2;
        }
    }
    const std::string path = standin::default_plugin_path();
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "vx40-load-time: %s\n", dlerror());
            return 1;
        }
        auto* entry = reinterpret_cast<standin::GetProvidersFn>(dlsym(handle, "get_providers"));
        if (entry == nullptr) {
            std::fprintf(stderr, "vx40-load-time: %s: no get_providers\n", path.c_str());
            return 1;
        }
        if (entry().size() != 1) {
            std::fprintf(stderr, "vx40-load-time: get_providers did not give one provider\n");
            return 1;
        }
        dlclose(handle);
        const auto t1 = std::chrono::steady_clock::now();
        if (dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            std::fprintf(stderr, "vx40-load-time: %s stays loaded after dlclose\n", path.c_str());
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        return micros[static_cast<std::size_t>(q * static_cast<double>(n - 1))];
    };
    std::printf("load+get_providers+unload over %ld loads: median %.1f us (p10 %.1f, p90 %.1f)\n",
                n, at(0.5), at(0.1), at(0.9));
    return 0;
}
