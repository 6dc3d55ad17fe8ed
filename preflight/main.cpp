// vx40-preflight: will this vx40.so load on that controller, and if not,
// which build would? It reads the ELF files of a controller's root
// filesystem, the library and the host, and runs nothing of the root's
// unless --run asks it to prove the verdict by loading the library there.
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "checks.h"
#include "output.h"
#include "root_fs.h"

namespace {

namespace fs = std::filesystem;
using preflight::Verdict;

constexpr const char* kExitStatus =
    "Exit status: 0 it will load (with --run: and its rounds ran there), 1 it will not, 2 bad "
    "input.\n";

struct Options {
    std::string root;
    std::string library;
    std::string host;
    bool json = false;
    bool run = false;
};

// The flavours built beside this program: flavours/NAME/lib/vx40.so, each an
// unpacked release tarball.
std::vector<std::string> flavours_beside(const char* argv0)
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) self = fs::absolute(argv0);
    std::vector<std::string> out;
    const fs::path dir = self.parent_path() / "flavours";
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const fs::path lib = entry.path() / "lib" / "vx40.so";
        if (fs::is_regular_file(lib)) out.push_back(lib.string());
    }
    // The C++11 string ABI first: without --host it is the one chosen.
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        const bool old_a = a.find("-oldabi/") != std::string::npos;
        const bool old_b = b.find("-oldabi/") != std::string::npos;
        return old_a != old_b ? old_b : a < b;
    });
    return out;
}

// The library loaded on the root's own loader, with the root's libraries,
// by the flavour's stand-in host (flavours/NAME/bin/vx40-soak, JsonCpp
// beside it in flavours/NAME/host-lib), which runs a few rounds. Returns
// the host's exit status, or -1 with a reason when it cannot be tried.
int run_on_root(const preflight::RootFs& root, const std::string& library, std::string& why)
{
    const auto plan = preflight::loader_plan(root, library);
    const fs::path flavour = fs::path(library).parent_path().parent_path();
    const fs::path host = flavour / "bin" / "vx40-soak";
    if (plan.loader.empty()) {
        why = "the root has no loader for it";
        return -1;
    }
    if (!fs::exists(host)) {
        why = "no stand-in host beside the library (" + host.string() + ")";
        return -1;
    }
    // The host's own JsonCpp first: it comes with the host, not the root.
    std::string dirs = (flavour / "host-lib").string();
    for (const auto& d : plan.library_dirs) {
        // Under qemu the root is the emulator's prefix; natively the root's
        // folders are named from here.
        dirs += ":" + (plan.qemu ? d : root.folder() + d);
    }
    std::vector<std::string> args;
    if (plan.qemu) {
        args = {"qemu-mipsel", "-L", root.folder()};
        if (plan.soft_float) args.insert(args.end(), {"-cpu", "24Kc"});
    }
    // The program qemu starts is named as it is on this machine.
    args.push_back(*root.find(plan.loader));
    if (!plan.qemu) args.emplace_back("--inhibit-cache");
    args.insert(args.end(), {"--library-path", dirs, host.string(), "20", "1000000000"});
    const pid_t pid = fork();
    if (pid < 0) {
        why = "cannot start the host";
        return -1;
    }
    if (pid == 0) {
        setenv("VX40_PLUGIN", library.c_str(), 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        why = "cannot run " + args[0];
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    CLI::App app{
        "vx40-preflight: will this vx40.so load on that controller, and if not, which build "
        "would?"};
    app.footer(kExitStatus);
    app.add_option("ROOT", opt.root, "the controller's root filesystem: a folder or a tar of one")
        ->required();
    app.add_option("LIBRARY", opt.library,
                   "a vx40.so (default: every flavour built beside this program)");
    app.add_option("--host", opt.host, "the host executable, inside the root or outside it");
    app.add_flag("--json", opt.json, "one JSON object instead of the table");
    app.add_flag("--run", opt.run,
                 "also load the library with the root's own loader and libraries (under "
                 "qemu-user for another CPU) and run rounds there");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << "vx40-preflight: " << e.what() << "\ntry vx40-preflight --help\n";
        return 2;
    }
    std::vector<Verdict> verdicts;
    try {
        const preflight::RootFs root(opt.root);
        std::vector<std::string> libraries;
        if (!opt.library.empty()) {
            libraries.push_back(opt.library);
        } else {
            libraries = flavours_beside(argv[0]);
            if (libraries.empty()) {
                throw preflight::InputError("no LIBRARY given and no flavours beside this program");
            }
        }
        const std::optional<std::string> host =
            opt.host.empty() ? std::nullopt : std::optional<std::string>(opt.host);
        for (const auto& lib : libraries) {
            Verdict v = preflight::check(root, lib, host);
            if (opt.run && v.loads()) {
                std::string why;
                const int status = run_on_root(root, lib, why);
                if (status < 0) {
                    v.checks.push_back({"run", "", preflight::Status::not_checked, why, ""});
                } else {
                    v.checks.push_back(
                        {"run", "rounds on the root's loader",
                         status == 0 ? preflight::Status::ok : preflight::Status::fail,
                         status == 0
                             ? "the stand-in host loaded it and ran 20 rounds"
                             : "the stand-in host ended with status " + std::to_string(status),
                         status == 0 ? "" : "see the host's output above"});
                }
            }
            verdicts.push_back(std::move(v));
        }
    } catch (const std::exception& e) {
        std::cerr << "vx40-preflight: " << e.what() << "\ntry vx40-preflight --help\n";
        return 2;
    }
    const bool colour =
        !opt.json && isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr;
    if (opt.json) {
        preflight::write_json(std::cout, opt.root, opt.host, verdicts);
    } else {
        preflight::write_table(std::cout, opt.root, opt.host, verdicts, colour);
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "vx40-preflight: standard output: cannot write\n";
        return 2;
    }
    return std::any_of(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return v.loads(); })
               ? 0
               : 1;
}
