#include "vocabulary.h"

namespace vocabulary {

namespace {

constexpr State kSync[] = {{"not_synchronised", 0x03}};
constexpr State kMains[] = {{"low", 0x01}, {"high", 0x02}, {"out_of_limits", 0xE0}};
constexpr State kFault[] = {{"fault", 0xF0}};
constexpr State kBypass[] = {{"low", 0x01}, {"high", 0x02}};
constexpr State kBattery[] = {
    {"shutdown", 0x01}, {"high", 0x03}, {"fault", 0xF0}, {"pre_alarm", 0xE0}};
constexpr State kWiring[] = {{"reversed", 0xF0}};
constexpr State kShort[] = {{"short_circuit", 0xF0}};
constexpr State kLoad[] = {{"overload", 0xF0}};
constexpr State kHeat[] = {{"over_temperature", 0xF0}};
constexpr State kFrequency[] = {{"out_of_limits", 0xE0}};

constexpr StatusByte kStatusBytesTable[] = {
    {"inverter_sync", 0, kSync},    {"mains_voltage", 1, kMains},
    {"rectifier", 2, kFault},       {"inverter", 3, kFault},
    {"bypass_voltage", 4, kBypass}, {"battery_voltage", 5, kBattery},
    {"charger", 8, kFault},         {"wiring", 9, kWiring},
    {"output_short", 10, kShort},   {"output_load", 11, kLoad},
    {"heatsink", 12, kHeat},        {"mains_frequency", 13, kFrequency},
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

const Gloss* find_gloss(std::string_view text)
{
    for (const Gloss& g : kGlosses) {
        if (text == g.text) return &g;
    }
    return nullptr;
}

}  // namespace

const Request* find_request(std::string_view name)
{
    for (const Request& r : kRequests) {
        if (name == r.name) return &r;
    }
    return nullptr;
}

const Request* find_request(std::uint8_t cid2)
{
    for (const Request& r : kRequests) {
        if (cid2 == r.cid2) return &r;
    }
    return nullptr;
}

std::string request_names()
{
    std::string text;
    for (std::size_t i = 0; i < kRequests.size(); ++i) {
        if (i != 0) text += i + 1 == kRequests.size() ? " or " : ", ";
        text += kRequests[i].name;
    }
    return text;
}

std::span<const StatusByte> status_bytes()
{
    return kStatusBytesTable;
}

const StatusByte* find_status(std::string_view name)
{
    for (const StatusByte& s : kStatusBytesTable) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

std::span<const Gloss> glosses()
{
    return kGlosses;
}

std::string gloss(std::string_view text)
{
    const Gloss* g = find_gloss(text);
    return g != nullptr ? g->english : "";
}

std::string refusal_code(std::string_view text)
{
    const Gloss* g = find_gloss(text);
    return g != nullptr && *g->code != '\0' ? g->code : "error";
}

}  // namespace vocabulary
