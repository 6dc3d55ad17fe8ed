#include "session.h"

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <thread>

#include <json/writer.h>

#include "frame.h"
#include "host.h"

namespace bench {

volatile std::sig_atomic_t g_stop_signal = 0;

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
    std::vector<std::string> finish()
    {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        std::rewind(file_);
        std::vector<std::string> lines;
        std::string line;
        int c = 0;
        while ((c = std::fgetc(file_)) != EOF) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line.push_back(static_cast<char>(c));
            }
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }

private:
    std::FILE* file_;
    int saved_ = -1;
};

std::string clock_text()
{
    const auto t = boost::posix_time::second_clock::local_time();
    const auto d = t.date();
    const auto tod = t.time_of_day();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(d.year()),
                  static_cast<int>(d.month()), static_cast<int>(d.day()),
                  static_cast<int>(tod.hours()), static_cast<int>(tod.minutes()),
                  static_cast<int>(tod.seconds()));
    return buf;
}

// Collects what the host saw during the round just run; the calls are taken
// (moved), not copied: the host's list is cleared before the next round.
void collect(standin::Host& host, RoundResult& r)
{
    standin::Call* sent = nullptr;
    for (standin::Call& c : host.calls) {
        if (c.service == Service::CheckThresholdBool) r.alarms.push_back(std::move(c));
        if (c.service == Service::SendSP) sent = &c;
    }
    if (sent != nullptr) r.record = std::move(sent->bytes);
    r.completed = host.count(Service::SaveDeviceHistory) > 0;
}

void read_values(const PMBusProtocol& dev, RoundResult& r)
{
    for (const char* name : kValueNames) {
        try {
            const float v = dev.Get_Value(0, name);
            r.values.emplace_back(name, shortest(v));
            r.value_ok.push_back(true);
            r.value_num.push_back(v);
        } catch (const std::out_of_range& e) {
            r.values.emplace_back(name, e.what());
            r.value_ok.push_back(false);
            r.value_num.push_back(0.0F);
        }
    }
}

// Waits `seconds` of real time, in short steps, so that a signal ends it.
void wait_seconds(long seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (g_stop_signal == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
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

void Session::report(RoundResult& r)
{
    r.clock = clock_text();
    read_values(*dev_, r);
    for (const auto* c : host_.of(Service::SaveDeviceHistory)) outputs_.history(c->bytes);
    if (outputs_.has_page()) outputs_.page_round(to_json(r));
    if (outputs_.has_json()) {
        json_text_.clear();
        write_json(json_text_, r);
        outputs_.json_line(json_text_);
    }
    if (!outputs_.json_on_stdout()) show(std::cout, r, colour_, opt_.quiet);
}

void Session::record(const Json::Value& event)
{
    if (!outputs_.recording()) return;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["precisionType"] = "decimal";  // times to the microsecond
    writer["precision"] = 6;
    outputs_.record_line(Json::writeString(writer, event));
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
        record(io::frame_event(direction, t, r.round, step, text, got));
    } else if (got != nullptr) {
        record(io::frame_event("rx", t, r.round, step, "", got));
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
        standin::Decoded decoded;
        const auto refusal = standin::decode_frame(
            got.frame.data(), got.frame.size(), dev_->protocol_version_, dev_->address_, decoded);
        std::string verdict =
            refusal == standin::Refusal::None ? "accepted" : standin::refusal_text(refusal);
        if (refusal == standin::Refusal::None && decoded.bytes[3] != 0) {
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
        while (g_stop_signal == 0) {
            const auto requests = host_.of(Service::WritePmbusCmd);
            if (requests.size() == answered) break;  // no new request: the round is over
            const auto cid1 = static_cast<std::uint8_t>(requests.back()->number);
            const auto cid2 = static_cast<std::uint8_t>(requests.back()->number2);
            answered = requests.size();
            char name[8];
            std::snprintf(name, sizeof name, "%02X%02X", cid1, cid2);
            r.requests.emplace_back(name);
            const std::string request =
                standin::encode_frame(dev_->protocol_version_, dev_->address_, cid1, cid2, {});
            line_event(r, "tx", request, "");
            Reply reply = line.exchange(request);
            if (!deliver(r, reply, name)) break;
        }
    } catch (...) {
        r.log = capture.finish();
        collect(host_, r);
        throw;
    }
    r.log = capture.finish();
    collect(host_, r);
}

std::string summary_line(const SessionEnd& end, int stop_signal, const std::string& written)
{
    long refused = 0;
    std::string reasons;
    for (const auto& [why, count] : end.refused) {
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
    replaying_ = replay != nullptr;
    const standin::ScopedHost bind(host_);
    // The virtual clock starts from the real local time, or from the recording's.
    standin::set_clock(replay != nullptr ? replay->session().clock : standin::clock_now());
    dev_ = plugin_.create_device();
    dev_->data_id_ = opt_.device_id;
    {
        CapturedStdout capture(capture_.get());
        dev_->InitSetting(settings);
        const auto lines = capture.finish();
        if (!outputs_.json_on_stdout()) {
            std::cout << "settings " << (replay != nullptr ? opt_.replay : opt_.settings) << '\n';
            if (!opt_.quiet) {
                for (const auto& l : lines) std::cout << "  | " << l << '\n';
            }
        }
    }

    LineUps ups(scenario.ups, dev_->protocol_version_, dev_->address_);
    LineOptions line_options;
    line_options.baud = opt_.baud != 0 ? opt_.baud : dev_->baud_rate_;
    line_options.timeout_ms = opt_.timeout_ms;
    line_options.line_rate = opt_.line_rate;
    std::unique_ptr<Transport> line;
    Replay* replayer = nullptr;
    const bool real_clock = replay == nullptr && (opt_.realtime || !opt_.port.empty());
    if (real_clock) standin::use_real_clock();
    if (replay != nullptr) {
        auto r = std::make_unique<Replay>(replay->session().line);
        replayer = r.get();
        line = std::move(r);
    } else if (port != nullptr) {
        // Opened at the command line's baud or the default; the device's own
        // setting applies when no --baud was given.
        if (opt_.baud == 0) port->set_baud(line_options.baud);
        line = std::move(port);
    } else if (opt_.pty) {
        line = over_pty(ups, line_options);
    } else {
        line = in_process(ups);
    }
    if (!outputs_.json_on_stdout()) std::cout << "line: " << line->where() << '\n';
    // Everything that could fail before the first round has passed: only now
    // does anything at an output's path change.
    outputs_.start();
    record(io::session_event(
        opt_.device_id, settings, cache_image != nullptr ? *cache_image : std::string(),
        standin::clock_now(), replay != nullptr ? replay->session().line : line->where(),
        line_options.baud, opt_.timeout_ms));

    if (cache_image != nullptr) {
        host_.clear();
        RoundResult r;
        CapturedStdout capture(capture_.get());
        dev_->LoadFromCache(*cache_image);
        r.log = capture.finish();
        collect(host_, r);
        if (!r.record.empty()) end.last_record = r.record;
        report(r);
    }

    // A replay runs to the recording's end, or its first --rounds.
    long rounds = replay != nullptr ? std::numeric_limits<long>::max()
                                    : static_cast<long>(scenario.rounds.size());
    if (opt_.rounds >= 0) rounds = opt_.rounds;
    RecordedRound recorded;  // the replayed round: one at a time
    for (long n = 1; n <= rounds && g_stop_signal == 0; ++n) {
        const auto i = static_cast<std::size_t>(n - 1);
        const RoundScript script =
            i < scenario.rounds.size() && replay == nullptr ? scenario.rounds[i] : RoundScript{};
        if (replay != nullptr) {
            if (!replay->next(recorded)) break;
            standin::set_clock(recorded.clock);
            replayer->begin_round(recorded);
        } else if (n > 1 && !real_clock) {
            standin::advance_clock(opt_.interval);
        } else if (n > 1) {
            wait_seconds(opt_.interval);
            if (g_stop_signal != 0) break;
        }
        if (outputs_.recording()) record(io::clock_event("round", n, standin::clock_now()));
        RoundResult r;
        r.round = n;
        ups.begin_round(script);
        try {
            run_round(*line, r);
            if (replayer != nullptr && g_stop_signal == 0) replayer->end_round();
        } catch (const LineLost& e) {
            end.line_lost = e.what();
            end.line_lost_round = n;
            r.line_lost = e.what();
        } catch (const ReplayDeparted& e) {
            end.departed = e.what();
        } catch (const Interrupted&) {
            // A second signal cut the round short: its values are not read
            // into the recording, which then ends with the rounds before it.
            end.interrupted = true;
        }
        // The round's "advance" passes before its values are read.
        if (replay != nullptr) {
            standin::set_clock(recorded.read_clock);
        } else if (!real_clock) {
            standin::advance_clock(script.advance);
        } else if (script.advance > 0 && end.line_lost.empty()) {
            wait_seconds(script.advance);
        }
        if (!end.interrupted && outputs_.recording()) {
            record(io::clock_event("read", n, standin::clock_now()));
        }
        for (const auto& why : r.rejected) ++end.refused[why];
        end.timeouts += static_cast<long>(r.missing.size());
        end.rounds = n;
        if (r.completed) ++end.completed;
        if (!r.record.empty()) end.last_record = r.record;
        report(r);
        if (!end.line_lost.empty() || !end.departed.empty() || end.interrupted) break;
    }
}

}  // namespace bench
