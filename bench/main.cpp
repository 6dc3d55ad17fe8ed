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

Json::Value read_settings(const std::string& path)
{
    const std::string text = read_input("settings", path);
    Json::Value v;
    try {
        v = io::parse_json(text);
    } catch (const io::JsonSyntax& e) {
        throw bench::UsageError(path + ":" + e.what());
    }
    if (!v.isObject()) throw bench::UsageError("settings " + path + ": not a JSON object");
    return v;
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
        in.settings = read_settings(opt.settings);
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

// The session run; its exit status, with what ended it said on standard error.
int run_session(const bench::Options& opt, const standin::Plugin& plugin, bench::Outputs& outputs,
                Inputs& in, std::unique_ptr<bench::Transport> port, bench::SessionEnd& end)
{
    int status = 0;
    try {
        bench::Session session(opt, plugin, outputs);
        session.run(in.settings, in.cache.empty() ? nullptr : &in.cache, in.scenario,
                    in.replay.get(), std::move(port), end);
    } catch (const bench::OutputError& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        status = 3;
    } catch (const std::invalid_argument& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        status = 2;
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        status = 1;
    }
    if (!end.line_lost.empty()) {
        std::cerr << "vx40-bench: serial line lost: " << end.line_lost << '\n';
        if (status == 0) status = 4;
    }
    if (!end.departed.empty()) {
        std::cerr << "vx40-bench: the replay left its recording: " << end.departed << '\n';
        if (status == 0) status = 5;
    }
    if (io::g_stop_signal != 0 && status == 0) status = 128 + io::g_stop_signal;
    return status;
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

}  // namespace

int main(int argc, char** argv)
{
    bench::Options opt;
    Inputs in;
    try {
        opt = bench::parse_options(argc, argv, default_plugin(),
                                   beside_program({"settings.json", "../share/vx40/settings.json"},
                                                  VX40_EXAMPLES_DIR "/settings.json"));
        if (opt.help) {
            std::cout << opt.help_text;
            return 0;
        }
        bench::check_distinct_files(opt);
        in = read_inputs(opt);
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << "\ntry vx40-bench --help\n";
        return 2;
    }
    std::unique_ptr<bench::Outputs> outputs;
    try {
        outputs = std::make_unique<bench::Outputs>(opt);
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
    bench::SessionEnd end;
    int status = run_session(opt, *plugin, *outputs, in, std::move(port), end);
    std::string written;
    try {
        written = outputs->finish(end.last_record);
    } catch (const bench::OutputError& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        if (status == 0 || status >= 128) status = 3;
        written = outputs->written();
    }
    // The summary goes where it does not mix with JSON on standard output.
    std::ostream& summary = outputs->json_on_stdout() ? std::cerr : std::cout;
    summary << bench::summary_line(end, io::g_stop_signal, written);
    summary.flush();
    return status;
}
