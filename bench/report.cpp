#include "report.h"

#include <algorithm>

#include <json/writer.h>

#include <charconv>
#include <cstdio>
#include <map>

namespace bench {

const char* const kValueNames[9] = {
    "ACInputLineOrPhaseAB_A",  "ACInputLineOrPhaseBC_B",  "ACInputLineOrPhaseCA_C",
    "ACOutputLineOrPhaseAB_A", "ACOutputLineOrPhaseBC_B", "ACOutputLineOrPhaseCA_C",
    "ACOutputCurrentA",        "ACOutputCurrentB",        "ACOutputCurrentC"};

namespace {

// The plug-in's texts as it gives them, each with its English gloss (and, for
// a refusal, the code the JSON carries beside it).
struct Gloss {
    const char* text;
    const char* english;
    const char* code;
};
constexpr Gloss kGlosses[] = {
    {"数据未就绪", "data not ready", "not_ready"},
    {"数据已超时", "data timed out", "stale"},
    {"不支持变量", "variable not supported", "unsupported"},
    {"逆变器不同步告警", "inverter not synchronised alarm", ""},
    {"市电电压低于下限（掉电）", "mains voltage below lower limit (power failure)", ""},
    {"市电电压高于上限", "mains voltage above upper limit", ""},
    {"市电电压超限", "mains voltage out of limits", ""},
    {"整流器故障告警", "rectifier fault alarm", ""},
    {"逆变器故障告警", "inverter fault alarm", ""},
    {"旁路电压过低", "bypass voltage too low", ""},
    {"旁路电压过高", "bypass voltage too high", ""},
    {"即将停机告警", "imminent shutdown alarm", ""},
    {"蓄电池总电压高于上限（电压过高 ）",
     "battery total voltage above upper limit (voltage too high)", ""},
    {"蓄电池总电压故障", "battery total voltage fault", ""},
    {"蓄电池总电压预告警", "battery total voltage pre-alarm", ""},
    {"充电器故障告警", "charger fault alarm", ""},
    {"零线/火线接反", "neutral and live wires reversed", ""},
    {"输出短路", "output short circuit", ""},
    {"输出过载", "output overload", ""},
    {"散热器温度过高", "heat-sink temperature too high", ""},
    {"市电频率超限", "mains frequency out of limits", ""},
};

const Gloss* find_gloss(const std::string& text)
{
    for (const Gloss& g : kGlosses) {
        if (text == g.text) return &g;
    }
    return nullptr;
}

}  // namespace

std::string gloss(const std::string& text)
{
    const Gloss* g = find_gloss(text);
    return g != nullptr ? g->english : "";
}

std::string refusal_code(const std::string& text)
{
    const Gloss* g = find_gloss(text);
    return g != nullptr && *g->code != '\0' ? g->code : "error";
}

std::string hex(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s.push_back(kDigits[b >> 4U]);
        s.push_back(kDigits[b & 0xFU]);
    }
    return s;
}

std::string printable(const std::string& frame)
{
    std::string out;
    for (const char c : frame) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u > 0x7E) {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            out += "\\x";
            out.push_back(kDigits[u >> 4U]);
            out.push_back(kDigits[u & 0xFU]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string trace_line(const FrameEvent& e)
{
    char head[64];
    std::snprintf(head, sizeof head, "%10.6f round %ld step %zu ", e.seconds, e.round, e.step);
    std::string line = head;
    if (e.direction == "timeout") return line + "-- no reply (" + e.verdict + ")";
    line += e.direction == "tx" ? "-> " : e.direction == "noise" ? "<- noise " : "<- ";
    line += printable(e.text);
    if (!e.verdict.empty()) line += "  " + e.verdict;
    return line;
}

std::string shortest(float v)
{
    char buf[32];
    const auto done = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, done.ptr);
}

Json::Value to_json(const RoundResult& r)
{
    Json::Value o(Json::objectValue);
    o["round"] = static_cast<Json::Int64>(r.round);
    o["clock"] = r.clock;
    o["requests"] = Json::Value(Json::arrayValue);
    for (const auto& q : r.requests) o["requests"].append(q);
    o["completed"] = r.completed;
    o["log"] = Json::Value(Json::arrayValue);
    for (const auto& l : r.log) o["log"].append(l);
    o["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& a : r.alarms) {
        Json::Value j(Json::objectValue);
        j["seq"] = a.seq;
        j["signal"] = a.text[0];
        j["nm"] = a.text[1];
        j["text"] = a.text[2];
        j["active"] = a.flag;
        o["alarms"].append(j);
    }
    o["values"] = Json::Value(Json::objectValue);
    for (std::size_t i = 0; i < r.values.size(); ++i) {
        if (r.value_ok[i]) {
            o["values"][r.values[i].first] = r.value_num[i];
        } else {
            o["values"][r.values[i].first]["error"] = refusal_code(r.values[i].second);
            o["values"][r.values[i].first]["text"] = r.values[i].second;
        }
    }
    o["record"] = r.record.empty() ? Json::Value() : Json::Value(hex(r.record));
    o["rejected"] = Json::Value(Json::arrayValue);
    for (const auto& j : r.rejected) o["rejected"].append(j);
    o["missing"] = Json::Value(Json::arrayValue);
    for (const auto& m : r.missing) o["missing"].append(m);
    if (!r.line_lost.empty()) o["line_lost"] = r.line_lost;
    if (!r.frames.empty()) {
        o["frames"] = Json::Value(Json::arrayValue);
        for (const auto& e : r.frames) {
            Json::Value f(Json::objectValue);
            f["t"] = e.seconds;
            f["dir"] = e.direction;
            f["step"] = static_cast<Json::UInt64>(e.step);
            if (!e.text.empty()) f["text"] = e.text;
            if (!e.verdict.empty()) f["verdict"] = e.verdict;
            o["frames"].append(f);
        }
    }
    return o;
}

namespace {

// A text as JsonCpp's writer quotes it (its own quoting, for the same bytes).
void quoted(std::string& out, const std::string& s)
{
    if (s.find('\0') == std::string::npos) {
        out += Json::valueToQuotedString(s.c_str());
        return;
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    out += Json::writeString(writer, Json::Value(s));
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

}  // namespace

void write_json(std::string& out, const RoundResult& r)
{
    // The keys in JsonCpp's order (byte order), so the text is the one
    // Json::writeString gives for to_json(r) with no indentation.
    out += "{\"alarms\":[";
    for (std::size_t i = 0; i < r.alarms.size(); ++i) {
        const auto& a = r.alarms[i];
        out += i == 0 ? "{\"active\":" : ",{\"active\":";
        out += a.flag ? "true" : "false";
        out += ",\"nm\":";
        quoted(out, a.text[1]);
        out += ",\"seq\":";
        out += Json::valueToString(static_cast<Json::UInt>(a.seq));
        out += ",\"signal\":";
        quoted(out, a.text[0]);
        out += ",\"text\":";
        quoted(out, a.text[2]);
        out += '}';
    }
    out += "],\"clock\":";
    quoted(out, r.clock);
    out += ",\"completed\":";
    out += r.completed ? "true" : "false";
    if (!r.frames.empty()) {
        out += ",\"frames\":[";
        for (std::size_t i = 0; i < r.frames.size(); ++i) {
            const auto& e = r.frames[i];
            out += i == 0 ? "{\"dir\":" : ",{\"dir\":";
            quoted(out, e.direction);
            out += ",\"step\":";
            out += Json::valueToString(static_cast<Json::LargestUInt>(e.step));
            out += ",\"t\":";
            out += Json::valueToString(e.seconds);
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
        quoted(out, hex(r.record));
    }
    out += ",\"rejected\":";
    texts(out, r.rejected);
    out += ",\"requests\":";
    texts(out, r.requests);
    out += ",\"round\":";
    out += Json::valueToString(static_cast<Json::LargestInt>(r.round));
    out += ",\"values\":{";
    // The names in byte order; each value as a double, or its refusal.
    std::vector<std::size_t> order(r.values.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return r.values[a].first < r.values[b].first; });
    bool first = true;
    for (const std::size_t i : order) {
        if (!first) out += ',';
        first = false;
        quoted(out, r.values[i].first);
        out += ':';
        if (r.value_ok[i]) {
            out += Json::valueToString(static_cast<double>(r.value_num[i]));
        } else {
            out += "{\"error\":";
            quoted(out, refusal_code(r.values[i].second));
            out += ",\"text\":";
            quoted(out, r.values[i].second);
            out += '}';
        }
    }
    out += "}}";
}

void show(std::ostream& out, const RoundResult& r, bool colour, bool quiet)
{
    const char* on = colour ? "\033[1m" : "";
    const char* red = colour ? "\033[31m" : "";
    const char* off = colour ? "\033[0m" : "";
    out << on << "round " << r.round << off << "  " << r.clock << "  "
        << (r.completed ? "completed" : std::string(red) + "not completed" + off);
    if (!r.requests.empty()) {
        out << "  requests";
        for (const auto& q : r.requests) out << ' ' << q;
    }
    out << '\n';
    const char* rows[3] = {"input  V", "output V", "output A"};
    for (std::size_t row = 0; row < 3 && r.values.size() == 9; ++row) {
        out << "  " << rows[row];
        for (std::size_t i = 3 * row; i < 3 * row + 3; ++i) {
            out << "  " << r.values[i].second;
            if (!r.value_ok[i]) out << " (" << gloss(r.values[i].second) << ")";
        }
        out << '\n';
    }
    std::size_t active = 0;
    for (const auto& a : r.alarms) {
        if (a.flag) {
            out << "  " << red << "alarm " << a.text[0] << " " << a.text[1] << " " << a.text[2]
                << " (" << gloss(a.text[2]) << ")" << off << '\n';
            ++active;
        }
    }
    if (r.alarms.empty()) {
        out << "  alarms: no reports this round\n";
    } else if (active == 0) {
        out << "  alarms: none active, " << r.alarms.size() << " reported\n";
    }
    for (const auto& j : r.rejected) out << "  rejected frame: " << j << '\n';
    for (const auto& m : r.missing) out << "  no reply to " << m << '\n';
    if (!r.line_lost.empty()) out << "  " << red << "line lost: " << r.line_lost << off << '\n';
    if (!quiet) {
        for (const auto& l : r.log) out << "  | " << l << '\n';
    }
}

}  // namespace bench
