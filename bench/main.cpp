// vx40-bench: loads the built plug-in exactly as the host does and drives one
// device through whole polling rounds against the emulated UPS, over a
// pseudo-terminal, or a real UPS on a serial port.
//
// Order of work: the command line and every input file are read and checked
// (exit 2), every output file is made ready without touching its target
// (exit 3), the serial port is opened and set up (exit 2), the plug-in is
// loaded (exit 1), and only then do the outputs go in place and the run
// start. SIGINT and SIGTERM end the run after the exchange in progress, with
// everything written (exit 130, 143); a serial line that goes away ends it
// the same way (exit 4), and so does a replay whose plug-in leaves the
// recording (exit 5).
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <sstream>

#include "bus.h"
#include "json_text.h"
#include "options.h"
#include "outputs.h"
#include "session.h"
#include "stop.h"
#include "transport.h"

namespace {

constexpr std::size_t kRecordSize = 139;

std::string read_input(const std::string& what, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw bench::UsageError(what + " " + path + ": cannot read: " + std::strerror(errno));
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// What the run reads before it starts: the settings, the cache, the
// scenario, or the recording that stands for all of them. Throws what the
// command line is told (exit 2).
struct Inputs {
    emulator::Scenario scenario;
    Json::Value settings;
    std::string cache;
    std::unique_ptr<io::RecordingReader> replay;
};

Inputs read_inputs(bench::Options& opt)
{
    Inputs in;
    if (!opt.replay.empty()) {
        // Read through once, keeping nothing, so that its faults stop the
        // run before it starts; the replay then reads it again as it goes.
        std::string warning;
        in.replay = io::open_recording(opt.replay, warning);
        if (!warning.empty()) {
            std::cerr << "vx40-bench: warning: recording " << opt.replay << ": " << warning << '\n';
        }
        const io::Recording& recording = in.replay->session();
        in.settings = recording.settings;
        opt.device_id = recording.device_id;
        opt.timeout_ms = recording.timeout_ms;
        in.cache = recording.cache;
    } else {
        in.settings = io::read_json_object("settings", opt.settings);
    }
    if (!opt.cache.empty()) {
        in.cache = read_input("cache", opt.cache);
        if (in.cache.size() != kRecordSize) {
            throw bench::UsageError("cache " + opt.cache + ": " + std::to_string(in.cache.size()) +
                                    " bytes, needs " + std::to_string(kRecordSize));
        }
    }
    in.scenario =
        opt.scenario.empty() ? emulator::demo_scenario() : emulator::read_scenario(opt.scenario);
    return in;
}

// The exception in hand, said on standard error after `who` ("" or "unit
// 02: "); its exit status: 3 an output, 2 a bad input, 1 anything else.
int fault_status(const std::string& who)
{
    try {
        throw;
    } catch (const bench::OutputError& e) {
        std::cerr << "vx40-bench: " << who << e.what() << '\n';
        return 3;
    } catch (const std::invalid_argument& e) {
        std::cerr << "vx40-bench: " << who << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << who << e.what() << '\n';
        return 1;
    }
}

// What ended a run that did not fail: a lost line (4), a replay's departure
// (5) or a stop signal, said on standard error; `status` when it failed.
int end_status(int status, const bench::SessionEnd& end, const std::string& who)
{
    if (!end.line_lost.empty()) {
        std::cerr << "vx40-bench: " << who << "serial line lost: " << end.line_lost << '\n';
        if (status == 0) status = 4;
    }
    if (!end.departed.empty()) {
        std::cerr << "vx40-bench: " << who << "the replay left its recording: " << end.departed
                  << '\n';
        if (status == 0) status = 5;
    }
    if (io::g_stop_signal != 0 && status == 0) status = 128 + io::g_stop_signal;
    return status;
}

// The session run; its exit status, with what ended it said on standard error.
int run_session(const bench::Options& opt, const standin::Plugin& plugin, bench::Outputs& outputs,
                Inputs& in, std::unique_ptr<bench::Transport> port, bench::SessionEnd& end)
{
    int status = 0;
    try {
        bench::Session session(opt, plugin, outputs);
        session.run(in.settings, in.cache.empty() ? nullptr : &in.cache, in.scenario,
                    in.replay.get(), std::move(port), end);
    } catch (const std::exception&) {
        status = fault_status("");
    }
    return end_status(status, end, "");
}

// The first of `names` found beside this program (installed or copied with
// it), else `built`: where the build left it.
std::string beside_program(std::initializer_list<const char*> names, const std::string& built)
{
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return built;
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    for (const char* name : names) {
        if (access((dir + name).c_str(), R_OK) == 0) return dir + name;
    }
    return built;
}

// VX40_PLUGIN, or the plug-in beside the program, or the build's.
std::string default_plugin()
{
    const char* env = std::getenv("VX40_PLUGIN");
    if (env != nullptr && *env != '\0') return env;
    return beside_program({"vx40.so", "../lib/vx40.so"}, standin::default_plugin_path());
}

// The devices of a bus on one port, their rounds in turn; each one's exit
// status in `status` (as run_session gives it), its end in `ends`.
void run_bus(const std::vector<bench::Options>& devices, const standin::Plugin& plugin,
             std::vector<std::unique_ptr<bench::Outputs>>& outputs, std::vector<Inputs>& in,
             bench::Transport& port, std::vector<bench::SessionEnd>& ends, std::vector<int>& status)
{
    std::vector<std::unique_ptr<bench::Session>> sessions;
    std::vector<bool> running(devices.size(), false);
    // A device's fault ends its own run, as run_session would say it.
    const auto guarded = [&](std::size_t i, const auto& body) {
        try {
            return body();
        } catch (const std::exception&) {
            status[i] = fault_status(devices[i].label + ": ");
        }
        return false;
    };
    for (std::size_t i = 0; i < devices.size(); ++i) {
        sessions.push_back(std::make_unique<bench::Session>(devices[i], plugin, *outputs[i]));
        running[i] = guarded(i, [&] {
            sessions[i]->start(in[i].settings, in[i].cache.empty() ? nullptr : &in[i].cache,
                               in[i].scenario, nullptr, bench::shared_line(port), ends[i]);
            return true;
        });
    }
    for (long n = 1;; ++n) {
        bool any = false;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (!running[i]) continue;
            running[i] = guarded(i, [&] { return sessions[i]->step(n, ends[i]); });
            any = any || running[i];
        }
        if (!any) break;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        status[i] = end_status(status[i], ends[i], devices[i].label + ": ");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bench::Options opt;
    std::vector<bench::Options> devices;
    std::vector<Inputs> in;
    try {
        opt = bench::parse_options(argc, argv, default_plugin(),
                                   beside_program({"settings.json", "../share/vx40/settings.json"},
                                                  VX40_EXAMPLES_DIR "/settings.json"));
        if (opt.help) {
            std::cout << opt.help_text;
            return 0;
        }
        devices = opt.devices.empty() ? std::vector<bench::Options>{opt} : bench::bus_devices(opt);
        for (bench::Options& d : devices) {
            bench::check_distinct_files(d);
            in.push_back(read_inputs(d));
        }
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << "\ntry vx40-bench --help\n";
        return 2;
    }
    std::vector<std::unique_ptr<bench::Outputs>> outputs;
    try {
        for (const bench::Options& d : devices)
            outputs.push_back(std::make_unique<bench::Outputs>(d));
    } catch (const bench::OutputError& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        return 3;
    }
    std::unique_ptr<bench::Transport> port;
    if (!opt.port.empty()) {
        try {
            bench::LineOptions line;
            line.baud = opt.baud != 0 ? opt.baud : line.baud;
            line.timeout_ms = opt.timeout_ms;
            line.echo = opt.echo;
            port = bench::over_port(opt.port, line);
        } catch (const std::exception& e) {
            std::cerr << "vx40-bench: " << e.what() << '\n';
            return 2;
        }
    }
    std::unique_ptr<standin::Plugin> plugin;
    try {
        plugin = std::make_unique<standin::Plugin>(opt.plugin);
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        return 1;
    }
    io::catch_stop_signals();
    std::vector<bench::SessionEnd> ends(devices.size());
    std::vector<int> status(devices.size(), 0);
    if (devices.size() == 1) {
        status[0] = run_session(devices[0], *plugin, *outputs[0], in[0], std::move(port), ends[0]);
    } else {
        run_bus(devices, *plugin, outputs, in, *port, ends, status);
    }
    int worst = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::string written;
        try {
            written = outputs[i]->finish(ends[i].last_record);
        } catch (const bench::OutputError& e) {
            std::cerr << "vx40-bench: " << e.what() << '\n';
            if (status[i] == 0 || status[i] >= 128) status[i] = 3;
            written = outputs[i]->written();
        }
        // The summary goes where it does not mix with JSON on standard output.
        std::ostream& summary = outputs[i]->json_on_stdout() ? std::cerr : std::cout;
        std::string line = bench::summary_line(ends[i], io::g_stop_signal, written);
        if (!devices[i].label.empty())
            line.insert(std::string("vx40-bench: ").size(), devices[i].label + ": ");
        summary << line;
        summary.flush();
        // The run's status: the first device's fault, else its stop.
        if (worst == 0 || (worst >= 128 && status[i] != 0 && status[i] < 128)) worst = status[i];
    }
    return worst;
}
