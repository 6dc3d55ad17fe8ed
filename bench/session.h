// bench/: vx40-bench (a host of the plug-in, on the stand-in host) and
// vx40-report (the report page from saved rounds, without the stand-in host),
// built from emulator/, io/, protocol/ and vocabulary/.
//
// One bench session: the device made by the plug-in, its settings and cache,
// and the rounds driven over a line, each reported as it ends.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "frame.h"
#include "host.h"
#include "options.h"
#include "outputs.h"
#include "plugin.h"
#include "replay.h"
#include "round.h"
#include "round_source.h"
#include "scenario.h"
#include "transport.h"

namespace bench {

using emulator::RoundScript;
using emulator::Scenario;

struct SessionEnd {
    long rounds = 0;                        // rounds run
    long completed = 0;                     // rounds whose record was saved
    long timeouts = 0;                      // requests without a reply in time
    std::map<std::string, long> rejected;   // frames rejected, by the decoder's reason
    std::vector<std::uint8_t> last_record;  // the last record distributed, round 0 included
    std::string line_lost;                  // why the serial line went away, if it did
    long line_lost_round = 0;
    bool interrupted = false;  // a second signal cut the last round short
    std::string departed;      // where a replay left its recording, if it did
};

// The run's last line: rounds run and completed, timeouts, refused frames by
// reason, a lost line and where, what was written where.
std::string summary_line(const SessionEnd& end, int stop_signal, const std::string& written);

class Session {
public:
    Session(const Options& opt, const standin::Plugin& plugin, Outputs& outputs);
    // Applies the settings, puts the outputs in place and restores the cache
    // (round 0), then runs the rounds of the scenario, or until a signal or a
    // lost line ends it. With a recording, its rounds are replayed instead of
    // the scenario's. `port`: a serial port opened before the plug-in was
    // loaded, or null. `end` holds what ran, also when an exception ends it.
    void run(const Json::Value& settings, const std::string* cache_image, const Scenario& scenario,
             RecordingReader* replay, std::unique_ptr<Transport> port, SessionEnd& end);
    // run() in its parts, for devices that take their rounds in turn on one
    // line: everything before the first round, then round `n` (1, 2, ...);
    // false when the run is over (its rounds run, a stop, a lost line, a
    // replay's departure) and round `n` was not run whole.
    void start(const Json::Value& settings, const std::string* cache_image,
               const Scenario& scenario, RecordingReader* replay, std::unique_ptr<Transport> port,
               SessionEnd& end);
    bool step(long n, SessionEnd& end);

private:
    // "unit 02: " before its lines on a bus of several devices; "" for one.
    std::string label() const;
    // The device made and its settings applied, shown as `settings_from`.
    void make_device(const Json::Value& settings, const std::string& settings_from);
    // The cached record restored: round 0.
    void restore(const std::string& cache_image, SessionEnd& end);
    // The round's requests and replies; a lost line, a replay's departure
    // or a second signal ends it, noted in `end`.
    void exchange(RoundSource& source, RoundResult& r, SessionEnd& end);
    static void tally(const RoundResult& r, SessionEnd& end);
    // The round to every output: the page, the JSON line, the lines for a person.
    void write_round(RoundResult& r);
    void run_round(Transport& line, RoundResult& r);
    // Hands one reply to the device as the host's protocol layer does;
    // false when the round ends with it.
    bool deliver(RoundResult& r, Reply& reply, const char* request);
    // One event of the line: kept in the round and traced when tracing,
    // written to the recording when recording. `got` is the frame of an "rx".
    void line_event(RoundResult& r, const char* direction, const std::string& text,
                    const std::string& verdict, const Received* got = nullptr);
    // One event line written to the recording, when recording: `write`
    // appends it to the line's buffer.
    template <typename Write>
    void record(Write write);

    const Options& opt_;
    const standin::Plugin& plugin_;
    Outputs& outputs_;
    standin::Host host_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> capture_;  // the plug-in's output, per round
    std::string json_text_;      // the round's JSON line, its buffer kept
    std::string event_text_;     // a recording's event line, its buffer kept
    std::string shown_;          // the round's lines for a person, its buffer kept
    RoundResult round_;          // the round in progress, its buffers kept
    std::string request_;        // the request frame on the line, its buffer kept
    protocol::Decoded decoded_;  // the reply decoded, its buffer kept
    std::unique_ptr<PMBusProtocol> dev_;
    std::unique_ptr<RoundSource> source_;
    long rounds_ = 0;
    bool colour_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    bool replaying_ = false;
};

}  // namespace bench
