#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <thread>

#include <json/writer.h>

#include "frame.h"
#include "host.h"
#include "stop.h"
#include "text.h"

namespace bench {

namespace {

using standin::Service;

// Standard output of the plug-in, caught per round so it never mixes with
// the bench's own output. One file serves every round: emptied as a capture
// begins.
class CapturedStdout {
public:
    explicit CapturedStdout(std::FILE* file) : file_(file)
    {
        std::fflush(stdout);
        std::rewind(file_);
        if (ftruncate(fileno(file_), 0) != 0) {
            throw std::runtime_error(std::string("cannot empty the capture file: ") +
                                     std::strerror(errno));
        }
        saved_ = dup(STDOUT_FILENO);
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~CapturedStdout()
    {
        if (saved_ >= 0) finish();
    }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;
    CapturedStdout(CapturedStdout&&) = delete;
    CapturedStdout& operator=(CapturedStdout&&) = delete;
    // Ends the capture; the lines the plug-in printed go to `lines`.
    void finish(std::vector<std::string>& lines)
    {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        std::rewind(file_);
        lines.clear();
        char buf[4096];
        bool open_line = false;  // the last line has no newline yet
        std::size_t got = 0;
        while ((got = std::fread(buf, 1, sizeof buf, file_)) > 0) {
            for (std::size_t at = 0; at < got;) {
                const void* nl = std::memchr(buf + at, '\n', got - at);
                const std::size_t end =
                    nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - buf)
                                  : got;
                if (!open_line) lines.emplace_back();
                lines.back().append(buf + at, end - at);
                open_line = nl == nullptr;
                at = end + (nl != nullptr ? 1 : 0);
            }
        }
    }
    void finish()
    {
        std::vector<std::string> lines;
        finish(lines);
    }

private:
    std::FILE* file_;
    int saved_ = -1;
};

// The local time as "YYYY-MM-DD hh:mm:ss", read as the plug-in reads it
// (through time()); made again only when the second has changed.
const std::string& clock_text()
{
    static std::time_t shown = -1;
    static std::string text;
    const std::time_t now = std::time(nullptr);
    if (now == shown && !text.empty()) return text;
    std::tm t{};
    if (localtime_r(&now, &t) == nullptr)
        throw std::runtime_error("the local time is out of range");
    // Written digit by digit: this runs every round.
    const auto digits = [](char* at, int value, int n) {
        for (int i = n - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
    };
    const int year = t.tm_year + 1900;
    if (year < 0 || year > 9999) throw std::runtime_error("the local time is out of range");
    char buf[] = "YYYY-MM-DD hh:mm:ss";
    digits(buf, year, 4);
    digits(buf + 5, t.tm_mon + 1, 2);
    digits(buf + 8, t.tm_mday, 2);
    digits(buf + 11, t.tm_hour, 2);
    digits(buf + 14, t.tm_min, 2);
    digits(buf + 17, t.tm_sec, 2);
    text.assign(buf, sizeof buf - 1);
    shown = now;
    return text;
}

// Collects what the host saw during the round just run: the alarms copied
// (over the round's own from the round before, their buffers reused), the
// record taken: the host's list is cleared before the next round.
void collect(standin::Host& host, RoundResult& r)
{
    standin::Call* sent = nullptr;
    for (standin::Call& c : host.calls) {
        if (c.service == Service::SendSP) {
            sent = &c;
        } else if (c.service == Service::CheckThresholdBool) {
            AlarmReport& a = r.alarms.add();
            a.signal = c.text[0];
            a.nm = c.text[1];
            a.text = c.text[2];
            a.active = c.flag;
            a.seq = c.seq;
        }
    }
    if (sent != nullptr) r.record.swap(sent->bytes);
    r.completed = host.count(Service::SaveDeviceHistory) > 0;
}

void read_values(const PMBusProtocol& dev, RoundResult& r)
{
    // The names as the plug-in takes them, made once.
    static const std::vector<std::string> kNames(std::begin(kValueNames), std::end(kValueNames));
    r.values.resize(kNames.size());
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        ValueRead& v = r.values[i];
        v.name = kValueNames[i];
        try {
            v.num = dev.Get_Value(0, kNames[i]);
            v.ok = true;
            assign_shortest(v.text, v.num);
        } catch (const std::out_of_range& e) {
            v.ok = false;
            v.num = 0.0F;
            v.text = e.what();
            v.code = refusal_code(v.text);
        }
    }
}

}  // namespace

Session::Session(const Options& opt, const standin::Plugin& plugin, Outputs& outputs)
    : opt_(opt), plugin_(plugin), outputs_(outputs), capture_(std::tmpfile(), &std::fclose)
{
    if (capture_ == nullptr) {
        throw std::runtime_error(std::string("cannot make a temporary file: ") +
                                 std::strerror(errno));
    }
    const char* no_colour = std::getenv("NO_COLOR");
    colour_ = !outputs_.json_on_stdout() && isatty(STDOUT_FILENO) != 0 &&
              (no_colour == nullptr || *no_colour == '\0');
}

void Session::write_round(RoundResult& r)
{
    r.clock = clock_text();
    read_values(*dev_, r);
    if (host_.count(Service::SaveDeviceHistory) > 0) {
        for (const standin::Call& c : host_.calls) {
            if (c.service == Service::SaveDeviceHistory) outputs_.history(c.bytes);
        }
    }
    if (outputs_.has_page()) outputs_.page_round(r);
    if (outputs_.has_json()) {
        json_text_.clear();
        write_json(json_text_, r);
        outputs_.json_line(json_text_);
    }
    if (!outputs_.json_on_stdout()) {
        shown_ = label();
        show(shown_, r, colour_, opt_.quiet);
        std::cout.write(shown_.data(), static_cast<std::streamsize>(shown_.size()));
    }
}

template <typename Write>
void Session::record(Write write)
{
    if (!outputs_.recording()) return;
    write(event_text_);
    outputs_.record_line(event_text_);
    event_text_.clear();
}

void Session::line_event(RoundResult& r, const char* direction, const std::string& text,
                         const std::string& verdict, const Received* got)
{
    if (!outputs_.recording() && !outputs_.tracing()) return;
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::size_t step = r.requests.size();
    // Noise is recorded with its frame, or alone (an "rx" without a frame).
    if (std::strcmp(direction, "noise") != 0) {
        record([&](std::string& out) {
            io::frame_event(out, direction, t, r.round, step, text, got);
        });
    } else if (got != nullptr) {
        record([&](std::string& out) { io::frame_event(out, "rx", t, r.round, step, "", got); });
    }
    if (!outputs_.tracing()) return;
    FrameEvent e;
    e.seconds = t;
    e.direction = direction;
    e.text = text;
    e.verdict = verdict;
    e.round = r.round;
    e.step = step;
    outputs_.trace_line(trace_line(e));
    r.frames.push_back(std::move(e));
}

bool Session::deliver(RoundResult& r, Reply& reply, const char* request)
{
    for (Received& got : reply) {
        if (replaying_) {
            standin::set_clock(got.clock);  // the clock as it was when the frame came
        } else {
            got.clock = standin::clock_now();
        }
        if (got.frame.empty()) {
            // Characters that never became a frame: shown and kept, nothing decoded.
            line_event(r, "noise", got.noise, "skipped", &got);
            continue;
        }
        if (!got.noise.empty()) line_event(r, "noise", got.noise, "skipped");
        protocol::Decoded& decoded = decoded_;
        const auto refusal = protocol::decode_frame(
            got.frame.data(), got.frame.size(), dev_->protocol_version_, dev_->address_, decoded);
        std::string verdict =
            refusal == protocol::Refusal::None ? "accepted" : protocol::refusal_text(refusal);
        if (refusal == protocol::Refusal::None && decoded.bytes[3] != 0) {
            char rtn[40];
            std::snprintf(rtn, sizeof rtn, "RTN %02X (error return)", decoded.bytes[3]);
            verdict = rtn;
        }
        // A frame owed to an earlier request that timed out.
        if (got.late) verdict = "late reply";
        line_event(r, "rx", got.frame, verdict, &got);
        if (verdict != "accepted") {
            r.rejected.push_back(verdict);
            dev_->process_error();
            if (got.late) continue;
            return false;
        }
        dev_->process(decoded.bytes.data(), static_cast<unsigned>(decoded.bytes.size()));
        return true;
    }
    line_event(r, "timeout", "", std::to_string(opt_.timeout_ms) + " ms");
    r.missing.emplace_back(request);
    dev_->process_error();
    return false;
}

void Session::run_round(Transport& line, RoundResult& r)
{
    host_.clear();
    CapturedStdout capture(capture_.get());
    try {
        dev_->RefreshStatus();
        std::size_t answered = 0;
        while (!io::stopping()) {
            const std::size_t requests = host_.count(Service::WritePmbusCmd);
            if (requests == answered) break;  // no new request: the round is over
            const auto last =
                std::find_if(host_.calls.rbegin(), host_.calls.rend(),
                             [](const auto& c) { return c.service == Service::WritePmbusCmd; });
            const auto cid1 = static_cast<std::uint8_t>(last->number);
            const auto cid2 = static_cast<std::uint8_t>(last->number2);
            answered = requests;
            constexpr const char* kDigits = protocol::kHexUpper;
            const char name[5] = {kDigits[cid1 >> 4U], kDigits[cid1 & 0xFU], kDigits[cid2 >> 4U],
                                  kDigits[cid2 & 0xFU], '\0'};
            r.requests.emplace_back(name);
            protocol::encode_frame_cut(request_, dev_->protocol_version_, dev_->address_, cid1,
                                       cid2, nullptr, 0, 0);
            line_event(r, "tx", request_, "");
            Reply reply = line.exchange(request_);
            if (!deliver(r, reply, name)) break;
        }
    } catch (...) {
        capture.finish(r.log);
        collect(host_, r);
        throw;
    }
    capture.finish(r.log);
    collect(host_, r);
}

std::string summary_line(const SessionEnd& end, int stop_signal, const std::string& written)
{
    long refused = 0;
    std::string reasons;
    for (const auto& [why, count] : end.rejected) {
        refused += count;
        reasons += (reasons.empty() ? "" : ", ") + why + " x" + std::to_string(count);
    }
    std::string s = "vx40-bench: " + std::to_string(end.rounds) + " rounds, " +
                    std::to_string(end.completed) + " completed, " + std::to_string(end.timeouts) +
                    " timeouts, " + std::to_string(refused) + " frames refused" +
                    (reasons.empty() ? "" : " (" + reasons + ")");
    if (stop_signal != 0) s += " (stopped by a signal)";
    if (!end.line_lost.empty()) {
        s += "; the line was lost in round " + std::to_string(end.line_lost_round) + ": " +
             end.line_lost;
    }
    if (!end.departed.empty()) s += "; the replay left its recording: " + end.departed;
    return s + (written.empty() ? "" : "; " + written) + '\n';
}

void Session::run(const Json::Value& settings, const std::string* cache_image,
                  const Scenario& scenario, RecordingReader* replay,
                  std::unique_ptr<Transport> port, SessionEnd& end)
{
    start(settings, cache_image, scenario, replay, std::move(port), end);
    for (long n = 1; step(n, end); ++n) {
    }
}

void Session::start(const Json::Value& settings, const std::string* cache_image,
                    const Scenario& scenario, RecordingReader* replay,
                    std::unique_ptr<Transport> port, SessionEnd& end)
{
    const standin::ScopedHost bind(host_);
    // The virtual clock starts from the real local time, or from the recording's.
    standin::set_clock(replay != nullptr ? replay->session().clock : standin::clock_now());
    make_device(settings, replay != nullptr ? opt_.replay : opt_.settings);
    // On a bus the host gives each device its address.
    if (opt_.address) dev_->address_ = *opt_.address;
    LineOptions line;
    line.baud = opt_.baud != 0 ? opt_.baud : dev_->baud_rate_;
    line.timeout_ms = opt_.timeout_ms;
    line.line_rate = opt_.line_rate;
    if (replay != nullptr) {
        source_ = std::make_unique<ReplaySource>(*replay);
    } else {
        source_ = scripted_source(opt_, scenario, dev_->protocol_version_, dev_->address_, line,
                                  std::move(port));
    }
    replaying_ = source_->replaying();
    // What is driven, from what, over what: the start line.
    (outputs_.json_on_stdout() ? std::cerr : std::cout)
        << label() << "line: " << source_->line().where()
        << (replay == nullptr && (opt_.pty || !opt_.port.empty())
                ? " (" + std::to_string(line.baud) + " baud 8N1" + (opt_.echo ? ", echo" : "") + ")"
                : std::string())
        << "; plug-in " << opt_.plugin << "; settings "
        << (replay != nullptr ? "from the recording " + opt_.replay : opt_.settings) << '\n';
    // Everything that could fail before the first round has passed: only now
    // does anything at an output's path change.
    outputs_.start();
    record([&](std::string& out) {
        io::session_event(
            out, opt_.device_id, settings, cache_image != nullptr ? *cache_image : std::string(),
            standin::clock_now(), source_->recorded_line(), line.baud, opt_.timeout_ms);
    });
    if (cache_image != nullptr) restore(*cache_image, end);
    // A replay runs to the recording's end, or its first --rounds.
    rounds_ = opt_.rounds >= 0 ? opt_.rounds : source_->rounds();
}

bool Session::step(long n, SessionEnd& end)
{
    if (n > rounds_ || io::stopping()) return false;
    const standin::ScopedHost bind(host_);
    if (!source_->begin(n)) return false;
    record([&](std::string& out) { io::clock_event(out, "round", n, standin::clock_now()); });
    RoundResult& r = round_;
    r.reset(n);
    exchange(*source_, r, end);
    // The round's time passes before its values are read.
    source_->end(!end.line_lost.empty());
    if (!end.interrupted) {
        record([&](std::string& out) { io::clock_event(out, "read", n, standin::clock_now()); });
    }
    tally(r, end);
    write_round(r);
    return end.line_lost.empty() && end.departed.empty() && !end.interrupted;
}

std::string Session::label() const
{
    return opt_.label.empty() ? "" : opt_.label + ": ";
}

void Session::make_device(const Json::Value& settings, const std::string& settings_from)
{
    dev_ = plugin_.create_device();
    dev_->data_id_ = opt_.device_id;
    CapturedStdout capture(capture_.get());
    dev_->InitSetting(settings);
    std::vector<std::string> lines;
    capture.finish(lines);
    if (!outputs_.json_on_stdout()) {
        std::cout << label() << "settings " << settings_from << '\n';
        if (!opt_.quiet) {
            for (const auto& l : lines) std::cout << "  | " << l << '\n';
        }
    }
}

void Session::restore(const std::string& cache_image, SessionEnd& end)
{
    host_.clear();
    RoundResult r;
    CapturedStdout capture(capture_.get());
    dev_->LoadFromCache(cache_image);
    capture.finish(r.log);
    collect(host_, r);
    if (!r.record.empty()) end.last_record = r.record;
    write_round(r);
}

void Session::exchange(RoundSource& source, RoundResult& r, SessionEnd& end)
{
    try {
        run_round(source.line(), r);
        if (!io::stopping()) source.exchanged();
    } catch (const LineLost& e) {
        end.line_lost = e.what();
        end.line_lost_round = r.round;
        r.line_lost = e.what();
    } catch (const ReplayDeparted& e) {
        end.departed = e.what();
    } catch (const Interrupted&) {
        // A second signal cut the round short: its values are not read
        // into the recording, which then ends with the rounds before it.
        end.interrupted = true;
    }
}

void Session::tally(const RoundResult& r, SessionEnd& end)
{
    for (const auto& why : r.rejected) ++end.rejected[why];
    end.timeouts += static_cast<long>(r.missing.size());
    end.rounds = r.round;
    if (r.completed) ++end.completed;
    if (!r.record.empty()) end.last_record = r.record;
}

}  // namespace bench
