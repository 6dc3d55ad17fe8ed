// vx40-bench's command line.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct Options {
    std::string plugin;
    std::uint32_t device_id = 1;
    std::string settings;
    std::string cache;
    std::string scenario;
    std::string json;
    std::string history;
    std::string save_cache;
    long rounds = -1;
    long interval = 1;
    bool pty = false;
    bool realtime = false;
    bool quiet = false;  // the plug-in's own lines left out of the human output
    std::string trace;   // every frame: a file, or "-" for standard error (-D)
    std::string record;  // the session as JSON Lines, for --replay
    std::string report;  // the run pictured as one HTML page, written at the end
    // With --report: the rounds whose clock is within [from, to], in seconds
    // (--from, --to; the whole run when not given).
    std::int64_t report_from = std::numeric_limits<std::int64_t>::min();
    std::int64_t report_to = std::numeric_limits<std::int64_t>::max();
    std::string replay;      // a recorded session played back in place of a line
    bool line_rate = false;  // the emulator's characters paced at the baud rate
    bool echo = false;       // the port gives back what is sent (two-wire RS-485)
    // A bus: one device per address, each with its settings ("" for
    // --settings's), polled in turn (--device ADR[:SETTINGS]).
    std::vector<std::string> devices;
    // One device of a bus: the address the host gives it, its lines' label.
    std::optional<std::uint8_t> address;
    std::string label;
    bool help = false;
    std::string help_text;  // with --help: the options and exit statuses
    std::string port;
    unsigned baud = 0;  // 0: the device's own setting
    int timeout_ms = 2000;
};

// A bad command line, a bad input file or a bad scenario: exit status 2.
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Throws UsageError naming the option and the reason.
Options parse_options(int argc, char** argv, const std::string& default_plugin,
                      const std::string& default_settings);

}  // namespace bench
