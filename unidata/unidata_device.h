// Generic polled-record device: one data record, the completion of a polling
// round, the restore from a cached record and the settings reader.
#pragma once

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <type_traits>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "ttime.h"
#include "vdevice.h"

template <typename Data, typename Protocol, int DataIdent>
class UniDataDevice : public Protocol {
    static_assert(std::is_trivially_copyable_v<Data>, "the record is copied as bytes");
    static_assert(sizeof(Data::time) == sizeof(ttime_t), "the record carries a 7-byte time stamp");
    static_assert(sizeof(Data) >= sizeof(std::uint32_t), "the record starts with the identifier");

public:
    UniDataDevice() { std::memset(&data_, 0, sizeof data_); }
    ~UniDataDevice() override = default;
    UniDataDevice(const UniDataDevice&) = delete;
    UniDataDevice& operator=(const UniDataDevice&) = delete;
    UniDataDevice(UniDataDevice&&) = delete;
    UniDataDevice& operator=(UniDataDevice&&) = delete;

    using VDeviceInterface::LoadFromCache;  // the string overload stays the host's

    // Installs a stored record and completes a round from it. Only an image of
    // exactly the record's size is taken; a null image is refused as well.
    int LoadFromCache(const unsigned char* image, int length) override
    {
        if (image == nullptr || length != static_cast<int>(sizeof(Data))) {
            return 0;
        }
        std::memcpy(&data_, image, sizeof data_);
        this->data_ready_ = true;
        RoundDone();
        return 1;
    }

    // Completes a polling round: stamp, distribute, check, save. Nothing is
    // caught: an exception ends the round at that step.
    void RoundDone() override
    {
        if (!this->data_ready_) {
            this->data_ready_ = true;
        }
        this->last_data_time_ = boost::posix_time::second_clock::local_time();
        const ttime_t stamp = get_ttime(this->last_data_time_);
        std::memcpy(&data_.time, stamp.bytes, sizeof stamp.bytes);
        this->KRTVDevice::SendSP(DataIdent, record_bytes(), sizeof(Data), false);
        this->Reset();
        this->alarm_seq_ = 1;
        this->round_check_result_ = false;
        RunCheckThreshold();
        // Index, not iterator, and a copy of each name: the host's checks may
        // change the list while it is walked.
        for (std::size_t i = 0; i < this->ao_names_.size(); ++i) {
            const std::string name = this->ao_names_[i];
            const auto found = this->ao_values_.find(name);
            if (found == this->ao_values_.end()) {
                continue;
            }
            if (this->CheckAOReport(name, found->second)) {
                this->round_check_result_ = true;
            }
            // The host may have removed the entry inside CheckAOReport: look
            // it up again rather than keep a reference into the map.
            const auto still = this->ao_values_.find(name);
            if (still == this->ao_values_.end()) {
                continue;
            }
            this->CheckThreshold(name, std::string(), still->second, 1);
        }
        std::cout << "rvSize is " << this->pending_rules_.size() << std::endl;
        if (this->DoBatchCheckThreshold(this->pending_rules_)) {
            this->round_check_result_ = true;
        }
        this->SaveDeviceHistory(record_bytes(), sizeof(Data));
        this->pending_rules_.clear();
    }

    int InitSetting(const Json::Value& settings) override;

    // Device-specific alarm checks of a round; none by default.
    virtual void RunCheckThreshold() {}

    Data data_;
    std::int32_t b_mode_ = 1;
    std::map<std::string, std::string> signal_alarm_ids_;
    std::map<std::string, std::string> signal_names_;

protected:
    const unsigned char* record_bytes() const
    {
        return reinterpret_cast<const unsigned char*>(&data_);
    }
};

#include "unidata_settings.h"
