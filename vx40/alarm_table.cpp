// VX40 alarm table: the alarm status bytes of the 2A/44 reply (record offsets
// 73..86) turned into eighteen boolean alarm reports per round.
#include <cstddef>
#include <cstdint>
#include <string>

#include "vx40.h"

namespace {

// One row per alarm, reported in this order. A row is active exactly when its
// status byte equals its value (no mask). Record offsets 79 and 80 are carried
// but tested by no row.
//
// Rows 6 and 7 share the signal id "vx40_5", and the ids after them run one
// behind the row number: the host's configurations and the network management
// side key their alarms by these ids, so they must not be renumbered.
struct AlarmRow {
    char signal_id[8];
    char nm_alarm_id[6];
    char text[56];  // UTF-8
    std::uint8_t offset;
    std::uint8_t value;
};

constexpr AlarmRow kAlarmRows[] = {
    {"vx40_0", "08032", "逆变器不同步告警", 73, 0x03},
    {"vx40_1", "08049", "市电电压低于下限（掉电）", 74, 0x01},
    {"vx40_2", "08049", "市电电压高于上限", 74, 0x02},
    {"vx40_3", "08049", "市电电压超限", 74, 0xE0},
    {"vx40_4", "08028", "整流器故障告警", 75, 0xF0},
    {"vx40_5", "08034", "逆变器故障告警", 76, 0xF0},
    {"vx40_5", "08024", "旁路电压过低", 77, 0x01},
    {"vx40_6", "08023", "旁路电压过高", 77, 0x02},
    {"vx40_7", "08042", "即将停机告警", 78, 0x01},
    {"vx40_8", "08049", "蓄电池总电压高于上限（电压过高 ）", 78, 0x03},
    {"vx40_9", "08049", "蓄电池总电压故障", 78, 0xF0},
    {"vx40_10", "08049", "蓄电池总电压预告警", 78, 0xE0},
    {"vx40_11", "08047", "充电器故障告警", 81, 0xF0},
    {"vx40_12", "08049", "零线/火线接反", 82, 0xF0},
    {"vx40_13", "08049", "输出短路", 83, 0xF0},
    {"vx40_14", "08049", "输出过载", 84, 0xF0},
    {"vx40_15", "08049", "散热器温度过高", 85, 0xF0},
    {"vx40_16", "08049", "市电频率超限", 86, 0xE0},
};

constexpr bool rows_read_alarm_field()
{
    for (const AlarmRow& row : kAlarmRows) {
        if (row.offset < offsetof(XV40Data_t, alarm) ||
            row.offset >= offsetof(XV40Data_t, alarm) + sizeof(XV40Data_t::alarm)) {
            return false;
        }
    }
    return true;
}
static_assert(std::size(kAlarmRows) == 18);
static_assert(rows_read_alarm_field(), "every row tests a byte of the alarm field");

}  // namespace

void VX40::RunCheckThreshold()
{
    // The strings are reused from row to row, so a round allocates only when a
    // text outgrows what an earlier one left.
    std::string signal_id;
    std::string nm_alarm_id;
    std::string text;
    const unsigned char* record = record_bytes();
    for (const AlarmRow& row : kAlarmRows) {
        signal_id.assign(row.signal_id);
        nm_alarm_id.assign(row.nm_alarm_id);
        text.assign(row.text);
        const bool active = record[row.offset] == row.value;
        const unsigned short seq = alarm_seq_;
        alarm_seq_ = static_cast<std::uint16_t>(seq + 1U);
        CheckThresholdBool(2, signal_id, nm_alarm_id, text, text, active, seq);
    }
}
