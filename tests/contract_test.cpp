// The binary contract with the host, read from the loaded plug-in: the VX40
// virtual table slot by slot, and the record layout on this architecture.
// The library exports only the host's contract, so its own symbols (the VX40
// virtual table, its functions) are read from its full symbol table, in the
// unstripped file that was loaded.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

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

// The symbols of an ELF file's .symtab: name to (value, size), and the
// functions by value. The file's class is the one this test is built for.
struct SymbolTable {
    std::map<std::string, std::pair<std::uintptr_t, std::size_t>> by_name;
    std::map<std::uintptr_t, std::string> functions;
};

#if UINTPTR_MAX > 0xFFFFFFFFU
using Ehdr = Elf64_Ehdr;
using Shdr = Elf64_Shdr;
using Sym = Elf64_Sym;
inline unsigned char sym_type(unsigned char info)
{
    return ELF64_ST_TYPE(info);
}
#else
using Ehdr = Elf32_Ehdr;
using Shdr = Elf32_Shdr;
using Sym = Elf32_Sym;
inline unsigned char sym_type(unsigned char info)
{
    return ELF32_ST_TYPE(info);
}
#endif

template <typename T>
T read_at(const std::string& file, std::size_t offset)
{
    T value{};
    if (offset + sizeof value <= file.size()) {
        std::memcpy(&value, file.data() + offset, sizeof value);
    }
    return value;
}

SymbolTable read_symtab(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SymbolTable table;
    const auto eh = read_at<Ehdr>(file, 0);
    if (file.size() < sizeof eh || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) {
        ADD_FAILURE() << path << ": not an ELF file";
        return table;
    }
    for (std::size_t i = 0; i < eh.e_shnum; ++i) {
        const auto sh = read_at<Shdr>(file, eh.e_shoff + i * sizeof(Shdr));
        if (sh.sh_type != SHT_SYMTAB) {
            continue;
        }
        const auto strtab = read_at<Shdr>(file, eh.e_shoff + sh.sh_link * sizeof(Shdr));
        for (std::size_t k = 0; k < sh.sh_size / sizeof(Sym); ++k) {
            const auto sym = read_at<Sym>(file, sh.sh_offset + k * sizeof(Sym));
            if (sym.st_name >= strtab.sh_size || sym.st_shndx == SHN_UNDEF) {
                continue;
            }
            const std::string name(file.c_str() + strtab.sh_offset + sym.st_name);
            table.by_name[name] = {sym.st_value, sym.st_size};
            if (sym_type(sym.st_info) == STT_FUNC) {
                table.functions[sym.st_value] = name;
            }
        }
    }
    return table;
}

const std::string kUni = "UniDataDevice<XV40Data_t, PMBusProtocol, 5193>::";
// A function returning std::string carries the C++11 string ABI's tag in its name.
const std::string kStringAbiTag = _GLIBCXX_USE_CXX11_ABI ? "[abi:cxx11]" : "";

TEST(Contract, VX40VirtualTableSlotBySlot)
{
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"VX40::Get_Value", ""},
        {"VDeviceInterface::LoadFromCache", "string"},
        {kUni + "LoadFromCache", "unsigned char const*, int"},
        {"VDeviceInterface::DataId", ""},
        {"VDeviceInterface::DeviceType" + kStringAbiTag, ""},
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
    const SymbolTable symtab = read_symtab(standin::default_plugin_path());
    ASSERT_TRUE(symtab.by_name.count("_ZTV4VX40")) << "no VX40 virtual table in the symbol table";
    ASSERT_TRUE(symtab.by_name.count("get_providers"));
    // The load bias: where get_providers is, less where the file puts it.
    void* entry = dlsym(vx40test::plugin().handle(), "get_providers");
    ASSERT_NE(entry, nullptr);
    const std::uintptr_t bias =
        reinterpret_cast<std::uintptr_t>(entry) - symtab.by_name.at("get_providers").first;

    const auto [vtable_at, vtable_size] = symtab.by_name.at("_ZTV4VX40");
    // Offset to top and type information, then one pointer per slot.
    EXPECT_EQ(vtable_size, (2 + expected.size()) * sizeof(void*));
    void* const* slots = reinterpret_cast<void* const*>(bias + vtable_at) + 2;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        // A slot is the library's own function (found in its symbol table) or
        // a host member (exported by the host executable).
        const auto address = reinterpret_cast<std::uintptr_t>(slots[i]);
        std::string mangled;
        if (const auto own = symtab.functions.find(address - bias); own != symtab.functions.end()) {
            mangled = own->second;
        } else {
            Dl_info fn{};
            ASSERT_NE(dladdr(slots[i], &fn), 0) << "slot " << i;
            ASSERT_NE(fn.dli_sname, nullptr) << "slot " << i;
            EXPECT_EQ(fn.dli_saddr, slots[i]) << "slot " << i;
            mangled = fn.dli_sname;
        }
        const std::string name = demangle(mangled.c_str());
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
