// The binary contract with the host, read from the loaded plug-in: the VX40
// virtual table slot by slot, and the record layout on this architecture.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstddef>

#include "record.h"
#include "support.h"

namespace {

std::string demangle(const char* mangled)
{
    int status = 0;
    char* s = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string out = status == 0 ? s : mangled;
    std::free(s);
    return out;
}

const std::string kUni = "UniDataDevice<XV40Data_t, PMBusProtocol, 5193>::";

TEST(Contract, VX40VirtualTableSlotBySlot)
{
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"VX40::Get_Value", ""},
        {"VDeviceInterface::LoadFromCache", "basic_string"},
        {kUni + "LoadFromCache", "unsigned char const*, int"},
        {"VDeviceInterface::DataId", ""},
        {"VDeviceInterface::DeviceType[abi:cxx11]", ""},
        {"KRTVDevice::DeviceIoControl", ""},
        {kUni + "RoundDone", ""},
        {"VDeviceInterface::UseControllerDb", ""},
        {"VX40::~VX40", ""},
        {"VX40::~VX40", ""},
        {"KRTSPDevice::Reset", ""},
        {"KRTVDevice::InitV", ""},
        {"KRTSPDevice::Init", ""},
        {kUni + "InitSetting", ""},
        {"KRTVDevice::IsSupportDevice", ""},
        {"KRTVDevice::GetChildVDevice", ""},
        {"KRTVDevice::GetAllChildVDevices", ""},
        {"KRTVDevice::SendSP", ""},
        {"KRTVDevice::SendDelayData", ""},
        {"KRTVDevice::SendDoData", ""},
        {"KRTVDevice::ReadDi", ""},
        {"KRTVDevice::ReadAi", ""},
        {"KRTVDevice::Get_SP_Value", ""},
        {"VX40::RefreshStatus", ""},
        {"PMBusProtocol::process", ""},
        {"KRTSPDevice::IsProcessing", ""},
        {"KRTSPDevice::IsStalled", ""},
        {"KRTSPDevice::SendData", ""},
        {"KRTSPDevice::SendParityData", ""},
        {"KRTSPDevice::OpenPort", ""},
        {"KRTSPDevice::ClosePort", ""},
        {"VX40::process_payload", ""},
        {"PMBusProtocol::process_error", ""},
        {"VX40::RunCheckThreshold", ""},
    };
    void* vtable = dlsym(vx40test::plugin().handle(), "_ZTV4VX40");
    ASSERT_NE(vtable, nullptr);
    Dl_info info{};
    void* entry = nullptr;
    ASSERT_NE(dladdr1(vtable, &info, &entry, RTLD_DL_SYMENT), 0);
    const auto* sym = static_cast<const ElfW(Sym)*>(entry);
    ASSERT_NE(sym, nullptr);
    // Offset to top and type information, then one pointer per slot.
    EXPECT_EQ(sym->st_size, (2 + expected.size()) * sizeof(void*));

    void* const* slots = static_cast<void* const*>(vtable) + 2;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        Dl_info fn{};
        ASSERT_NE(dladdr(slots[i], &fn), 0) << "slot " << i;
        ASSERT_NE(fn.dli_sname, nullptr) << "slot " << i;
        EXPECT_EQ(fn.dli_saddr, slots[i]) << "slot " << i;
        const std::string name = demangle(fn.dli_sname);
        const std::string function = name.substr(0, name.find('('));
        EXPECT_EQ(function, expected[i].first) << "slot " << i << ": " << name;
        EXPECT_NE(name.find(expected[i].second), std::string::npos) << "slot " << i << ": " << name;
    }
}

TEST(Contract, RecordLayoutOnThisArchitecture)
{
    EXPECT_EQ(sizeof(XV40Data_t), 139U);
    EXPECT_EQ(alignof(XV40Data_t), 1U);
    EXPECT_EQ(offsetof(XV40Data_t, analog), 4U);
    EXPECT_EQ(offsetof(XV40Data_t, info43), 67U);
    EXPECT_EQ(offsetof(XV40Data_t, alarm), 73U);
    EXPECT_EQ(offsetof(XV40Data_t, info46), 87U);
    EXPECT_EQ(offsetof(XV40Data_t, time), 132U);
}

}  // namespace
