// ups/: vx40-ups, the emulated UPS on a real line, built from emulator/,
// io/, protocol/ and vocabulary/; it hosts no plug-in.
//
// What vx40-ups does with each request and each typed command, and what it
// keeps of them (the trace, one JSON line per request).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "output_file.h"
#include "replayer.h"
#include "scenario.h"
#include "serial.h"

namespace ups {

// The trace (a file, or standard error with -D) and the JSON Lines; each
// line written whole as it happens (io/output_file.h).
class Outputs {
public:
    Outputs() = default;
    Outputs(const std::string& trace, bool trace_on_stderr, const std::string& json);
    void trace(const std::string& line) { trace_.write_line(line); }
    void json(const std::string& line) { json_.write_line(line); }
    bool tracing() const { return trace_.on(); }
    bool has_json() const { return json_.on(); }
    // Closes both; what was written, for the summary ("" for nothing).
    std::string finish();

private:
    io::OutputFile trace_;
    io::OutputFile json_;
};

class Server {
public:
    // `replay`: a recording served in place of the emulated UPS, or null.
    Server(emulator::LineUps& ups, const emulator::Scenario& scenario, Replayer* replay,
           Outputs& outputs, bool quiet);
    // One request from the line: a scripted round begins at 2A/41; the
    // answer as the UPS gives it, or nothing while silent.
    emulator::Answer answer(const io::Received& request);
    // One typed command; the acknowledgement or the refusal with its reason.
    std::string command(const std::string& line);
    // Requests, answers and faults so far, the round and the state.
    std::string status() const;
    std::string summary() const;

    // The typed commands and their help, from one table.
    static std::string help();

private:
    using Words = std::vector<std::string>;
    // One typed command: its verb, the arguments its help names, how many it
    // takes, whether a recording being served refuses it, its help, and what
    // does it (with the words typed, the verb first).
    struct Command {
        const char* verb;
        const char* arguments;
        std::size_t fewest;
        std::size_t most;
        bool changes_ups;
        std::string help;
        std::function<std::string(Server&, const Words&)> run;
    };
    static const std::vector<Command>& commands();
    std::string set(const Words& w);
    std::string drop(const Words& w);
    std::string fault(const Words& w);
    std::string silent(const Words& w);
    void show(const std::string& line);

    emulator::LineUps& ups_;
    const emulator::Scenario& scenario_;
    Replayer* replay_;
    Outputs& outputs_;
    bool quiet_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;  // the counters and the silence, shared with the command thread
    std::size_t round_ = 0;     // scripted rounds begun
    unsigned long requests_ = 0;
    unsigned long answered_ = 0;
    unsigned long faults_ = 0;
    unsigned long ignored_ = 0;  // not addressed to it, or no frame
    std::chrono::steady_clock::time_point silent_until_{};
};

}  // namespace ups
