// Host framework: device providers as returned by a plug-in's get_providers.
#pragma once

// The host's declarations keep default visibility, as the host's own headers
// have them, whatever the plug-in's own code is built with.
#pragma GCC visibility push(default)

class KRTSPDevice;

class Provider {
public:
    Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    Provider(Provider&&) = delete;
    Provider& operator=(Provider&&) = delete;
    virtual ~Provider() = default;
};

class KRTSPDeviceProvider : public Provider {
public:
    KRTSPDeviceProvider() = default;
    ~KRTSPDeviceProvider() override = default;
    KRTSPDeviceProvider(const KRTSPDeviceProvider&) = delete;
    KRTSPDeviceProvider& operator=(const KRTSPDeviceProvider&) = delete;
    KRTSPDeviceProvider(KRTSPDeviceProvider&&) = delete;
    KRTSPDeviceProvider& operator=(KRTSPDeviceProvider&&) = delete;
    virtual KRTSPDevice* create() const = 0;
};

#pragma GCC visibility pop
