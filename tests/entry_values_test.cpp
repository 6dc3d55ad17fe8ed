// Plug-in entry, provider, cache restore and named values, through the built
// plug-in as the host loads it.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dlfcn.h>

#include <map>
#include <typeinfo>

#include "support.h"

namespace {

using standin::Service;
using vx40test::DeviceTest;
using vx40test::full_round;
using vx40test::info41_with;

const char* const kNames[] = {
    "ACInputLineOrPhaseAB_A",  "ACInputLineOrPhaseBC_B",  "ACInputLineOrPhaseCA_C",
    "ACOutputLineOrPhaseAB_A", "ACOutputLineOrPhaseBC_B", "ACOutputLineOrPhaseCA_C",
    "ACOutputCurrentA",        "ACOutputCurrentB",        "ACOutputCurrentC"};

std::string refusal(const PMBusProtocol& dev, const std::string& name, unsigned index = 0)
{
    try {
        const float v = dev.Get_Value(index, name);
        return "value " + std::to_string(v);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

std::string demangled(const std::type_info& t)
{
    int status = 0;
    char* s = abi::__cxa_demangle(t.name(), nullptr, nullptr, &status);
    std::string out = status == 0 ? s : t.name();
    std::free(s);
    return out;
}

using EntryTest = DeviceTest;

TEST_F(EntryTest, EachCallGivesOneNewSerialDeviceProvider)
{
    const auto first = vx40test::plugin().providers();
    const auto second = vx40test::plugin().providers();
    ASSERT_EQ(first.size(), 1U);
    ASSERT_EQ(second.size(), 1U);
    ASSERT_TRUE(first[0]);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(demangled(typeid(*first[0])), "VX40Provider");
    EXPECT_TRUE(std::dynamic_pointer_cast<KRTSPDeviceProvider>(first[0]));
    EXPECT_EQ(first[0].use_count(), 1);
}

TEST_F(EntryTest, ProviderTypesAreExportedUnmangledEntry)
{
    void* h = vx40test::plugin().handle();
    EXPECT_NE(dlsym(h, "get_providers"), nullptr);
    for (const char* sym :
         {"_ZTI8Provider", "_ZTV8Provider", "_ZTI19KRTSPDeviceProvider",
          "_ZTV19KRTSPDeviceProvider", "_ZTI12VX40Provider", "_ZTV12VX40Provider"}) {
        EXPECT_NE(dlsym(h, sym), nullptr) << sym;
    }
}

TEST_F(EntryTest, DevicesAreIndependentAndOutliveTheProvider)
{
    auto provider = vx40test::plugin().serial_provider();
    std::unique_ptr<KRTSPDevice> a(provider->create());
    std::unique_ptr<KRTSPDevice> b(provider->create());
    provider.reset();
    ASSERT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "vx40");
    EXPECT_EQ(demangled(typeid(*a)), "VX40");

    auto& pa = dynamic_cast<PMBusProtocol&>(*a);
    auto& pb = dynamic_cast<PMBusProtocol&>(*b);
    full_round(pa, info41_with({220.5F}));
    EXPECT_EQ(pa.Get_Value(0, kNames[0]), 220.5F);
    EXPECT_EQ(refusal(pb, kNames[0]), "数据未就绪");
    full_round(pb, info41_with({1.0F}));
    EXPECT_EQ(pa.Get_Value(0, kNames[0]), 220.5F);
    EXPECT_EQ(pb.Get_Value(0, kNames[0]), 1.0F);
}

TEST_F(EntryTest, ConstructorDefaults)
{
    EXPECT_EQ(dev_->DeviceType(), "vx40");
    EXPECT_EQ(dev_->baud_rate_, 4800U);
    EXPECT_EQ(dev_->address_, 1);
    EXPECT_EQ(dev_->protocol_version_, 0x21);
    EXPECT_FALSE(dev_->data_ready_);
    EXPECT_TRUE(host_.calls.empty());
}

// A host's constructors may leave any values in the members they own: the
// device's constructors set their four and keep every other as it was.
TEST_F(EntryTest, ConstructionKeepsEveryOtherMemberTheHostMade)
{
    using standin::Poison;
    host_.harsh.poison = true;
    remake();
    EXPECT_EQ(dev_->DeviceType(), "vx40");
    EXPECT_EQ(dev_->baud_rate_, 4800U);
    EXPECT_EQ(dev_->address_, 1);
    EXPECT_EQ(dev_->protocol_version_, 0x21);

    EXPECT_EQ(dev_->DataId(), Poison::data_id);
    EXPECT_EQ(dev_->UseControllerDb(), Poison::use_controller_db);
    EXPECT_EQ(dev_->alarm_seq_, Poison::alarm_seq);
    EXPECT_EQ(dev_->last_data_time_, boost::posix_time::from_time_t(Poison::last_data_time));
    EXPECT_FALSE(dev_->data_ready_);
    EXPECT_EQ(dev_->pending_rules_.size(), Poison::pending_rules);
    EXPECT_EQ(dev_->round_check_result_, Poison::round_check_result);
    EXPECT_EQ(dev_->ao_names_, std::vector<std::string>{Poison::ao_name});
    EXPECT_EQ(dev_->ao_values_,
              (std::map<std::string, float>{{Poison::ao_value_name, Poison::ao_value}}));
    EXPECT_EQ(dev_->threshold_levels_,
              (std::map<std::string, int>{{Poison::threshold_key, Poison::threshold_level}}));
    EXPECT_EQ(dev_->threshold_values_,
              (std::map<std::string, float>{{Poison::threshold_key, Poison::threshold_value}}));
    EXPECT_EQ(dev_->poll_step_, Poison::poll_step);
    EXPECT_EQ(dev_->reply_frame_, nullptr);
    EXPECT_TRUE(host_.calls.empty());
}

using ValuesTest = DeviceTest;

TEST_F(ValuesTest, EveryNameReadsItsFloatWhateverTheIndex)
{
    const std::vector<float> values = {220.5F,  221.0F, -0.0F, 230.0F, 1e-3F,
                                       3.4e38F, 12.25F, 0.5F,  -7.75F};
    full_round(*dev_, info41_with(values));
    for (std::size_t i = 0; i < 9; ++i) {
        for (unsigned index : {0U, 7U, 0xFFFFFFFFU}) {
            const float got = dev_->Get_Value(index, kNames[i]);
            EXPECT_EQ(std::memcmp(&got, &values[i], sizeof got), 0) << kNames[i];
        }
    }
}

TEST_F(ValuesTest, RefusalsInTheirOrder)
{
    EXPECT_EQ(refusal(*dev_, "ACOutputCurrentA"), "数据未就绪");
    EXPECT_EQ(refusal(*dev_, "nonsense"), "数据未就绪");
    full_round(*dev_);
    for (const char* bad : {"acoutputcurrenta", "ACOutputCurrentA ", "", "ACOutputCurrent"}) {
        EXPECT_EQ(refusal(*dev_, bad), "不支持变量") << bad;
    }
    standin::advance_clock(61);
    EXPECT_EQ(refusal(*dev_, "nonsense"), "数据已超时");
    EXPECT_EQ(refusal(*dev_, "ACOutputCurrentA"), "数据已超时");
}

TEST_F(ValuesTest, AgeBoundaryAndClockSetBack)
{
    full_round(*dev_);
    standin::advance_clock(60);
    EXPECT_NO_THROW((void)dev_->Get_Value(0, "ACOutputCurrentA"));
    standin::advance_clock(1);
    EXPECT_EQ(refusal(*dev_, "ACOutputCurrentA"), "数据已超时");
    // Any reply, even a short one outside a round, makes the data fresh again.
    vx40test::reply(*dev_, 0, {});
    EXPECT_EQ(printed(), "error in VX40_2A_46 expected len=90 actual len:0\nrvSize is 0\n");
    EXPECT_NO_THROW((void)dev_->Get_Value(0, "ACOutputCurrentA"));
    standin::advance_clock(-3600);
    EXPECT_NO_THROW((void)dev_->Get_Value(0, "ACOutputCurrentA"));
}

// A host may mark the data ready itself; without a time of the last data
// (none yet, or one at infinity) the data count as stale, never as fresh.
TEST_F(ValuesTest, ReadyWithoutAUsableTimeIsStale)
{
    dev_->data_ready_ = true;
    EXPECT_EQ(refusal(*dev_, kNames[0]), "数据已超时");
    dev_->last_data_time_ = boost::posix_time::ptime(boost::posix_time::pos_infin);
    EXPECT_EQ(refusal(*dev_, kNames[0]), "数据已超时");
    dev_->last_data_time_ = boost::posix_time::ptime(boost::posix_time::neg_infin);
    EXPECT_EQ(refusal(*dev_, kNames[0]), "数据已超时");
}

using CacheTest = DeviceTest;

std::vector<unsigned char> cached_block()
{
    std::vector<unsigned char> block(139);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    const auto v = vx40test::float_le(230.0F);
    std::copy(v.begin(), v.end(), block.begin() + 16);
    return block;
}

TEST_F(CacheTest, WrongLengthOrNoImageIsRefusedAndChangesNothing)
{
    const auto block = cached_block();
    dev_->pending_rules_.resize(1);
    EXPECT_EQ(dev_->LoadFromCache(block.data(), 138), 0);
    EXPECT_EQ(dev_->LoadFromCache(block.data(), 140), 0);
    EXPECT_EQ(dev_->LoadFromCache(block.data(), -139), 0);
    EXPECT_EQ(dev_->LoadFromCache(nullptr, 139), 0);
    EXPECT_EQ(dev_->LoadFromCache(std::string(138, 'x')), 0);
    EXPECT_FALSE(dev_->data_ready_);
    EXPECT_TRUE(dev_->last_data_time_.is_not_a_date_time());
    EXPECT_EQ(dev_->pending_rules_.size(), 1U);
    EXPECT_TRUE(host_.calls.empty());
    // The record is still all zero: the next distributed record shows it.
    full_round(*dev_, std::vector<unsigned char>(64, 0), std::vector<unsigned char>(15, 0));
    const auto sent = vx40test::last_distributed(host_);
    EXPECT_EQ(std::count(sent.begin(), sent.begin() + 67, 0), 67);
}

TEST_F(CacheTest, ExactBlockIsInstalledStampedAndDistributed)
{
    const auto block = cached_block();
    for (bool as_string : {false, true}) {
        SCOPED_TRACE(as_string);
        host_.clear();
        auto dev = make_device();
        const int result = as_string ? dev->LoadFromCache(std::string(block.begin(), block.end()))
                                     : dev->LoadFromCache(block.data(), 139);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(host_.count(Service::SendSP), 1U);
        EXPECT_EQ(host_.count(Service::SaveDeviceHistory), 1U);
        EXPECT_EQ(host_.count(Service::CheckThresholdBool), 18U);
        auto expected = block;
        const unsigned char stamp[] = {0xEA, 0x07, 3, 10, 12, 0, 0};
        std::copy(std::begin(stamp), std::end(stamp), expected.begin() + 132);
        const auto& sent = *host_.of(Service::SendSP).front();
        EXPECT_EQ(sent.number, 5193);
        EXPECT_EQ(sent.length, 139U);
        EXPECT_FALSE(sent.flag);
        EXPECT_EQ(sent.bytes, expected);
        EXPECT_EQ(host_.of(Service::SaveDeviceHistory).front()->bytes, expected);
        EXPECT_EQ(dev->Get_Value(0, "ACOutputLineOrPhaseAB_A"), 230.0F);
        EXPECT_EQ(printed(), "rvSize is 0\n");  // the restore's round, and nothing else
    }
}

TEST_F(CacheTest, RestoredValuesLastSixtySeconds)
{
    const auto block = cached_block();
    standin::advance_clock(1000);
    ASSERT_EQ(dev_->LoadFromCache(block.data(), 139), 1);
    EXPECT_EQ(printed(), "rvSize is 0\n");
    standin::advance_clock(60);
    EXPECT_EQ(dev_->Get_Value(0, "ACOutputLineOrPhaseAB_A"), 230.0F);
    standin::advance_clock(1);
    EXPECT_EQ(refusal(*dev_, "ACOutputLineOrPhaseAB_A"), "数据已超时");
}

TEST_F(CacheTest, FailingRoundDoesNotReportSuccess)
{
    const auto block = cached_block();
    host_.fail_at(Service::SaveDeviceHistory);
    EXPECT_THROW(dev_->LoadFromCache(block.data(), 139), standin::InjectedFault);
    EXPECT_EQ(host_.count(Service::SendSP), 1U);
    EXPECT_EQ(dev_->LoadFromCache(block.data(), 139), 1);
    EXPECT_EQ(printed(), "rvSize is 0\nrvSize is 0\n");
}

}  // namespace
