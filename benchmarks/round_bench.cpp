// What a round costs inside the plug-in, against the floor, on devices made
// by the built vx40.so loaded with dlopen. The stand-in host keeps no
// recordings; the device's standard output goes to /dev/null and the report
// to the original standard output. Each benchmark gives its heap allocations
// per operation beside its time.
//
//   vx40-benchmarks [benchmark options]      run the benchmarks
//   vx40-benchmarks --rounds N               N plug-in rounds in vx40_measured_rounds
//   vx40-benchmarks --floor-rounds N         N floor rounds in vx40_measured_floor_rounds
// The last two are for callgrind's --toggle-collect.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "heap_count.h"
#include "host.h"
#include "plugin.h"
#include "workload.h"

namespace {

constexpr std::time_t kStart = 1773144000;

const standin::Plugin& plugin()
{
    static const standin::Plugin loaded(standin::default_plugin_path());
    return loaded;
}

const workload::Replies& replies()
{
    static const workload::Replies built;
    return built;
}

// A host that records nothing, bound to the benchmark's thread, and a fixed
// clock.
struct QuietHost {
    QuietHost()
    {
        host.keep_calls = false;
        standin::set_clock(kStart);
    }
    standin::Host host;
    standin::ScopedHost bind{host};
};

void report_allocations(benchmark::State& state, std::size_t allocations)
{
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

// Fails the benchmark unless the host saw `per_op` calls of s per iteration.
void expect_calls(benchmark::State& state, const standin::Host& h, standin::Service s,
                  std::size_t per_op)
{
    const auto want = per_op * static_cast<std::size_t>(state.iterations());
    if (h.count(s) != want) {
        state.SkipWithError((std::string(standin::service_name(s)) + ": " +
                             std::to_string(h.count(s)) + " calls, expected " +
                             std::to_string(want))
                                .c_str());
    }
}

void BM_Round(benchmark::State& state)
{
    QuietHost q;
    auto dev = plugin().create_device();
    workload::round(*dev, replies());  // warm-up: one-time set-up outside the count
    q.host.clear();
    const std::size_t before = heapcount::allocations();
    for (auto _ : state) {
        workload::round(*dev, replies());
    }
    report_allocations(state, heapcount::allocations() - before);
    expect_calls(state, q.host, standin::Service::SaveDeviceHistory, 1);
    expect_calls(state, q.host, standin::Service::CheckThresholdBool, 18);
}
BENCHMARK(BM_Round);

void BM_FloorRound(benchmark::State& state)
{
    auto dev = plugin().create_device();
    workload::Floor floor(*dev, replies());
    QuietHost q;
    floor.round(replies());
    q.host.clear();
    const std::size_t before = heapcount::allocations();
    for (auto _ : state) {
        floor.round(replies());
    }
    report_allocations(state, heapcount::allocations() - before);
    if (floor.alarm_rows() != 18) state.SkipWithError("the reference round made no 18 reports");
    expect_calls(state, q.host, standin::Service::SaveDeviceHistory, 1);
}
BENCHMARK(BM_FloorRound);

// One reply for polling step 1, 2 or 3 (step 4 completes the round).
void BM_ProcessPayload(benchmark::State& state)
{
    QuietHost q;
    auto dev = plugin().create_device();
    const auto step = static_cast<int>(state.range(0));
    const unsigned char* frame = replies().frames[static_cast<std::size_t>(step - 1)].data();
    const std::size_t before = heapcount::allocations();
    for (auto _ : state) {
        dev->poll_step_ = step;
        benchmark::DoNotOptimize(standin::deliver(*dev, frame));
    }
    report_allocations(state, heapcount::allocations() - before);
    expect_calls(state, q.host, standin::Service::WritePmbusCmd, 1);
}
BENCHMARK(BM_ProcessPayload)->DenseRange(1, 3)->ArgName("step");

enum class ValueCase { Found, NotReady, TimedOut, Unsupported };

void BM_GetValue(benchmark::State& state, ValueCase which)
{
    QuietHost q;
    auto dev = plugin().create_device();
    if (which != ValueCase::NotReady) workload::round(*dev, replies());
    if (which == ValueCase::TimedOut) standin::advance_clock(61);
    const std::string name =
        which == ValueCase::Unsupported ? "ACOutputCurrentD" : "ACOutputCurrentC";
    long refused = 0;
    const std::size_t before = heapcount::allocations();
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(dev->Get_Value(0, name));
        } catch (const std::out_of_range&) {
            ++refused;
        }
    }
    report_allocations(state, heapcount::allocations() - before);
    const bool should_refuse = which != ValueCase::Found;
    if (refused != (should_refuse ? static_cast<long>(state.iterations()) : 0L)) {
        state.SkipWithError("Get_Value did not answer as this case expects");
    }
}
BENCHMARK_CAPTURE(BM_GetValue, found, ValueCase::Found);
BENCHMARK_CAPTURE(BM_GetValue, not_ready, ValueCase::NotReady);
BENCHMARK_CAPTURE(BM_GetValue, timed_out, ValueCase::TimedOut);
BENCHMARK_CAPTURE(BM_GetValue, unsupported, ValueCase::Unsupported);

void BM_InitSettingMode3(benchmark::State& state)
{
    QuietHost q;
    auto dev = plugin().create_device();
    const Json::Value settings = workload::mode3_settings(static_cast<int>(state.range(0)));
    // The first call on a device fills its maps; the loop measures the calls
    // after it, which find every entry in place.
    state.counters["first_allocs"] =
        static_cast<double>(heapcount::during([&] { dev->InitSetting(settings); }));
    q.host.clear();
    const std::size_t before = heapcount::allocations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dev->InitSetting(settings));
    }
    report_allocations(state, heapcount::allocations() - before);
    expect_calls(state, q.host, standin::Service::InitSetting, 1);
}
BENCHMARK(BM_InitSettingMode3)->Arg(40)->ArgName("signals");

void BM_LoadFromCache(benchmark::State& state)
{
    QuietHost q;
    auto dev = plugin().create_device();
    const auto image = workload::cached_record();
    const std::size_t before = heapcount::allocations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dev->LoadFromCache(image.data(), static_cast<int>(image.size())));
    }
    report_allocations(state, heapcount::allocations() - before);
    expect_calls(state, q.host, standin::Service::SaveDeviceHistory, 1);
}
BENCHMARK(BM_LoadFromCache);

// Passes every run on to the console and notes errors and the times of the
// round and its floor, for the ratio printed at the end.
class Reporter : public benchmark::ConsoleReporter {
public:
    explicit Reporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.error_occurred) failed = true;
            const bool plain = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (!r.error_occurred && (plain || median)) {
                times[r.run_name.function_name] = r.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    bool failed = false;
    std::map<std::string, double> times;
};

}  // namespace

// Fixed numbers of rounds for callgrind: only these two functions are counted.
extern "C" __attribute__((noinline)) void vx40_measured_rounds(PMBusProtocol& dev, long n)
{
    for (long i = 0; i < n; ++i) workload::round(dev, replies());
}
extern "C" __attribute__((noinline)) void vx40_measured_floor_rounds(workload::Floor& floor, long n)
{
    for (long i = 0; i < n; ++i) floor.round(replies());
}

namespace {

int fixed_rounds(bool floor_only, long n)
{
    auto dev = plugin().create_device();
    workload::Floor floor(*dev, replies());
    QuietHost q;
    workload::round(*dev, replies());  // warm-up, outside the measured function
    floor.round(replies());
    q.host.clear();
    if (floor_only) {
        vx40_measured_floor_rounds(floor, n);
    } else {
        vx40_measured_rounds(*dev, n);
    }
    if (q.host.count(standin::Service::SaveDeviceHistory) != static_cast<std::size_t>(n)) {
        std::fprintf(stderr, "vx40-benchmarks: not every round completed\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // The report keeps the original standard output; the device's lines go to
    // /dev/null.
    std::fflush(stdout);
    const int report_fd = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (report_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        std::perror("vx40-benchmarks: redirecting standard output");
        return 2;
    }
    close(null_fd);

    if (argc == 3 &&
        (std::strcmp(argv[1], "--rounds") == 0 || std::strcmp(argv[1], "--floor-rounds") == 0)) {
        char* end = nullptr;
        const long n = std::strtol(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0' || n <= 0) {
            std::fprintf(stderr, "vx40-benchmarks: %s needs a positive number of rounds\n",
                         argv[1]);
            return 2;
        }
        return fixed_rounds(std::strcmp(argv[1], "--floor-rounds") == 0, n);
    }

    __gnu_cxx::stdio_filebuf<char> report_buf(report_fd, std::ios::out);
    std::ostream report(&report_buf);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    // Colour only on a terminal: the report no longer goes to std::cout, which
    // is what the library itself would look at.
    Reporter reporter(isatty(report_fd) != 0 ? benchmark::ConsoleReporter::OO_Defaults
                                             : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto round = reporter.times.find("BM_Round");
    const auto floor = reporter.times.find("BM_FloorRound");
    if (round != reporter.times.end() && floor != reporter.times.end() && floor->second > 0) {
        report << "round / floor: " << round->second / floor->second << '\n';
    }
    report.flush();
    return reporter.failed ? 1 : 0;
}
