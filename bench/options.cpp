#include "options.h"

#include <CLI/CLI.hpp>

#include "clock_span.h"
#include "number.h"
#include "transport.h"

namespace bench {

namespace {

const char* const kExitStatus =
    "exit status: 0 done, 1 the plug-in cannot be loaded, 2 a bad option or input file,\n"
    "3 an output cannot be written, 4 the serial line was lost, 5 the plug-in departed\n"
    "from the replayed recording, 130/143 SIGINT/SIGTERM\n";

long long to_long(const std::string& v, const std::string& opt, long long lo, long long hi)
{
    const auto n = io::whole_number(v, lo, hi);
    if (!n) {
        throw UsageError(opt + " " + v + ": expected a whole number " + std::to_string(lo) + ".." +
                         std::to_string(hi));
    }
    return *n;
}

}  // namespace

Options parse_options(int argc, char** argv, const std::string& default_plugin,
                      const std::string& default_settings)
{
    Options opt;
    opt.plugin = default_plugin;
    opt.settings = default_settings;
    // Each option's text comes from its declaration; GNU forms (--rounds=3)
    // are taken as well as --rounds 3.
    CLI::App app{
        "vx40-bench: the built vx40.so driven as the host drives it, against the "
        "emulated UPS, a recorded session or a real UPS"};
    app.footer(kExitStatus);
    app.get_formatter()->column_width(26);
    // As with getopt, an option given again replaces what it gave before.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    const auto text = [&](const char* name, std::string& into, const char* what) {
        return app.add_option(name, into, what)->type_name("FILE");
    };
    const auto number = [&](const char* name, long long lo, long long hi, const char* what,
                            auto store) {
        return app
            .add_option_function<std::string>(
                name, [=](const std::string& v) { store(to_long(v, name, lo, hi)); }, what)
            ->type_name("N");
    };
    text("--plugin", opt.plugin, "plug-in to load (default: the built vx40.so)");
    number("--device-id", 0, 4294967295LL, "host device identifier (default 1)",
           [&](long long v) { opt.device_id = static_cast<std::uint32_t>(v); });
    text("--settings", opt.settings, "device settings (default examples/settings.json)");
    text("--cache", opt.cache, "restore this 139-byte record first (round 0)");
    text("--scenario", opt.scenario, "script the emulated UPS (default: the built-in demo)");
    number("--rounds", 0, 100000000,
           "rounds to run (default: the scenario's; with --replay, the recording's first N)",
           [&](long long v) { opt.rounds = static_cast<long>(v); });
    number("--interval", 0, 86400, "virtual seconds between rounds (default 1)",
           [&](long long v) { opt.interval = static_cast<long>(v); });
    text("--json", opt.json, "one JSON object per round (JSON Lines); - for standard output");
    text("--history", opt.history, "append every saved record (139 bytes each)");
    text("--report", opt.report, "picture the run in one HTML page, written at the end");
    const auto time = [&](const char* name, std::int64_t& into, const char* what) {
        return app
            .add_option_function<std::string>(
                name,
                [name, &into](const std::string& v) {
                    try {
                        into = clock_seconds(v, std::string(name) == "--to");
                    } catch (const std::runtime_error& e) {
                        throw UsageError(std::string(name) + " " + v + ": " + e.what());
                    }
                },
                what)
            ->type_name("TIME");
    };
    time("--from", opt.report_from,
         "with --report: picture the rounds from this clock on (YYYY-MM-DD[ HH:MM:SS])");
    time("--to", opt.report_to,
         "with --report: picture the rounds up to this clock (a date: to its last second)");
    text("--save-cache", opt.save_cache, "write the last distributed record at the end");
    app.add_flag("--quiet", opt.quiet, "leave the plug-in's own lines out of the human output");
    text("--trace", opt.trace,
         "every frame sent and received, with its time, the decoder's verdict, the round and "
         "the step; - for standard error; with --json also in each round's \"frames\"");
    app.add_flag_callback(
        "-D", [&] { opt.trace = "-"; }, "the trace on standard error");
    text("--record", opt.record,
         "write the session (settings, device identifier, every frame with its time, the "
         "clock of each round) as JSON Lines");
    text("--replay", opt.replay,
         "drive the plug-in from a recorded session in place of a line; settings, identifier "
         "and cache come from the recording");
    app.add_flag("--realtime", opt.realtime, "real clock and real waits, also with the emulator");
    app.add_flag("--pty", opt.pty, "the emulator behind a pseudo-terminal (a real serial line)");
    text("--port", opt.port, "a real UPS on this serial port, no emulator (real clock)")
        ->type_name("DEVICE");
    number("--baud", 1, 4000000, "line speed (default: the device's, 4800)", [&](long long v) {
        opt.baud = static_cast<unsigned>(v);
        if (!io::baud_supported(opt.baud)) {
            throw UsageError("--baud " + std::to_string(v) +
                             ": the line cannot take it; it can be " + io::kBauds);
        }
    });
    app.add_flag("--line-rate", opt.line_rate,
                 "with --pty: the emulator takes each character's time on the wire at the baud "
                 "rate (ten bits a character)");
    app.add_option("--device", opt.devices,
                   "with --port: one device of a bus at ADR (hex), with its own settings; again "
                   "for each (their outputs apart: FILE-ADR.EXT)")
        ->type_name("ADR[:FILE]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--echo", opt.echo,
                 "with --port: the line gives back each request (two-wire RS-485): heard and "
                 "dropped");
    number("--timeout", 1, 600, "reply timeout on a line, seconds (default 2)",
           [&](long long v) { opt.timeout_ms = static_cast<int>(v) * 1000; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        opt.help = true;
        opt.help_text = app.help();
        return opt;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    if (opt.pty && !opt.port.empty()) throw UsageError("--pty and --port: choose one line");
    if ((app.count("--from") != 0 || app.count("--to") != 0) && opt.report.empty()) {
        throw UsageError("--from and --to choose the rounds of the page: need --report");
    }
    if (ClockSpan{opt.report_from, opt.report_to}.empty()) {
        throw UsageError(ClockSpan::kEmpty);
    }
    if (opt.line_rate && !opt.pty) throw UsageError("--line-rate paces the emulator: needs --pty");
    if (opt.echo && opt.port.empty()) throw UsageError("--echo is a real line's: needs --port");
    if (!opt.replay.empty()) {
        // The recording holds these; taking them from elsewhere would not replay it.
        for (const char* o : {"--settings", "--cache", "--device-id", "--scenario", "--pty",
                              "--port", "--interval", "--realtime", "--baud"}) {
            if (app.count(o) != 0) {
                throw UsageError(std::string(o) + " and --replay: the recording holds it");
            }
        }
    }
    return opt;
}

}  // namespace bench
