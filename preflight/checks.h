// Will this vx40.so load on that controller? Each thing the loader and the
// host need, checked from the ELF files of the root, the library and the
// host, with the reason of a failure and what to do about it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "elf_file.h"
#include "root_fs.h"

namespace preflight {

enum class Status { ok, fail, not_checked };

struct Check {
    std::string name;     // "loader", "NEEDED", "version", "host symbols", ...
    std::string subject;  // what was checked: a path, a library, a version
    Status status = Status::ok;
    std::string detail;  // what was found
    std::string fix;     // for a failure: what to do
};

struct Verdict {
    std::string library;
    std::string flavour;  // the library's, as its tarball names it (x86_64-glibc)
    std::vector<Check> checks;
    bool loads() const;
    // The first failure, or nothing.
    const Check* first_failure() const;
};

// The flavour an ELF file's kind and imports make: CPU, float ABI, C
// library, string ABI.
std::string flavour_of(const ElfFile& library);

// Checks LIBRARY against ROOT and, when given, the host executable HOST
// (a path inside the root, or outside it).
Verdict check(const RootFs& root, const std::string& library,
              const std::optional<std::string>& host);

// Where the loader the library needs lives in the root, with the folders it
// searches; for --run. Empty when the root has none that fits.
struct LoaderPlan {
    std::string loader;                     // inside the root
    std::vector<std::string> library_dirs;  // inside the root
    bool qemu = false;                      // the root's CPU is not this machine's
    bool soft_float = false;
};
LoaderPlan loader_plan(const RootFs& root, const std::string& library);

const char* status_name(Status s);

}  // namespace preflight
