// The tap: vx40-ups between a real host and a real UPS, each on a line of
// its own. Every character passes both ways unchanged, at once, unless a
// typed command or the scenario changes the UPS's next reply to a request:
// dropped, delayed, its CHKSUM or LENGTH spoiled, a value or a status byte
// changed, or the line held silent. A reply to be changed is held until its
// last character came, then sent as changed.
//
// The session is recorded in the bench's recording format (io/recording.h),
// as the host saw it, so that `vx40-bench --replay` and `vx40-ups --replay`
// take it: a round begins at each 2A/41 request; a request with no reply
// within the host's timeout has its "timeout", and a reply after it is late
// and recorded after the next request, as the bench's own recordings have it.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frame.h"
#include "scenario.h"
#include "serial.h"
#include "server.h"

namespace ups {

struct TapSetup {
    std::string host_name;  // the host's line, for messages and the recording
    std::string ups_name;   // the UPS's line
    unsigned baud = 4800;
    int timeout_ms = 2000;  // the host's reply timeout: a reply after it is late
    std::uint32_t device_id = 1;
    Json::Value settings{Json::objectValue};       // the host's settings, kept in the recording
    const emulator::Scenario* scenario = nullptr;  // its rounds change passing replies
    bool quiet = false;
};

class Tap {
public:
    Tap(int host_fd, int ups_fd, TapSetup setup, Outputs& outputs);
    // Passes characters until `stopped()` or an output fails; io::LineLost
    // when either line is gone.
    void run(const std::function<bool()>& stopped);
    // One typed command; the acknowledgement or the refusal with its reason.
    std::string command(const std::string& line);
    std::string summary() const;
    static std::string help();

private:
    // A request passed to the UPS, and what came of it.
    struct Pending {
        std::string request;
        std::uint8_t cid2 = 0;
        io::Clock::time_point sent;
        bool answered = false;
        bool timed_out = false;
    };
    // Characters for the host at a time to come (a delayed reply).
    struct Scheduled {
        io::Clock::time_point when;
        std::string bytes;
        std::string what;
    };
    // What changes the reply to 2A/<cid2> that is coming: a one-off fault,
    // a value or a status byte, the round's script.
    struct Change {
        std::optional<std::optional<emulator::WireFault>> once;  // held: a nothing is a drop
        emulator::RoundScript spoof;
        std::string spoofed;  // "inverter fault", for the records
    };

    void from_host(const char* data, std::size_t n);
    void from_ups(const char* data, std::size_t n);
    void on_request(const std::string& frame);
    void on_reply(const std::string& noise, const std::string& frame, bool held);
    // The UPS's reply as the host is to have it; `what` says how it changed.
    emulator::Answer change(const std::string& noise, const std::string& frame, std::string& what);
    bool holds_next_reply();
    void to_host(const std::string& bytes, const std::string& what, bool late);
    void check_timeout();
    void record_rx(const std::string& text, const std::string& noise, bool late);
    void record(const std::string& line) { outputs_.record(line); }
    double now_t() const;
    void trace(const std::string& what);
    void show(const std::string& line);

    int host_fd_;
    int ups_fd_;
    TapSetup setup_;
    Outputs& outputs_;
    const io::Clock::time_point start_ = io::Clock::now();
    protocol::FrameFinder host_finder_;
    protocol::FrameFinder ups_finder_;
    bool holding_ = false;  // the UPS's frame in progress is held, to be changed
    std::optional<Pending> pending_;
    std::vector<Scheduled> scheduled_;
    std::vector<std::string> deferred_;  // late "rx" events, recorded after the next "tx"
    long round_ = 0;
    std::size_t step_ = 0;
    std::time_t last_clock_ = 0;
    emulator::RoundScript script_;  // the round's, from the scenario

    mutable std::mutex mutex_;  // what the commands change, and the counts
    std::map<std::uint8_t, Change> changes_;
    io::Clock::time_point silent_until_{};
    unsigned long requests_ = 0;
    unsigned long passed_ = 0;
    unsigned long changed_ = 0;
    unsigned long timeouts_ = 0;
};

}  // namespace ups
