// Host device framework: the generic device interface and the virtual device.
// The order of the virtual functions is the host's binary contract: every slot
// must stay where it is.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

// The host's declarations keep default visibility, as the host's own headers
// have them, whatever the plug-in's own code is built with.
#pragma GCC visibility push(default)

class KRTController;

// One threshold rule of a round; only the host creates or reads it.
struct rule_value {
    int type = 0;
    std::string signal_id;
    std::string nm_alarm_id;
    int level = 0;
    float threshold = 0.0F;
    std::string alarm_text;
    std::string recover_text;
    int flags = 0;
};

class VDeviceInterface {
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;
    VDeviceInterface(VDeviceInterface&&) = delete;
    VDeviceInterface& operator=(VDeviceInterface&&) = delete;

    virtual float Get_Value(unsigned int /*index*/, const std::string& /*name*/) const
    {
        throw std::out_of_range("数据未就绪");
    }
    virtual int LoadFromCache(const std::string& image)
    {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                             static_cast<int>(image.size()));
    }
    virtual int LoadFromCache(const unsigned char* image, int length) = 0;
    virtual std::uint32_t DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    virtual int DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                                int& returned) = 0;
    virtual void RoundDone() = 0;
    virtual bool UseControllerDb() { return use_controller_db_; }
    virtual ~VDeviceInterface() = default;

    std::uint32_t data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
};

class KRTVDevice : public VDeviceInterface {
public:
    KRTVDevice();
    ~KRTVDevice() override;
    KRTVDevice(const KRTVDevice&) = delete;
    KRTVDevice& operator=(const KRTVDevice&) = delete;
    KRTVDevice(KRTVDevice&&) = delete;
    KRTVDevice& operator=(KRTVDevice&&) = delete;

    int DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                        int& returned) override;
    virtual int Reset() = 0;
    virtual int InitV(KRTVDevice* parent, unsigned int index, const Json::Value& settings);
    virtual int Init(std::weak_ptr<KRTController> controller, unsigned int index,
                     const Json::Value& settings) = 0;
    virtual int InitSetting(const Json::Value& settings) = 0;
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<KRTVDevice> GetChildVDevice(unsigned int /*index*/) { return {}; }
    virtual std::vector<std::shared_ptr<KRTVDevice>> GetAllChildVDevices() { return {}; }
    virtual int SendSP(int data_id, const unsigned char* data, unsigned int length, bool flag);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& name);

    int CheckThresholdBool(int kind, const std::string& signal_id, const std::string& nm_alarm_id,
                           const std::string& alarm_text, const std::string& recover_text,
                           bool active, unsigned short seq);
    bool CheckAOReport(const std::string& name, float value);
    int CheckThreshold(const std::string& name, const std::string& text, const float& value,
                       int kind);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    int SaveDeviceHistory(const unsigned char* data, unsigned int length);

    std::uint16_t alarm_seq_ = 0;
    boost::posix_time::ptime last_data_time_;
    bool data_ready_ = false;
    std::vector<rule_value> pending_rules_;
    bool round_check_result_ = false;
    std::vector<std::string> ao_names_;
    std::map<std::string, float> ao_values_;
    std::map<std::string, int> threshold_levels_;
    std::map<std::string, float> threshold_values_;
};

#pragma GCC visibility pop
