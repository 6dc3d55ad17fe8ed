// Settings reader of UniDataDevice: the device identifier into the record,
// the application mode and, in mode 3, the identities of the threshold signals.
// The settings are only read; JsonCpp's own errors for values of the wrong
// type pass to the host unchanged.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "unidata_device.h"

namespace unidata_detail {

inline bool present(const Json::Value& v)
{
    return v.type() != Json::nullValue;
}

// atoi's reading (leading blanks, a sign, the digits after it; 0 when none),
// with a number beyond the 32-bit range held at the nearer end instead of
// undefined.
inline std::int32_t leading_int(const std::string& text)
{
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long long>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace unidata_detail

template <typename Data, typename Protocol, int DataIdent>
int UniDataDevice<Data, Protocol, DataIdent>::InitSetting(const Json::Value& settings)
{
    using unidata_detail::present;

    // The identifier goes into the first record word, little-endian.
    const std::uint32_t id = this->data_id_;
    const unsigned char id_le[4] = {
        static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8U),
        static_cast<unsigned char>(id >> 16U), static_cast<unsigned char>(id >> 24U)};
    std::memcpy(&data_, id_le, sizeof id_le);

    const Json::Value& app = settings["appSetting"];
    if (app.type() == Json::objectValue) {
        const Json::Value& mode = app["b_mode"];
        if (present(mode)) {
            b_mode_ = unidata_detail::leading_int(mode.asString());
            std::cout << "InitSetting " << id << " b_mode_:" << b_mode_ << std::endl;
        }
    }

    if (b_mode_ == 3) {
        std::cout << "here 1" << std::endl;
        const Json::Value& thresholds = settings["thresholdSetting"];
        if (present(thresholds)) {
            std::cout << "here 2" << std::endl;
            for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
                const std::string key = it.key().asString();
                std::cout << "here " << key << std::endl;
                const Json::Value& signal = thresholds[key];
                if (signal.type() != Json::objectValue) {
                    continue;
                }
                const Json::Value& name = signal["SignalName"];
                if (present(name)) {
                    signal_names_[key] = name.asString();
                }
                std::string identity;
                for (const char* field : {"NMAlarmID", "ID", "SignalNumber"}) {
                    const Json::Value& part = signal[field];
                    if (present(part)) {
                        identity += part.asString();
                    } else {
                        std::cout << id << ' ' << field << " is missing" << std::endl;
                    }
                    identity += ';';
                }
                std::cout << "mobile:" << key << ':' << identity
                          << " level:" << this->threshold_levels_[key]
                          << " value:" << this->threshold_values_[key] << std::endl;
                signal_alarm_ids_[key] = identity;
            }
        }
    }

    return Protocol::InitSetting(settings);
}
