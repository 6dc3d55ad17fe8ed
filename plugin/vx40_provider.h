// The plug-in's device provider: makes VX40 devices for the host.
#pragma once

#include "provider.h"

class VX40Provider : public KRTSPDeviceProvider {
public:
    VX40Provider() = default;
    ~VX40Provider() override;
    VX40Provider(const VX40Provider&) = delete;
    VX40Provider& operator=(const VX40Provider&) = delete;
    VX40Provider(VX40Provider&&) = delete;
    VX40Provider& operator=(VX40Provider&&) = delete;

    // A new device; the caller owns it and destroys it through its virtual
    // destructor.
    KRTSPDevice* create() const override;
};
