// vx40-bench end to end: the built bench driving the built plug-in, its JSON
// output parsed line by line.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

struct BenchRun {
    int status = -1;
    std::vector<Json::Value> rounds;
    std::string out;
};

BenchRun bench(const std::string& args)
{
    BenchRun run;
    const std::string runner = VX40_BENCH_RUNNER;
    const std::string cmd =
        (runner.empty() ? "" : runner + " ") + VX40_BENCH_PATH + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return run;
    char buf[4096];
    std::size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
    const int rc = pclose(p);
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    std::istringstream lines(run.out);
    std::string line;
    Json::CharReaderBuilder b;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != '{') continue;
        Json::Value v;
        std::istringstream in(line);
        std::string errors;
        EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << errors << line;
        run.rounds.push_back(v);
    }
    return run;
}

std::vector<std::string> lines_of(const std::string& path);

std::string scenario_file(const std::string& name, const std::string& text)
{
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

TEST(Bench, ScenarioRoundsAsJson)
{
    const BenchRun run = bench("--json - --scenario " VX40_EXAMPLES_DIR "/scenario.json");
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.rounds.size(), 6U) << run.out;
    const auto& r1 = run.rounds[0];
    EXPECT_EQ(r1["round"].asInt(), 1);
    EXPECT_TRUE(r1["completed"].asBool());
    EXPECT_EQ(r1["requests"].size(), 4U);
    EXPECT_EQ(r1["requests"][3].asString(), "2A46");
    EXPECT_EQ(r1["values"]["ACInputLineOrPhaseAB_A"].asFloat(), 220.5F);
    EXPECT_EQ(r1["record"].asString().size(), 278U);
    EXPECT_EQ(r1["record"].asString().substr(0, 8), "01000000");  // device id 1, LE
    EXPECT_EQ(r1["alarms"].size(), 18U);
    // Round 2 raises the inverter fault (status byte 3 = 0xF0), round 3 clears it.
    EXPECT_TRUE(run.rounds[1]["alarms"][5]["active"].asBool());
    EXPECT_EQ(run.rounds[1]["alarms"][5]["signal"].asString(), "vx40_5");
    EXPECT_EQ(run.rounds[1]["alarms"][5]["seq"].asInt(), 6);
    // Round 3's 2A/44 reply is short: its log line, and the old status bytes stay.
    EXPECT_EQ(run.rounds[2]["log"][0].asString(),
              "error in VX40_2A_44 expected len=30 actual len:20");
    EXPECT_TRUE(run.rounds[2]["alarms"][5]["active"].asBool());
    EXPECT_EQ(run.rounds[2]["values"]["ACInputLineOrPhaseAB_A"].asFloat(), 180.0F);
    // Round 4 drops 2A/46: no completion, no record.
    EXPECT_FALSE(run.rounds[3]["completed"].asBool());
    EXPECT_TRUE(run.rounds[3]["record"].isNull());
    EXPECT_TRUE(run.rounds[3]["alarms"].empty());
    EXPECT_EQ(run.rounds[3]["missing"][0].asString(), "2A46");
    EXPECT_TRUE(run.rounds[3]["rejected"].empty());
    // Round 5 advances 61 s before its values are read: stale.
    EXPECT_EQ(run.rounds[4]["values"]["ACOutputCurrentA"]["error"].asString(), "stale");
    EXPECT_EQ(run.rounds[4]["values"]["ACOutputCurrentA"]["text"].asString(), "数据已超时");
    EXPECT_EQ(run.rounds[5]["values"]["ACOutputCurrentA"].asFloat(), 12.5F);
}

TEST(Bench, CacheSavedAndRestoredAsRoundZero)
{
    const std::string cache = testing::TempDir() + "vx40-cache.bin";
    const std::string history = testing::TempDir() + "vx40-history.bin";
    std::remove(history.c_str());
    BenchRun first = bench("--rounds 2 --json - --save-cache " + cache + " --history " + history);
    ASSERT_EQ(first.status, 0) << first.out;
    std::ifstream h(history, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<long>(h.tellg()), 2 * 139);
    const BenchRun second = bench("--rounds 0 --json - --device-id 7 --cache " + cache);
    ASSERT_EQ(second.status, 0) << second.out;
    ASSERT_EQ(second.rounds.size(), 1U);
    EXPECT_EQ(second.rounds[0]["round"].asInt(), 0);
    EXPECT_TRUE(second.rounds[0]["completed"].asBool());
    // The restored block carries the identifier stored with it (1), not 7.
    EXPECT_EQ(second.rounds[0]["record"].asString().substr(0, 8), "01000000");
    EXPECT_EQ(second.rounds[0]["values"]["ACOutputLineOrPhaseAB_A"].asFloat(), 230.0F);
}

TEST(Bench, PseudoTerminalLineGivesTheSameRounds)
{
    const std::string scenario = scenario_file("pty.json", R"({"rounds": [{}, {"status": {"5": 1}},
        {"short": {"41": 100}}]})");
    const BenchRun direct = bench("--json - --scenario " + scenario);
    const BenchRun pty = bench("--pty --json - --scenario " + scenario);
    ASSERT_EQ(pty.status, 0) << pty.out;
    ASSERT_EQ(pty.rounds.size(), 3U) << pty.out;
    ASSERT_EQ(direct.rounds.size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        for (const char* key : {"requests", "completed", "log", "alarms", "values", "rejected"}) {
            EXPECT_EQ(pty.rounds[i][key], direct.rounds[i][key]) << i << " " << key;
        }
        EXPECT_EQ(pty.rounds[i]["record"].asString().substr(0, 264),
                  direct.rounds[i]["record"].asString().substr(0, 264));
    }
    EXPECT_TRUE(pty.rounds[1]["alarms"][8]["active"].asBool());  // 即将停机告警
    EXPECT_EQ(pty.rounds[2]["log"][0].asString(),
              "error in VX40_2A_41 expected len=128 actual len:100");
}

TEST(Bench, RefusedFrameEndsTheRoundAndIsCounted)
{
    const std::string scenario =
        scenario_file("odd.json", R"({"rounds": [{"short": {"43": 13}}, {}]})");
    const BenchRun run = bench("--json - --scenario " + scenario);
    ASSERT_EQ(run.rounds.size(), 2U) << run.out;
    EXPECT_EQ(run.rounds[0]["rejected"][0].asString(), "odd LENID");
    EXPECT_FALSE(run.rounds[0]["completed"].asBool());
    EXPECT_EQ(run.rounds[0]["requests"].size(), 2U);
    EXPECT_TRUE(run.rounds[1]["completed"].asBool());  // the next round starts afresh
    const BenchRun shown = bench("--scenario " + scenario);
    EXPECT_NE(shown.out.find("rejected frames: odd LENID x1"), std::string::npos) << shown.out;
}

// The line shown: every frame in both directions, the decoder's verdict, a
// timeout where no reply came; the same events in each round's "frames".
TEST(Bench, TraceShowsEveryFrameAndItsVerdict)
{
    const std::string trace = testing::TempDir() + "vx40.trace";
    const std::string scenario = scenario_file(
        "traced.json", R"({"rounds": [{}, {"drop": ["44"]}, {"short": {"43": 13}}]})");
    const BenchRun run =
        bench("--json - --trace " + trace + " --timeout 1 --pty --scenario " + scenario);
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.rounds.size(), 3U);
    const auto lines = lines_of(trace);
    std::size_t frames = 0;
    for (const auto& r : run.rounds) frames += r["frames"].size();
    EXPECT_EQ(lines.size(), frames);
    // Round 1: four requests, four accepted replies, in order.
    ASSERT_EQ(run.rounds[0]["frames"].size(), 8U);
    for (Json::ArrayIndex i = 0; i < 8; ++i) {
        const auto& f = run.rounds[0]["frames"][i];
        EXPECT_EQ(f["dir"].asString(), i % 2 == 0 ? "tx" : "rx");
        EXPECT_EQ(f["step"].asUInt(), i / 2 + 1);
        if (i % 2 == 1) {
            EXPECT_EQ(f["verdict"].asString(), "accepted");
        }
    }
    EXPECT_EQ(run.rounds[0]["frames"][0]["text"].asString(), "~21012A410000FDA4\r");
    EXPECT_NE(lines[0].find("round 1 step 1 -> ~21012A410000FDA4\\r"), std::string::npos)
        << lines[0];
    // Round 2: what was sent for 2A/44, then the timeout.
    const auto& dropped = run.rounds[1]["frames"];
    ASSERT_EQ(dropped.size(), 6U);
    EXPECT_EQ(dropped[4]["text"].asString(), "~21012A440000FDA1\r");
    EXPECT_EQ(dropped[5]["dir"].asString(), "timeout");
    EXPECT_EQ(dropped[5]["verdict"].asString(), "1000 ms");
    // Round 3: the refused reply and its reason.
    const auto& refused = run.rounds[2]["frames"];
    ASSERT_EQ(refused.size(), 4U);
    EXPECT_EQ(refused[3]["verdict"].asString(), "odd LENID");
    EXPECT_NE(lines.back().find("odd LENID"), std::string::npos) << lines.back();
}

// Status bytes and analog values by name give the same rounds as by index.
TEST(Bench, SymbolicScenarioKeysMatchTheNumericForm)
{
    const BenchRun named =
        bench("--json - --scenario " + scenario_file("named.json", R"({"rounds": [
        {"status": {"inverter": "fault", "battery_voltage": "high"}, "analog": {"input_v_ab": 180}},
        {"status": {"inverter": "normal", "mains_frequency": 224}}]})"));
    const BenchRun numeric =
        bench("--json - --scenario " + scenario_file("numeric.json", R"({"rounds": [
        {"status": {"3": 240, "5": 3}, "analog": {"0": 180}},
        {"status": {"3": 0, "13": 224}}]})"));
    ASSERT_EQ(named.status, 0) << named.out;
    ASSERT_EQ(named.rounds.size(), 2U);
    ASSERT_EQ(numeric.rounds.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(named.rounds[i]["alarms"], numeric.rounds[i]["alarms"]) << i;
        EXPECT_EQ(named.rounds[i]["values"], numeric.rounds[i]["values"]) << i;
    }
    EXPECT_TRUE(named.rounds[0]["alarms"][5]["active"].asBool());  // inverter fault
    EXPECT_TRUE(named.rounds[0]["alarms"][9]["active"].asBool());  // battery above its limit
    const BenchRun wrong =
        bench("--scenario " +
              scenario_file("wrong.json", R"({"rounds": [{"status": {"inverter": "low"}}]})"));
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.out.find(
                  "rounds[0].status.inverter: \"low\" is not a state of inverter (normal, fault)"),
              std::string::npos)
        << wrong.out;
}

TEST(Bench, BadInputsExitTwoNamingTheFileAndTheReason)
{
    EXPECT_EQ(bench("--rounds x").status, 2);
    EXPECT_EQ(bench("--bogus 1").status, 2);
    const BenchRun bad =
        bench("--scenario " + scenario_file("bad.json", R"({"rounds": [{"drop": ["47"]}]})"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("bad.json"), std::string::npos);
    EXPECT_NE(bad.out.find("47"), std::string::npos);
    const std::string huge = scenario_file("huge.json", R"({"rounds": [{"analog": {"3": 1e40}}]})");
    const BenchRun too_big = bench("--scenario " + huge);
    EXPECT_EQ(too_big.status, 2);
    EXPECT_NE(too_big.out.find("rounds[0].analog.3"), std::string::npos) << too_big.out;
    EXPECT_NE(too_big.out.find("outside the range of a 32-bit float"), std::string::npos);

    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"--settings /nonexistent/s.json",
         "settings /nonexistent/s.json: cannot read: No such file"},
        {"--settings " + scenario_file("array.json", "[]"), "array.json: not a JSON object"},
        {"--cache /nonexistent/c.bin", "cache /nonexistent/c.bin: cannot read: No such file"},
        {"--cache " + scenario_file("short.bin", std::string(100, 'x')),
         "short.bin: 100 bytes, needs 139"},
        {"--scenario /nonexistent/x.json",
         "scenario /nonexistent/x.json: cannot read: No such file"},
        {"--port /dev/null", "/dev/null: not a serial port"},
    };
    for (const auto& c : cases) {
        const BenchRun run = bench(c.args);
        EXPECT_EQ(run.status, 2) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.args << "\n" << run.out;
    }
    const BenchRun missing = bench("--plugin /nonexistent/vx40.so");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("/nonexistent/vx40.so"), std::string::npos);
    const BenchRun help = bench("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--scenario"), std::string::npos);
}

// Every output is opened before the plug-in is loaded; one that cannot be
// opened or written ends the run with status 3, the path and the reason.
TEST(Bench, OutputsThatCannotBeWrittenExitThree)
{
    for (const char* option : {"--json", "--history", "--save-cache"}) {
        const BenchRun run =
            bench(std::string(option) + " /nonexistent/dir/out --plugin /nonexistent/vx40.so");
        EXPECT_EQ(run.status, 3) << option << "\n" << run.out;
        EXPECT_NE(run.out.find("/nonexistent/dir/out"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("No such file or directory"), std::string::npos) << run.out;
    }
    for (const char* option : {"--json", "--history"}) {
        const BenchRun full = bench(std::string(option) + " /dev/full --rounds 1");
        EXPECT_EQ(full.status, 3) << option << "\n" << full.out;
        EXPECT_NE(full.out.find("/dev/full: write failed: No space left on device"),
                  std::string::npos)
            << full.out;
    }
}

// Runs the bench in the background with its output in a file; returns its pid.
pid_t spawn(const std::string& args, const std::string& out)
{
    const std::string runner = VX40_BENCH_RUNNER;
    const std::string cmd = "exec " + (runner.empty() ? "" : runner + " ") + VX40_BENCH_PATH + " " +
                            args + " > " + out + " 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int wait_status(pid_t pid)
{
    int rc = 0;
    waitpid(pid, &rc, 0);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::vector<std::string> lines_of(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

long file_size(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : -1;
}

// SIGINT during a pseudo-terminal run in real time: the run ends after the
// exchange in progress, and the JSON, the history, the cache and the summary
// are all written; exit status 130.
TEST(Bench, SignalEndsTheRunWithEverythingWritten)
{
    const std::string dir = testing::TempDir();
    const std::string json = dir + "sig.jsonl", history = dir + "sig.hist",
                      cache = dir + "sig.cache";
    const std::string out = dir + "sig.out";
    for (const auto& f : {json, history, cache}) std::remove(f.c_str());
    const pid_t pid = spawn("--pty --realtime --interval 1 --rounds 1000 --json " + json +
                                " --history " + history + " --save-cache " + cache,
                            out);
    // Two rounds done, then the signal.
    for (int i = 0; i < 600 && lines_of(json).size() < 2; ++i) usleep(50000);
    ASSERT_GE(lines_of(json).size(), 2U);
    kill(pid, SIGINT);
    EXPECT_EQ(wait_status(pid), 130);
    const auto rounds = lines_of(json);
    long completed = 0;
    for (const auto& line : rounds) {
        Json::Value v;
        std::istringstream in(line);
        Json::CharReaderBuilder b;
        std::string errors;
        ASSERT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << line;
        completed += v["completed"].asBool() ? 1 : 0;
    }
    EXPECT_GE(completed, 2);
    EXPECT_EQ(file_size(history), completed * 139);
    EXPECT_EQ(file_size(cache), 139);
    const auto printed = lines_of(out);
    ASSERT_FALSE(printed.empty());
    EXPECT_NE(printed.back().find("stopped by a signal"), std::string::npos) << printed.back();
}

// A serial line that goes away (the other side of a pseudo-terminal closed)
// is reported and ends the run with everything written; exit status 4.
TEST(Bench, LostLineEndsTheRunWithEverythingWritten)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the bench must not hold this side open
    // The bench opens the line by a path: its inherited copy of the slave,
    // which works where /dev/pts is not this process's own.
    const std::string port = "/proc/self/fd/" + std::to_string(slave);
    const std::string dir = testing::TempDir();
    const std::string json = dir + "lost.jsonl", out = dir + "lost.out";
    const pid_t pid = spawn("--port " + port + " --timeout 5 --rounds 3 --json " + json, out);
    close(slave);
    // The first request arrives; then this side of the line goes away.
    pollfd p{master, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 20000), 0);
    close(master);
    EXPECT_EQ(wait_status(pid), 4);
    const auto rounds = lines_of(json);
    ASSERT_EQ(rounds.size(), 1U);
    EXPECT_NE(rounds[0].find("\"completed\":false"), std::string::npos) << rounds[0];
    std::ifstream text(out);
    const std::string printed((std::istreambuf_iterator<char>(text)),
                              std::istreambuf_iterator<char>());
    EXPECT_NE(printed.find("serial line lost: " + port), std::string::npos) << printed;
}

}  // namespace
