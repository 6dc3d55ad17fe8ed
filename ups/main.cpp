// vx40-ups: the emulated VX40 on a real serial line, for testing a host (the
// real controller, or vx40-bench --port) without a UPS. It answers the
// requests addressed to it as a UPS of this protocol family does, from a
// scenario and from commands typed while it runs.
//
// A scripted round begins when a 2A/41 request arrives; after the last round
// the state stays as it is. Stdin takes commands (`help` lists them). A host
// that closes the line and opens it again is served again; a port that goes
// away ends the run (exit 4) with everything written.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

// RS-485 mode is the kernel's; a C library without its headers (musl's
// sysroot) builds without it, and --rs485 says so.
#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#define VX40_KERNEL_RS485 1
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include "json_text.h"
#include "line_end.h"
#include "number.h"
#include "output_file.h"
#include "port_lock.h"
#include "recording.h"
#include "replayer.h"
#include "scenario.h"
#include "serial.h"
#include "server.h"
#include "stop.h"
#include "tap.h"
#include "text.h"

namespace {

constexpr const char* kExits =
    "It serves until stopped. Exit status: 2 a bad option or input file, 3 an output cannot\n"
    "be written, 4 the port went away, 130/143 stopped by SIGINT/SIGTERM (everything written).\n";

struct Options {
    std::string port;
    unsigned baud = 4800;
    bool pty = false;
    std::string link;
    std::string adr = "01";
    std::vector<std::string> units;
    std::string ver = "21";
    std::string scenario;
    std::string replay;
    std::string trace;
    bool debug = false;
    std::string json;
    bool quiet = false;
    bool line_rate = false;
    int late_ms = 2100;
    std::string reply_delay;
    std::uint32_t seed = 1;
    int char_gap_ms = 0;
    bool echo = false;
    bool rs485 = false;
    std::vector<std::string> tap;  // HOST_PORT (or "pty") and UPS_PORT
    std::string settings;
    std::uint32_t device_id = 1;
    std::string record;
    int timeout_s = 2;
};

// The line: a port set raw at the baud and locked, or a new pseudo-terminal
// whose host side stays open here too, so that a host closing it is no
// hang-up.
struct Line {
    int fd = -1;
    int held = -1;  // the pseudo-terminal's host side, held open
    std::string name;
    std::string host_path;
    std::string link;  // made by this run, removed at its end while it is still ours
    io::PortLock lock;
};

// RS-485 on a port whose driver switches the direction itself (the kernel's
// TIOCSRS485): driver enable high while sending.
void set_rs485(int fd, const std::string& port)
{
#ifdef VX40_KERNEL_RS485
    serial_rs485 rs{};
    rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd, TIOCSRS485, &rs) != 0) {
        throw std::invalid_argument("port " + port + ": --rs485: its driver has no RS-485 mode (" +
                                    std::strerror(errno) + ")");
    }
#else
    (void)fd;
    throw std::invalid_argument("port " + port +
                                ": --rs485: this build has no RS-485 mode (built without the "
                                "kernel's headers); use the adapter's own direction control");
#endif
}

// A port opened, locked and set raw; with `exclusive`, no other open of
// it is let through either (TIOCEXCL).
Line open_port(const std::string& port, unsigned baud, bool exclusive)
{
    Line line;
    line.fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.fd < 0 && errno == EBUSY) {
        const std::string who = io::holders_of(port);
        throw std::invalid_argument("port " + port + ": in use by " +
                                    (who.empty() ? "another program" : who));
    }
    if (line.fd < 0) {
        throw std::invalid_argument("port " + port + ": cannot open: " + std::strerror(errno));
    }
    line.lock = io::PortLock(line.fd, port, exclusive);
    io::make_raw(line.fd, baud, port);
    line.name = port;
    return line;
}

Line open_line(const Options& o)
{
    // The tap's UPS side is a port; its host side a port, or a new pty.
    const std::string& port = o.tap.empty() ? o.port : o.tap[0];
    if (!port.empty() && port != "pty") {
        Line line = open_port(port, o.baud, o.tap.empty());
        if (o.rs485) set_rs485(line.fd, port);
        return line;
    }
    Line line;
    const io::PseudoTerminal pty = io::open_pseudo_terminal(o.baud);
    line.fd = pty.ups_side;
    line.held = pty.host_side;
    line.host_path = pty.host_path;
    line.name = "emulator side of " + line.host_path;
    return line;
}

// "MS" or "MS..MS", each 0..60000; the pair, or a CLI::ValidationError.
std::pair<int, int> delay_range(const std::string& text)
{
    const auto dots = text.find("..");
    const auto lo = io::whole_number(text.substr(0, dots), 0, 60000);
    const auto hi =
        dots == std::string::npos ? lo : io::whole_number(text.substr(dots + 2), 0, 60000);
    if (!lo || !hi || *hi < *lo) {
        throw CLI::ValidationError("--reply-delay " + text +
                                   ": expected milliseconds 0..60000, or a range LO..HI");
    }
    return {static_cast<int>(*lo), static_cast<int>(*hi)};
}

// The command line; CLI::Error for a bad one.
void declare_options(CLI::App& app, Options& o)
{
    app.footer(kExits);
    // As with getopt, an option given again replaces what it gave before.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    auto* port = app.add_option("--port", o.port, "a real serial port (RS-232 or USB adapter)");
    app.add_option("--baud", o.baud, "line speed, raw 8N1")
        ->default_val(4800)
        ->check([](const std::string& v) {
            const auto b = io::whole_number(v, 1, 4000000);
            if (!b || !io::baud_supported(static_cast<unsigned>(*b)))
                return "the line cannot take " + v + "; it can be " + io::kBauds;
            return std::string();
        });
    auto* pty = app.add_flag("--pty", o.pty, "a new pseudo-terminal; its host side is printed");
    auto* tap = app.add_option("--tap", o.tap,
                               "between a real host and a real UPS: pass every character, "
                               "record the session (HOST_PORT may be pty: a new one)")
                    ->expected(2)
                    ->type_name("HOST_PORT UPS_PORT");
    app.add_option("--link", o.link,
                   "with --pty (or --tap pty): a symbolic link to the host side, removed at exit");
    port->excludes(pty);
    tap->excludes(port);
    tap->excludes(pty);
    app.add_option("--record", o.record, "with --tap: the session in vx40-bench's recording format")
        ->needs(tap);
    app.add_option("--settings", o.settings, "with --tap: the host's settings, for the recording")
        ->needs(tap);
    app.add_option("--device-id", o.device_id,
                   "with --tap: the host's device identifier (default 1)")
        ->needs(tap);
    app.add_option("--timeout", o.timeout_s,
                   "with --tap: the host's reply timeout, seconds (default 2): a reply after it is "
                   "late")
        ->needs(tap)
        ->check(CLI::Range(1, 600));
    const auto hex = [](const char* name) {
        return [name](const std::string& v) {
            return io::hex_byte(v) ? std::string()
                                   : v + " is not a byte in hex as the wire writes it (" +
                                         (std::string(name) == "--ver" ? "21, 0x21)" : "01, 0x0A)");
        };
    };
    auto* adr =
        app.add_option("--adr", o.adr, "the UPS's address, hex (default 01)")->check(hex("--adr"));
    auto* unit = app.add_option("--unit", o.units,
                                "a unit on a shared line: ADR (hex) and its own script, "
                                "ADR:SCENARIO; again for each unit (default: one, --adr)")
                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                     ->type_name("ADR[:FILE]");
    adr->excludes(unit);
    app.add_option("--ver", o.ver, "the protocol version it speaks, hex (default 21)")
        ->check(hex("--ver"));
    auto* scenario_option =
        app.add_option("--scenario", o.scenario,
                       "script the UPS (default: the built-in demo); with --unit, "
                       "the script of a unit that names none");
    auto* replay =
        app.add_option("--replay", o.replay, "serve a session recorded by vx40-bench --record");
    replay->excludes(scenario_option);
    replay->excludes(unit);
    replay->excludes(tap);
    unit->excludes(tap);
    app.add_option("--trace", o.trace, "every frame received and sent, with its time");
    app.add_flag("-D", o.debug, "the trace on standard error");
    app.add_option("--json", o.json, "one JSON object per request and per typed command");
    app.add_flag("--quiet", o.quiet, "no line per request on standard output");
    app.add_flag("--line-rate", o.line_rate, "each character takes its time on the wire");
    app.add_option("--late-after", o.late_ms, "milliseconds after a request that a late reply goes")
        ->default_val(2100)
        ->check(CLI::Range(1, 600000));
    app.add_option("--reply-delay", o.reply_delay,
                   "milliseconds from a request to its reply, or a range drawn per reply "
                   "(MS or LO..HI)")
        ->type_name("MS[..MS]");
    app.add_option("--seed", o.seed, "seeds the reply delays drawn from a range (default 1)");
    app.add_option("--char-gap", o.char_gap_ms, "milliseconds between a reply's characters")
        ->check(CLI::Range(0, 1000));
    app.add_flag("--echo", o.echo,
                 "the line hears its own transmission (two-wire RS-485): dropped, never answered");
    app.add_flag("--rs485", o.rs485,
                 "with --port: the port's driver switches the RS-485 direction (TIOCSRS485)");
}

// What the line serves: units, each with a scenario (the built-in demo by
// default), or a recording; CLI::ValidationError naming what cannot be read.
struct Script {
    std::vector<std::unique_ptr<ups::Unit>> units;
    std::unique_ptr<ups::Replayer> replay;
    emulator::Scenario tap_scenario;  // with --tap
    Json::Value settings;             // with --tap
    std::uint8_t ver = 0x21;
    std::string described;  // for the start line
};

emulator::Scenario scenario_of(const std::string& file)
{
    return file.empty() ? emulator::demo_scenario() : emulator::read_scenario(file);
}

Script load(const Options& o)
{
    if (!o.tap.empty() && o.tap.size() != 2) {
        throw CLI::ValidationError("--tap: needs two lines, HOST_PORT (or pty) and UPS_PORT");
    }
    if (o.port.empty() && !o.pty && o.tap.empty()) {
        throw CLI::ValidationError("the line: give --port, --pty or --tap");
    }
    if (!o.link.empty() && !o.pty && (o.tap.empty() || o.tap[0] != "pty")) {
        throw CLI::ValidationError("--link names a new pseudo-terminal: --pty or --tap pty");
    }
    Script s;
    s.ver = *io::hex_byte(o.ver);
    try {
        if (!o.tap.empty()) {
            // What passes is changed only when a scenario is given.
            if (!o.scenario.empty()) s.tap_scenario = emulator::read_scenario(o.scenario);
            s.settings = Json::Value(Json::objectValue);
            if (!o.settings.empty()) s.settings = io::read_json_object("settings", o.settings);
            s.described = o.scenario.empty() ? "unchanged" : "changed by " + o.scenario;
            return s;
        }
        if (!o.replay.empty()) {
            // Read through once for faults; served as it is read again.
            std::string warning;
            s.replay = std::make_unique<ups::Replayer>(io::open_recording(o.replay, warning));
            if (!warning.empty()) {
                std::cerr << "vx40-ups: warning: recording " << o.replay << ": " << warning << '\n';
            }
            s.described = "the recording " + o.replay;
            return s;
        }
        std::vector<std::string> units = o.units;
        if (units.empty()) units.push_back(o.adr);
        for (const std::string& u : units) {
            const auto colon = u.find(':');
            const auto adr = io::hex_byte(u.substr(0, colon));
            if (!adr || colon + 1 == u.size()) {
                throw CLI::ValidationError("--unit " + u +
                                           ": expected ADR or ADR:SCENARIO, ADR a byte in hex");
            }
            for (const auto& other : s.units) {
                if (other->ups.adr() == *adr) {
                    throw CLI::ValidationError("--unit " + u + ": a second unit at " +
                                               protocol::hex(*adr));
                }
            }
            const std::string file = colon == std::string::npos ? o.scenario : u.substr(colon + 1);
            emulator::Scenario scenario = scenario_of(file);
            const std::string name = (file.empty() ? std::string("the built-in demo") : file) +
                                     ", " + std::to_string(scenario.rounds.size()) + " rounds";
            s.described +=
                (s.described.empty() ? "" : "; ") +
                ("ADR " + protocol::hex(*adr) + " VER " + protocol::hex(s.ver) + " (" + name + ")");
            s.units.push_back(std::make_unique<ups::Unit>(*adr, s.ver, std::move(scenario)));
        }
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError(e.what());
    }
    return s;
}

// The --link path made to lead to the line's host side. A path that is
// there already is left alone unless it is a link an earlier run left: one
// to a pseudo-terminal gone, or that no process holds; std::exception
// saying why not.
void make_link(Line& line, const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        const std::string to = io::link_target(path);
        if (to.rfind("/dev/pts/", 0) != 0) {
            throw std::invalid_argument("--link " + path +
                                        ": is there, and is no link to a pseudo-terminal an "
                                        "earlier run left; give another path or remove it");
        }
        if (const std::string who = io::holders_of(to); !who.empty()) {
            throw std::invalid_argument("--link " + path + ": leads to " + to + ", in use by " +
                                        who);
        }
        unlink(path.c_str());  // a link an earlier run left behind
    }
    if (symlink(line.host_path.c_str(), path.c_str()) != 0) {
        throw std::invalid_argument("--link " + path + ": " + std::strerror(errno));
    }
    line.link = path;
}

// Removes the link made at start, while it still leads to this run's line.
void remove_link(const Line& line)
{
    if (line.link.empty()) return;
    if (io::link_target(line.link) == line.host_path) unlink(line.link.c_str());
}

// Commands from standard input, on a thread of their own; signals stay with
// the line's thread. Read with read(2), not through stdio: a thread blocked
// in a stdio read holds that stream's lock, and exit() would wait for it
// (musl does).
void take_commands(const std::function<std::string(const std::string&)>& command)
{
    io::thread_without_stops([command] {
        std::string pending;
        char buf[256];
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            pending.append(buf, static_cast<std::size_t>(n));
            for (auto eol = pending.find('\n'); eol != std::string::npos;
                 eol = pending.find('\n')) {
                const std::string said = command(pending.substr(0, eol));
                pending.erase(0, eol + 1);
                if (!said.empty()) std::cout << (said + '\n') << std::flush;
            }
            if (pending.size() > 4096) pending.clear();  // no command is that long
        }
    }).detach();
}

// Serves requests until a stop signal, the line's loss or an output that
// cannot be written; the exit status.
int serve(const Options& o, const Line& line, ups::Server& server, const ups::Outputs& outputs)
{
    emulator::Pace pace;
    pace.baud = o.baud;
    pace.line_rate = o.line_rate;
    pace.late_after = std::chrono::milliseconds(o.late_ms);
    const auto [lo, hi] = delay_range(o.reply_delay.empty() ? "0" : o.reply_delay);
    pace.delay_lo = std::chrono::milliseconds(lo);
    pace.delay_hi = std::chrono::milliseconds(hi);
    pace.seed = o.seed;
    pace.char_gap = std::chrono::milliseconds(o.char_gap_ms);
    pace.echo = o.echo;
    emulator::UpsEnd end(line.fd, line.name, pace, io::stopping);
    end.on_echo([&server](const io::Received& own) { server.echoed(own); });
    const auto answer = [&server](const io::Received& r) { return server.answer(r); };
    const auto delivered = [&server](const io::Received& r, const emulator::Answer& a,
                                     const emulator::Delivery& d) { server.delivered(r, a, d); };
    try {
        while (!io::stopping() && outputs.error().empty()) {
            end.serve_one(answer, std::chrono::milliseconds(200), delivered);
        }
    } catch (const io::Interrupted&) {
        // A second stop signal ended a wait: stopped all the same.
    } catch (const io::LineLost& e) {
        std::cerr << "vx40-ups: port lost: " << e.what() << '\n';
        return 4;
    }
    if (!outputs.error().empty()) {
        std::cerr << "vx40-ups: " << outputs.error() << '\n';
        return 3;
    }
    return 128 + (io::stopping() ? static_cast<int>(io::g_stop_signal) : SIGTERM);
}

// The end of a run: the link removed, the outputs closed, the summary with
// what was written; the exit status (3 when an output could not be closed
// whole after a stop).
int finish(int status, const Line& line, const std::string& summary, ups::Outputs& outputs)
{
    remove_link(line);
    try {
        std::cout << "vx40-ups: " << summary << outputs.finish() << std::endl;
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        if (status >= 128) status = 3;
    }
    return status;
}

// The tap: the host's line opened already, the UPS's now; passes until a
// stop signal, a line's loss or an output that cannot be written.
int run_tap(const Options& o, Line& host, const Script& script, ups::Outputs& outputs)
{
    Line ups_line;
    try {
        ups_line = open_port(o.tap[1], o.baud, false);
    } catch (const std::exception& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        remove_link(host);
        return 2;
    }
    ups::TapSetup setup;
    setup.host_name = host.host_path.empty() ? host.name : host.host_path;
    setup.ups_name = o.tap[1];
    setup.baud = o.baud;
    setup.timeout_ms = o.timeout_s * 1000;
    setup.device_id = o.device_id;
    setup.settings = script.settings;
    setup.scenario = o.scenario.empty() ? nullptr : &script.tap_scenario;
    setup.quiet = o.quiet;
    ups::Tap tap(host.fd, ups_line.fd, setup, outputs);
    take_commands([&tap](const std::string& typed) { return tap.command(typed); });
    int status = 0;
    try {
        tap.run(io::stopping);
        status = 128 + (io::stopping() ? static_cast<int>(io::g_stop_signal) : SIGTERM);
    } catch (const io::Interrupted&) {
        status = 128 + static_cast<int>(io::g_stop_signal);
    } catch (const io::LineLost& e) {
        std::cerr << "vx40-ups: port lost: " << e.what() << '\n';
        status = 4;
    }
    if (!outputs.error().empty()) {
        std::cerr << "vx40-ups: " << outputs.error() << '\n';
        status = 3;
    }
    return finish(status, host, tap.summary(), outputs);
}

// The start line: the line, its settings, the units and their scripts, and
// what is written where.
std::string start_line(const Options& o, const Line& line, const Script& script,
                       const ups::Outputs& outputs)
{
    std::string where =
        !line.host_path.empty()
            ? "host side " + line.host_path + (line.link.empty() ? "" : " (link " + line.link + ")")
            : "port " + line.name;
    if (!o.tap.empty()) where += " and UPS port " + o.tap[1];
    where += ", " + std::to_string(o.baud) + " baud 8N1";
    if (o.rs485) where += ", RS-485";
    if (o.echo) where += ", echo dropped";
    if (!o.reply_delay.empty()) where += ", reply delay " + o.reply_delay + " ms";
    const char* what = !o.tap.empty()            ? "passing: "
                       : !o.replay.empty()       ? "serving "
                       : script.units.size() > 1 ? "units "
                                                 : "unit ";
    return "vx40-ups: serving " + where + "; " + what + script.described + "; " + outputs.where();
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app{"vx40-ups: the emulated VX40 UPS on a serial line, for testing a host"};
    declare_options(app, o);
    Script script;
    try {
        app.parse(argc, argv);
        if (!o.reply_delay.empty()) delay_range(o.reply_delay);
        if (o.rs485 && o.port.empty()) throw CLI::ValidationError("--rs485 needs --port");
        script = load(o);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::Error& e) {
        std::cerr << "vx40-ups: " << e.what() << "\ntry vx40-ups --help\n";
        return 2;
    }
    std::optional<ups::Outputs> made;
    try {
        made.emplace(o.trace, o.debug, o.json, o.record);
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        return 3;
    }
    ups::Outputs& outputs = *made;
    Line line;
    try {
        line = open_line(o);
        if (!o.link.empty()) make_link(line, o.link);
    } catch (const std::exception& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        return 2;
    }
    std::cout << start_line(o, line, script, outputs) << std::endl;
    io::catch_stop_signals();
    if (!o.tap.empty()) return run_tap(o, line, script, outputs);

    ups::Server server(std::move(script.units), script.replay.get(), outputs, o.quiet);
    take_commands([&server](const std::string& typed) { return server.command(typed); });
    const int status = serve(o, line, server, outputs);
    return finish(status, line, server.summary(), outputs);
}
