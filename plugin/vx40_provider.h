// The plug-in's device provider: makes VX40 devices for the host.
#pragma once

#include "provider.h"

// The library is built with hidden visibility; what the host resolves by name
// is marked, and plugin/exports.map lists it for the linker.
#define VX40_EXPORT __attribute__((visibility("default")))
#define VX40_LOCAL __attribute__((visibility("hidden")))

// Its type information and virtual table are exported; its members are not.
class VX40_EXPORT VX40Provider : public KRTSPDeviceProvider {
public:
    VX40_LOCAL VX40Provider() = default;
    VX40_LOCAL ~VX40Provider() override;
    VX40Provider(const VX40Provider&) = delete;
    VX40Provider& operator=(const VX40Provider&) = delete;
    VX40Provider(VX40Provider&&) = delete;
    VX40Provider& operator=(VX40Provider&&) = delete;

    // A new device; the caller owns it and destroys it through its virtual
    // destructor.
    VX40_LOCAL KRTSPDevice* create() const override;
};
