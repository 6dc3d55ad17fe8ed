#include "options.h"

#include <set>

#include "transport.h"

namespace bench {

const char* const kUsage =
    "usage: vx40-bench [options]\n"
    "  --plugin PATH      plug-in to load (default: the built vx40.so)\n"
    "  --device-id N      host device identifier (default 1)\n"
    "  --settings FILE    device settings (default examples/settings.json)\n"
    "  --cache FILE       restore this 139-byte record first (round 0)\n"
    "  --scenario FILE    script the emulated UPS (default: built-in demo)\n"
    "  --rounds N         rounds to run (default: the scenario's rounds; with --replay,\n"
    "                     the recording's first N)\n"
    "  --interval SECONDS virtual seconds between rounds (default 1)\n"
    "  --json FILE|-      one JSON object per round (JSON Lines)\n"
    "  --history FILE     append every saved record (139 bytes each)\n"
    "  --report FILE      picture the run in one HTML page, written at the end\n"
    "  --save-cache FILE  write the last distributed record at exit\n"
    "  --quiet            leave the plug-in's own lines out of the human output\n"
    "  -D, --trace FILE|- every frame sent and received, with its time, the decoder's\n"
    "                     verdict, the round and the step (-D: on standard error);\n"
    "                     with --json also in each round's \"frames\"\n"
    "  --record FILE      write the session (settings, device identifier, every frame\n"
    "                     with its time, the clock of each round) as JSON Lines\n"
    "  --replay FILE      drive the plug-in from a recorded session in place of a line;\n"
    "                     settings, identifier and cache come from the recording\n"
    "  --realtime         real clock and real waits, also with the emulator\n"
    "  --pty              the emulator behind a pseudo-terminal (a real serial line)\n"
    "  --port DEVICE      a real UPS on this serial port, no emulator (real clock)\n"
    "  --baud N           line speed (default: the device's, 4800)\n"
    "  --line-rate        with --pty: the emulator takes each character's time on the\n"
    "                     wire at the baud rate (ten bits a character)\n"
    "  --timeout SECONDS  reply timeout on a line (default 2)\n"
    "  --help\n"
    "exit status: 0 done, 1 the plug-in cannot be loaded, 2 a bad option or input file,\n"
    "3 an output cannot be written, 4 the serial line was lost, 5 the plug-in departed\n"
    "from the replayed recording, 130/143 SIGINT/SIGTERM\n";

namespace {

long long to_long(const std::string& v, const std::string& opt, long long lo, long long hi)
{
    std::size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(v, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != v.size() || v.empty() || n < lo || n > hi) {
        throw UsageError(opt + " " + v + ": expected a whole number " + std::to_string(lo) + ".." +
                         std::to_string(hi));
    }
    return n;
}

}  // namespace

Options parse_options(int argc, char** argv, const std::string& default_plugin,
                      const std::string& default_settings)
{
    Options opt;
    opt.plugin = default_plugin;
    opt.settings = default_settings;
    std::set<std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            opt.help = true;
            return opt;
        }
        if (a == "-D") {
            opt.trace = "-";
            continue;
        }
        given.insert(a);
        if (a == "--pty" || a == "--realtime" || a == "--quiet" || a == "--line-rate") {
            (a == "--pty"        ? opt.pty
             : a == "--realtime" ? opt.realtime
             : a == "--quiet"    ? opt.quiet
                                 : opt.line_rate) = true;
            continue;
        }
        if (a.rfind("--", 0) != 0 || i + 1 >= argc) {
            throw UsageError(a + ": unknown option or missing value");
        }
        const std::string v = argv[++i];
        if (a == "--plugin") {
            opt.plugin = v;
        } else if (a == "--device-id") {
            opt.device_id = static_cast<std::uint32_t>(to_long(v, a, 0, 4294967295LL));
        } else if (a == "--settings") {
            opt.settings = v;
        } else if (a == "--cache") {
            opt.cache = v;
        } else if (a == "--scenario") {
            opt.scenario = v;
        } else if (a == "--json") {
            opt.json = v;
        } else if (a == "--trace") {
            opt.trace = v;
        } else if (a == "--report") {
            opt.report = v;
        } else if (a == "--record") {
            opt.record = v;
        } else if (a == "--replay") {
            opt.replay = v;
        } else if (a == "--history") {
            opt.history = v;
        } else if (a == "--save-cache") {
            opt.save_cache = v;
        } else if (a == "--rounds") {
            opt.rounds = static_cast<long>(to_long(v, a, 0, 100000000));
        } else if (a == "--port") {
            opt.port = v;
        } else if (a == "--baud") {
            opt.baud = static_cast<unsigned>(to_long(v, a, 1, 4000000));
            if (!io::baud_supported(opt.baud)) {
                throw UsageError("--baud " + v + ": the line cannot take it; it can be " +
                                 io::kBauds);
            }
        } else if (a == "--timeout") {
            opt.timeout_ms = static_cast<int>(to_long(v, a, 1, 600)) * 1000;
        } else if (a == "--interval") {
            opt.interval = static_cast<long>(to_long(v, a, 0, 86400));
        } else {
            throw UsageError(a + ": unknown option");
        }
    }
    if (opt.pty && !opt.port.empty()) throw UsageError("--pty and --port: choose one line");
    if (opt.line_rate && !opt.pty) throw UsageError("--line-rate paces the emulator: needs --pty");
    if (!opt.replay.empty()) {
        // The recording holds these; taking them from elsewhere would not replay it.
        for (const char* o : {"--settings", "--cache", "--device-id", "--scenario", "--pty",
                              "--port", "--interval", "--realtime", "--baud"}) {
            if (given.count(o) != 0) {
                throw UsageError(std::string(o) + " and --replay: the recording holds it");
            }
        }
    }
    return opt;
}

}  // namespace bench
