// One ELF file as the dynamic loader sees it, read with elfutils' libelf:
// its kind (class, byte order, CPU, float ABI), the loader it names, what it
// needs, the symbol versions it defines and needs, its dynamic symbols.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace preflight {

// A file that cannot be read as ELF, with the reason.
struct ElfError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class FloatAbi { none, any, hard, soft };  // none: the CPU has one float ABI only

struct ElfKind {
    int elf_class = 0;  // ELFCLASS32 or ELFCLASS64
    int data = 0;       // ELFDATA2LSB or ELFDATA2MSB
    int machine = 0;    // EM_X86_64, EM_MIPS, ...
    FloatAbi float_abi = FloatAbi::none;

    // "ELF32 LSB MIPS, soft-float"
    std::string describe() const;
    // Class, byte order and CPU equal, and float ABIs that can be mixed.
    bool loads_with(const ElfKind& other) const;
    // Why not, in a few words ("soft-float, the root's is hard-float").
    std::string mismatch(const ElfKind& other) const;
};

struct DynamicSymbol {
    std::string name;
    std::string version;  // empty: unversioned (or the file's base version)
    std::string file;     // of an undefined symbol's version: the library it is needed from
    bool defined = false;
    bool weak = false;
    bool default_version = true;  // false for a defined name@VERSION kept for old callers only
};

class ElfFile {
public:
    // Reads PATH; shown names it in errors.
    explicit ElfFile(const std::string& path);

    const std::string& path() const { return path_; }
    const ElfKind& kind() const { return kind_; }
    const std::string& interpreter() const { return interpreter_; }
    const std::string& soname() const { return soname_; }
    const std::vector<std::string>& needed() const { return needed_; }
    // DT_RPATH and DT_RUNPATH, split at colons.
    const std::vector<std::string>& rpath() const { return rpath_; }
    const std::vector<std::string>& runpath() const { return runpath_; }
    const std::set<std::string>& version_definitions() const { return version_definitions_; }
    // Each library named in the version needs, with the versions needed of it.
    const std::map<std::string, std::set<std::string>>& version_needs() const
    {
        return version_needs_;
    }
    const std::vector<DynamicSymbol>& symbols() const { return symbols_; }
    // Whether the file defines NAME in its dynamic symbol table, at VERSION
    // (empty: any version, as an unversioned reference binds).
    bool defines(const std::string& name, const std::string& version) const;

private:
    std::string path_;
    ElfKind kind_;
    std::string interpreter_;
    std::string soname_;
    std::vector<std::string> needed_;
    std::vector<std::string> rpath_;
    std::vector<std::string> runpath_;
    std::set<std::string> version_definitions_;
    std::map<std::string, std::set<std::string>> version_needs_;
    std::vector<DynamicSymbol> symbols_;
    std::multimap<std::string, std::size_t> defined_;  // name -> index in symbols_
};

}  // namespace preflight
