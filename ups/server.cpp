#include "server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
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

std::uint8_t known_cid(const std::string& word)
{
    const vocabulary::Request* r = vocabulary::find_request(word);
    return r != nullptr ? r->cid2 : 0;
}

namespace {

io::OutputFile stream(const std::string& path)
{
    return path.empty() ? io::OutputFile() : io::OutputFile(path, io::OutputFile::Kind::Stream);
}

}  // namespace

Outputs::Outputs(const std::string& trace, bool trace_on_stderr, const std::string& json,
                 const std::string& record)
    : trace_(trace_on_stderr ? io::OutputFile("-", io::OutputFile::Kind::Stream, STDERR_FILENO)
                             : stream(trace)),
      json_(stream(json)),
      record_(stream(record))
{
    // Serving begins at once: the files go in place now.
    for (io::OutputFile* f : {&trace_, &json_, &record_}) {
        if (f->on()) f->start();
    }
}

void Outputs::write(io::OutputFile& f, const std::string& line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!f.on() || !error_.empty()) return;
    try {
        f.write_line(line);
    } catch (const io::OutputError& e) {
        error_ = e.what();
    }
}

std::string Outputs::error() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

std::string Outputs::where() const
{
    std::string w = "trace: " + (trace_.on() ? trace_.name() : std::string("none"));
    if (record_.on()) w += "; recording: " + record_.path();
    return w + "; JSON: " + (json_.on() ? json_.path() : std::string("none"));
}

std::string Outputs::finish()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string done;
    if (trace_.on()) {
        trace_.close();
        done += "; " + std::to_string(trace_.writes()) + " trace lines in " + trace_.name();
    }
    if (json_.on()) {
        json_.close();
        done += "; " + std::to_string(json_.writes()) + " JSON lines in " + json_.path();
    }
    if (record_.on()) {
        record_.close();
        done += "; " + std::to_string(record_.writes()) + " recording lines in " + record_.path();
    }
    return done;
}

Unit::Unit(std::uint8_t adr, std::uint8_t ver, emulator::Scenario s)
    : scenario(std::move(s)), ups(scenario.ups, ver, adr)
{
    ups.feed_rounds(&scenario.rounds);
}

Server::Server(std::vector<std::unique_ptr<Unit>> units, Replayer* replay, Outputs& outputs,
               bool quiet)
    : units_(std::move(units)), replay_(replay), outputs_(outputs), quiet_(quiet)
{
}

std::string stamp(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%10.6f ", seconds);
    return text;
}

std::vector<std::string> typed_words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        // Typed as a person types: any case.
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        words.push_back(word);
    }
    return words;
}

void Server::show(const std::string& line)
{
    if (!quiet_) std::cout << (line + '\n') << std::flush;  // whole, beside the command thread
}

double Server::since_start(io::Clock::time_point t) const
{
    return std::chrono::duration<double>(t - start_).count();
}

Unit* Server::unit_at(std::uint8_t adr)
{
    for (const auto& u : units_) {
        if (u->ups.adr() == adr) return u.get();
    }
    return nullptr;
}

std::string Server::unit_list() const
{
    std::string list;
    for (const auto& u : units_) list += (list.empty() ? "" : ", ") + protocol::hex(u->ups.adr());
    return list;
}

std::string Server::unit_prefix(const Unit* u) const
{
    return units_.size() > 1 && u != nullptr ? "unit " + protocol::hex(u->ups.adr()) + " " : "";
}

emulator::Answer Server::answer(const io::Received& request)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ++requests_;
    last_unit_ = nullptr;
    emulator::Answer a;
    if (replay_ != nullptr) {
        a = replay_->answer(request.frame);
        replay_round_ = a.round != 0 ? a.round : replay_round_;
        return a;
    }
    // The unit its address names; when none does, the first says why not.
    const auto head = protocol::frame_head(request.frame);
    Unit* u = head ? unit_at(head->adr) : nullptr;
    if (u == nullptr) return units_.front()->ups.answer(request.frame);
    last_unit_ = u;
    if (std::chrono::steady_clock::now() < u->silent_until) {
        a.note = "silent";
        return a;
    }
    a = u->ups.answer(request.frame);
    if (a.for_it) u->round = a.round != 0 ? a.round : u->round;
    return a;
}

void Server::delivered(const io::Received& request, const emulator::Answer& a,
                       const emulator::Delivery& d)
{
    const bool late = a.now.empty() && !a.late.empty();
    const std::string& reply = late ? a.late : a.now;
    const std::string sent = reply.substr(0, d.written);
    std::size_t round = 0;
    std::string after_script;
    Unit* u = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        u = last_unit_;
        round = u != nullptr ? u->round : replay_round_;
        if (!a.for_it) {
            ++ignored_;
        } else if (!reply.empty() && d.whole) {
            ++answered_;
        } else if (!reply.empty()) {
            ++not_sent_;
        }
        // A note on an answer for it, other than silence, is a fault sent.
        if (a.for_it && a.note != "silent" && !a.note.empty()) ++faults_;
        if (u != nullptr && a.after_script && !u->told_after_script) {
            u->told_after_script = true;
            after_script = "round " + std::to_string(round) + ": after the script (" +
                           std::to_string(u->scenario.rounds.size()) +
                           " rounds), the state stays as it is";
        }
    }
    const std::string who = unit_prefix(u);
    if (!after_script.empty()) {
        show(who + after_script);
        outputs_.trace(who + after_script);
    }
    const std::string in_round = who + "round " + std::to_string(round) + " ";
    const std::string at = stamp(since_start(d.heard)) + in_round;
    std::string why = a.note;  // what the answer is, when not a plain reply
    if (!a.fault.empty()) why += (why.empty() ? "" : ": ") + a.fault;
    std::string note = why;
    if (!d.whole) note += (note.empty() ? "" : "; ") + ("not sent: " + d.cut);
    if (outputs_.tracing()) {
        if (!request.noise.empty())
            outputs_.trace(at + "<- noise " + protocol::printable(request.noise));
        outputs_.trace(at + "<- " + protocol::printable(request.frame));
        if (d.written > 0) {
            // Stamped when its first character went out, and its last.
            outputs_.trace(stamp(since_start(d.first)) + in_round + "-> " +
                           protocol::printable(sent) + (late ? " (late)" : "") + "  last " +
                           std::to_string(since_start(d.last)) + (note.empty() ? "" : "  " + note));
        } else {
            outputs_.trace(at + "-- no answer" + (note.empty() ? "" : "  " + note));
        }
    }
    if (outputs_.has_json()) {
        std::string line;
        io::JsonLine j(line);
        if (!d.whole) j.text("cut", d.cut);
        if (!a.fault.empty()) j.text("fault", a.fault);
        if (d.written > 0)
            j.number("first", since_start(d.first)).number("last", since_start(d.last));
        if (late) j.boolean("late", true);
        if (!request.noise.empty()) j.text("noise", request.noise);
        if (!a.note.empty()) j.text("note", a.note);
        j.text("reply", sent)
            .text("request", request.frame)
            .integer("round", static_cast<long long>(round));
        j.number("t", since_start(d.heard));
        if (u != nullptr) j.integer("unit", u->ups.adr());
        j.close();
        outputs_.json(line);
    }
    const std::string request_name =
        request.frame.size() > 9 ? request.frame.substr(5, 4) : protocol::printable(request.frame);
    const std::string outcome = reply.empty() ? "no answer"
                                : d.whole     ? "answered"
                                              : "not sent whole (" + d.cut + ")";
    show(who + "round " + std::to_string(round) + "  " + request_name + "  " + outcome +
         (late ? " late" : "") + (why.empty() ? "" : " (" + why + ")"));
}

void Server::echoed(const io::Received& own)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++echoes_;
    }
    if (outputs_.tracing()) {
        outputs_.trace(stamp(since_start(std::chrono::steady_clock::now())) + "<- own echo " +
                       protocol::printable(own.noise + own.frame));
    }
}

const std::vector<Server::Command>& Server::commands()
{
    // {verb, arguments, fewest and most arguments, said to a unit, help, handler}
    static const std::vector<Command> table = {
        {"set", "NAME VALUE", 2, 2, true,
         "a value or a status byte now (set input_v_ab 180, set inverter fault)",
         [](Server& s, Unit* u, const Words& w) { return s.set(*u, w); }},
        {"drop", "CID", 1, 1, true,
         "the next 2A/CID reply is not sent (" + vocabulary::request_names() + ")",
         [](Server& s, Unit* u, const Words& w) { return s.drop(*u, w); }},
        {"fault", "CID KIND...", 2, 8, true,
         "the next 2A/CID reply goes wrong; KIND: " + emulator::typed_fault_kinds(),
         [](Server& s, Unit* u, const Words& w) { return s.fault(*u, w); }},
        {"silent", "SECONDS", 1, 1, true, "no answer at all for that long",
         [](Server& s, Unit* u, const Words& w) { return s.silent(*u, w); }},
        {"status", "", 0, 0, false,
         "requests served, faults sent, the round, values and alarm states",
         [](Server& s, Unit*, const Words&) { return s.status(); }},
        {"help", "", 0, 0, false,
         "on a bus of several units, a command to one begins with its address (02 set "
         "inverter fault)",
         [](Server&, Unit*, const Words&) { return help(); }},
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
    const Words w = typed_words(line);
    if (w.empty()) return "";
    std::string said = run(w);
    outputs_.trace(stamp(since_start(std::chrono::steady_clock::now())) +
                   "typed: " + protocol::printable(line) + " -> " + said);
    if (outputs_.has_json()) {
        std::string json;
        io::JsonLine(json)
            .text("said", said)
            .number("t", since_start(std::chrono::steady_clock::now()))
            .text("typed", line)
            .close();
        outputs_.json(json);
    }
    return said;
}

std::string Server::run(const Words& typed)
{
    // A unit's address first (hex, as on the wire), on a bus of several.
    Words w = typed;
    Unit* u = units_.size() == 1 ? units_.front().get() : nullptr;
    const auto adr = io::hex_byte(w[0]);
    if (adr && w.size() > 1) {
        if (replay_ != nullptr) return "refused: serving a recording, which has no units";
        u = unit_at(static_cast<std::uint8_t>(*adr));
        if (u == nullptr) return "refused: no unit at " + w[0] + " (units: " + unit_list() + ")";
        w.erase(w.begin());
    }
    for (const Command& c : commands()) {
        if (w[0] != c.verb) continue;
        if (c.changes_ups && replay_ != nullptr) {
            return "refused: serving a recording, which these do not change";
        }
        if (w.size() - 1 < c.fewest || w.size() - 1 > c.most) {
            return "refused: expected " + std::string(c.verb) + (*c.arguments != '\0' ? " " : "") +
                   c.arguments;
        }
        if (c.changes_ups && u == nullptr) {
            return "refused: " + std::to_string(units_.size()) + " units on the line (" +
                   unit_list() + "): say which, as in " + protocol::hex(units_.front()->ups.adr()) +
                   " " + c.verb + (*c.arguments != '\0' ? " " : "") + c.arguments;
        }
        return c.run(*this, u, w);
    }
    return "refused: \"" + typed[0] + "\": not a command (help lists them)";
}

std::string Server::set(Unit& u, const Words& w)
{
    try {
        u.ups.set(emulator::named_change(w[1], w[2]));
    } catch (const std::exception& e) {
        return std::string("refused: ") + e.what() + "; names: " + emulator::known_names();
    }
    return "ok: " + unit_prefix(&u) + w[1] + " " + w[2];
}

namespace {

std::string refused_twice(const std::string& cid, const std::string& armed)
{
    return "refused: the next 2A/" + cid + " reply already goes wrong (" + armed +
           "); a reply takes one fault, and fault " + cid + " takes several kinds at once";
}

}  // namespace

std::string Server::drop(Unit& u, const Words& w)
{
    const std::uint8_t cid = known_cid(w[1]);
    if (cid == 0) return "refused: \"" + w[1] + "\" is not " + vocabulary::request_names();
    if (const std::string armed = u.ups.once(cid, std::nullopt); !armed.empty()) {
        return refused_twice(w[1], armed);
    }
    return "ok: the next 2A/" + w[1] + " reply " + unit_prefix(&u) + "is dropped";
}

std::string Server::fault(Unit& u, const Words& w)
{
    const std::uint8_t cid = known_cid(w[1]);
    if (cid == 0) return "refused: \"" + w[1] + "\" is not " + vocabulary::request_names();
    std::string why;
    const auto f = emulator::typed_wire_fault(Words(w.begin() + 2, w.end()), why);
    if (!f) return "refused: " + why;
    if (const std::string armed = u.ups.once(cid, f); !armed.empty()) {
        return refused_twice(w[1], armed);
    }
    return "ok: the next 2A/" + w[1] + " reply " + unit_prefix(&u) + "goes wrong: " + f->kinds;
}

std::string Server::silent(Unit& u, const Words& w)
{
    const auto seconds = io::whole_number(w[1], 0, 86400, 10);
    if (!seconds) return "refused: \"" + w[1] + "\" is not a number of seconds 0..86400";
    const std::lock_guard<std::mutex> lock(mutex_);
    u.silent_until = std::chrono::steady_clock::now() + std::chrono::seconds(*seconds);
    return "ok: " + unit_prefix(&u) + "silent for " + w[1] + " s";
}

std::string Server::status() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string s = "status: " + std::to_string(requests_) + " requests, " +
                    std::to_string(answered_) + " answered, " + std::to_string(faults_) +
                    " faults, " + std::to_string(ignored_) + " not for it";
    if (replay_ != nullptr)
        return s + "; round " + std::to_string(replay_round_) + " of the recording";
    for (const auto& u : units_) {
        const std::size_t scripted = u->scenario.rounds.size();
        std::string round = std::to_string(u->round) + " of " + std::to_string(scripted);
        if (u->round > scripted) round = std::to_string(u->round) + " (after the script)";
        s += "; " + unit_prefix(u.get()) + "round " + round + "; " +
             emulator::describe(u->ups.state());
    }
    return s;
}

std::string Server::summary() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string s = std::to_string(requests_) + " requests, " + std::to_string(answered_) +
                    " answered, " + std::to_string(faults_) + " faults, " +
                    std::to_string(ignored_) + " not for it";
    if (not_sent_ != 0) s += ", " + std::to_string(not_sent_) + " replies not sent whole";
    if (echoes_ != 0) s += ", " + std::to_string(echoes_) + " own echoes dropped";
    if (replay_ != nullptr) {
        s += ", " + std::to_string(replay_->departures()) + " departures from the recording";
        if (!replay_->warning().empty()) s += " (recording: " + replay_->warning() + ")";
    }
    return s;
}

}  // namespace ups
