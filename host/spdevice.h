// Host framework: the serial-port device and the request/reply protocol layer.
// Virtual functions continue the slot order of KRTVDevice.
#pragma once

#include <cstdint>

#include "vdevice.h"

// The host's declarations keep default visibility, as the host's own headers
// have them, whatever the plug-in's own code is built with.
#pragma GCC visibility push(default)

enum EnumParity { PARITY_NONE, PARITY_ODD, PARITY_EVEN };

class KRTSPDevice : public KRTVDevice {
public:
    KRTSPDevice();
    ~KRTSPDevice() override;
    KRTSPDevice(const KRTSPDevice&) = delete;
    KRTSPDevice& operator=(const KRTSPDevice&) = delete;
    KRTSPDevice(KRTSPDevice&&) = delete;
    KRTSPDevice& operator=(KRTSPDevice&&) = delete;

    int Reset() override;
    int Init(std::weak_ptr<KRTController> controller, unsigned int index,
             const Json::Value& settings) override;
    virtual int RefreshStatus();
    virtual int process(unsigned char* data, unsigned int length) = 0;
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

    std::int32_t poll_step_ = 0;
    std::uint8_t address_ = 0;        // device address on the serial bus (ADR)
    std::uint32_t baud_rate_ = 9600;  // serial line speed
};

class PMBusProtocol : public KRTSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;
    PMBusProtocol(const PMBusProtocol&) = delete;
    PMBusProtocol& operator=(const PMBusProtocol&) = delete;
    PMBusProtocol(PMBusProtocol&&) = delete;
    PMBusProtocol& operator=(PMBusProtocol&&) = delete;

    int InitSetting(const Json::Value& settings) override;
    int process(unsigned char* data, unsigned int length) override;
    virtual int process_payload() = 0;
    virtual int process_error();

    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);

    // Decoded reply: VER, ADR, CID1, RTN, INFO length (16-bit LE, hex
    // characters), then the INFO bytes.
    const unsigned char* reply_frame_ = nullptr;
    std::uint8_t protocol_version_ = 0x20;  // protocol version byte (VER)
};

#pragma GCC visibility pop
