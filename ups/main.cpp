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
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "line_end.h"
#include "number.h"
#include "output_file.h"
#include "recording.h"
#include "replayer.h"
#include "scenario.h"
#include "serial.h"
#include "server.h"
#include "stop.h"

namespace {

constexpr const char* kExits =
    "It serves until stopped. Exit status: 2 a bad option or input file, 3 an output cannot\n"
    "be written, 4 the port went away, 130/143 stopped by SIGINT/SIGTERM (everything written).\n";

struct Options {
    std::string port;
    unsigned baud = 4800;
    bool pty = false;
    std::string link;
    unsigned adr = 1;
    std::string ver = "0x21";
    std::string scenario;
    std::string replay;
    std::string trace;
    bool debug = false;
    std::string json;
    bool quiet = false;
    bool line_rate = false;
    int late_ms = 2100;
};

// The line: a port set raw at the baud, or a new pseudo-terminal whose host
// side stays open here too, so that a host closing it is no hang-up.
struct Line {
    int fd = -1;
    int held = -1;  // the pseudo-terminal's host side, held open
    std::string name;
    std::string host_path;
};

Line open_line(const Options& o)
{
    Line line;
    if (!o.port.empty()) {
        line.fd = open(o.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line.fd < 0) {
            throw std::invalid_argument("port " + o.port +
                                        ": cannot open: " + std::strerror(errno));
        }
        io::make_raw(line.fd, o.baud, o.port);
        line.name = o.port;
        return line;
    }
    const io::PseudoTerminal pty = io::open_pseudo_terminal(o.baud);
    line.fd = pty.ups_side;
    line.held = pty.host_side;
    line.host_path = pty.host_path;
    line.name = "emulator side of " + line.host_path;
    return line;
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
    app.add_option("--link", o.link,
                   "with --pty: a symbolic link to the host side, removed at exit")
        ->needs(pty);
    port->excludes(pty);
    app.add_option("--adr", o.adr, "the UPS's address")->default_val(1)->check(CLI::Range(0, 255));
    app.add_option("--ver", o.ver, "the protocol version it speaks")->default_val("0x21");
    auto* scenario_option =
        app.add_option("--scenario", o.scenario, "script the UPS (default: the built-in demo)");
    app.add_option("--replay", o.replay, "serve a session recorded by vx40-bench --record")
        ->excludes(scenario_option);
    app.add_option("--trace", o.trace, "every frame received and sent, with its time");
    app.add_flag("-D", o.debug, "the trace on standard error");
    app.add_option("--json", o.json, "one JSON object per request (JSON Lines)");
    app.add_flag("--quiet", o.quiet, "no line per request on standard output");
    app.add_flag("--line-rate", o.line_rate, "each character takes its time on the wire");
    app.add_option("--late-after", o.late_ms, "milliseconds after a request that a late reply goes")
        ->default_val(2100)
        ->check(CLI::Range(1, 600000));
}

// What the UPS serves: a scenario (the built-in demo by default) or a
// recording; CLI::ValidationError naming a file that cannot be read.
struct Script {
    emulator::Scenario scenario;
    std::unique_ptr<ups::Replayer> replay;
    std::uint8_t ver = 0x21;
};

Script load(const Options& o)
{
    if (o.port.empty() && !o.pty) throw CLI::ValidationError("the line: give --port or --pty");
    Script s;
    const auto v = io::whole_number(o.ver, 0, 255, 0);
    if (!v) throw CLI::ValidationError("--ver " + o.ver + ": not a byte (0x21, 33)");
    s.ver = static_cast<std::uint8_t>(*v);
    try {
        if (!o.replay.empty()) {
            // Read through once for faults; served as it is read again.
            std::string warning;
            s.replay = std::make_unique<ups::Replayer>(io::open_recording(o.replay, warning));
            if (!warning.empty()) {
                std::cerr << "vx40-ups: warning: recording " << o.replay << ": " << warning << '\n';
            }
        } else {
            s.scenario = o.scenario.empty() ? emulator::demo_scenario()
                                            : emulator::read_scenario(o.scenario);
        }
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError(e.what());
    }
    return s;
}

// The line opened and, with --link, the link made to its host side;
// std::exception saying why not.
Line open_linked_line(const Options& o)
{
    Line line = open_line(o);
    if (!o.link.empty()) {
        struct stat st {};
        if (lstat(o.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            throw std::invalid_argument("--link " + o.link + ": exists and is not a link");
        }
        unlink(o.link.c_str());
        if (symlink(line.host_path.c_str(), o.link.c_str()) != 0) {
            throw std::invalid_argument("--link " + o.link + ": " + std::strerror(errno));
        }
    }
    return line;
}

// Commands from standard input, on a thread of their own; signals stay with
// the line's thread. Read with read(2), not through stdio: a thread blocked
// in a stdio read holds that stream's lock, and exit() would wait for it
// (musl does).
void take_commands(ups::Server& server)
{
    io::thread_without_stops([&server] {
        std::string pending;
        char buf[256];
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            pending.append(buf, static_cast<std::size_t>(n));
            for (auto eol = pending.find('\n'); eol != std::string::npos;
                 eol = pending.find('\n')) {
                const std::string said = server.command(pending.substr(0, eol));
                pending.erase(0, eol + 1);
                if (!said.empty()) std::cout << (said + '\n') << std::flush;
            }
            if (pending.size() > 4096) pending.clear();  // no command is that long
        }
    }).detach();
}

// Serves requests until a stop signal or the line's loss; the exit status.
int serve(const Options& o, const Line& line, ups::Server& server)
{
    emulator::Pace pace;
    pace.baud = o.baud;
    pace.line_rate = o.line_rate;
    pace.late_after = std::chrono::milliseconds(o.late_ms);
    emulator::UpsEnd end(line.fd, line.name, pace, io::stopping);
    try {
        const auto answer = [&server](const io::Received& r) { return server.answer(r); };
        while (!io::stopping()) end.serve_one(answer, std::chrono::milliseconds(200));
    } catch (const io::Interrupted&) {
        // A second stop signal ended a wait: stopped all the same.
    } catch (const io::LineLost& e) {
        std::cerr << "vx40-ups: port lost: " << e.what() << '\n';
        return 4;
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        return 3;
    }
    return 128 + (io::stopping() ? static_cast<int>(io::g_stop_signal) : SIGTERM);
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
        script = load(o);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::Error& e) {
        std::cerr << "vx40-ups: " << e.what() << "\ntry vx40-ups --help\n";
        return 2;
    }
    ups::Outputs outputs;
    try {
        outputs = ups::Outputs(o.trace, o.debug, o.json);
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        return 3;
    }
    Line line;
    try {
        line = open_linked_line(o);
    } catch (const std::exception& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        return 2;
    }
    if (o.pty) std::cout << "host side: " << line.host_path << std::endl;
    io::catch_stop_signals();

    emulator::LineUps ups(script.scenario.ups, script.ver, static_cast<std::uint8_t>(o.adr));
    ups::Server server(ups, script.scenario, script.replay.get(), outputs, o.quiet);
    take_commands(server);
    int status = serve(o, line, server);
    if (!o.link.empty()) unlink(o.link.c_str());
    try {
        std::cout << "vx40-ups: " << server.summary() << outputs.finish() << std::endl;
    } catch (const io::OutputError& e) {
        std::cerr << "vx40-ups: " << e.what() << '\n';
        if (status >= 128) status = 3;
    }
    return status;
}
