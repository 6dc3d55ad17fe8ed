#include "round_reader.h"

#include <algorithm>
#include <stdexcept>

namespace bench {

namespace {

[[noreturn]] void fault(const std::string& what)
{
    throw std::runtime_error(what);
}

// The round emptied, its values made nine, before it is read again.
void begin(RoundResult& r)
{
    r.reset(0);
    r.values.resize(kValueNames.size());
    for (std::size_t k = 0; k < kValueNames.size(); ++k) r.values[k].name = kValueNames[k];
}

// A value as the JSON gives it: a number, or {"error": CODE, "text": TEXT}.
bool take_value(const Json::Value& v, ValueRead& to)
{
    to.ok = v.isNumeric();
    to.num = to.ok ? v.asFloat() : 0.0F;
    to.code.clear();
    to.text.clear();
    if (to.ok) return true;
    if (!v.isObject() || !v["error"].isString()) return false;
    to.code = v["error"].asString();
    if (v["text"].isString()) to.text = v["text"].asString();
    return true;
}

}  // namespace

bool RoundReader::values(io::JsonCursor& json, RoundResult& r)
{
    std::uint16_t have = 0;  // a bit per name
    if (!json.take('{')) return false;
    if (!json.take('}')) {
        do {
            if (!json.key(key_)) return false;
            const auto* name = std::find(kValueNames.begin(), kValueNames.end(), key_);
            if (name == kValueNames.end()) {
                if (!json.skip(2)) return false;
                continue;
            }
            const auto k = static_cast<std::size_t>(name - kValueNames.begin());
            if (!json.value(value_, 2) || !take_value(value_, r.values[k])) return false;
            have |= static_cast<std::uint16_t>(1U << k);
        } while (json.take(','));
        if (!json.take('}')) return false;
    }
    return have == 0x1FFU;
}

bool RoundReader::alarms(io::JsonCursor& json, RoundResult& r)
{
    r.alarms.clear();
    if (!json.take('[')) return false;
    if (json.take(']')) return true;
    do {
        AlarmReport& a = r.alarms.add();
        const bool texts = r.alarms.size() > known_alarms_;
        a.active = false;
        a.seq = 0;
        if (texts) {
            a.signal.clear();
            a.nm.clear();
            a.text.clear();
        }
        if (!json.take('{')) return false;
        if (json.take('}')) continue;
        do {
            if (!json.key(key_)) return false;
            std::string* text = key_ == "signal" ? &a.signal
                                : key_ == "nm"   ? &a.nm
                                : key_ == "text" ? &a.text
                                                 : nullptr;
            bool taken = false;
            if (key_ == "active") {
                taken = json.boolean(a.active);
            } else if (key_ == "seq") {
                taken = json.value(value_, 2) && value_.isUInt();
                if (taken) a.seq = value_.asUInt();
            } else if (text != nullptr && texts) {
                taken = json.string(*text);
            } else {
                taken = json.skip(2);
            }
            if (!taken) return false;
        } while (json.take(','));
        if (!json.take('}')) return false;
    } while (json.take(','));
    return json.take(']');
}

bool RoundReader::read_line(const std::string& line, RoundResult& r)
{
    io::JsonCursor json(line);
    bool have_round = false;
    bool have_clock = false;
    bool have_values = false;
    begin(r);
    const auto texts = [&](std::vector<std::string>& to) {
        to.clear();
        if (!json.take('[')) return false;
        if (json.take(']')) return true;
        do {
            if (!json.string(to.emplace_back())) return false;
        } while (json.take(','));
        return json.take(']');
    };
    if (!json.take('{') || json.take('}')) return false;
    do {
        if (!json.key(key_)) return false;
        bool taken = true;
        if (key_ == "round") {
            taken = json.value(value_, 1) && value_.isInt64();
            have_round = taken;
            if (taken) r.round = static_cast<long>(value_.asInt64());
        } else if (key_ == "clock") {
            taken = have_clock = json.string(r.clock);
        } else if (key_ == "values") {
            taken = have_values = values(json, r);
        } else if (key_ == "completed") {
            taken = json.boolean(r.completed);
        } else if (key_ == "alarms") {
            taken = alarms(json, r);
        } else if (key_ == "log") {
            taken = texts(r.log);
        } else if (key_ == "rejected") {
            taken = texts(r.rejected);
        } else if (key_ == "missing") {
            taken = texts(r.missing);
        } else {
            taken = json.skip(1);
        }
        if (!taken) return false;
    } while (json.take(','));
    return json.take('}') && json.end() && have_round && have_clock && have_values;
}

void RoundReader::read(const Json::Value& v, RoundResult& r)
{
    if (!v.isObject()) fault("a round is not a JSON object");
    const Json::Value& number_of = v["round"];
    if (!number_of.isInt64()) fault("\"round\" missing or not a number");
    const std::string where = "round " + number_of.asString() + ": ";
    if (!v["clock"].isString()) fault(where + "\"clock\" missing");
    const Json::Value& values = v["values"];
    if (!values.isObject()) fault(where + "\"values\" missing");
    begin(r);
    r.round = static_cast<long>(number_of.asInt64());
    r.clock = v["clock"].asString();
    for (std::size_t k = 0; k < kValueNames.size(); ++k) {
        if (!take_value(values[kValueNames[k]], r.values[k])) {
            fault(where + "value " + kValueNames[k] + " missing");
        }
    }
    r.completed = v["completed"].asBool();
    const Json::Value& alarms = v["alarms"];
    if (alarms.isArray()) {
        for (Json::ArrayIndex i = 0; i < alarms.size(); ++i) {
            const Json::Value& a = alarms[i];
            AlarmReport& to = r.alarms.add();
            if (i >= known_alarms_) {
                to.signal = a["signal"].asString();
                to.nm = a["nm"].asString();
                to.text = a["text"].asString();
            }
            to.active = a["active"].asBool();
            to.seq = a["seq"].isUInt() ? a["seq"].asUInt() : 0;
        }
    }
    const auto texts = [](const Json::Value& list, std::vector<std::string>& to) {
        for (const auto& l : list) to.push_back(l.asString());
    };
    texts(v["log"], r.log);
    texts(v["rejected"], r.rejected);
    texts(v["missing"], r.missing);
}

}  // namespace bench
