// ups/: vx40-ups, the emulated UPS on a real line, built from emulator/,
// io/, protocol/ and vocabulary/; it hosts no plug-in.
//
// What vx40-ups does with each request and each typed command, and what it
// keeps of them (the trace, one JSON line per request and per command).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line_end.h"
#include "output_file.h"
#include "replayer.h"
#include "scenario.h"
#include "serial.h"

namespace ups {

// A time in seconds as the trace's lines begin: "  1.234567 ".
std::string stamp(double seconds);
// "41" .. "46" as typed: the CID2 of a request this UPS knows; 0 for anything else.
std::uint8_t known_cid(const std::string& word);
// A typed command's words, in lower case: commands are taken in any case.
std::vector<std::string> typed_words(const std::string& line);

// The trace (a file, or standard error with -D) and the JSON Lines; each
// line written whole as it happens (io/output_file.h), from the line's
// thread and the commands' alike. A write that fails is kept, not thrown:
// error() says it, and the run ends on it.
class Outputs {
public:
    Outputs() = default;
    // `record`: the tap's recording of the session ("" for none).
    Outputs(const std::string& trace, bool trace_on_stderr, const std::string& json,
            const std::string& record = "");
    void trace(const std::string& line) { write(trace_, line); }
    void json(const std::string& line) { write(json_, line); }
    void record(const std::string& line) { write(record_, line); }
    bool tracing() const { return trace_.on(); }
    bool has_json() const { return json_.on(); }
    // The first write that failed ("" while none did).
    std::string error() const;
    // Where each goes, for the start line.
    std::string where() const;
    // Closes both; what was written, for the summary ("" for nothing).
    // io::OutputError when one cannot be closed whole.
    std::string finish();

private:
    void write(io::OutputFile& f, const std::string& line);

    io::OutputFile trace_;
    io::OutputFile json_;
    io::OutputFile record_;
    mutable std::mutex mutex_;
    std::string error_;
};

// One UPS on the line: its address, its script and state, its own rounds
// and silence. Not moved once made: the UPS reads the scenario's rounds.
struct Unit {
    Unit(std::uint8_t adr, std::uint8_t ver, emulator::Scenario s);
    emulator::Scenario scenario;
    emulator::LineUps ups;
    std::size_t round = 0;
    bool told_after_script = false;
    std::chrono::steady_clock::time_point silent_until{};
};

class Server {
public:
    // `units`: the UPSs on the line, at distinct addresses; or `replay`, a
    // recording served in their place (then no unit).
    Server(std::vector<std::unique_ptr<Unit>> units, Replayer* replay, Outputs& outputs,
           bool quiet);
    // One request from the line: the answer its unit gives, or nothing
    // (another address, a reply, a silent unit). Nothing is kept yet.
    emulator::Answer answer(const io::Received& request);
    // What went out for it: counted, traced, written as JSON, shown.
    void delivered(const io::Received& request, const emulator::Answer& a,
                   const emulator::Delivery& d);
    // Its own characters heard back on an echoing line.
    void echoed(const io::Received& own);
    // One typed command; the acknowledgement or the refusal with its
    // reason, also kept in the trace and the JSON.
    std::string command(const std::string& line);
    // Requests, answers and faults so far, each unit's round and state.
    std::string status() const;
    std::string summary() const;

    // The typed commands and their help, from one table.
    static std::string help();

private:
    using Words = std::vector<std::string>;
    // One typed command: its verb, the arguments its help names, how many it
    // takes, whether it is said to one unit (and a recording being served
    // refuses it), its help, and what does it (with the words typed, the
    // verb first).
    struct Command {
        const char* verb;
        const char* arguments;
        std::size_t fewest;
        std::size_t most;
        bool changes_ups;
        std::string help;
        std::function<std::string(Server&, Unit*, const Words&)> run;  // a unit when said to one
    };
    static const std::vector<Command>& commands();
    std::string run(const Words& w);
    std::string set(Unit& u, const Words& w);
    std::string drop(Unit& u, const Words& w);
    std::string fault(Unit& u, const Words& w);
    std::string silent(Unit& u, const Words& w);
    Unit* unit_at(std::uint8_t adr);
    std::string unit_list() const;
    // "unit 02 " on a bus of several; "" for one.
    std::string unit_prefix(const Unit* u) const;
    double since_start(io::Clock::time_point t) const;
    void show(const std::string& line);

    std::vector<std::unique_ptr<Unit>> units_;
    Replayer* replay_;
    Outputs& outputs_;
    bool quiet_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;  // the units, counters and silences, shared with the commands
    std::size_t replay_round_ = 0;
    Unit* last_unit_ = nullptr;  // the unit of the request being answered
    unsigned long requests_ = 0;
    unsigned long answered_ = 0;
    unsigned long not_sent_ = 0;
    unsigned long faults_ = 0;
    unsigned long ignored_ = 0;  // not addressed to it, a reply, or no frame
    unsigned long echoes_ = 0;
};

}  // namespace ups
