// vx40-bench end to end: the built bench driving the built plug-in, its JSON
// output parsed line by line.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "run.h"

namespace {

struct BenchRun {
    int status = -1;
    std::vector<Json::Value> rounds;
    std::string out;
};

// `prefix`: shell words before the command (a limit, say).
BenchRun bench(const std::string& args, const std::string& prefix = "")
{
    BenchRun run;
    const std::string runner = VX40_BENCH_RUNNER;
    const testrun::Ran ran =
        testrun::run(prefix + (runner.empty() ? "" : runner + " ") + VX40_BENCH_PATH + " " + args);
    run.status = ran.status;
    run.out = ran.out;
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
    EXPECT_NE(shown.out.find("1 frames refused (odd LENID x1)"), std::string::npos) << shown.out;
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
    const BenchRun no_error = bench(
        "--scenario " + scenario_file("rtn.json", R"({"rounds": [{"wire": {"44": {"rtn": 0}}}]})"));
    EXPECT_EQ(no_error.status, 2);
    EXPECT_NE(no_error.out.find("rounds[0].wire.44.rtn: an error return is 1..255"),
              std::string::npos)
        << no_error.out;
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
        {"--port /dev/null", "port /dev/null: not a serial port"},
        {"--scenario " + scenario_file("long.json", R"({"rounds": [{"short": {"43": 14}}]})"),
         "rounds[0].short.43: 14 hex characters is no shorter than the whole INFO (14)"},
        {"--report /tmp/p.html --from 2026-02-30x",
         "--from 2026-02-30x: clock \"2026-02-30x\" is not YYYY-MM-DD HH:MM:SS"},
        {"--report /tmp/p.html --to \"2026-01-01 24:00:00\"", "is not YYYY-MM-DD HH:MM:SS"},
        {"--from 2026-01-01", "--from and --to choose the rounds of the page: need --report"},
        {"--report /tmp/p.html --from 2026-01-02 --to 2026-01-01",
         "--from is after --to: no round between"},
    };
    for (const auto& c : cases) {
        const BenchRun run = bench(c.args);
        EXPECT_EQ(run.status, 2) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.args << "\n" << run.out;
    }
    // A value keeps its magnitude in the human output.
    const BenchRun big =
        bench("--rounds 1 --scenario " +
              scenario_file("big.json", R"({"rounds": [{"analog": {"input_v_ab": 3.4e38}}]})"));
    EXPECT_NE(big.out.find("input  V  3.4e+38  "), std::string::npos) << big.out;
    const BenchRun plain = bench("--rounds 1 --quiet");
    EXPECT_NE(plain.out.find("output V  230  229.9  230.1"), std::string::npos) << plain.out;
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
    for (const char* option : {"--json", "--history", "--save-cache", "--record", "--report"}) {
        const BenchRun run =
            bench(std::string(option) + " /nonexistent/dir/out --plugin /nonexistent/vx40.so");
        EXPECT_EQ(run.status, 3) << option << "\n" << run.out;
        EXPECT_NE(run.out.find("/nonexistent/dir/out"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("No such file or directory"), std::string::npos) << run.out;
    }
    for (const char* option : {"--json", "--history", "--record", "--trace"}) {
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
    EXPECT_NE(printed.find("line lost: " + port + ": the line hung up"), std::string::npos);
    EXPECT_NE(printed.find("1 rounds, 0 completed, 0 timeouts, 0 frames refused; the line was "
                           "lost in round 1: " +
                           port),
              std::string::npos)
        << printed;
}

std::string text_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every wire fault, scripted per reply: the protocol layer refuses the bad
// frames, counts a late one and still finds a frame behind noise or split
// into pieces; in process and over the pseudo-terminal alike.
TEST(Bench, WireFaultsAreRefusedCountedOrFound)
{
    const std::string scenario = scenario_file("wire.json", R"({"rounds": [
        {"wire": {"41": {"chksum": true}}},
        {"wire": {"43": {"lchksum": true}}},
        {"wire": {"44": {"rtn": 2}}},
        {"wire": {"44": {"rtn": 4, "rtn_info": true}}},
        {"wire": {"46": {"late": true}}},
        {},
        {"wire": {"41": {"noise": "\u0001garbage~12"}, "43": {"chunk": 5}, "44": {"chunk": 1}}},
        {"wire": {"46": {"adr": 2}}}]})");
    const struct {
        bool completed;
        std::size_t requests;
        const char* rejected;  // "" for none
        const char* missing;
    } expected[] = {
        {false, 1, "CHKSUM mismatch", ""},
        {false, 2, "LENGTH checksum", ""},
        {false, 3, "RTN 02 (error return)", ""},
        {false, 3, "RTN 04 (error return)", ""},
        {false, 4, "", "2A46"},
        {true, 4, "late reply", ""},  // the owed 2A/46 reply, then 2A/41's own
        {true, 4, "", ""},
        {false, 4, "another ADR", ""},
    };
    for (const std::string line : {"", "--pty --timeout 1 "}) {
        const std::string trace = testing::TempDir() + "wire.trace";
        const BenchRun run = bench(line + "--json - --trace " + trace + " --scenario " + scenario);
        ASSERT_EQ(run.status, 0) << line << run.out;
        ASSERT_EQ(run.rounds.size(), std::size(expected)) << line << run.out;
        for (std::size_t i = 0; i < std::size(expected); ++i) {
            const auto& r = run.rounds[i];
            const auto& e = expected[i];
            EXPECT_EQ(r["completed"].asBool(), e.completed) << line << i;
            EXPECT_EQ(r["requests"].size(), e.requests) << line << i;
            EXPECT_EQ(r["rejected"].size(), *e.rejected != '\0' ? 1U : 0U) << line << i;
            EXPECT_EQ(r["rejected"][0].asString(), *e.rejected != '\0' ? e.rejected : "")
                << line << i;
            EXPECT_EQ(r["missing"][0].asString(), *e.missing != '\0' ? e.missing : "") << line << i;
        }
        // The late frame is the 2A/46 reply (45 bytes of INFO), shown as late.
        const auto& late = run.rounds[5]["frames"][1];
        EXPECT_EQ(late["verdict"].asString(), "late reply") << line;
        EXPECT_EQ(late["text"].asString().substr(0, 13), "~21012A00105A") << line;
        const std::string traced = text_of(trace);
        EXPECT_NE(traced.find("round 7 step 1 <- noise \\x01garbage~12  skipped"),
                  std::string::npos)
            << line << traced;
        EXPECT_NE(run.out.find("8 rounds, 2 completed, 1 timeouts, 6 frames refused ("),
                  std::string::npos)
            << line;
        EXPECT_NE(run.out.find("late reply x1"), std::string::npos) << line;
    }
}

// With line-rate pacing a round over the pseudo-terminal takes the time its
// characters take on the wire at 4800 baud, ten bits each.
TEST(Bench, LineRatePacingTakesTheWireTime)
{
    const BenchRun run = bench("--pty --line-rate --rounds 3 --json - --trace " +
                               testing::TempDir() + "paced.trace --scenario " +
                               scenario_file("plain.json", R"({"rounds": [{}, {}, {}]})"));
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.rounds.size(), 3U);
    double fastest = 1e9;
    double wire = 0.0;
    for (const auto& r : run.rounds) {
        const auto& f = r["frames"];
        std::size_t chars = 0;
        for (const auto& e : f) chars += e["text"].asString().size();
        wire = static_cast<double>(chars) * 10.0 / 4800.0;
        ASSERT_EQ(chars, 406U);  // 4 requests of 18, replies of 146, 32, 48 and 108
        fastest = std::min(fastest, f[f.size() - 1]["t"].asDouble() - f[0]["t"].asDouble());
    }
    EXPECT_GE(fastest, 0.9 * wire);
    EXPECT_LE(fastest, 1.1 * wire);
}

// A recorded session replays to the same rounds, logs, alarms, values and
// records, its lines read directly or through JsonCpp; a plug-in that leaves
// the recording is reported with exit 5.
TEST(Bench, RecordedSessionReplaysToTheSameRounds)
{
    const std::string dir = testing::TempDir();
    const std::string wire = scenario_file("rec.json", R"({"rounds": [{},
        {"status": {"inverter": "fault"}, "wire": {"44": {"noise": "xx", "chunk": 3}}},
        {"wire": {"46": {"late": true}}}, {"short": {"43": 6}, "advance": 61}, {}]})");
    for (const std::string& line : {std::string(), "--pty --timeout 1 --scenario " + wire + " "}) {
        const std::string rec = dir + "session.jsonl";
        for (const char* f : {"first.hist", "again.hist"}) std::remove((dir + f).c_str());
        const BenchRun first =
            bench(line + "--json - --record " + rec + " --history " + dir + "first.hist");
        ASSERT_EQ(first.status, 0) << first.out;
        const BenchRun again =
            bench("--json - --replay " + rec + " --history " + dir + "again.hist");
        ASSERT_EQ(again.status, 0) << again.out;
        ASSERT_EQ(again.rounds.size(), first.rounds.size());
        ASSERT_GE(first.rounds.size(), 5U);
        for (std::size_t i = 0; i < first.rounds.size(); ++i) {
            EXPECT_EQ(again.rounds[i], first.rounds[i]) << line << "round " << i + 1;
        }
        EXPECT_EQ(text_of(dir + "again.hist"), text_of(dir + "first.hist"));
        EXPECT_GE(text_of(dir + "first.hist").size(), 3U * 139);
    }

    // Its event lines are read directly, without JsonCpp; lines the direct
    // reader declines (a member with an integer past 18 digits) go through
    // JsonCpp and replay the same.
    auto lines = lines_of(dir + "session.jsonl");
    {
        const BenchRun direct = bench("--json - --replay " + dir + "session.jsonl");
        std::ofstream declined(dir + "declined.jsonl");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string& l = lines[i];
            declined << (i == 0 ? l : l.substr(0, l.rfind('}')) + R"(,"x":1234567890123456789})")
                     << '\n';
        }
        declined.close();
        const BenchRun slow = bench("--json - --replay " + dir + "declined.jsonl");
        ASSERT_EQ(slow.status, 0) << slow.out;
        EXPECT_EQ(slow.rounds, direct.rounds);
        EXPECT_GE(direct.rounds.size(), 5U);
    }

    // The recording of the last run, changed: a request that is not the one
    // recorded, then a round cut short.
    const std::string changed = dir + "changed.jsonl", cut = dir + "cut.jsonl";
    {
        std::ofstream c(changed), k(cut);
        bool cut_done = false;
        for (auto l : lines) {
            if (l.find("\"round\":2,\"step\":3,") != std::string::npos &&
                l.find("\"event\":\"tx\"") != std::string::npos) {
                c << l.replace(l.find("2A44"), 4, "2A45") << '\n';
            } else {
                c << l << '\n';
            }
            const bool step4 = l.find("\"round\":1,\"step\":4,") != std::string::npos;
            if (!(step4 && !cut_done)) k << l << '\n';
            if (step4 && l.find("\"event\":\"rx\"") != std::string::npos) cut_done = true;
        }
    }
    const BenchRun departed = bench("--replay " + changed);
    EXPECT_EQ(departed.status, 5) << departed.out;
    EXPECT_NE(departed.out.find("round 2 step 3: the plug-in sent ~21012A440000FDA1\\r, the "
                                "recording has ~21012A450000"),
              std::string::npos)
        << departed.out;
    const BenchRun short_round = bench("--replay " + cut);
    EXPECT_EQ(short_round.status, 5) << short_round.out;
    EXPECT_NE(short_round.out.find("round 1 step 4: the plug-in sent ~21012A460000FD9F\\r, the "
                                   "recording has no more requests in this round"),
              std::string::npos)
        << short_round.out;
    // The recording holds the settings: another source is refused.
    const BenchRun both =
        bench("--replay " + changed + " --settings " VX40_EXAMPLES_DIR "/settings.json");
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.out.find("--settings and --replay"), std::string::npos) << both.out;
    const BenchRun garbled = bench("--replay " + scenario_file("garbled.jsonl", "{\"event\":1}\n"));
    EXPECT_EQ(garbled.status, 2);
    EXPECT_NE(garbled.out.find("garbled.jsonl: line 1: the session line must come first"),
              std::string::npos)
        << garbled.out;
}

// The session shipped in examples/ replays as it was recorded.
TEST(Bench, ShippedSessionReplays)
{
    const BenchRun run = bench("--json - --replay " VX40_EXAMPLES_DIR "/session.jsonl");
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.rounds.size(), 6U);
    EXPECT_TRUE(run.rounds[1]["alarms"][5]["active"].asBool());
    EXPECT_EQ(run.rounds[3]["missing"][0].asString(), "2A46");
    EXPECT_EQ(run.rounds[4]["values"]["ACOutputCurrentA"]["error"].asString(), "stale");
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> files_in(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        ADD_FAILURE() << dir << ": " << std::strerror(errno);
        return names;
    }
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d);
        if (e == nullptr) break;
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    // A listing cut short must not pass for an empty folder.
    if (errno != 0) ADD_FAILURE() << dir << ": readdir: " << std::strerror(errno);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Every line of a JSON Lines file is whole and parses.
bool whole_json_lines(const std::string& path, std::size_t& count)
{
    const std::string text = text_of(path);
    count = 0;
    if (!text.empty() && text.back() != '\n') return false;
    for (const auto& line : lines_of(path)) {
        Json::Value v;
        std::istringstream in(line);
        Json::CharReaderBuilder b;
        std::string errors;
        if (!Json::parseFromStream(b, in, &v, &errors)) return false;
        ++count;
    }
    return true;
}

// An output's files of an earlier run stay as they are when this run cannot
// start: a plug-in, a port, an option or an input that fails, one file given
// to two options, a target that is not a regular file. Nothing stray is left.
TEST(BenchFiles, NothingAtAnOutputChangesWhenTheRunCannotStart)
{
    const std::string d = testing::TempDir() + "kept/";
    mkdir(d.c_str(), 0755);
    for (const auto& f : files_in(d)) std::remove((d + f).c_str());
    const struct {
        const char* option;
        const char* name;
    } outputs[] = {{"--json", "j.jsonl"},  {"--trace", "t.txt"},   {"--record", "r.jsonl"},
                   {"--report", "p.html"}, {"--history", "h.bin"}, {"--save-cache", "c.bin"}};
    std::string all;
    for (const auto& o : outputs) {
        write_file(d + o.name, std::string("earlier ") + o.name + "\n");
        all += std::string(o.option) + " " + d + o.name + " ";
    }
    symlink("j.jsonl", (d + "link-to-json").c_str());
    mkdir((d + "folder").c_str(), 0755);
    mkfifo((d + "fifo").c_str(), 0644);
    write_file(d + "bad.json", "{\n  \"a\": 1,\n  \"b\" 2\n}\n");
    const auto before = files_in(d);
    const struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"--plugin /nonexistent/vx40.so", 1, "/nonexistent/vx40.so"},
        {"--port /nonexistent/ttyUSB9", 2, "port /nonexistent/ttyUSB9: cannot open"},
        {"--port /dev/null", 2, "port /dev/null: not a serial port"},
        {"--baud 1000", 2, "--baud 1000: the line cannot take it; it can be 1200, 2400, 4800"},
        {"--rounds x", 2,
         "--rounds x: expected a whole number 0..100000000\ntry vx40-bench --help"},
        {"--settings " + d + "bad.json", 2, d + "bad.json:3:7: Missing ':'"},
        {"--trace " + d + "../kept/j.jsonl", 2,
         "--json " + d + "j.jsonl and --trace " + d + "../kept/j.jsonl: the same file"},
        {"--report " + d + "link-to-json", 2, "--json " + d + "j.jsonl and --report"},
        {"--history " + d + "c.bin", 2, "--history " + d + "c.bin and --save-cache"},
        {"--replay " + d + "r.jsonl", 2, "--replay " + d + "r.jsonl and --record"},
        {"--settings " + d + "p.html", 2, "--settings " + d + "p.html and --report"},
        {"--record /dev/stdout", 2,
         "--record /dev/stdout and the human output on standard output: the same file"},
        {"--device 01", 2, "--device: a bus is a real line's: needs --port"},
        {"--port /dev/null --device 01 --device 0x01", 2, "--device 0x01: a second device at 01"},
        {"--port /dev/null --device zz", 2, "--device zz: expected ADR or ADR:SETTINGS"},
        {"--echo", 2, "--echo is a real line's: needs --port"},
        {"--save-cache /dev/full", 3, "/dev/full: not a regular file"},
        {"--save-cache " + d + "fifo", 3, d + "fifo: not a regular file"},
        {"--report " + d + "folder", 3, d + "folder: cannot open for writing: Is a directory"},
    };
    for (const auto& c : cases) {
        const BenchRun run = bench(all + c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.args << "\n" << run.out;
        EXPECT_EQ(run.out.find("usage:"), std::string::npos) << c.args;
        for (const auto& o : outputs) {
            EXPECT_EQ(text_of(d + o.name), std::string("earlier ") + o.name + "\n")
                << c.args << ": " << o.name;
        }
        EXPECT_EQ(files_in(d), before) << c.args;
    }
    struct stat st {};
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(stat((d + "fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A cache carried from run to run is the one pair allowed.
    write_file(d + "carried.bin", std::string(139, '\0'));
    const BenchRun carried =
        bench("--cache " + d + "carried.bin --save-cache " + d + "carried.bin --rounds 1");
    EXPECT_EQ(carried.status, 0) << carried.out;
    EXPECT_NE(text_of(d + "carried.bin"), std::string(139, '\0'));
    EXPECT_EQ(text_of(d + "carried.bin").size(), 139U);
}

// Files replaced whole go through a link to its target, and a killed run
// leaves the earlier page and cache as they were, whole lines in the JSON,
// whole records in the history, and nothing beside them.
TEST(BenchFiles, WholeFilesAreReplacedOnlyWhenTheRunEnds)
{
    const std::string d = testing::TempDir() + "whole/";
    mkdir(d.c_str(), 0755);
    for (const auto& f : files_in(d)) std::remove((d + f).c_str());
    write_file(d + "cache.bin", "x");
    write_file(d + "page.html", "earlier page");
    symlink("cache.bin", (d + "cache-link").c_str());
    symlink("page.html", (d + "page-link").c_str());
    const BenchRun run =
        bench("--rounds 2 --save-cache " + d + "cache-link --report " + d + "page-link");
    ASSERT_EQ(run.status, 0) << run.out;
    struct stat st {};
    for (const char* link : {"cache-link", "page-link"}) {
        ASSERT_EQ(lstat((d + link).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
    }
    EXPECT_EQ(text_of(d + "cache.bin").size(), 139U);
    EXPECT_NE(text_of(d + "page.html").find("<html"), std::string::npos);

    // A stream into a FIFO is written in place, for the reader at its end.
    const std::string fifo = d + "trace.fifo";
    mkfifo(fifo.c_str(), 0644);
    std::string read_back;
    std::thread reader([&] { read_back = text_of(fifo); });
    const BenchRun piped = bench("--rounds 1 --trace " + fifo);
    reader.join();
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_NE(read_back.find("round 1 step 4 <- ~21012A00"), std::string::npos) << read_back;
    std::remove(fifo.c_str());

    write_file(d + "page.html", "earlier page");
    write_file(d + "cache.bin", "earlier cache");
    write_file(d + "hist.bin", "");
    const pid_t pid =
        spawn("--realtime --interval 1 --rounds 1000 --quiet --json " + d + "run.jsonl --history " +
                  d + "hist.bin --report " + d + "page.html --save-cache " + d + "cache.bin",
              testing::TempDir() + "whole.out");
    for (int i = 0; i < 600 && lines_of(d + "run.jsonl").size() < 2; ++i) usleep(50000);
    kill(pid, SIGKILL);
    wait_status(pid);
    EXPECT_EQ(text_of(d + "page.html"), "earlier page");
    EXPECT_EQ(text_of(d + "cache.bin"), "earlier cache");
    std::size_t lines = 0;
    EXPECT_TRUE(whole_json_lines(d + "run.jsonl", lines));
    EXPECT_GE(lines, 2U);
    EXPECT_EQ(text_of(d + "hist.bin").size() % 139, 0U);
    EXPECT_EQ(files_in(d), (std::vector<std::string>{"cache-link", "cache.bin", "hist.bin",
                                                     "page-link", "page.html", "run.jsonl"}));
}

// A write that fails part-way (the file size limit stands in for a full
// disk) ends the run with exit 3, the path and the reason, and leaves each
// stream cut back to its last whole line or record, at every point tried.
TEST(BenchFiles, AFailedWriteLeavesWholeLinesAndRecords)
{
    const std::string d = testing::TempDir();
    const struct {
        const char* option;
        std::size_t record;  // 0: JSON Lines or text lines
        std::vector<long> limits;
    } streams[] = {
        {"--json", 0, {1000, 3500, 6000, 9000}},
        {"--trace", 0, {300, 450, 700, 1000}},
        {"--record", 0, {400, 700, 1000, 1500}},
        {"--history", 139, {209, 348, 487, 626}},
    };
    for (const auto& s : streams) {
        for (const long limit : s.limits) {
            const std::string path = d + "limited.out";
            std::remove(path.c_str());
            const BenchRun run =
                bench(std::string(s.option) + " " + path + " --quiet --rounds 6",
                      "trap '' XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " ");
            const std::string at = std::string(s.option) + " limit " + std::to_string(limit);
            EXPECT_EQ(run.status, 3) << at << "\n" << run.out;
            EXPECT_NE(run.out.find(path + ": write failed: File too large"), std::string::npos)
                << at << "\n"
                << run.out;
            EXPECT_NE(run.out.find("vx40-bench: "), std::string::npos) << at;
            const std::string text = text_of(path);
            EXPECT_LE(static_cast<long>(text.size()), limit) << at;
            if (s.record != 0) {
                EXPECT_EQ(text.size() % s.record, 0U) << at;
                EXPECT_EQ(text.size(), (static_cast<std::size_t>(limit) / s.record) * s.record)
                    << at;
            } else if (std::strcmp(s.option, "--trace") == 0) {
                EXPECT_TRUE(text.empty() || text.back() == '\n') << at << "\n" << text;
            } else {
                std::size_t lines = 0;
                EXPECT_TRUE(whole_json_lines(path, lines)) << at << "\n" << text;
            }
        }
    }
}

// Reading what a killed run or a damaged disk leaves of a recording: a torn
// last line and a round cut short replay the whole rounds before them with a
// warning; a reply missing in the middle is a departure; damage in the
// middle is named by file, line and column.
TEST(BenchFiles, RecordingsCutShortReplayTheirWholeRounds)
{
    const std::string d = testing::TempDir();
    const std::string rec = d + "three.jsonl";
    ASSERT_EQ(bench("--rounds 3 --quiet --record " + rec).status, 0);
    const auto lines = lines_of(rec);
    auto join = [&](std::size_t from, std::size_t to, const std::string& tail) {
        std::string t;
        for (std::size_t i = from; i < to; ++i) t += lines[i] + "\n";
        return t + tail;
    };
    std::size_t first_tx_3 = 0, first_rx_2 = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool tx = lines[i].find("\"event\":\"tx\"") != std::string::npos;
        const bool rx = lines[i].find("\"event\":\"rx\"") != std::string::npos;
        if (tx && first_tx_3 == 0 && lines[i].find("\"round\":3") != std::string::npos)
            first_tx_3 = i;
        if (rx && first_rx_2 == 0 && lines[i].find("\"round\":2") != std::string::npos)
            first_rx_2 = i;
    }
    ASSERT_GT(first_tx_3, 0U);
    ASSERT_GT(first_rx_2, 0U);
    const std::string& last = lines.back();
    std::string without_rx;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != first_rx_2) without_rx += lines[i] + "\n";
    }
    const struct {
        std::string name;
        std::string text;
        std::string args;
        int status;
        std::size_t rounds;
        std::string message;
    } cases[] = {
        {"torn.jsonl", join(0, lines.size() - 1, last.substr(0, last.size() / 2)), "", 0, 2,
         "line " + std::to_string(lines.size()) + " is cut short"},
        {"midround.jsonl", join(0, first_tx_3 + 1, ""), "", 0, 2,
         "it ends in round 3 (from line " + std::to_string(first_tx_3) +
             "), before its values were read: 2 whole rounds replayed"},
        {"norx.jsonl", without_rx, "", 5, 2,
         "round 2 step 1: the recording has no reply and no timeout for ~21012A410000FDA4"},
        {"damaged.jsonl", join(0, 3, "{\"event\": tx\n") + join(4, lines.size(), ""), "", 2, 0,
         "damaged.jsonl:4:11: Syntax error"},
        {"first.jsonl", join(0, lines.size(), ""), "--rounds 1", 0, 1, "1 rounds"},
    };
    for (const auto& c : cases) {
        write_file(d + c.name, c.text);
        const BenchRun run = bench("--json - --replay " + d + c.name + " " + c.args);
        EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.out;
        EXPECT_EQ(run.rounds.size(), c.rounds) << c.name;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.name << "\n" << run.out;
    }
}

// With the emulator paced at the line's rate, a reply sent after the host's
// timeout is taken as late, never as the next request's answer, and every
// one of its characters is in the JSON frames, the trace and the recording.
TEST(BenchFiles, LateReplyAtLineRateIsKeptWholeAndNotTakenAsTheAnswer)
{
    const std::string d = testing::TempDir();
    const std::string scenario =
        scenario_file("late.json", R"({"rounds": [{"wire": {"46": {"late": true}}}, {}, {}]})");
    const std::string rec = d + "late.rec", trace = d + "late.trace";
    const BenchRun run = bench("--pty --line-rate --timeout 1 --json - --record " + rec +
                               " --trace " + trace + " --scenario " + scenario);
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.rounds.size(), 3U);
    EXPECT_EQ(run.rounds[0]["missing"][0].asString(), "2A46");
    EXPECT_TRUE(run.rounds[1]["completed"].asBool()) << run.out;
    EXPECT_EQ(run.rounds[1]["rejected"][0].asString(), "late reply");
    EXPECT_TRUE(run.rounds[2]["completed"].asBool());
    // The 2A/46 reply: 90 hex characters of INFO in a frame of 108.
    std::string late;
    for (const auto& f : run.rounds[1]["frames"]) {
        EXPECT_NE(f["dir"].asString(), "noise") << f["text"].asString();
        if (f["verdict"].asString() == "late reply") late = f["text"].asString();
    }
    EXPECT_EQ(late.size(), 108U);
    EXPECT_EQ(late.substr(0, 13), "~21012A00105A");
    EXPECT_NE(text_of(trace).find(late.substr(0, 40)), std::string::npos);
    std::size_t marked = 0;
    for (const auto& line : lines_of(rec)) {
        if (line.find("\"late\":true") != std::string::npos &&
            line.find("~21012A00105A") != std::string::npos)
            ++marked;
    }
    EXPECT_EQ(marked, 1U);
    const BenchRun again = bench("--json - --replay " + rec);
    ASSERT_EQ(again.status, 0) << again.out;
    ASSERT_EQ(again.rounds.size(), 3U);
    EXPECT_EQ(again.rounds[1]["rejected"], run.rounds[1]["rejected"]);
    EXPECT_EQ(again.rounds[1]["record"], run.rounds[1]["record"]);
}

// The first signal ends the run after the exchange in progress; a second
// ends the wait for a reply at once, with what was done written: the
// recording then replays its whole rounds.
TEST(BenchFiles, SecondSignalEndsAWaitAtOnce)
{
    const std::string d = testing::TempDir();
    const std::string scenario =
        scenario_file("silent.json", R"({"rounds": [{}, {"drop": ["41"]}, {}]})");
    const std::string json = d + "twice.jsonl", rec = d + "twice.rec";
    for (const auto& f : {json, rec}) std::remove(f.c_str());
    const pid_t pid = spawn("--pty --timeout 120 --quiet --json " + json + " --record " + rec +
                                " --scenario " + scenario,
                            d + "twice.out");
    for (int i = 0; i < 600 && lines_of(json).empty(); ++i) usleep(50000);
    ASSERT_EQ(lines_of(json).size(), 1U);
    usleep(200000);  // round 2's request is out; its reply will not come
    kill(pid, SIGINT);
    usleep(300000);
    int rc = 0;
    EXPECT_EQ(waitpid(pid, &rc, WNOHANG), 0) << "the first signal waits for the exchange";
    const auto t0 = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    EXPECT_EQ(wait_status(pid), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(lines_of(json).size(), 2U);
    const BenchRun again = bench("--json - --replay " + rec);
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(again.rounds.size(), 1U);
    EXPECT_NE(again.out.find("it ends in round 2"), std::string::npos) << again.out;
}

// vx40-report: a page from the rounds a killed run left (its torn last line
// left out with a warning), never written over its own input, and an earlier
// page kept when the rounds cannot be read.
TEST(BenchFiles, ReportToolReadsTornRoundsAndKeepsItsInput)
{
    const std::string d = testing::TempDir();
    const std::string rounds = d + "rounds.jsonl", page = d + "rounds.html";
    std::remove(rounds.c_str());
    ASSERT_EQ(bench("--rounds 3 --quiet --json " + rounds).status, 0);
    const std::string whole = text_of(rounds);
    const std::string runner = VX40_BENCH_RUNNER;
    auto report = [&](const std::string& args) {
        return testrun::run((runner.empty() ? "" : runner + " ") + VX40_REPORT_PATH + " " + args);
    };
    write_file(rounds, whole.substr(0, whole.size() - 100));
    const testrun::Ran torn = report(rounds + " " + page);
    EXPECT_EQ(torn.status, 0) << torn.out;
    EXPECT_NE(torn.out.find("warning: " + rounds + ": line 3 is cut short"), std::string::npos)
        << torn.out;
    EXPECT_NE(torn.out.find("2 rounds pictured"), std::string::npos) << torn.out;
    const std::string drawn = text_of(page);
    EXPECT_NE(drawn.find("<html"), std::string::npos);

    const testrun::Ran same = report(rounds + " " + d + "../" +
                                     d.substr(d.rfind('/', d.size() - 2) + 1) + "rounds.jsonl");
    EXPECT_EQ(same.status, 2) << same.out;
    EXPECT_NE(same.out.find("the same file"), std::string::npos) << same.out;
    write_file(rounds, "{\"round\": 1}\n{oops\n" + whole);
    const testrun::Ran damaged = report(rounds + " " + page);
    EXPECT_EQ(damaged.status, 2) << damaged.out;
    EXPECT_NE(damaged.out.find(rounds + ":"), std::string::npos) << damaged.out;
    EXPECT_EQ(text_of(page), drawn);
}

// vx40-report reads the lines the bench writes directly, without building
// their JSON values; a line it does not read that way goes through JsonCpp.
// Both ways give the same page: the demo's rounds and rounds of unusual
// shape, as written and with a member the direct reader declines (an
// integer past 18 digits) added to every line, whole and for a span; and
// it is the page the bench made of the same rounds as they ran.
TEST(BenchFiles, ReportToolReadsLinesDirectlyAsJsonCppReadsThem)
{
    const std::string d = testing::TempDir();
    const std::string rounds = d + "direct.jsonl", page = d + "direct.html";
    std::remove(rounds.c_str());
    ASSERT_EQ(bench("--quiet --json " + rounds + " --report " + d + "bench.html").status, 0);
    std::vector<std::string> lines = lines_of(rounds);
    ASSERT_GT(lines.size(), 5U);
    const std::string runner = VX40_BENCH_RUNNER;
    const auto report = [&](const std::string& args) {
        const testrun::Ran ran = testrun::run((runner.empty() ? "" : runner + " ") +
                                              VX40_REPORT_PATH + args + " " + rounds + " " + page);
        EXPECT_EQ(ran.status, 0) << ran.out;
        return text_of(page);
    };
    // The bench's own page, made from the rounds as they ran, is the page of
    // its --json rounds; only where the rounds came from differs.
    std::string own = text_of(d + "bench.html");
    const std::string from = "rounds from vx40-bench";
    ASSERT_NE(own.find(from), std::string::npos);
    own.replace(own.find(from), from.size(), "rounds from " + rounds);
    EXPECT_EQ(report(""), own);
    const std::string values =
        R"("values":{"ACInputLineOrPhaseAB_A":230.5,"ACInputLineOrPhaseBC_B":1,"ACInputLineOrPhaseCA_C":-2.5e1,)"
        R"("ACOutputLineOrPhaseAB_A":{"error":"stale","text":"x","more":[1]},"ACOutputLineOrPhaseBC_B":{"error":"not_ready"},)"
        R"("ACOutputLineOrPhaseCA_C":{"error":"unsupported"},"ACOutputCurrentA":0,"ACOutputCurrentB":0.5,"ACOutputCurrentC":3,"Other":7})";
    const std::string later = "\"clock\":\"2031-01-01 00:00:0";
    const std::string shapes[] = {
        // members in another order, blanks between them, completed absent
        R"({ "round" : 90, )" + values +
            R"(, "clock":"2031-01-01 00:00:00", "log":["error in 2A44: short"] })",
        // alarms with members of their own and in another order; a value twice
        R"({"alarms":[{"text":"t","extra":{"a":null},"active":true,"nm":"1","signal":"s"},{"active":false}],)" +
            later + R"(1","completed":true,"round":91,)" + values +
            R"(,"rejected":["CHKSUM mismatch"],"missing":["2A46"]})",
        // a member twice: the last one stands
        R"({"round":92,"completed":true,"completed":false,"log":["a"],"log":[],)" + later + "2\"," +
            values + "}",
        // JSON the direct reader leaves to JsonCpp: a surrogate pair
        R"({"round":93,)" + later + R"(3","log":["\ud83d\ude00"],)" + values + "}",
    };
    lines.insert(lines.end(), std::begin(shapes), std::end(shapes));
    const auto page_of = [&](const std::vector<std::string>& text, const std::string& span) {
        std::string all;
        for (const auto& l : text) all += l + "\n";
        write_file(rounds, all);
        return report(span);
    };
    std::vector<std::string> declined;
    for (const std::string& l : lines) {
        declined.push_back(l.substr(0, l.rfind('}')) + R"(,"x":1234567890123456789})");
    }
    for (const std::string span : {"", " --from 2031-01-01"}) {
        const std::string direct = page_of(lines, span);
        EXPECT_NE(direct.find("<html"), std::string::npos);
        EXPECT_EQ(direct, page_of(declined, span)) << "span:" << span;
    }
}

}  // namespace
