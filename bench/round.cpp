#include "round.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <json/writer.h>

#include <charconv>
#include <cstdio>
#include <map>

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

void quoted(std::string& out, std::string_view s)
{
    io::append_quoted(out, s);
}

// An integer as JsonCpp writes it: its decimal digits.
template <typename Int>
void integer(std::string& out, Int v)
{
    char buf[24];
    const auto done = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, done.ptr);
}

void texts(std::string& out, const std::vector<std::string>& list)
{
    out += '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != 0) out += ',';
        quoted(out, list[i]);
    }
    out += ']';
}

void alarms_json(std::string& out, const KeptList<AlarmReport>& alarms)
{
    out += '[';
    for (std::size_t i = 0; i < alarms.size(); ++i) {
        const auto& a = alarms[i];
        out += i == 0 ? "{\"active\":" : ",{\"active\":";
        out += a.active ? "true" : "false";
        out += ",\"nm\":";
        quoted(out, a.nm);
        out += ",\"seq\":";
        integer(out, a.seq);
        out += ",\"signal\":";
        quoted(out, a.signal);
        out += ",\"text\":";
        quoted(out, a.text);
        out += '}';
    }
    out += ']';
}

void frames_json(std::string& out, const std::vector<FrameEvent>& frames)
{
    out += '[';
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& e = frames[i];
        out += i == 0 ? "{\"dir\":" : ",{\"dir\":";
        quoted(out, e.direction);
        out += ",\"step\":";
        integer(out, e.step);
        out += ",\"t\":";
        io::append_number(out, e.seconds);
        if (!e.text.empty()) {
            out += ",\"text\":";
            quoted(out, e.text);
        }
        if (!e.verdict.empty()) {
            out += ",\"verdict\":";
            quoted(out, e.verdict);
        }
        out += '}';
    }
    out += ']';
}

// The names in byte order; each value as a double, or its refusal.
void values_json(std::string& out, const std::vector<ValueRead>& values)
{
    out += '{';
    std::array<const ValueRead*, 16> order{};
    const std::size_t n = std::min(values.size(), order.size());
    for (std::size_t i = 0; i < n; ++i) order[i] = &values[i];
    std::sort(
        order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n),
        [](const ValueRead* a, const ValueRead* b) { return std::strcmp(a->name, b->name) < 0; });
    for (std::size_t i = 0; i < n; ++i) {
        const ValueRead& v = *order[i];
        if (i != 0) out += ',';
        quoted(out, v.name);
        out += ':';
        if (v.ok) {
            io::append_number(out, static_cast<double>(v.num));
        } else {
            out += "{\"error\":";
            quoted(out, v.code);
            out += ",\"text\":";
            quoted(out, v.text);
            out += '}';
        }
    }
    out += '}';
}

}  // namespace

void write_json(std::string& out, const RoundResult& r)
{
    // The keys in JsonCpp's order (byte order), as vx40-report and the
    // page read them back.
    out += "{\"alarms\":";
    alarms_json(out, r.alarms);
    out += ",\"clock\":";
    quoted(out, r.clock);
    out += ",\"completed\":";
    out += r.completed ? "true" : "false";
    if (!r.frames.empty()) {
        out += ",\"frames\":";
        frames_json(out, r.frames);
    }
    if (!r.line_lost.empty()) {
        out += ",\"line_lost\":";
        quoted(out, r.line_lost);
    }
    out += ",\"log\":";
    texts(out, r.log);
    out += ",\"missing\":";
    texts(out, r.missing);
    out += ",\"record\":";
    if (r.record.empty()) {
        out += "null";
    } else {
        quoted(out, protocol::hex_of(r.record.data(), r.record.size()));
    }
    out += ",\"rejected\":";
    texts(out, r.rejected);
    out += ",\"requests\":";
    texts(out, r.requests);
    out += ",\"round\":";
    integer(out, r.round);
    out += ",\"values\":";
    values_json(out, r.values);
    out += '}';
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
