// A session recorded as JSON Lines, and played back in place of a line.
//
// The first line describes the session; one line follows per event:
//   {"event":"session","format":2,"device_id":1,"settings":{..},"cache":"<hex>",
//    "clock":1796810400,"line":"emulator in process","baud":4800,"timeout_ms":2000}
//   {"event":"round","round":1,"clock":1796810400}      clock: the local time, seconds
//   {"event":"tx","t":0.0012,"round":1,"step":1,"text":"~21012A410000FDA4\r"}
//   {"event":"rx","t":0.0019,"round":1,"step":1,"text":"~...\r","noise":"<hex>",
//    "clock":1796810400,"late":true}
//   {"event":"timeout","t":2.0031,"round":4,"step":4}
//   {"event":"read","round":1,"clock":1796810400}       when the round's values were read
// "cache" and "noise" appear only when there is one; an "rx" of noise alone
// (characters that never became a frame) has no "text"; "late" marks a frame
// owed to an earlier request that timed out. Format 1 (still read) had no
// "late": every frame but an exchange's last was late. t: seconds since the
// session began, monotonic. clock: the local time in seconds since the epoch,
// what the plug-in's time stamps and staleness are made of.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "serial.h"

namespace io {

struct RecordedExchange {
    std::string request;
    std::vector<Received> reply;  // what came, in order
    bool timed_out = false;       // the request's timeout fell (a late reply comes with the next)
    std::size_t line = 0;         // of its "tx", for messages
};

struct RecordedRound {
    long round = 0;
    std::time_t clock = 0;       // at the round's start
    std::time_t read_clock = 0;  // when its values were read
    std::vector<RecordedExchange> exchanges;
    std::size_t line = 0;  // of its "round" event
};

// The session line: what the recorded session began with.
struct Recording {
    std::uint32_t device_id = 0;
    Json::Value settings;
    std::string cache;      // the restored record's bytes, if the session had one
    std::time_t clock = 0;  // when the session began
    std::string line;
    unsigned baud = 0;
    int timeout_ms = 0;
};

// Reads a recording as it goes: the session line at once, then one whole
// round at a time, so that memory does not grow with the recording. Faults
// throw std::runtime_error naming the line (JsonSyntax: "LINE:COLUMN: reason").
class RecordingReader {
public:
    // Opens the file and reads its session line.
    explicit RecordingReader(const std::string& path);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;
    RecordingReader(RecordingReader&&) = delete;
    RecordingReader& operator=(RecordingReader&&) = delete;
    const Recording& session() const { return head_; }
    // The next whole round; false at the end. A torn last line or a last
    // round cut short (a killed run) ends the rounds: warning() says where.
    bool next(RecordedRound& round);
    const std::string& warning() const { return warning_; }

private:
    struct Lines;
    struct Event;
    // The next event line, false at the end.
    bool next_event(Event& e);
    // The round's "round" event read (or the one read ahead): false at the end.
    bool open_round(RecordedRound& r);
    // One event within the round; true for its "read".
    bool take_event(const std::string& event, std::size_t n, RecordedRound& r);

    std::unique_ptr<Lines> in_;
    Recording head_;
    unsigned format_ = 0;
    std::unique_ptr<Event> event_;  // the line in hand, kept from line to line
    bool have_pending_ = false;     // it is the next round's "round" event, read ahead
    std::size_t pending_line_ = 0;
    std::string warning_;
};

// Reads the whole recording once, keeping nothing: its faults (exit 2) are
// found before a run starts. Returns its whole rounds and the warning.
long check_recording(const std::string& path, std::string& warning);

// A recording checked through, then opened to be read as it goes. Its fault
// as one line: "FILE:LINE:COLUMN: reason" for JSON that does not parse,
// "recording FILE: line N: reason" for the rest (std::invalid_argument).
// `warning` says what a killed run left out ("" for nothing).
std::unique_ptr<RecordingReader> open_recording(const std::string& path, std::string& warning);

// The JSON lines of a recording, one per call, each appended to `out`
// (without its newline) by the tools' one line writer; times to the
// microsecond.
void session_event(std::string& out, std::uint32_t device_id, const Json::Value& settings,
                   const std::string& cache, std::time_t clock, const std::string& line,
                   unsigned baud, int timeout_ms);
void clock_event(std::string& out, const char* event, long round, std::time_t clock);
// A "tx", "rx" or "timeout" event; `got` only for "rx".
void frame_event(std::string& out, const char* event, double t, long round, std::size_t step,
                 const std::string& text, const Received* got);

}  // namespace io
