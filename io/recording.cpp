#include "recording.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "json_text.h"
#include "text.h"

namespace io {

namespace {

[[noreturn]] void fault(std::size_t line, const std::string& what)
{
    throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

std::string unhex(const std::string& text, std::size_t line)
{
    auto digit = [&](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        fault(line, "not hex: \"" + text + "\"");
    };
    if (text.size() % 2 != 0) fault(line, "odd hex: \"" + text + "\"");
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<char>((digit(text[i]) << 4U) | digit(text[i + 1])));
    }
    return bytes;
}

template <typename Members>
const Json::Value& need(const Members& v, const char* key, bool (Json::Value::*is)() const,
                        std::size_t line)
{
    const Json::Value& m = v[key];
    if (!(m.*is)()) fault(line, std::string("\"") + key + "\" missing or of the wrong type");
    return m;
}

}  // namespace

namespace {
constexpr unsigned kTimePlaces = 6;  // a recording's times, to the microsecond
}  // namespace

void session_event(std::string& out, std::uint32_t device_id, const Json::Value& settings,
                   const std::string& cache, std::time_t clock, const std::string& line,
                   unsigned baud, int timeout_ms)
{
    JsonLine e(out);
    e.integer("baud", baud);
    if (!cache.empty()) e.text("cache", protocol::hex_of(cache));
    e.integer("clock", static_cast<long long>(clock))
        .integer("device_id", device_id)
        .text("event", "session")
        .integer("format", 2)
        .text("line", line)
        .json("settings", settings, kTimePlaces)
        .integer("timeout_ms", timeout_ms)
        .close();
}

void clock_event(std::string& out, const char* event, long round, std::time_t clock)
{
    JsonLine(out)
        .integer("clock", static_cast<long long>(clock))
        .text("event", event)
        .integer("round", round)
        .close();
}

void frame_event(std::string& out, const char* event, double t, long round, std::size_t step,
                 const std::string& text, const Received* got)
{
    JsonLine e(out);
    if (got != nullptr) e.integer("clock", static_cast<long long>(got->clock));
    e.text("event", event);
    if (got != nullptr && got->late) e.boolean("late", true);
    if (got != nullptr && !got->noise.empty()) e.text("noise", protocol::hex_of(got->noise));
    e.integer("round", round)
        .integer("step", static_cast<long long>(step))
        .decimal("t", t, kTimePlaces);
    if (!text.empty()) e.text("text", text);
    e.close();
}

struct RecordingReader::Lines {
    explicit Lines(const std::string& path) : file(path, std::ios::binary), lines(file) {}
    std::ifstream file;
    JsonLines lines;
};

namespace {
// The members of an event line that the reader looks at.
constexpr std::string_view kEventKeys[] = {"event", "round", "clock", "t",
                                           "step",  "text",  "noise", "late"};
constexpr std::size_t kNotAKey = std::size(kEventKeys);

std::size_t slot_of(std::string_view key)
{
    for (std::size_t i = 0; i < std::size(kEventKeys); ++i) {
        if (key == kEventKeys[i]) return i;
    }
    return kNotAKey;
}
}  // namespace

// The members of an event line that the reader looks at, by name, as
// Json::Value gives them: taken from the line's JSON value, or read from the
// line directly when it is a flat object of them (no value built for it).
struct RecordingReader::Event {
    bool object = false;
    std::array<Json::Value, std::size(kEventKeys)> value;
    std::array<bool, std::size(kEventKeys)> member{};
    std::string key;

    bool isObject() const { return object; }
    bool isMember(const char* k) const { return member[slot_of(k)]; }
    const Json::Value& operator[](const char* k) const { return value[slot_of(k)]; }

    void from(const Json::Value& v)
    {
        object = v.isObject();
        for (std::size_t i = 0; i < value.size(); ++i) {
            member[i] = object && v.isMember(kEventKeys[i].data());
            value[i] = member[i] ? v[kEventKeys[i].data()] : Json::Value();
        }
    }
    // False, for JsonCpp to read the line, for anything but an object whose
    // members the quick reader reads.
    bool read(const std::string& line)
    {
        JsonCursor json(line);
        object = true;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (member[i]) value[i] = Json::Value();
            member[i] = false;
        }
        if (!json.take('{')) return false;
        if (json.take('}')) return json.end();
        do {
            if (!json.key(key)) return false;
            const std::size_t i = slot_of(key);
            if (i == kNotAKey ? !json.skip(1) : !json.value(value[i], 1)) return false;
            if (i != kNotAKey) member[i] = true;
        } while (json.take(','));
        return json.take('}') && json.end();
    }
};

bool RecordingReader::next_event(Event& e)
{
    const JsonLines::Quick quick = [&e](const std::string& text) { return e.read(text); };
    Json::Value v;
    bool taken = false;
    if (!in_->lines.next(v, &quick, &taken)) return false;
    if (!taken) e.from(v);
    return true;
}

RecordingReader::RecordingReader(const std::string& path)
    : in_(std::make_unique<Lines>(path)), event_(std::make_unique<Event>())
{
    if (!in_->file) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
    Json::Value v;
    if (!in_->lines.next(v)) fault(in_->lines.line(), "no session line: not a recording");
    const std::size_t n = in_->lines.line();
    if (!v.isObject() || !v["event"].isString() || v["event"].asString() != "session") {
        fault(n, "the session line must come first");
    }
    format_ = need(v, "format", &Json::Value::isUInt, n).asUInt();
    if (format_ != 1 && format_ != 2) {
        fault(n, "format " + v["format"].asString() + " unknown (this bench reads 1 and 2)");
    }
    head_.device_id = need(v, "device_id", &Json::Value::isUInt, n).asUInt();
    head_.settings = need(v, "settings", &Json::Value::isObject, n);
    if (v.isMember("cache")) {
        head_.cache = unhex(need(v, "cache", &Json::Value::isString, n).asString(), n);
    }
    head_.clock = static_cast<std::time_t>(need(v, "clock", &Json::Value::isInt64, n).asInt64());
    head_.line = need(v, "line", &Json::Value::isString, n).asString();
    head_.baud = need(v, "baud", &Json::Value::isUInt, n).asUInt();
    head_.timeout_ms = need(v, "timeout_ms", &Json::Value::isInt, n).asInt();
}

RecordingReader::~RecordingReader() = default;

namespace {

template <typename Event>
std::string event_of(const Event& e, std::size_t at)
{
    if (!e.isObject()) fault(at, "not a JSON object");
    return need(e, "event", &Json::Value::isString, at).asString();
}

template <typename Event>
long round_of(const Event& e, std::size_t at)
{
    return static_cast<long>(need(e, "round", &Json::Value::isInt64, at).asInt64());
}

template <typename Event>
std::time_t clock_of(const Event& e, std::size_t at)
{
    return static_cast<std::time_t>(need(e, "clock", &Json::Value::isInt64, at).asInt64());
}

}  // namespace

bool RecordingReader::next(RecordedRound& r)
{
    if (!open_round(r)) return false;
    Event& v = *event_;
    bool read_seen = false;
    while (next_event(v)) {
        const std::size_t n = in_->lines.line();
        const std::string event = event_of(v, n);
        if (event == "session") fault(n, "a second session line");
        const long at = round_of(v, n);
        if (event == "round") {
            if (!read_seen) fault(n, "round " + std::to_string(r.round) + " has no \"read\"");
            have_pending_ = true;  // the next round's event, in v
            pending_line_ = n;
            return true;
        }
        if (at != r.round || read_seen) {
            fault(n, "an event of round " + std::to_string(at) + " outside that round");
        }
        read_seen = take_event(event, n, r);
    }
    warning_ = in_->lines.warning();
    if (read_seen) return true;
    // A run that was killed or lost its disk: the whole rounds before replay.
    warning_ += std::string(warning_.empty() ? "" : "; ") + "it ends in round " +
                std::to_string(r.round) + " (from line " + std::to_string(r.line) +
                "), before its values were read: " + std::to_string(r.round - 1) +
                " whole rounds replayed";
    return false;
}

bool RecordingReader::open_round(RecordedRound& r)
{
    Event& v = *event_;
    std::size_t n = pending_line_;
    if (!have_pending_) {
        if (!next_event(v)) {
            warning_ = in_->lines.warning();
            return false;
        }
        n = in_->lines.line();
    }
    have_pending_ = false;
    const std::string event = event_of(v, n);
    if (event == "session") fault(n, "a second session line");
    if (event != "round") {
        fault(n, "an event of round " + std::to_string(round_of(v, n)) + " outside that round");
    }
    const long round = round_of(v, n);
    if (round != r.round + 1) fault(n, "round " + std::to_string(round) + " out of order");
    r.round = round;
    r.line = n;
    r.clock = clock_of(v, n);
    r.read_clock = r.clock;
    r.exchanges.clear();
    return true;
}

bool RecordingReader::take_event(const std::string& event, std::size_t n, RecordedRound& r)
{
    const Event& v = *event_;
    if (event == "read") {
        r.read_clock = clock_of(v, n);
        return true;
    }
    if (event == "tx") {
        RecordedExchange e;
        e.request = need(v, "text", &Json::Value::isString, n).asString();
        e.line = n;
        r.exchanges.push_back(std::move(e));
        return false;
    }
    if (event != "rx" && event != "timeout") fault(n, "unknown event \"" + event + "\"");
    if (r.exchanges.empty()) fault(n, event + " before any request");
    RecordedExchange& e = r.exchanges.back();
    if (e.timed_out) fault(n, event + " after the request's timeout");
    if (event == "timeout") {
        e.timed_out = true;
        return false;
    }
    Received got;
    if (v.isMember("noise")) {
        got.noise = unhex(need(v, "noise", &Json::Value::isString, n).asString(), n);
    }
    if (v.isMember("text") || got.noise.empty()) {
        got.frame = need(v, "text", &Json::Value::isString, n).asString();
    }
    got.clock = clock_of(v, n);
    if (format_ == 1) {
        // Format 1 marked no late frame: every frame but an exchange's last
        // was late.
        for (Received& before : e.reply) before.late = true;
    } else {
        got.late = v.isMember("late") && v["late"].asBool();
    }
    e.reply.push_back(std::move(got));
    return false;
}

std::unique_ptr<RecordingReader> open_recording(const std::string& path, std::string& warning)
{
    try {
        check_recording(path, warning);
        return std::make_unique<RecordingReader>(path);
    } catch (const JsonSyntax& e) {
        throw std::invalid_argument(path + ":" + e.what());
    } catch (const std::runtime_error& e) {
        throw std::invalid_argument("recording " + path + ": " + e.what());
    }
}

long check_recording(const std::string& path, std::string& warning)
{
    RecordingReader reader(path);
    RecordedRound r;
    long rounds = 0;
    while (reader.next(r)) ++rounds;
    warning = reader.warning();
    return rounds;
}

}  // namespace io
