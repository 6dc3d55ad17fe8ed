#include "round.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <charconv>
#include <cstdio>

#include "json_text.h"
#include "number.h"
#include "text.h"

namespace bench {

std::string trace_line(const FrameEvent& e)
{
    char head[64];
    std::snprintf(head, sizeof head, "%10.6f round %ld step %zu ", e.seconds, e.round, e.step);
    std::string line = head;
    if (e.direction == "timeout") return line + "-- no reply (" + e.verdict + ")";
    line += e.direction == "tx" ? "-> " : e.direction == "noise" ? "<- noise " : "<- ";
    line += protocol::printable(e.text);
    if (!e.verdict.empty()) line += "  " + e.verdict;
    return line;
}

void assign_shortest(std::string& text, float v)
{
    // A value mostly stays from one round to the next.
    text = io::remembered_text<16>(
        v, [v](char* first, char* last) { return std::to_chars(first, last, v).ptr; });
}

std::string shortest(float v)
{
    std::string text;
    assign_shortest(text, v);
    return text;
}

namespace {

void alarms_json(std::string& out, const KeptList<AlarmReport>& alarms)
{
    out += '[';
    for (std::size_t i = 0; i < alarms.size(); ++i) {
        const auto& a = alarms[i];
        if (i != 0) out += ',';
        io::JsonLine(out)
            .boolean("active", a.active)
            .text("nm", a.nm)
            .integer("seq", a.seq)
            .text("signal", a.signal)
            .text("text", a.text)
            .close();
    }
    out += ']';
}

void frames_json(std::string& out, const std::vector<FrameEvent>& frames)
{
    out += '[';
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& e = frames[i];
        if (i != 0) out += ',';
        io::JsonLine f(out);
        f.text("dir", e.direction)
            .integer("step", static_cast<long long>(e.step))
            .number("t", e.seconds);
        if (!e.text.empty()) f.text("text", e.text);
        if (!e.verdict.empty()) f.text("verdict", e.verdict);
        f.close();
    }
    out += ']';
}

// The names in byte order; each value as a double, or its refusal.
void values_json(std::string& out, const std::vector<ValueRead>& values)
{
    std::array<const ValueRead*, 16> order{};
    const std::size_t n = std::min(values.size(), order.size());
    for (std::size_t i = 0; i < n; ++i) order[i] = &values[i];
    std::sort(
        order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n),
        [](const ValueRead* a, const ValueRead* b) { return std::strcmp(a->name, b->name) < 0; });
    io::JsonLine line(out);
    for (std::size_t i = 0; i < n; ++i) {
        const ValueRead& v = *order[i];
        if (v.ok) {
            line.number(v.name, static_cast<double>(v.num));
        } else {
            io::JsonLine(line.member(v.name)).text("error", v.code).text("text", v.text).close();
        }
    }
    line.close();
}

}  // namespace

void write_json(std::string& out, const RoundResult& r)
{
    // The keys in JsonCpp's order (byte order), as vx40-report and the
    // page read them back.
    io::JsonLine line(out);
    alarms_json(line.member("alarms"), r.alarms);
    line.text("clock", r.clock).boolean("completed", r.completed);
    if (!r.frames.empty()) frames_json(line.member("frames"), r.frames);
    if (!r.line_lost.empty()) line.text("line_lost", r.line_lost);
    io::append_texts(line.member("log"), r.log);
    io::append_texts(line.member("missing"), r.missing);
    if (r.record.empty()) {
        line.member("record") += "null";
    } else {
        line.text("record", protocol::hex_of(r.record.data(), r.record.size()));
    }
    io::append_texts(line.member("rejected"), r.rejected);
    io::append_texts(line.member("requests"), r.requests);
    line.integer("round", r.round);
    values_json(line.member("values"), r.values);
    line.close();
}

void show(std::string& out, const RoundResult& r, bool colour, bool quiet)
{
    const char* on = colour ? "\033[1m" : "";
    const char* red = colour ? "\033[31m" : "";
    const char* off = colour ? "\033[0m" : "";
    char number[24];
    const auto n = std::to_chars(number, number + sizeof number, r.round);
    ((out += on) += "round ").append(number, n.ptr) += off;
    ((out += "  ") += r.clock) += "  ";
    if (r.completed) {
        out += "completed";
    } else {
        ((out += red) += "not completed") += off;
    }
    if (!r.requests.empty()) {
        out += "  requests";
        for (const auto& q : r.requests) (out += ' ') += q;
    }
    out += '\n';
    const char* rows[3] = {"input  V", "output V", "output A"};
    for (std::size_t row = 0; row < 3 && r.values.size() == 9; ++row) {
        (out += "  ") += rows[row];
        for (std::size_t i = 3 * row; i < 3 * row + 3; ++i) {
            (out += "  ") += r.values[i].text;
            if (!r.values[i].ok) ((out += " (") += gloss(r.values[i].text)) += ')';
        }
        out += '\n';
    }
    std::size_t active = 0;
    for (const auto& a : r.alarms) {
        if (a.active) {
            ((out += "  ") += red) += "alarm ";
            ((((out += a.signal) += ' ') += a.nm) += ' ') += a.text;
            (((out += " (") += gloss(a.text)) += ')') += off;
            out += '\n';
            ++active;
        }
    }
    if (r.alarms.empty()) {
        out += "  alarms: no reports this round\n";
    } else if (active == 0) {
        out += "  alarms: none active, " + std::to_string(r.alarms.size()) + " reported\n";
    }
    for (const auto& j : r.rejected) ((out += "  rejected frame: ") += j) += '\n';
    for (const auto& m : r.missing) ((out += "  no reply to ") += m) += '\n';
    if (!r.line_lost.empty()) {
        ((((out += "  ") += red) += "line lost: ") += r.line_lost) += off;
        out += '\n';
    }
    if (!quiet) {
        for (const auto& l : r.log) ((out += "  | ") += l) += '\n';
    }
}

void RoundResult::reset(long n)
{
    round = n;
    clock.clear();
    requests.clear();
    completed = false;
    log.clear();
    alarms.clear();
    values.clear();
    record.clear();
    rejected.clear();
    missing.clear();
    frames.clear();
    line_lost.clear();
}

}  // namespace bench
