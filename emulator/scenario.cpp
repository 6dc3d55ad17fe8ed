#include "scenario.h"

#include "json_text.h"
#include "number.h"
#include "vocabulary.h"
#include "wire_fault.h"

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace emulator {

using io::parse_json;

namespace {

[[noreturn]] void fault(const std::string& what)
{
    throw std::runtime_error(what);
}

std::uint8_t command(const std::string& name, const std::string& where)
{
    const vocabulary::Request* r = vocabulary::find_request(name);
    if (r == nullptr) {
        fault(where + ": unknown command \"" + name + "\" (" + vocabulary::request_names() + ")");
    }
    return r->cid2;
}

using vocabulary::kAnalogNames;
using vocabulary::State;
using vocabulary::status_bytes;
using vocabulary::StatusByte;

std::size_t index_in(const std::string& key, std::size_t limit, const std::string& where);

std::size_t analog_index(const std::string& key, const std::string& where)
{
    for (std::size_t i = 0; i < std::size(kAnalogNames); ++i) {
        if (key == kAnalogNames[i]) return i;
    }
    if (!key.empty() && std::isdigit(static_cast<unsigned char>(key[0])) != 0) {
        return index_in(key, 9, where);
    }
    fault(where + ": unknown value \"" + key + "\" (input_v_ab .. output_a_c, or 0..8)");
}

std::size_t index_in(const std::string& key, std::size_t limit, const std::string& where)
{
    const auto v = io::whole_number(key, 0, static_cast<long long>(limit) - 1);
    if (!v) fault(where + ": index \"" + key + "\" is not 0.." + std::to_string(limit - 1));
    return static_cast<std::size_t>(*v);
}

float number(const Json::Value& v, const std::string& where)
{
    if (!v.isNumeric()) fault(where + ": not a number");
    const double d = v.asDouble();
    // A value the UPS cannot send: it would arrive as infinity.
    if (!std::isfinite(d) ||
        std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
        fault(where + ": " + v.asString() + " is outside the range of a 32-bit float");
    }
    return static_cast<float>(d);
}

std::uint8_t byte(const Json::Value& v, const std::string& where)
{
    if (!v.isIntegral() || v.asInt64() < 0 || v.asInt64() > 255)
        fault(where + ": not a byte 0..255");
    return static_cast<std::uint8_t>(v.asUInt());
}

// A status entry: by index with a byte, or by name with a byte or a word.
std::pair<std::size_t, std::uint8_t> status_entry(const std::string& key, const Json::Value& v,
                                                  const std::string& where)
{
    if (const StatusByte* n = vocabulary::find_status(key)) {
        if (!v.isString()) return {n->index, byte(v, where)};
        std::string known = "normal";
        if (v.asString() == "normal") return {n->index, 0};
        for (const State& s : n->states) {
            if (v.asString() == s.name) return {n->index, s.value};
            known += std::string(", ") + s.name;
        }
        fault(where + ": \"" + v.asString() + "\" is not a state of " + key + " (" + known + ")");
    }
    if (!key.empty() && std::isdigit(static_cast<unsigned char>(key[0])) != 0) {
        return {index_in(key, 14, where), byte(v, where)};
    }
    fault(where + ": unknown status byte \"" + key +
          "\" (inverter_sync .. mains_frequency, or 0..13)");
}

void check_keys(const Json::Value& obj, const std::set<std::string>& allowed,
                const std::string& where)
{
    if (!obj.isObject()) fault(where + ": not an object");
    for (const auto& k : obj.getMemberNames()) {
        if (allowed.count(k) == 0) fault(where + ": unknown key \"" + k + "\"");
    }
}

UpsState ups_entry(const Json::Value& ups)
{
    check_keys(ups, {"analog", "status"}, "ups");
    UpsState state;
    if (ups.isMember("analog")) {
        const Json::Value& a = ups["analog"];
        if (!a.isArray() || a.size() != 9) fault("ups.analog: need nine numbers");
        for (Json::ArrayIndex i = 0; i < 9; ++i) state.analog[i] = number(a[i], "ups.analog");
    }
    if (ups.isMember("status")) {
        const Json::Value& st = ups["status"];
        if (!st.isArray() || st.size() != 14) fault("ups.status: need fourteen bytes");
        for (Json::ArrayIndex i = 0; i < 14; ++i) state.status[i] = byte(st[i], "ups.status");
    }
    return state;
}

// "short": {"44": 20}: the reply to 2A/44 cut to 20 INFO hex characters.
void short_entry(const std::string& key, const Json::Value& len, const std::string& at,
                 RoundScript& rs)
{
    if (!len.isIntegral() || len.asInt64() < 0 || len.asInt64() > 4095) {
        fault(at + ": INFO length must be 0..4095");
    }
    const std::uint8_t cid2 = command(key, at);
    // A cut at or past the reply's end would change nothing.
    const std::size_t whole = 2 * vocabulary::find_request(cid2)->info_bytes;
    if (len.asUInt() >= whole) {
        fault(at + ": " + std::to_string(len.asUInt()) +
              " hex characters is no shorter than the whole INFO (" + std::to_string(whole) + ")");
    }
    rs.short_reply[cid2] = len.asUInt();
}

RoundScript round_entry(const Json::Value& e, const std::string& where)
{
    check_keys(e, {"analog", "status", "short", "drop", "wire", "advance"}, where);
    RoundScript rs;
    for (const char* part : {"analog", "status", "short"}) {
        const Json::Value& obj = e[part];
        if (obj.isNull()) continue;
        if (!obj.isObject()) fault(where + "." + part + ": not an object");
        for (const auto& k : obj.getMemberNames()) {
            const std::string at = where + "." + part + "." + k;
            if (std::strcmp(part, "analog") == 0) {
                rs.analog[analog_index(k, at)] = number(obj[k], at);
            } else if (std::strcmp(part, "status") == 0) {
                const auto [index, value] = status_entry(k, obj[k], at);
                rs.status[index] = value;
            } else {
                short_entry(k, obj[k], at, rs);
            }
        }
    }
    if (e.isMember("drop")) {
        const Json::Value& d = e["drop"];
        if (!d.isArray()) fault(where + ".drop: not a list");
        for (const auto& c : d) {
            if (!c.isString()) fault(where + ".drop: commands are texts");
            rs.drop.insert(command(c.asString(), where + ".drop"));
        }
    }
    if (e.isMember("wire")) {
        const Json::Value& w = e["wire"];
        if (!w.isObject()) fault(where + ".wire: not an object");
        for (const auto& k : w.getMemberNames()) {
            const std::uint8_t cid2 = command(k, where + ".wire");
            rs.wire[cid2] = parse_wire_fault(w[k], where + ".wire." + k);
        }
    }
    if (e.isMember("advance")) {
        const Json::Value& a = e["advance"];
        if (!a.isIntegral() || a.asInt64() < 0 || a.asInt64() > 86400 * 366) {
            fault(where + ".advance: seconds 0..31622400");
        }
        rs.advance = a.asInt();
    }
    return rs;
}

}  // namespace

Scenario parse_scenario(const std::string& text)
{
    const Json::Value root = parse_json(text);  // JsonSyntax names the line and column
    check_keys(root, {"ups", "rounds"}, "top level");
    Scenario s;
    if (root.isMember("ups")) s.ups = ups_entry(root["ups"]);
    const Json::Value& rounds = root["rounds"];
    if (!rounds.isNull() && !rounds.isArray()) fault("rounds: not a list");
    for (Json::ArrayIndex r = 0; r < rounds.size(); ++r) {
        s.rounds.push_back(round_entry(rounds[r], "rounds[" + std::to_string(r) + "]"));
    }
    return s;
}

RoundScript named_change(const std::string& name, const std::string& value)
{
    RoundScript change;
    if (vocabulary::find_status(name) != nullptr) {
        // A state by its word, or a byte.
        Json::Value v(value);
        if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0])) != 0) {
            std::size_t used = 0;
            v = Json::Value(static_cast<Json::Int64>(std::stoll(value, &used, 0)));
            if (used != value.size()) fault(name + ": \"" + value + "\" is not a byte 0..255");
        }
        const auto [index, byte_value] = status_entry(name, v, name);
        change.status[index] = byte_value;
        return change;
    }
    const std::size_t index = analog_index(name, name);
    std::size_t used = 0;
    double v = 0;
    try {
        v = std::stod(value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != value.size()) fault(name + ": \"" + value + "\" is not a number");
    if (!std::isfinite(v)) fault(name + ": \"" + value + "\" is not a finite number");
    change.analog[index] = number(Json::Value(v), name);
    return change;
}

std::string describe(const UpsState& state)
{
    std::string text;
    for (std::size_t i = 0; i < std::size(kAnalogNames); ++i) {
        // The shortest text that reads back as the float, as the bench writes it.
        char value[32];
        const auto end = std::to_chars(value, value + sizeof value, state.analog[i]).ptr;
        text += std::string(i == 0 ? "" : " ") + kAnalogNames[i] + "=" + std::string(value, end);
    }
    std::string alarms;
    for (const StatusByte& n : status_bytes()) {
        const std::uint8_t b = state.status.at(n.index);
        if (b == 0) continue;
        std::string word = std::to_string(b);
        for (const State& st : n.states) {
            if (st.value == b) word = st.name;
        }
        alarms += std::string(alarms.empty() ? "" : " ") + n.name + "=" + word;
    }
    return text + "; " + (alarms.empty() ? "all states normal" : alarms);
}

std::string known_names()
{
    std::string text;
    for (const char* a : kAnalogNames) text += std::string(text.empty() ? "" : ", ") + a;
    for (const StatusByte& n : status_bytes()) {
        text += std::string(", ") + n.name + " (normal";
        for (const State& st : n.states) text += std::string("|") + st.name;
        text += ")";
    }
    return text;
}

Scenario read_scenario(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::invalid_argument("scenario " + path + ": cannot read: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return parse_scenario(text.str());
    } catch (const io::JsonSyntax& e) {
        throw std::invalid_argument(path + ":" + e.what());
    } catch (const std::runtime_error& e) {
        throw std::invalid_argument("scenario " + path + ": " + e.what());
    }
}

Scenario demo_scenario()
{
    Scenario s;
    s.ups.analog = {220.5F, 221.0F, 219.8F, 230.0F, 229.9F, 230.1F, 12.5F, 12.25F, 11.75F};
    s.rounds.resize(6);
    s.rounds[1].status[3] = 0xF0;        // inverter fault raised
    s.rounds[2].status[3] = 0x00;        // ... and cleared
    s.rounds[2].short_reply[0x44] = 20;  // with a short 2A/44 reply: last round's bytes stay
    s.rounds[3].status[3] = 0x00;
    s.rounds[3].drop.insert(0x46);  // no answer: the round does not complete
    s.rounds[4].advance = 61;       // a gap: values refused as stale
    return s;
}

}  // namespace emulator
