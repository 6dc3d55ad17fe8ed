// The work that benchmarks and heap checks measure, with everything a round
// needs built beforehand: reply frames, settings, a cached record, and the
// floor, a round that does only the unavoidable work.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <json/value.h>

#include "record.h"
#include "spdevice.h"

namespace workload {

// The four full-length decoded replies of a round, in polling order, and the
// INFO length (hex characters) of each.
struct Replies {
    Replies();
    std::array<std::vector<unsigned char>, 4> frames;
};

// A full round: RefreshStatus, then the four replies.
void round(PMBusProtocol& dev, const Replies& replies);

// A mode-3 settings object with `signals` threshold signals.
Json::Value mode3_settings(int signals);

// A 139-byte record image with every byte set.
std::vector<unsigned char> cached_record();

// The floor of a round: the four copies into a record, eighteen alarm reports
// with strings made once, SendSP and SaveDeviceHistory, on a device of the
// stand-in host's own classes.
class Floor final : public PMBusProtocol {
public:
    // The alarm strings are those that `reference` reports in one round.
    explicit Floor(PMBusProtocol& reference, const Replies& replies);
    void round(const Replies& replies);

    using PMBusProtocol::LoadFromCache;
    int LoadFromCache(const unsigned char* image, int length) override;
    void RoundDone() override {}
    int process_payload() override { return 0; }
    std::size_t alarm_rows() const { return alarms_.size(); }

private:
    struct Alarm {
        std::string signal_id, nm_alarm_id, text;
    };
    std::vector<Alarm> alarms_;
    unsigned char record_[sizeof(XV40Data_t)] = {};
};

}  // namespace workload
