#include "server.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include "frame.h"
#include "json_text.h"
#include "number.h"
#include "text.h"
#include "vocabulary.h"
#include "wire_fault.h"

namespace ups {

namespace {

// "41" .. "46": the CID2 of a request this UPS knows; 0 for anything else.
std::uint8_t known_cid(const std::string& word)
{
    const vocabulary::Request* r = vocabulary::find_request(word);
    return r != nullptr ? r->cid2 : 0;
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
        std::string line;
        io::JsonLine j(line);
        if (!a.late.empty()) j.boolean("late", true);
        if (!request.noise.empty()) j.text("noise", request.noise);
        if (!a.note.empty()) j.text("note", a.note);
        j.text("reply", reply)
            .text("request", request.frame)
            .integer("round", static_cast<long long>(round_))
            .number("t", t)
            .close();
        outputs_.json(line);
    }
    const std::string request_name =
        request.frame.size() > 9 ? request.frame.substr(5, 4) : protocol::printable(request.frame);
    show("round " + std::to_string(round_) + "  " + request_name + "  " +
         (reply.empty() ? "no answer" : "answered") + (a.late.empty() ? "" : " late") +
         (a.note.empty() ? "" : " (" + a.note + ")"));
    return a;
}

const std::vector<Server::Command>& Server::commands()
{
    // {verb, arguments, fewest and most arguments, changes the UPS, help, handler}
    static const std::vector<Command> table = {
        {"set", "NAME VALUE", 2, 2, true,
         "a value or a status byte now (set input_v_ab 180, set inverter fault)", &Server::set},
        {"drop", "CID", 1, 1, true,
         "the next 2A/CID reply is not sent (" + vocabulary::request_names() + ")", &Server::drop},
        {"fault", "CID KIND...", 2, 8, true,
         "the next 2A/CID reply goes wrong; KIND: " + emulator::typed_fault_kinds(),
         &Server::fault},
        {"silent", "SECONDS", 1, 1, false, "no answer at all for that long", &Server::silent},
        {"status", "", 0, 0, false,
         "requests served, faults sent, the round, values and alarm states",
         [](Server& s, const Words&) { return s.status(); }},
        {"help", "", 0, 0, false, "", [](Server&, const Words&) { return help(); }},
    };
    return table;
}

std::string Server::help()
{
    std::string text = "commands:";
    for (const Command& c : commands()) {
        std::string usage =
            "  " + std::string(c.verb) + (*c.arguments != '\0' ? " " : "") + c.arguments;
        if (!c.help.empty()) usage.resize(std::max<std::size_t>(usage.size() + 2, 21), ' ');
        // Lines of at most 90 columns, broken after a word.
        std::string line = usage;
        std::istringstream words(c.help);
        bool first = true;
        for (std::string word; words >> word; first = false) {
            if (!first && line.size() + 1 + word.size() > 90) {
                text += "\n" + line;
                line = std::string(21, ' ') + word;
            } else {
                line += (first ? "" : " ") + word;
            }
        }
        text += "\n" + line;
    }
    return text;
}

std::string Server::command(const std::string& line)
{
    std::istringstream in(line);
    Words w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "";
    for (const Command& c : commands()) {
        if (w[0] != c.verb) continue;
        if (c.changes_ups && replay_ != nullptr) {
            return "refused: serving a recording, which these do not change";
        }
        if (w.size() - 1 < c.fewest || w.size() - 1 > c.most) break;
        return c.run(*this, w);
    }
    return "refused: \"" + line + "\": not a command (help lists them)";
}

std::string Server::set(const Words& w)
{
    try {
        ups_.set(emulator::named_change(w[1], w[2]));
    } catch (const std::exception& e) {
        return std::string("refused: ") + e.what() + "; names: " + emulator::known_names();
    }
    return "ok: " + w[1] + " " + w[2];
}

std::string Server::drop(const Words& w)
{
    const std::uint8_t cid = known_cid(w[1]);
    if (cid == 0) return "refused: \"" + w[1] + "\" is not " + vocabulary::request_names();
    ups_.once(cid, std::nullopt);
    return "ok: the next 2A/" + w[1] + " reply is dropped";
}

std::string Server::fault(const Words& w)
{
    const std::uint8_t cid = known_cid(w[1]);
    if (cid == 0) return "refused: \"" + w[1] + "\" is not " + vocabulary::request_names();
    std::string why;
    const auto f = emulator::typed_wire_fault(Words(w.begin() + 2, w.end()), why);
    if (!f) return "refused: " + why;
    ups_.once(cid, f);
    std::string kinds;
    for (auto k = w.begin() + 2; k != w.end(); ++k) kinds += (kinds.empty() ? "" : " ") + *k;
    return "ok: the next 2A/" + w[1] + " reply goes wrong: " + kinds;
}

std::string Server::silent(const Words& w)
{
    const auto seconds = io::whole_number(w[1], 0, 86400, 0);
    if (!seconds) return "refused: \"" + w[1] + "\" is not a number of seconds 0..86400";
    const std::lock_guard<std::mutex> lock(mutex_);
    silent_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(*seconds);
    return "ok: silent for " + w[1] + " s";
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
