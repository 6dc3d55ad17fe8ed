// VX40 device: constructor defaults, the polling sequence and the named values.
#include "vx40.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

constexpr unsigned char kCid1 = 0x2A;

// One row per polling step. The reply to a step's command is checked against
// its minimum INFO length (hex characters, two per byte); if long enough, the
// listed INFO bytes go to the record at the given offset. The replies to
// 41, 43 and 44 start with a DATAFLAG byte, hence the copy from INFO byte 1.
struct PollStep {
    unsigned char cid2;
    std::uint16_t min_length;
    std::uint8_t first_info;
    std::uint8_t count;
    std::uint8_t offset;
};

constexpr PollStep kPollSteps[] = {
    {0x41, 128, 1, 63, offsetof(XV40Data_t, analog)},
    {0x43, 14, 1, 6, offsetof(XV40Data_t, info43)},
    {0x44, 30, 1, 14, offsetof(XV40Data_t, alarm)},
    {0x46, 90, 0, 45, offsetof(XV40Data_t, info46)},
};
constexpr int kStepCount = static_cast<int>(std::size(kPollSteps));

// The row of a polling step, or none for a step outside the round (the host's
// value before the first round, say).
const PollStep* step_of(std::int32_t step)
{
    return step >= 1 && step <= kStepCount ? &kPollSteps[step - 1] : nullptr;
}

constexpr bool steps_fit_record()
{
    for (const PollStep& s : kPollSteps) {
        if (s.first_info + s.count > s.min_length / 2 || s.offset + s.count > 132) {
            return false;
        }
    }
    return true;
}
static_assert(steps_fit_record(), "every copy stays inside the accepted INFO and the record");

// Frame layout as the protocol layer hands it over: INFO length in bytes 4..5
// (little-endian), INFO from byte 6.
constexpr std::size_t kInfoLengthAt = 4;
constexpr std::size_t kInfoAt = 6;

// The nine analog values, float32 little-endian at these record offsets.
struct NamedValue {
    char name[24];
    std::uint8_t offset;
};

constexpr NamedValue kNamedValues[] = {
    {"ACInputLineOrPhaseAB_A", 4},   {"ACInputLineOrPhaseBC_B", 8},
    {"ACInputLineOrPhaseCA_C", 12},  {"ACOutputLineOrPhaseAB_A", 16},
    {"ACOutputLineOrPhaseBC_B", 20}, {"ACOutputLineOrPhaseCA_C", 24},
    {"ACOutputCurrentA", 28},        {"ACOutputCurrentB", 32},
    {"ACOutputCurrentC", 36},
};

constexpr long kMaxAgeSeconds = 60;

float read_float_le(const unsigned char* p)
{
    const std::uint32_t bits =
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8U) |
        (static_cast<std::uint32_t>(p[2]) << 16U) | (static_cast<std::uint32_t>(p[3]) << 24U);
    float value = 0.0F;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

VX40::VX40()
{
    device_type_ = "vx40";
    baud_rate_ = 4800;
    address_ = 1;
    protocol_version_ = 0x21;
}

VX40::~VX40() = default;

int VX40::RefreshStatus()
{
    KRTSPDevice::RefreshStatus();
    poll_step_ = 1;
    write_pmbus_cmd(kCid1, kPollSteps[0].cid2);
    return 1;
}

int VX40::process_payload()
{
    last_data_time_ = boost::posix_time::second_clock::local_time();
    const PollStep* const step = step_of(poll_step_);
    if (step == nullptr) {
        return 1;
    }

    // A missing frame counts as a reply without INFO.
    const unsigned char* frame = reply_frame_;
    const unsigned length = frame == nullptr
                                ? 0U
                                : static_cast<unsigned>(frame[kInfoLengthAt]) |
                                      (static_cast<unsigned>(frame[kInfoLengthAt + 1]) << 8U);
    if (length < step->min_length) {
        std::printf("error in VX40_2A_%02X expected len=%u actual len:%u\n", step->cid2,
                    static_cast<unsigned>(step->min_length), length);
        std::fflush(stdout);  // keep the order with the lines written through std::cout
    } else {
        std::memcpy(reinterpret_cast<unsigned char*>(&data_) + step->offset,
                    frame + kInfoAt + step->first_info, step->count);
    }

    if (poll_step_ == kStepCount) {
        RoundDone();
        return 0;
    }
    ++poll_step_;
    write_pmbus_cmd(kCid1, kPollSteps[poll_step_ - 1].cid2);
    return 1;
}

float VX40::Get_Value(unsigned int /*index*/, const std::string& name) const
{
    if (!data_ready_) {
        throw std::out_of_range("数据未就绪");
    }
    const auto now = boost::posix_time::second_clock::local_time();
    if (last_data_time_.is_special() || (now - last_data_time_).total_seconds() > kMaxAgeSeconds) {
        throw std::out_of_range("数据已超时");
    }
    for (const NamedValue& v : kNamedValues) {
        if (name == v.name) {
            return read_float_le(record_bytes() + v.offset);
        }
    }
    throw std::out_of_range("不支持变量");
}
