#include "checks.h"

#include <cxxabi.h>
#include <gelf.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace preflight {

namespace {

namespace fs = std::filesystem;

// The loaders of the flavours: where a host of that kind finds it, the C
// library it belongs to, and the flavour it takes (its CPU and float ABI).
struct LoaderRow {
    int machine;
    FloatAbi float_abi;  // of the flavour; hard or none match any hardware float
    Libc libc;
    const char* loader;
    const char* flavour;
    const char* triplet;
};
constexpr std::array kLoaders{
    LoaderRow{EM_X86_64, FloatAbi::none, Libc::glibc, "/lib64/ld-linux-x86-64.so.2", "x86_64-glibc",
              "x86_64-linux-gnu"},
    LoaderRow{EM_MIPS, FloatAbi::hard, Libc::glibc, "/lib/ld.so.1", "mipsel-glibc",
              "mipsel-linux-gnu"},
    LoaderRow{EM_MIPS, FloatAbi::soft, Libc::glibc, "/lib/ld.so.1", "mipsel-softfloat-glibc",
              "mipsel-linux-gnu"},
    LoaderRow{EM_MIPS, FloatAbi::soft, Libc::musl, "/lib/ld-musl-mipsel-sf.so.1",
              "mipsel-softfloat-musl", "mipsel-linux-musl"},
    LoaderRow{EM_MIPS, FloatAbi::hard, Libc::musl, "/lib/ld-musl-mipsel.so.1", "mipsel-musl",
              "mipsel-linux-musl"},
};

bool same_float(FloatAbi row, FloatAbi file)
{
    if (row == FloatAbi::none) return true;
    return file == FloatAbi::any || file == row;
}

Libc libc_of(const ElfFile& f)
{
    const auto& n = f.needed();
    return std::find(n.begin(), n.end(), "libc.so") != n.end() ? Libc::musl : Libc::glibc;
}

const LoaderRow* row_of(const ElfFile& library)
{
    for (const auto& row : kLoaders) {
        if (row.machine == library.kind().machine && row.libc == libc_of(library) &&
            same_float(row.float_abi, library.kind().float_abi)) {
            return &row;
        }
    }
    return nullptr;
}

// musl's loader is its C library, and takes these names as itself
// (libc.so.6, libm.so.6 ...): a library built for glibc names them so.
bool musl_takes_as_itself(const std::string& needed)
{
    static constexpr std::array kReserved{"c.", "pthread.", "rt.", "m.", "dl.", "util.", "xnet."};
    return needed.rfind("lib", 0) == 0 &&
           std::any_of(kReserved.begin(), kReserved.end(), [&](const char* r) {
               return needed.compare(3, std::char_traits<char>::length(r), r) == 0;
           });
}

bool is_musl_loader(const std::string& loader)
{
    return loader.find("ld-musl-") != std::string::npos;
}

std::string demangle(const std::string& name)
{
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> out(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && out ? std::string(out.get()) : name;
}

void replace_all(std::string& s, const std::string& from, const std::string& to)
{
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
}

// A demangled name with the string ABI taken out: the C++11 string and the
// old one read the same, the C++11 ABI's tag is dropped.
std::string without_string_abi(const std::string& mangled)
{
    std::string s = demangle(mangled);
    replace_all(s, "[abi:cxx11]", "");
    replace_all(s,
                "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
                "std::string");
    replace_all(s, "std::basic_string<char, std::char_traits<char>, std::allocator<char> >",
                "std::string");
    replace_all(s, "std::__cxx11::", "std::");
    return s;
}

bool uses_cxx11_abi(const std::string& mangled)
{
    return mangled.find("__cxx11") != std::string::npos ||
           mangled.find("B5cxx11") != std::string::npos;
}

// The flavour whose loader the root has: of the library's CPU first.
std::string flavour_for_root(const RootFs& root, const ElfFile& library)
{
    std::vector<const LoaderRow*> rows;
    for (const auto& row : kLoaders) {
        if (row.machine == library.kind().machine) rows.push_back(&row);
    }
    for (const auto& row : kLoaders) {
        if (row.machine != library.kind().machine) rows.push_back(&row);
    }
    for (const LoaderRow* r : rows) {
        const LoaderRow& row = *r;
        const auto path = root.find(row.loader);
        if (!path) continue;
        try {
            const ElfFile loader(*path);
            if (loader.kind().machine == row.machine &&
                same_float(row.float_abi, loader.kind().float_abi)) {
                return row.flavour;
            }
        } catch (const ElfError&) {
        }
    }
    return "";
}

std::string old_abi_name(const std::string& flavour)
{
    return flavour.size() > 7 && flavour.substr(flavour.size() - 7) == "-oldabi"
               ? flavour
               : flavour + "-oldabi";
}

std::string cxx11_name(const std::string& flavour)
{
    return flavour.size() > 7 && flavour.substr(flavour.size() - 7) == "-oldabi"
               ? flavour.substr(0, flavour.size() - 7)
               : flavour;
}

// The files the loader brings in, each found once, in the order it loads
// them (breadth first), with the checks of what it could not find.
class LoadSet {
public:
    // MUSL: the loader file when it is musl's, which is also the C library.
    LoadSet(const RootFs& root, std::vector<std::string> dirs, const ElfKind& kind,
            std::shared_ptr<const ElfFile> musl)
        : root_(root), dirs_(std::move(dirs)), kind_(kind), musl_(std::move(musl))
    {
    }

    // Adds FILE and everything it needs; a NEEDED of FILE not found becomes
    // a failed check when REPORT is set.
    void add(const std::shared_ptr<const ElfFile>& file, const std::vector<std::string>& extra_dirs,
             bool report, std::vector<Check>& checks)
    {
        files_.push_back(file);
        std::vector<std::pair<std::shared_ptr<const ElfFile>, bool>> queue{{file, report}};
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const auto [f, direct] = queue[i];
            for (const std::string& name : f->needed()) {
                if (by_name_.count(name) != 0) {
                    if (direct)
                        checks.push_back(
                            {"NEEDED", name, Status::ok, display(by_name_[name]->path()), ""});
                    continue;
                }
                if (musl_ && musl_takes_as_itself(name)) {
                    if (direct) {
                        checks.push_back({"NEEDED", name, Status::ok,
                                          "musl's loader itself (its C library)", ""});
                    }
                    by_name_[name] = musl_;
                    if (std::find(files_.begin(), files_.end(), musl_) == files_.end()) {
                        files_.push_back(musl_);
                    }
                    continue;
                }
                std::string skipped;
                auto found = find(name, f->runpath().empty() ? extra_dirs : f->runpath(), skipped);
                if (!found) {
                    if (direct) {
                        checks.push_back(
                            {"NEEDED", name, Status::fail,
                             "not found in " +
                                 joined(f->runpath().empty() ? extra_dirs : f->runpath()) +
                                 (skipped.empty() ? "" : "; " + skipped),
                             "install " + name + " of this CPU and float ABI in the root"});
                    }
                    continue;
                }
                if (direct)
                    checks.push_back({"NEEDED", name, Status::ok, display(found->path()), ""});
                by_name_[name] = found;
                files_.push_back(found);
                queue.emplace_back(found, false);
            }
        }
    }

    std::shared_ptr<const ElfFile> by_name(const std::string& name) const
    {
        const auto it = by_name_.find(name);
        return it == by_name_.end() ? nullptr : it->second;
    }
    const std::vector<std::shared_ptr<const ElfFile>>& files() const { return files_; }
    std::string display(const std::string& path) const
    {
        const auto in = root_.inside(path);
        return in ? *in : path;
    }

private:
    std::string joined(const std::vector<std::string>& extra) const
    {
        std::string out;
        for (const auto& d : extra) out += (out.empty() ? "" : ":") + d;
        for (const auto& d : dirs_) out += (out.empty() ? "" : ":") + d;
        return out;
    }

    std::shared_ptr<const ElfFile> find(const std::string& name,
                                        const std::vector<std::string>& extra,
                                        std::string& skipped) const
    {
        std::vector<std::string> dirs = extra;
        dirs.insert(dirs.end(), dirs_.begin(), dirs_.end());
        for (const auto& dir : dirs) {
            const auto path = name.find('/') != std::string::npos ? root_.find(name)
                                                                  : root_.find(dir + "/" + name);
            if (!path || fs::is_directory(*path)) continue;
            try {
                auto f = std::make_shared<const ElfFile>(*path);
                if (f->kind().loads_with(kind_)) return f;
                skipped += (skipped.empty() ? "skipped " : ", ") + dir + "/" + name + " (" +
                           f->kind().describe() + ")";
            } catch (const ElfError&) {
                // not a library: the loader goes on to the next folder
            }
        }
        return nullptr;
    }

    const RootFs& root_;
    std::vector<std::string> dirs_;
    ElfKind kind_;
    std::shared_ptr<const ElfFile> musl_;
    std::vector<std::shared_ptr<const ElfFile>> files_;
    std::map<std::string, std::shared_ptr<const ElfFile>> by_name_;
};

std::string list_some(const std::vector<std::string>& names, std::size_t most)
{
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < most; ++i) {
        out += (i == 0 ? "" : ", ") + without_string_abi(names[i]);
    }
    if (names.size() > most) out += " and " + std::to_string(names.size() - most) + " more";
    return out;
}

// Versioned imports: each version the library needs of a library is
// defined by the one the root gives; each symbol at its version.
// musl's loader binds versioned imports by name alone.
void check_versions_by_name(const ElfFile& lib, const LoadSet& set, std::vector<Check>& checks)
{
    std::vector<std::string> missing;
    std::size_t count = 0;
    for (const auto& s : lib.symbols()) {
        if (s.defined || s.version.empty() || s.weak) continue;
        ++count;
        const auto provider = set.by_name(s.file);
        if (provider && !provider->defines(s.name, "")) missing.push_back(s.name + "@" + s.version);
    }
    if (missing.empty()) {
        checks.push_back({"versions", "", Status::ok,
                          std::to_string(count) +
                              " versioned imports defined by name (musl's loader does not check "
                              "versions)",
                          ""});
        return;
    }
    checks.push_back({"versioned symbols", "", Status::fail,
                      "not defined by the library that should give them: " + list_some(missing, 4),
                      "use vx40-mipsel-softfloat-musl"});
}

void check_versions(const ElfFile& lib, const LoadSet& set, std::vector<Check>& checks)
{
    for (const auto& [file, versions] : lib.version_needs()) {
        const auto provider = set.by_name(file);
        if (!provider) continue;  // already failed as a NEEDED not found
        std::vector<std::string> missing;
        for (const auto& v : versions) {
            if (provider->version_definitions().count(v) == 0) missing.push_back(v);
        }
        // The newest the root has of each family the library needs.
        std::string newest;
        for (const auto& v : provider->version_definitions()) {
            const auto family = v.substr(0, v.rfind('_') + 1);
            if (!versions.empty() && versions.begin()->rfind(family, 0) == 0) newest = v;
        }
        std::string needed;
        for (const auto& v : versions) needed += (needed.empty() ? "" : " ") + v;
        if (missing.empty()) {
            checks.push_back({"versions", file, Status::ok,
                              needed + ": all defined by " + set.display(provider->path()), ""});
            continue;
        }
        std::string names;
        for (const auto& v : missing) names += (names.empty() ? "" : ", ") + v;
        checks.push_back(
            {"versions", file, Status::fail,
             "needs " + names + "; " + set.display(provider->path()) + " does not define " +
                 (missing.size() == 1 ? "it" : "them"),
             "use a build made against this runtime or an older one (the glibc flavours "
             "need no more than GLIBC_2.31 and GLIBCXX_3.4.28)"});
    }
    std::vector<std::string> missing;
    for (const auto& s : lib.symbols()) {
        if (s.defined || s.version.empty() || s.weak) continue;
        const auto provider = set.by_name(s.file);
        if (!provider || provider->version_definitions().count(s.version) == 0) continue;
        if (!provider->defines(s.name, s.version)) missing.push_back(s.name + "@" + s.version);
    }
    if (!missing.empty()) {
        checks.push_back({"versioned symbols", "", Status::fail,
                          "not defined at their version: " + list_some(missing, 4),
                          "use a build made against this runtime"});
    }
}

// Unversioned imports: the host's classes, get_ttime and JsonCpp, defined
// by the host executable or a library loaded with it.
void check_host_symbols(const ElfFile& lib, const std::string& flavour, const LoadSet& set,
                        const std::shared_ptr<const ElfFile>& host, std::vector<Check>& checks)
{
    std::vector<std::string> missing;
    std::size_t imports = 0;
    for (const auto& s : lib.symbols()) {
        if (s.defined || !s.version.empty() || s.weak) continue;
        ++imports;
        const bool found = std::any_of(set.files().begin(), set.files().end(), [&](const auto& f) {
            return f.get() != &lib && f->defines(s.name, "");
        });
        if (!found) missing.push_back(s.name);
    }
    if (!host) {
        if (!missing.empty()) {
            checks.push_back({"host symbols", std::to_string(missing.size()) + " imports",
                              Status::not_checked,
                              "no --host: the host's classes, get_ttime and JsonCpp (" +
                                  list_some(missing, 2) + ") are not checked",
                              ""});
        }
        return;
    }
    const std::string host_name = set.display(host->path());
    if (missing.empty()) {
        checks.push_back(
            {"host symbols", host_name, Status::ok,
             std::to_string(imports) + " imports defined by the host and its libraries", ""});
        return;
    }
    // A string ABI mismatch: the host defines the same functions with the
    // other string ABI.
    const auto class_of = [](const std::string& n) {
        return n.substr(0, n.find("::") == std::string::npos ? n.find('(') : n.find("::"));
    };
    std::set<std::string> host_names;
    for (const auto& f : set.files()) {
        if (f.get() == &lib) continue;
        for (const auto& s : f->symbols()) {
            if (s.defined) host_names.insert(without_string_abi(s.name));
        }
    }
    // Whether the host exports anything of the classes the plug-in calls.
    std::set<std::string> classes;
    for (const auto& m : missing) classes.insert(class_of(without_string_abi(m)));
    const bool exports_classes =
        std::any_of(host->symbols().begin(), host->symbols().end(), [&](const DynamicSymbol& s) {
            return s.defined && classes.count(class_of(without_string_abi(s.name))) != 0;
        });
    std::size_t other_abi = 0;
    for (const auto& m : missing) {
        if (host_names.count(without_string_abi(m)) != 0) ++other_abi;
    }
    Check c{"host symbols", host_name, Status::fail,
            std::to_string(missing.size()) + " of " + std::to_string(imports) +
                " imports not defined by the host or its libraries: " + list_some(missing, 3),
            ""};
    const bool lib_new = std::any_of(missing.begin(), missing.end(), uses_cxx11_abi);
    if (other_abi > 0 && lib_new) {
        c.fix = "the host uses the old string ABI: use vx40-" + old_abi_name(flavour);
    } else if (other_abi > 0) {
        c.fix = "the host uses the C++11 string ABI: use vx40-" + cxx11_name(flavour);
    } else if (!exports_classes) {
        c.fix =
            "the host exports none of its own symbols to plug-ins: it must be linked with "
            "-rdynamic (--export-dynamic)";
    } else {
        c.fix =
            "the host does not define what this plug-in needs: check that it is the host "
            "framework this plug-in is built for";
    }
    checks.push_back(c);
}

}  // namespace

const char* status_name(Status s)
{
    switch (s) {
        case Status::ok:
            return "ok";
        case Status::fail:
            return "FAIL";
        case Status::not_checked:
            return "not checked";
    }
    return "";
}

bool Verdict::loads() const
{
    return first_failure() == nullptr;
}

const Check* Verdict::first_failure() const
{
    for (const auto& c : checks) {
        if (c.status == Status::fail) return &c;
    }
    return nullptr;
}

std::string flavour_of(const ElfFile& library)
{
    std::string out = library.kind().machine == EM_X86_64 ? "x86_64"
                      : library.kind().machine == EM_MIPS
                          ? (library.kind().data == ELFDATA2LSB ? "mipsel" : "mips")
                          : "machine" + std::to_string(library.kind().machine);
    if (library.kind().float_abi == FloatAbi::soft) out += "-softfloat";
    out += libc_of(library) == Libc::musl ? "-musl" : "-glibc";
    const bool cxx11 = std::any_of(library.symbols().begin(), library.symbols().end(),
                                   [](const DynamicSymbol& s) { return uses_cxx11_abi(s.name); });
    if (!cxx11) out += "-oldabi";
    return out;
}

LoaderPlan loader_plan(const RootFs& root, const std::string& library)
{
    const ElfFile lib(library);
    const LoaderRow* row = row_of(lib);
    LoaderPlan plan;
    if (row == nullptr || !root.find(row->loader)) return plan;
    plan.loader = row->loader;
    plan.library_dirs = root.library_dirs(row->libc, row->loader, row->triplet);
    plan.qemu = row->machine != EM_X86_64;
    plan.soft_float = lib.kind().float_abi == FloatAbi::soft;
    return plan;
}

Verdict check(const RootFs& root, const std::string& library,
              const std::optional<std::string>& host_path)
{
    Verdict v;
    v.library = library;
    auto lib = std::make_shared<const ElfFile>(library);  // an ElfError is bad input
    bool entry = false;
    for (const auto& s : lib->symbols()) entry = entry || (s.defined && s.name == "get_providers");
    if (!entry) throw ElfError(library + ": not a plug-in: it defines no get_providers");
    v.flavour = flavour_of(*lib);
    auto& checks = v.checks;
    checks.push_back({"library", fs::path(library).filename().string(), Status::ok,
                      lib->kind().describe() + ", " + v.flavour, ""});
    const LoaderRow* row = row_of(*lib);
    const std::string suits = flavour_for_root(root, *lib);
    const std::string use =
        suits.empty() ? "no flavour has its loader in this root" : "use vx40-" + suits;

    std::shared_ptr<const ElfFile> host;
    std::string loader = row != nullptr ? row->loader : "";
    if (host_path) {
        std::string file = *host_path;
        // A path the root has is the root's host; otherwise a file of this machine.
        if (const auto in = root.find(*host_path); in && fs::is_regular_file(*in)) file = *in;
        host = std::make_shared<const ElfFile>(file);
        const auto shown = root.inside(file).value_or(file);
        if (!host->kind().loads_with(lib->kind())) {
            checks.push_back(
                {"host", shown, Status::fail,
                 host->kind().describe() + "; the library is " + lib->kind().describe(), use});
        } else {
            checks.push_back({"host", shown, Status::ok,
                              host->kind().describe() + ", loader " + host->interpreter(), ""});
        }
        if (!host->interpreter().empty() && host->interpreter() != loader) {
            // musl's loader takes a library built for glibc (it answers to
            // glibc's library names and binds by name); glibc's cannot take
            // one built for musl.
            const bool musl_takes_it =
                is_musl_loader(host->interpreter()) && row != nullptr && row->libc == Libc::glibc;
            checks.push_back(
                {"loader", host->interpreter(), musl_takes_it ? Status::ok : Status::fail,
                 musl_takes_it ? "the host's: musl's loader takes this glibc build as its own"
                               : "the host names this loader; the library needs " +
                                     (loader.empty() ? std::string("another") : loader),
                 musl_takes_it ? "glibc's and musl's C libraries differ in more than names: "
                                 "prefer vx40-mipsel-softfloat-musl"
                               : use});
            loader = host->interpreter();
        }
    }
    const auto loader_file = loader.empty() ? std::nullopt : root.find(loader);
    if (!loader_file) {
        checks.push_back(
            {"loader", loader.empty() ? "?" : loader, Status::fail, "not in the root", use});
        return v;
    }
    try {
        const ElfFile ld(*loader_file);
        if (!ld.kind().loads_with(lib->kind())) {
            checks.push_back(
                {"loader", loader, Status::fail, lib->kind().mismatch(ld.kind()), use});
            return v;
        }
        checks.push_back({"loader", loader, Status::ok, ld.kind().describe(), ""});
    } catch (const ElfError& e) {
        checks.push_back({"loader", loader, Status::fail, e.what(), use});
        return v;
    }

    const bool musl = is_musl_loader(loader);
    LoadSet set(root,
                root.library_dirs(musl ? Libc::musl : Libc::glibc, loader,
                                  row != nullptr ? row->triplet : ""),
                lib->kind(), musl ? std::make_shared<const ElfFile>(*loader_file) : nullptr);
    std::vector<Check> host_needs;
    if (host)
        set.add(host, host->runpath().empty() ? host->rpath() : host->runpath(), true, host_needs);
    for (auto& c : host_needs) {
        if (c.status == Status::fail) {
            c.name = "host NEEDED";
            checks.push_back(c);
        }
    }
    // A plug-in without a run path of its own searches the host's run path first.
    set.add(lib, host && lib->runpath().empty() ? host->rpath() : std::vector<std::string>{}, true,
            checks);
    if (musl) {
        check_versions_by_name(*lib, set, checks);
    } else {
        check_versions(*lib, set, checks);
    }
    check_host_symbols(*lib, v.flavour, set, host, checks);
    return v;
}

}  // namespace preflight
