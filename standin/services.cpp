// Out-of-line members of the host framework's classes, as the stand-in host
// provides them to plug-ins. Every service a device may call is recorded.
#include <cstring>

#include <boost/date_time/posix_time/conversion.hpp>

#include "host.h"
#include "spdevice.h"
#include "ttime.h"

using standin::Call;
using standin::host;
using standin::Service;

namespace {
void copy_bytes(Call* c, const unsigned char* data, unsigned int length)
{
    if (c == nullptr) {
        return;
    }
    c->length = length;
    if (data != nullptr) {
        c->bytes.assign(data, data + length);
    }
}
}  // namespace

// Layout of the 7 bytes: year (16-bit little-endian), month 1..12, day 1..31,
// hour, minute, second. A special time (not a date) gives seven zero bytes.
ttime_t get_ttime(boost::posix_time::ptime t)
{
    host().enter(Service::GetTtime, nullptr);
    ttime_t stamp{};
    if (t.is_special()) {
        return stamp;
    }
    const auto date = t.date();
    const auto tod = t.time_of_day();
    const auto year = static_cast<unsigned>(date.year());
    stamp.bytes[0] = static_cast<unsigned char>(year & 0xFFU);
    stamp.bytes[1] = static_cast<unsigned char>(year >> 8U);
    stamp.bytes[2] = static_cast<unsigned char>(date.month().as_number());
    stamp.bytes[3] = static_cast<unsigned char>(date.day().as_number());
    stamp.bytes[4] = static_cast<unsigned char>(tod.hours());
    stamp.bytes[5] = static_cast<unsigned char>(tod.minutes());
    stamp.bytes[6] = static_cast<unsigned char>(tod.seconds());
    return stamp;
}

// ---- KRTVDevice ----------------------------------------------------------

KRTVDevice::KRTVDevice()
{
    if (!host().harsh.poison) {
        return;
    }
    using standin::Poison;
    data_id_ = Poison::data_id;
    device_type_ = Poison::device_type;
    use_controller_db_ = Poison::use_controller_db;
    alarm_seq_ = Poison::alarm_seq;
    last_data_time_ = boost::posix_time::from_time_t(Poison::last_data_time);
    round_check_result_ = Poison::round_check_result;
    pending_rules_.resize(Poison::pending_rules);
    ao_names_ = {Poison::ao_name};
    ao_values_[Poison::ao_value_name] = Poison::ao_value;
    threshold_levels_[Poison::threshold_key] = Poison::threshold_level;
    threshold_values_[Poison::threshold_key] = Poison::threshold_value;
}
KRTVDevice::~KRTVDevice() = default;

int KRTVDevice::DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_size*/, void* /*out*/,
                                int /*out_size*/, int& returned)
{
    returned = 0;
    return 0;
}

int KRTVDevice::InitV(KRTVDevice* /*parent*/, unsigned int /*index*/, const Json::Value& settings)
{
    return InitSetting(settings);
}

bool KRTVDevice::IsSupportDevice(const std::string& type) const
{
    return type == device_type_;
}

int KRTVDevice::SendSP(int data_id, const unsigned char* data, unsigned int length, bool flag)
{
    Call* c = host().enter(Service::SendSP, this);
    if (c != nullptr) {
        c->number = data_id;
        c->flag = flag;
    }
    copy_bytes(c, data, length);
    return 1;
}

int KRTVDevice::SendDelayData(int /*delay*/)
{
    return 0;
}
int KRTVDevice::SendDoData(int /*channel*/, char /*value*/)
{
    return 0;
}
int KRTVDevice::ReadDi(int /*channel*/)
{
    return 0;
}
float KRTVDevice::ReadAi(int /*channel*/)
{
    return 0.0F;
}
float KRTVDevice::Get_SP_Value(unsigned int index, const std::string& name)
{
    return Get_Value(index, name);
}

int KRTVDevice::CheckThresholdBool(int kind, const std::string& signal_id,
                                   const std::string& nm_alarm_id, const std::string& alarm_text,
                                   const std::string& recover_text, bool active, unsigned short seq)
{
    Call* c = host().enter(Service::CheckThresholdBool, this);
    if (c != nullptr) {
        c->number = kind;
        c->text[0] = signal_id;
        c->text[1] = nm_alarm_id;
        c->text[2] = alarm_text;
        c->text[3] = recover_text;
        c->flag = active;
        c->seq = seq;
    }
    return 0;
}

bool KRTVDevice::CheckAOReport(const std::string& name, float value)
{
    Call* c = host().enter(Service::CheckAOReport, this);
    if (c != nullptr) {
        c->text[0] = name;
        c->value = value;
    }
    const float adds = host().harsh.ao_report_adds;
    if (const auto it = ao_values_.find(name); adds != 0.0F && it != ao_values_.end()) {
        it->second += adds;
    }
    if (host().on_ao_report) {
        host().on_ao_report(*this, name);
    }
    return host().ao_report_result;
}

int KRTVDevice::CheckThreshold(const std::string& name, const std::string& text, const float& value,
                               int kind)
{
    Call* c = host().enter(Service::CheckThreshold, this);
    if (c != nullptr) {
        c->text[0] = name;
        c->text[1] = text;
        c->value = value;
        c->number = kind;
    }
    return 0;
}

bool KRTVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules)
{
    Call* c = host().enter(Service::DoBatchCheckThreshold, this);
    if (c != nullptr) {
        c->number2 = static_cast<int>(rules.size());
    }
    // The list handed over is the device's own: a host may consume it or add
    // to it while it checks.
    const int change = host().harsh.batch_changes_rules;
    if (change < 0) {
        pending_rules_.clear();
    } else if (change > 0) {
        pending_rules_.resize(pending_rules_.size() + static_cast<std::size_t>(change));
    }
    return host().batch_result;
}

int KRTVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length)
{
    copy_bytes(host().enter(Service::SaveDeviceHistory, this), data, length);
    return 1;
}

// ---- KRTSPDevice ---------------------------------------------------------

KRTSPDevice::KRTSPDevice()
{
    if (host().harsh.poison) {
        poll_step_ = standin::Poison::poll_step;
        address_ = standin::Poison::address;
        baud_rate_ = standin::Poison::baud_rate;
    }
}
KRTSPDevice::~KRTSPDevice() = default;

int KRTSPDevice::Reset()
{
    host().enter(Service::Reset, this);
    return 0;
}

int KRTSPDevice::Init(std::weak_ptr<KRTController> /*controller*/, unsigned int /*index*/,
                      const Json::Value& settings)
{
    return InitSetting(settings);
}

int KRTSPDevice::RefreshStatus()
{
    host().enter(Service::RefreshStatus, this);
    if (const auto step = host().harsh.refresh_sets_step) {
        poll_step_ = *step;
    }
    return 1;
}

bool KRTSPDevice::IsProcessing()
{
    return poll_step_ != 0;
}
bool KRTSPDevice::IsStalled()
{
    return false;
}
int KRTSPDevice::SendData(const unsigned char* /*data*/, unsigned int length)
{
    return static_cast<int>(length);
}
int KRTSPDevice::SendParityData(const unsigned char* /*data*/, unsigned int length,
                                EnumParity /*parity*/)
{
    return static_cast<int>(length);
}
int KRTSPDevice::OpenPort()
{
    return 1;
}
int KRTSPDevice::ClosePort()
{
    return 1;
}

// ---- PMBusProtocol -------------------------------------------------------

PMBusProtocol::PMBusProtocol()
{
    if (host().harsh.poison) {
        protocol_version_ = standin::Poison::protocol_version;
    }
}
PMBusProtocol::~PMBusProtocol() = default;

int PMBusProtocol::InitSetting(const Json::Value& /*settings*/)
{
    host().enter(Service::InitSetting, this);
    return host().init_setting_result;
}

// A decoded frame from the port: handed to the device if it holds its header
// and the INFO that its length claims, else reported as an error.
int PMBusProtocol::process(unsigned char* data, unsigned int length)
{
    if (data == nullptr || length < 6) {
        return process_error();
    }
    const unsigned info_hex = data[4] | (static_cast<unsigned>(data[5]) << 8U);
    if (6U + (info_hex + 1U) / 2U > length) {
        return process_error();
    }
    reply_frame_ = data;
    const int result = process_payload();
    reply_frame_ = nullptr;
    return result;
}

int PMBusProtocol::process_error()
{
    host().enter(Service::ProcessError, this);
    return 0;
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2)
{
    Call* c = host().enter(Service::WritePmbusCmd, this);
    if (c != nullptr) {
        c->number = cid1;
        c->number2 = cid2;
    }
    return 1;
}
