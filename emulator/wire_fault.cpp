#include "wire_fault.h"

#include <json/value.h>

#include <stdexcept>

#include "number.h"

namespace emulator {

using Arg = FaultKind::Arg;

const std::vector<FaultKind>& fault_kinds()
{
    static const std::vector<FaultKind> kinds = {
        {"chksum", Arg::Flag, 0, 1, "true or false",
         [](WireFault& f, long long n, const std::string&) { f.bad_chksum = n != 0; }},
        {"lchksum", Arg::Flag, 0, 1, "true or false",
         [](WireFault& f, long long n, const std::string&) { f.bad_lchksum = n != 0; }},
        {"rtn", Arg::Number, 1, 255, "an error return is 1..255",
         [](WireFault& f, long long n, const std::string&) {
             f.rtn = static_cast<std::uint8_t>(n);
         }},
        {"rtn_info", Arg::Flag, 0, 1, "true or false",
         [](WireFault& f, long long n, const std::string&) { f.rtn_info = n != 0; }},
        {"late", Arg::FlagOrNumber, 1, 600000, "true, false or milliseconds 1..600000",
         [](WireFault& f, long long n, const std::string&) {
             f.late = n != 0;
             f.late_ms = n > 0 ? static_cast<int>(n) : 0;
         }},
        {"noise", Arg::Text, 1, 4095, "a text of 1..4095 characters",
         [](WireFault& f, long long, const std::string& t) { f.noise = t; }},
        {"chunk", Arg::Number, 1, 4095, "characters per write 1..4095",
         [](WireFault& f, long long n, const std::string&) {
             f.chunk = static_cast<std::size_t>(n);
         }},
        {"adr", Arg::Number, 0, 255, "not a byte 0..255",
         [](WireFault& f, long long n, const std::string&) {
             f.adr = static_cast<std::uint8_t>(n);
         }},
    };
    return kinds;
}

namespace {

const FaultKind* find_kind(const std::string& name)
{
    for (const FaultKind& k : fault_kinds()) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

bool text_fits(const FaultKind& k, const std::string& text)
{
    return static_cast<long long>(text.size()) >= k.lo &&
           static_cast<long long>(text.size()) <= k.hi;
}

// A scenario's entry as it would be typed: "chksum", "rtn=4", "noise=ab".
std::string scenario_word(const std::string& key, const Json::Value& value)
{
    if (value.isBool()) return value.asBool() ? key : key + "=false";
    return key + "=" + value.asString();
}

}  // namespace

WireFault parse_wire_fault(const Json::Value& v, const std::string& where)
{
    if (!v.isObject()) throw std::runtime_error(where + ": not an object");
    WireFault f;
    for (const auto& key : v.getMemberNames()) {
        const FaultKind* k = find_kind(key);
        if (k == nullptr) throw std::runtime_error(where + ": unknown key \"" + key + "\"");
        const Json::Value& value = v[key];
        const auto refuse = [&] {
            throw std::runtime_error(where + "." + key + ": " + k->refusal);
        };
        switch (k->arg) {
            case Arg::Flag:
                if (!value.isBool()) refuse();
                k->set(f, value.asBool() ? 1 : 0, "");
                break;
            case Arg::FlagOrNumber:
                if (value.isBool()) {
                    k->set(f, value.asBool() ? -1 : 0, "");
                    break;
                }
                [[fallthrough]];
            case Arg::Number:
                if (!value.isIntegral() || value.asInt64() < k->lo || value.asInt64() > k->hi)
                    refuse();
                k->set(f, value.asInt64(), "");
                break;
            case Arg::Text:
                if (!value.isString() || !text_fits(*k, value.asString())) refuse();
                k->set(f, 0, value.asString());
                break;
        }
        f.kinds += (f.kinds.empty() ? "" : " ") + scenario_word(key, value);
    }
    return f;
}

std::optional<WireFault> typed_wire_fault(const std::vector<std::string>& words, std::string& why)
{
    WireFault f;
    for (const std::string& word : words) {
        const auto eq = word.find('=');
        const FaultKind* k = find_kind(word.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        const bool bare = eq == std::string::npos;
        bool ok = k != nullptr && (k->arg == Arg::FlagOrNumber || (k->arg == Arg::Flag) == bare);
        if (ok && bare) {
            k->set(f, k->arg == Arg::Flag ? 1 : -1, "");
        } else if (ok && (k->arg == Arg::Number || k->arg == Arg::FlagOrNumber)) {
            const auto n = io::whole_number(value, k->lo, k->hi, 0);
            ok = n.has_value();
            if (ok) k->set(f, *n, "");
        } else if (ok) {
            ok = text_fits(*k, value);
            if (ok) k->set(f, 0, value);
        }
        if (!ok) {
            why = "\"" + word + "\" is not a fault (" + typed_fault_kinds() + ")";
            return std::nullopt;
        }
        f.kinds += (f.kinds.empty() ? "" : " ") + word;
    }
    return f;
}

std::string typed_fault_kinds()
{
    std::string text;
    for (const FaultKind& k : fault_kinds()) {
        if (!text.empty()) text += ", ";
        text += k.name;
        if (k.arg == Arg::Number) {
            text += "=" + std::to_string(k.lo) + ".." + std::to_string(k.hi);
        } else if (k.arg == Arg::FlagOrNumber) {
            text += "[=" + std::to_string(k.lo) + ".." + std::to_string(k.hi) + "]";
        } else if (k.arg == Arg::Text) {
            text += "=TEXT";
        }
    }
    return text;
}

}  // namespace emulator
