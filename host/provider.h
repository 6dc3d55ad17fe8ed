// Host framework: device providers as returned by a plug-in's get_providers.
#pragma once

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
