#include "elf_file.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <utility>

namespace preflight {

namespace {

#ifndef SHT_MIPS_ABIFLAGS
constexpr GElf_Word SHT_MIPS_ABIFLAGS = 0x7000002a;
#endif
// The float ABI values of .MIPS.abiflags and of the GNU attribute
// Tag_GNU_MIPS_ABI_FP: 0 any, 3 soft, the others hardware of some width.
constexpr unsigned kMipsFpAny = 0;
constexpr unsigned kMipsFpSoft = 3;
constexpr unsigned kTagGnuMipsAbiFp = 4;
// Offset of fp_abi in Elf_MIPS_ABIFlags_v0 (version 2 bytes, then isa_level,
// isa_rev, gpr_size, cpr1_size, cpr2_size).
constexpr std::size_t kAbiFlagsFpAbi = 7;

struct Names {
    int value;
    const char* name;
};
constexpr std::array kMachines{Names{EM_X86_64, "x86-64"},   Names{EM_386, "i386"},
                               Names{EM_MIPS, "MIPS"},       Names{EM_ARM, "ARM"},
                               Names{EM_AARCH64, "AArch64"}, Names{EM_PPC, "PowerPC"}};

FloatAbi mips_float(unsigned fp)
{
    if (fp == kMipsFpAny) return FloatAbi::any;
    return fp == kMipsFpSoft ? FloatAbi::soft : FloatAbi::hard;
}

const char* float_name(FloatAbi f)
{
    switch (f) {
        case FloatAbi::soft:
            return "soft-float";
        case FloatAbi::hard:
            return "hard-float";
        case FloatAbi::any:
            return "any float ABI";
        case FloatAbi::none:
            break;
    }
    return "";
}

// An unsigned LEB128 number at p (bounded by end), or false.
bool uleb(const unsigned char*& p, const unsigned char* end, unsigned& out)
{
    out = 0;
    for (unsigned shift = 0; p < end && shift < 32; shift += 7) {
        const unsigned char b = *p++;
        out |= static_cast<unsigned>(b & 0x7fU) << shift;
        if ((b & 0x80U) == 0) return true;
    }
    return false;
}

// Tag_GNU_MIPS_ABI_FP from a .gnu.attributes section: 'A', then
// subsections (length, "gnu", then tagged attributes of the whole file).
bool gnu_attribute_fp(const unsigned char* p, std::size_t size, unsigned& fp)
{
    const unsigned char* const end = p + size;
    if (size < 1 || *p++ != 'A') return false;
    while (end - p >= 4) {
        std::uint32_t length = 0;
        std::memcpy(&length, p, 4);  // the file's byte order: little-endian targets only here
        if (length < 4 || length > static_cast<std::size_t>(end - p)) return false;
        const unsigned char* const sub_end = p + length;
        const unsigned char* q = p + 4;
        const bool gnu = sub_end - q >= 4 && std::memcmp(q, "gnu", 4) == 0;
        q += 4;
        while (gnu && sub_end - q >= 5) {
            const unsigned char tag = *q++;
            std::uint32_t sub_length = 0;
            std::memcpy(&sub_length, q, 4);
            if (sub_length < 5 || sub_length > static_cast<std::size_t>(sub_end - q + 1)) break;
            const unsigned char* const tags_end = q - 1 + sub_length;
            q += 4;
            while (tag == 1 && q < tags_end) {  // Tag_File: the attributes of the whole file
                unsigned attribute = 0;
                unsigned value = 0;
                if (!uleb(q, tags_end, attribute)) break;
                if (attribute == 4 || attribute % 2 == 0) {  // integer-valued
                    if (!uleb(q, tags_end, value)) break;
                    if (attribute == kTagGnuMipsAbiFp) {
                        fp = value;
                        return true;
                    }
                } else {  // a string
                    while (q < tags_end && *q != 0) ++q;
                    ++q;
                }
            }
            q = tags_end;
        }
        p = sub_end;
    }
    return false;
}

struct ElfCloser {
    void operator()(Elf* e) const { elf_end(e); }
};

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd >= 0) ::close(fd);
    }
};

std::vector<std::string> split_path(const char* list)
{
    std::vector<std::string> out;
    std::stringstream in(list);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        if (!dir.empty()) out.push_back(dir);
    }
    return out;
}

}  // namespace

std::string ElfKind::describe() const
{
    std::string machine_name = "machine " + std::to_string(machine);
    for (const auto& m : kMachines) {
        if (m.value == machine) machine_name = m.name;
    }
    std::string out = std::string(elf_class == ELFCLASS64 ? "ELF64" : "ELF32") +
                      (data == ELFDATA2MSB ? " MSB " : " LSB ") + machine_name;
    if (float_abi != FloatAbi::none) out += std::string(", ") + float_name(float_abi);
    return out;
}

bool ElfKind::loads_with(const ElfKind& other) const
{
    if (elf_class != other.elf_class || data != other.data || machine != other.machine)
        return false;
    const auto fixed = [](FloatAbi f) { return f == FloatAbi::hard || f == FloatAbi::soft; };
    return !(fixed(float_abi) && fixed(other.float_abi) && float_abi != other.float_abi);
}

std::string ElfKind::mismatch(const ElfKind& other) const
{
    if (elf_class != other.elf_class || data != other.data || machine != other.machine) {
        return describe() + ", the root's is " + other.describe();
    }
    return std::string(float_name(float_abi)) + ", the root's is " + float_name(other.float_abi);
}

ElfFile::ElfFile(const std::string& path) : path_(path)
{
    if (elf_version(EV_CURRENT) == EV_NONE)
        throw ElfError("libelf: " + std::string(elf_errmsg(-1)));
    const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) throw ElfError(path + ": " + std::strerror(errno));
    const std::unique_ptr<Elf, ElfCloser> elf(elf_begin(file.fd, ELF_C_READ, nullptr));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF) throw ElfError(path + ": not an ELF file");
    GElf_Ehdr eh{};
    if (gelf_getehdr(elf.get(), &eh) == nullptr) {
        throw ElfError(path + ": " + elf_errmsg(-1));
    }
    kind_.elf_class = eh.e_ident[EI_CLASS];
    kind_.data = eh.e_ident[EI_DATA];
    kind_.machine = eh.e_machine;
    if (kind_.machine == EM_MIPS) kind_.float_abi = FloatAbi::any;

    std::size_t phnum = 0;
    if (elf_getphdrnum(elf.get(), &phnum) != 0) phnum = 0;
    std::size_t raw_size = 0;
    const char* raw = elf_rawfile(elf.get(), &raw_size);
    for (std::size_t i = 0; i < phnum; ++i) {
        GElf_Phdr ph{};
        if (gelf_getphdr(elf.get(), static_cast<int>(i), &ph) == nullptr ||
            ph.p_type != PT_INTERP) {
            continue;
        }
        if (raw != nullptr && ph.p_offset < raw_size && ph.p_filesz <= raw_size - ph.p_offset) {
            interpreter_.assign(raw + ph.p_offset, strnlen(raw + ph.p_offset, ph.p_filesz));
        }
    }

    // The dynamic symbol table and the version sections, then the symbols'
    // versions by index.
    Elf_Scn* dynsym = nullptr;
    Elf_Scn* versym = nullptr;
    std::size_t dynsym_strings = 0;
    std::map<unsigned, std::pair<std::string, std::string>> versions;  // index -> name, file
    std::set<unsigned> base_versions;
    bool float_from_abiflags = false;
    for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn != nullptr;
         scn = elf_nextscn(elf.get(), scn)) {
        GElf_Shdr sh{};
        if (gelf_getshdr(scn, &sh) == nullptr) continue;
        Elf_Data* data = elf_getdata(scn, nullptr);
        if (data == nullptr) continue;
        const auto string_at = [&](std::size_t offset) {
            const char* s = elf_strptr(elf.get(), sh.sh_link, offset);
            return std::string(s != nullptr ? s : "");
        };
        switch (sh.sh_type) {
            case SHT_DYNSYM:
                dynsym = scn;
                dynsym_strings = sh.sh_link;
                break;
            case SHT_GNU_versym:
                versym = scn;
                break;
            case SHT_DYNAMIC:
                for (std::size_t i = 0; sh.sh_entsize != 0 && i < sh.sh_size / sh.sh_entsize; ++i) {
                    GElf_Dyn dyn{};
                    if (gelf_getdyn(data, static_cast<int>(i), &dyn) == nullptr) break;
                    const auto text = [&] { return string_at(dyn.d_un.d_val); };
                    if (dyn.d_tag == DT_NEEDED) needed_.push_back(text());
                    if (dyn.d_tag == DT_SONAME) soname_ = text();
                    if (dyn.d_tag == DT_RPATH) rpath_ = split_path(text().c_str());
                    if (dyn.d_tag == DT_RUNPATH) runpath_ = split_path(text().c_str());
                }
                break;
            case SHT_GNU_verdef: {
                std::size_t offset = 0;
                for (std::size_t n = 0; n < sh.sh_info; ++n) {
                    GElf_Verdef vd{};
                    GElf_Verdaux aux{};
                    if (gelf_getverdef(data, static_cast<int>(offset), &vd) == nullptr ||
                        gelf_getverdaux(data, static_cast<int>(offset + vd.vd_aux), &aux) ==
                            nullptr) {
                        break;
                    }
                    const std::string name = string_at(aux.vda_name);
                    versions[vd.vd_ndx] = {name, ""};
                    if ((vd.vd_flags & VER_FLG_BASE) != 0) {
                        base_versions.insert(vd.vd_ndx);
                    } else {
                        version_definitions_.insert(name);
                    }
                    if (vd.vd_next == 0) break;
                    offset += vd.vd_next;
                }
                break;
            }
            case SHT_GNU_verneed: {
                std::size_t offset = 0;
                for (std::size_t n = 0; n < sh.sh_info; ++n) {
                    GElf_Verneed vn{};
                    if (gelf_getverneed(data, static_cast<int>(offset), &vn) == nullptr) break;
                    const std::string file_name = string_at(vn.vn_file);
                    std::size_t aux_at = offset + vn.vn_aux;
                    for (std::size_t k = 0; k < vn.vn_cnt; ++k) {
                        GElf_Vernaux aux{};
                        if (gelf_getvernaux(data, static_cast<int>(aux_at), &aux) == nullptr) break;
                        const std::string name = string_at(aux.vna_name);
                        versions[aux.vna_other] = {name, file_name};
                        version_needs_[file_name].insert(name);
                        if (aux.vna_next == 0) break;
                        aux_at += aux.vna_next;
                    }
                    if (vn.vn_next == 0) break;
                    offset += vn.vn_next;
                }
                break;
            }
            case SHT_MIPS_ABIFLAGS:
                if (kind_.machine == EM_MIPS && data->d_size > kAbiFlagsFpAbi) {
                    kind_.float_abi =
                        mips_float(static_cast<const unsigned char*>(data->d_buf)[kAbiFlagsFpAbi]);
                    float_from_abiflags = true;
                }
                break;
            case SHT_GNU_ATTRIBUTES:
                if (kind_.machine == EM_MIPS && !float_from_abiflags) {
                    unsigned fp = 0;
                    if (gnu_attribute_fp(static_cast<const unsigned char*>(data->d_buf),
                                         data->d_size, fp)) {
                        kind_.float_abi = mips_float(fp);
                    }
                }
                break;
            default:
                break;
        }
    }
    if (dynsym == nullptr) return;  // a static file: nothing to resolve

    GElf_Shdr sh{};
    gelf_getshdr(dynsym, &sh);
    Elf_Data* syms = elf_getdata(dynsym, nullptr);
    Elf_Data* vers = versym != nullptr ? elf_getdata(versym, nullptr) : nullptr;
    const std::size_t count = sh.sh_entsize != 0 ? sh.sh_size / sh.sh_entsize : 0;
    for (std::size_t i = 1; syms != nullptr && i < count; ++i) {
        GElf_Sym sym{};
        if (gelf_getsym(syms, static_cast<int>(i), &sym) == nullptr) break;
        const unsigned bind = GELF_ST_BIND(sym.st_info);
        if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
        DynamicSymbol out;
        const char* name = elf_strptr(elf.get(), dynsym_strings, sym.st_name);
        out.name = name != nullptr ? name : "";
        out.defined = sym.st_shndx != SHN_UNDEF;
        out.weak = bind == STB_WEAK;
        GElf_Versym v = 0;
        if (vers != nullptr && gelf_getversym(vers, static_cast<int>(i), &v) != nullptr) {
            const unsigned index = v & 0x7fffU;
            out.default_version = (v & 0x8000U) == 0;
            if (const auto it = versions.find(index);
                index > 1 && it != versions.end() && base_versions.count(index) == 0) {
                out.version = it->second.first;
                out.file = it->second.second;
            }
        }
        if (out.defined) defined_.emplace(out.name, symbols_.size());
        symbols_.push_back(std::move(out));
    }
}

bool ElfFile::defines(const std::string& name, const std::string& version) const
{
    const auto [first, last] = defined_.equal_range(name);
    for (auto it = first; it != last; ++it) {
        const DynamicSymbol& s = symbols_[it->second];
        // An unversioned reference binds to the default version only; a
        // versioned one to that version, default or kept for old callers, or
        // to an unversioned definition, as the loader lets it.
        if (version.empty() ? s.default_version : s.version == version || s.version.empty()) {
            return true;
        }
    }
    return false;
}

}  // namespace preflight
