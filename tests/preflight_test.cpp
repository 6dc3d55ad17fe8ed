// vx40-preflight run as a person runs it, against roots made here from this
// machine's own runtime: whole, missing a library, with a library found only
// through ld.so.conf's includes, as a tar; with a host that exports the
// stand-in host's symbols (this test program) and one that does not.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plugin.h"
#include "run.h"

namespace {

namespace fs = std::filesystem;

const std::string kPreflight = VX40_PREFLIGHT_PATH;

fs::path self()
{
    return fs::read_symlink("/proc/self/exe");
}

// A root with this machine's loader and the plug-in's run-time libraries,
// copied in (a root's links cannot leave it); MISSING left out, MOVED put in
// /opt/lib and named by an ld.so.conf that includes a folder of them.
fs::path make_root(const std::string& name, const std::string& missing, const std::string& moved)
{
    const char* tmp = std::getenv("TEST_TMPDIR");
    const fs::path root = fs::path(tmp != nullptr ? tmp : fs::temp_directory_path().string()) /
                          ("vx40-preflight-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "lib64");
    fs::create_directories(root / "lib/x86_64-linux-gnu");
    fs::create_directories(root / "opt/lib");
    fs::create_directories(root / "etc/ld.so.conf.d");
    fs::copy_file(fs::canonical("/lib64/ld-linux-x86-64.so.2"),
                  root / "lib/x86_64-linux-gnu/ld.so");
    fs::create_symlink("/lib/x86_64-linux-gnu/ld.so", root / "lib64/ld-linux-x86-64.so.2");
    for (const std::string lib : {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6"}) {
        if (lib == missing) continue;
        const fs::path to =
            lib == moved ? root / "opt/lib" / lib : root / "lib/x86_64-linux-gnu" / lib;
        fs::copy_file(fs::canonical("/lib/x86_64-linux-gnu/" + lib), to);
    }
    std::ofstream(root / "etc/ld.so.conf")
        << "# the controller's\ninclude /etc/ld.so.conf.d/*.conf\n";
    std::ofstream(root / "etc/ld.so.conf.d/opt.conf") << "/opt/lib\n";
    return root;
}

struct Case {
    const char* name;
    std::string args;  // after the program's name
    int status;
    std::vector<std::string> says;  // each in the output
};

class Preflight : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        whole_ = make_root("whole", "", "");
        // The root's own host, named by its path in the root.
        fs::create_directories(whole_ / "bin");
        fs::copy_file(VX40_UNEXPORTED_HOST, whole_ / "bin/host");
        no_stdcxx_ = make_root("nostdcxx", "libstdc++.so.6", "");
        conf_ = make_root("conf", "", "libstdc++.so.6");
        tar_ = conf_.string() + ".tar";
        ASSERT_EQ(testrun::run("tar -cf " + tar_.string() + " -C " + conf_.string() + " .").status,
                  0);
    }
    static void TearDownTestSuite()
    {
        for (const auto& p : {whole_, no_stdcxx_, conf_, tar_}) fs::remove_all(p);
    }
    static fs::path whole_, no_stdcxx_, conf_, tar_;
};
fs::path Preflight::whole_, Preflight::no_stdcxx_, Preflight::conf_, Preflight::tar_;

TEST_F(Preflight, VerdictsOnRootsAndHosts)
{
    const std::string lib = standin::default_plugin_path();
    const std::string exporting = self().string();
    const std::string unexported = VX40_UNEXPORTED_HOST;
    const std::vector<Case> cases = {
        {"this machine, no host", "/ " + lib, 0, {"will load", "not checked", "libstdc++.so.6"}},
        {"this machine, a host exporting the stand-in",
         "/ " + lib + " --host " + exporting,
         0,
         {"host symbols", "imports defined by the host", "will load"}},
        {"a host linked without its symbols exported",
         "/ " + lib + " --host " + unexported,
         1,
         {"FAIL", "exports none of its own symbols", "will not load"}},
        {"a root copied whole",
         whole_.string() + " " + lib,
         0,
         {"/lib/x86_64-linux-gnu/libc.so.6"}},
        {"a root without libstdc++",
         no_stdcxx_.string() + " " + lib,
         1,
         {"libstdc++.so.6", "not found in", "what to do: install libstdc++.so.6"}},
        {"libstdc++ found through ld.so.conf's include",
         conf_.string() + " " + lib,
         0,
         {"/opt/lib/libstdc++.so.6", "will load"}},
        {"the same root as a tar", tar_.string() + " " + lib, 0, {"/opt/lib/libstdc++.so.6"}},
        {"the root's own host, named by its path in the root",
         whole_.string() + " " + lib + " --host /bin/host",
         1,
         {"/bin/host", "exports none of its own symbols"}},
        {"a host inside the root that is not there",
         no_stdcxx_.string() + " " + lib + " --host /bin/host",
         2,
         {"/bin/host"}},
        {"no such root",
         "/nonexistent/root " + lib,
         2,
         {"/nonexistent/root", "try vx40-preflight --help"}},
        {"a library that is not ELF",
         "/ " + std::string(VX40_EXAMPLES_DIR) + "/settings.json",
         2,
         {"settings.json: not an ELF file"}},
        {"a library that is not a plug-in",
         "/ " + fs::canonical("/lib/x86_64-linux-gnu/libm.so.6").string(),
         2,
         {"not a plug-in: it defines no get_providers"}},
        {"an unknown option",
         "/ " + lib + " --frobnicate",
         2,
         {"--frobnicate", "try vx40-preflight --help"}},
        {"a file that is neither folder nor tar",
         std::string(VX40_EXAMPLES_DIR) + "/settings.json " + lib,
         2,
         {"not a folder or a readable tar"}},
    };
    for (const auto& c : cases) {
        const auto ran = testrun::run(kPreflight + " " + c.args);
        EXPECT_EQ(ran.status, c.status) << c.name << "\n" << ran.out;
        for (const auto& s : c.says) {
            EXPECT_NE(ran.out.find(s), std::string::npos) << c.name << ": no \"" << s << "\" in\n"
                                                          << ran.out;
        }
    }
}

TEST_F(Preflight, JsonNamesEachCheckAndTheVerdict)
{
    const std::string lib = standin::default_plugin_path();
    for (const auto& [root, loads] : {std::pair{conf_, true}, std::pair{no_stdcxx_, false}}) {
        const auto ran =
            testrun::run(kPreflight + " " + root.string() + " " + lib + " --json 2>/dev/null");
        ASSERT_EQ(ran.status, loads ? 0 : 1) << ran.out;
        Json::Value doc;
        std::string errors;
        std::istringstream in(ran.out);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) << errors;
        EXPECT_EQ(doc["loads"].asBool(), loads);
        ASSERT_EQ(doc["libraries"].size(), 1U);
        const Json::Value& checks = doc["libraries"][0]["checks"];
        ASSERT_GE(checks.size(), 4U);
        int failures = 0;
        for (const auto& c : checks) {
            EXPECT_TRUE(c.isMember("check") && c.isMember("subject") && c.isMember("detail"));
            if (c["result"].asString() == "FAIL") {
                ++failures;
                EXPECT_FALSE(c["fix"].asString().empty()) << "a failure without what to do";
            }
        }
        EXPECT_EQ(failures, loads ? 0 : 1);
        EXPECT_EQ(doc["libraries"][0]["flavour"].asString(), "x86_64-glibc");
    }
}

}  // namespace
