#include "workload.h"

#include <cstddef>
#include <cstring>

#include "host.h"
#include "record.h"
#include "vx40.h"

namespace workload {

namespace {

// Per step: the INFO length of a full reply, where its data go in the record,
// how many bytes, and the first INFO byte copied (after a DATAFLAG byte, or
// not). The device under test holds its own table; this one only feeds it
// and the floor.
struct Step {
    std::uint16_t info_hex;
    std::size_t offset;
    std::size_t count;
    std::size_t first_info;
};
constexpr Step kSteps[4] = {
    {128, offsetof(XV40Data_t, analog), sizeof(XV40Data_t::analog), 1},
    {14, offsetof(XV40Data_t, info43), sizeof(XV40Data_t::info43), 1},
    {30, offsetof(XV40Data_t, alarm), sizeof(XV40Data_t::alarm), 1},
    {90, offsetof(XV40Data_t, info46), sizeof(XV40Data_t::info46), 0},
};
constexpr std::size_t kInfoAt = 6;

}  // namespace

Replies::Replies()
{
    for (std::size_t s = 0; s < 4; ++s) {
        std::vector<unsigned char> info(kSteps[s].info_hex / 2U);
        for (std::size_t i = 0; i < info.size(); ++i) {
            info[i] = static_cast<unsigned char>(0x10 * s + i);
        }
        frames[s] = standin::decoded_frame(0x21, 0x01, 0x2A, 0x00, kSteps[s].info_hex, info);
    }
}

void round(PMBusProtocol& dev, const Replies& replies)
{
    dev.RefreshStatus();
    for (const auto& frame : replies.frames) {
        standin::deliver(dev, frame.data());
    }
}

Json::Value mode3_settings(int signals)
{
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = 3;
    Json::Value& thresholds = settings["thresholdSetting"];
    for (int i = 0; i < signals; ++i) {
        Json::Value& s = thresholds["signal_" + std::to_string(i)];
        s["SignalName"] = "Signal " + std::to_string(i);
        s["NMAlarmID"] = "08049";
        s["ID"] = i;
        s["SignalNumber"] = 1;
    }
    return settings;
}

std::vector<unsigned char> cached_record()
{
    std::vector<unsigned char> image(sizeof(XV40Data_t));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<unsigned char>(i * 7U);
    }
    return image;
}

Floor::Floor(PMBusProtocol& reference, const Replies& replies)
{
    standin::Host recorder;
    const standin::ScopedHost bind(recorder);
    workload::round(reference, replies);
    for (const standin::Call* c : recorder.of(standin::Service::CheckThresholdBool)) {
        alarms_.push_back({c->text[0], c->text[1], c->text[2]});
    }
}

void Floor::round(const Replies& replies)
{
    for (std::size_t s = 0; s < 4; ++s) {
        std::memcpy(record_ + kSteps[s].offset,
                    replies.frames[s].data() + kInfoAt + kSteps[s].first_info, kSteps[s].count);
    }
    SendSP(kVX40DataId, record_, sizeof record_, false);
    unsigned short seq = 1;
    for (const Alarm& a : alarms_) {
        CheckThresholdBool(2, a.signal_id, a.nm_alarm_id, a.text, a.text,
                           record_[offsetof(XV40Data_t, alarm)] == 0xF0, seq++);
    }
    SaveDeviceHistory(record_, sizeof record_);
}

int Floor::LoadFromCache(const unsigned char* /*image*/, int /*length*/)
{
    return 0;
}

}  // namespace workload
