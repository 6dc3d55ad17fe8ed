#include "server.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include <json/writer.h>

#include "frame.h"
#include "number.h"
#include "text.h"

namespace ups {

namespace {

constexpr const char* kHelp =
    "commands:\n"
    "  set NAME VALUE     a value or a status byte now (set input_v_ab 180, set inverter fault)\n"
    "  drop CID           the next 2A/CID reply is not sent (41, 43, 44 or 46)\n"
    "  fault CID KIND     the next 2A/CID reply goes wrong: chksum, lchksum, late, rtn=N,\n"
    "                     noise=TEXT, adr=N or chunk=N\n"
    "  silent SECONDS     no answer at all for that long\n"
    "  status             requests served, faults sent, the round, values and alarm states\n"
    "  help";

// "41" .. "46": the CID2 of a request this UPS knows; 0 for anything else.
std::uint8_t known_cid(const std::string& word)
{
    for (const int cid : {0x41, 0x43, 0x44, 0x46}) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", cid);
        if (word == text) return static_cast<std::uint8_t>(cid);
    }
    return 0;
}

std::optional<long long> whole(const std::string& word, long long lo, long long hi)
{
    return io::whole_number(word, lo, hi, 0);
}

// "chksum", "rtn=2", ...: the fault, or a refusal's reason in `why`.
std::optional<emulator::WireFault> fault_of(const std::string& kind, std::string& why)
{
    emulator::WireFault f;
    const auto eq = kind.find('=');
    const std::string name = kind.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : kind.substr(eq + 1);
    if (name == "chksum" && eq == std::string::npos) {
        f.bad_chksum = true;
    } else if (name == "lchksum" && eq == std::string::npos) {
        f.bad_lchksum = true;
    } else if (name == "late" && eq == std::string::npos) {
        f.late = true;
    } else if (name == "noise" && !value.empty()) {
        f.noise = value;
    } else if (name == "rtn" && whole(value, 1, 255)) {
        f.rtn = static_cast<std::uint8_t>(*whole(value, 1, 255));
    } else if (name == "adr" && whole(value, 0, 255)) {
        f.adr = static_cast<std::uint8_t>(*whole(value, 0, 255));
    } else if (name == "chunk" && whole(value, 1, 4096)) {
        f.chunk = static_cast<std::size_t>(*whole(value, 1, 4096));
    } else {
        why = "\"" + kind +
              "\" is not a fault (chksum, lchksum, late, rtn=1..255, noise=TEXT, adr=0..255, "
              "chunk=1..4096)";
        return std::nullopt;
    }
    return f;
}

}  // namespace

Outputs::Outputs(const std::string& trace, bool trace_on_stderr, const std::string& json)
    : trace_(trace_on_stderr ? io::OutputFile("-", io::OutputFile::Kind::Stream, STDERR_FILENO)
             : trace.empty() ? io::OutputFile()
                             : io::OutputFile(trace, io::OutputFile::Kind::Stream)),
      json_(json.empty() ? io::OutputFile() : io::OutputFile(json, io::OutputFile::Kind::Stream))
{
    // Serving begins at once: the files go in place now.
    if (trace_.on()) trace_.start();
    if (json_.on()) json_.start();
}

std::string Outputs::finish()
{
    std::string done;
    if (trace_.on()) {
        trace_.close();
        done += "; " + std::to_string(trace_.writes()) + " trace lines in " + trace_.name();
    }
    if (json_.on()) {
        json_.close();
        done += "; " + std::to_string(json_.writes()) + " JSON lines in " + json_.path();
    }
    return done;
}

Server::Server(emulator::LineUps& ups, const emulator::Scenario& scenario, Replayer* replay,
               Outputs& outputs, bool quiet)
    : ups_(ups), scenario_(scenario), replay_(replay), outputs_(outputs), quiet_(quiet)
{
    ups_.feed_rounds(&scenario_.rounds);
}

void Server::show(const std::string& line)
{
    if (!quiet_) std::cout << (line + '\n') << std::flush;  // whole, beside the command thread
}

emulator::Answer Server::answer(const io::Received& request)
{
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    emulator::Answer a;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
        const bool silent = std::chrono::steady_clock::now() < silent_until_;
        if (silent) {
            a.note = "silent";
        } else if (replay_ != nullptr) {
            a = replay_->answer(request.frame);
        } else {
            a = ups_.answer(request.frame);
        }
        if (!a.for_it) {
            ++ignored_;
        } else if (!a.now.empty() || !a.late.empty()) {
            ++answered_;
        }
        // A note on an answer for it, other than silence, is a fault sent.
        if (a.for_it && !silent && !a.note.empty()) ++faults_;
        round_ = a.round != 0 ? a.round : round_;
    }
    const std::string reply = a.now.empty() ? a.late : a.now;
    char head[48];
    std::snprintf(head, sizeof head, "%10.6f round %zu ", t, round_);
    if (outputs_.tracing()) {
        if (!request.noise.empty())
            outputs_.trace(head + ("<- noise " + protocol::printable(request.noise)));
        outputs_.trace(head + ("<- " + protocol::printable(request.frame)));
        outputs_.trace(head +
                       (reply.empty() ? "-- no answer" : "-> " + protocol::printable(reply)) +
                       (a.late.empty() ? "" : " (late)") + (a.note.empty() ? "" : "  " + a.note));
    }
    if (outputs_.has_json()) {
        Json::Value j(Json::objectValue);
        j["t"] = t;
        j["round"] = static_cast<Json::UInt64>(round_);
        j["request"] = request.frame;
        if (!request.noise.empty()) j["noise"] = request.noise;
        j["reply"] = reply;
        if (!a.late.empty()) j["late"] = true;
        if (!a.note.empty()) j["note"] = a.note;
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        outputs_.json(Json::writeString(writer, j));
    }
    const std::string request_name =
        request.frame.size() > 9 ? request.frame.substr(5, 4) : protocol::printable(request.frame);
    show("round " + std::to_string(round_) + "  " + request_name + "  " +
         (reply.empty() ? "no answer" : "answered") + (a.late.empty() ? "" : " late") +
         (a.note.empty() ? "" : " (" + a.note + ")"));
    return a;
}

std::string Server::command(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "";
    const std::string& verb = w[0];
    if (verb == "help" && w.size() == 1) return kHelp;
    if (verb == "status" && w.size() == 1) return status();
    if (replay_ != nullptr && (verb == "set" || verb == "drop" || verb == "fault")) {
        return "refused: serving a recording, which these do not change";
    }
    if (verb == "set" && w.size() == 3) {
        try {
            ups_.set(emulator::named_change(w[1], w[2]));
        } catch (const std::exception& e) {
            return std::string("refused: ") + e.what() + "; names: " + emulator::known_names();
        }
        return "ok: " + w[1] + " " + w[2];
    }
    if ((verb == "drop" && w.size() == 2) || (verb == "fault" && w.size() == 3)) {
        const std::uint8_t cid = known_cid(w[1]);
        if (cid == 0) return "refused: \"" + w[1] + "\" is not 41, 43, 44 or 46";
        if (verb == "drop") {
            ups_.once(cid, std::nullopt);
            return "ok: the next 2A/" + w[1] + " reply is dropped";
        }
        std::string why;
        const auto f = fault_of(w[2], why);
        if (!f) return "refused: " + why;
        ups_.once(cid, f);
        return "ok: the next 2A/" + w[1] + " reply goes wrong: " + w[2];
    }
    if (verb == "silent" && w.size() == 2) {
        const auto seconds = whole(w[1], 0, 86400);
        if (!seconds) return "refused: \"" + w[1] + "\" is not a number of seconds 0..86400";
        const std::lock_guard<std::mutex> lock(mutex_);
        silent_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(*seconds);
        return "ok: silent for " + w[1] + " s";
    }
    return "refused: \"" + line + "\": not a command (help lists them)";
}

std::string Server::status() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string round = std::to_string(round_) + " of " + std::to_string(scenario_.rounds.size());
    if (round_ > scenario_.rounds.size()) round = "after the script";
    return "status: " + std::to_string(requests_) + " requests, " + std::to_string(answered_) +
           " answered, " + std::to_string(faults_) + " faults, " + std::to_string(ignored_) +
           " not for it; round " + round + "; " + emulator::describe(ups_.state());
}

std::string Server::summary() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string s = std::to_string(requests_) + " requests, " + std::to_string(answered_) +
                    " answered, " + std::to_string(faults_) + " faults, " +
                    std::to_string(ignored_) + " not for it";
    if (replay_ != nullptr) {
        s += ", " + std::to_string(replay_->departures()) + " departures from the recording";
        if (!replay_->warning().empty()) s += " (recording: " + replay_->warning() + ")";
    }
    return s;
}

}  // namespace ups
