// The VX40 UPS device: four-request polling round, named analog values and
// the alarm table, on top of the generic polled-record device.
#pragma once

#include <string>

#include "record.h"
#include "spdevice.h"
#include "unidata_device.h"

// Identifier under which every round's record is distributed.
inline constexpr int kVX40DataId = 5193;

class VX40 : public UniDataDevice<XV40Data_t, PMBusProtocol, kVX40DataId> {
public:
    VX40();
    ~VX40() override;
    VX40(const VX40&) = delete;
    VX40& operator=(const VX40&) = delete;
    VX40(VX40&&) = delete;
    VX40& operator=(VX40&&) = delete;

    float Get_Value(unsigned int index, const std::string& name) const override;
    int RefreshStatus() override;
    int process_payload() override;
    void RunCheckThreshold() override;
};
