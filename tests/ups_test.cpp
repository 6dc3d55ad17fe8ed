// vx40-ups as a host meets it: the built simulator on a pseudo-terminal, a
// second process on the other side (the built bench, or this test writing
// requests as a host's port layer would).
#include <gtest/gtest.h>
#include <json/reader.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "run.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string text_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string runner_prefix()
{
    const std::string runner = VX40_BENCH_RUNNER;
    return runner.empty() ? "" : runner + " ";
}

// The simulator in the background: its output in a file, its standard input
// a pipe this test writes commands to.
struct Ups {
    pid_t pid = -1;
    int commands = -1;
    std::string out;
    std::string link;

    Ups(const std::string& args, const std::string& name)
        : out(testing::TempDir() + name + ".out"), link(testing::TempDir() + name + ".link")
    {
        std::remove(link.c_str());
        int fds[2];
        if (pipe(fds) != 0) return;
        const std::string cmd = "exec " + runner_prefix() + VX40_UPS_PATH + " --pty --link " +
                                link + " " + args + " > " + out + " 2>&1";
        pid = fork();
        if (pid == 0) {
            dup2(fds[0], STDIN_FILENO);
            close(fds[0]);
            close(fds[1]);
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[0]);
        commands = fds[1];
        // Serving once the link to the host side is there.
        struct stat st {};
        for (int i = 0; i < 400 && lstat(link.c_str(), &st) != 0; ++i) usleep(25000);
    }
    ~Ups()
    {
        if (commands >= 0) close(commands);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    Ups(const Ups&) = delete;
    Ups& operator=(const Ups&) = delete;
    Ups(Ups&&) = delete;
    Ups& operator=(Ups&&) = delete;

    // Types a command; waits until the simulator has answered it.
    std::string type(const std::string& command)
    {
        const std::string line = command + "\n";
        const std::size_t before = text_of(out).size();
        if (write(commands, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return "";
        }
        for (int i = 0; i < 400; ++i) {
            const std::string now = text_of(out);
            const auto at = now.find('\n', before);
            if (at != std::string::npos) return now.substr(before, at - before);
            usleep(10000);
        }
        return "";
    }
    // SIGINT (`times` of them), then its exit status; -1 when it has not
    // ended within 20 s.
    int stop(int times = 1)
    {
        for (int i = 0; i < times; ++i) {
            if (i != 0) usleep(20000);  // apart: two at once are one pending signal
            kill(pid, SIGINT);
        }
        int rc = 0;
        for (int i = 0; i < 400 && waitpid(pid, &rc, WNOHANG) == 0; ++i) usleep(50000);
        if (waitpid(pid, &rc, WNOHANG) == 0) return -1;  // the destructor kills it
        pid = -1;
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
};

struct HostRun {
    int status = -1;
    std::vector<Json::Value> rounds;
    std::string out;
};

HostRun bench(const std::string& args)
{
    HostRun run;
    const testrun::Ran ran = testrun::run(runner_prefix() + VX40_BENCH_PATH + " " + args);
    run.status = ran.status;
    run.out = ran.out;
    std::istringstream lines(run.out);
    Json::CharReaderBuilder b;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '{') continue;
        Json::Value v;
        std::istringstream in(line);
        std::string errors;
        if (Json::parseFromStream(b, in, &v, &errors)) run.rounds.push_back(v);
    }
    return run;
}

std::string file_with(const std::string& name, const std::string& text)
{
    const std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

// What a round showed the host, times and clocks aside: the record's last
// seven bytes are its time stamp.
Json::Value seen(Json::Value round)
{
    for (const char* k : {"clock", "frames"}) round.removeMember(k);
    if (round["record"].isString()) {
        const std::string r = round["record"].asString();
        round["record"] = r.substr(0, r.size() - 14);
    }
    return round;
}

// The bench on the simulator's line gets the rounds the bench's own
// emulator gives in process, for the demo (without its gap, which a real
// clock would have to wait for) and for every wire fault.
const struct {
    const char* name;
    const char* scenario;
} kScenarios[] = {
    {"demo", R"({"ups": {"analog": [220.5, 221, 219.75, 230, 229.875, 230.125, 12.5, 12.25,
                      11.75]},
                     "rounds": [{}, {"status": {"inverter": "fault"}}, {"short": {"44": 20}},
                                {"drop": ["46"]}, {"status": {"inverter": "normal"}}, {}]})"},
    {"wire", R"({"rounds": [{"wire": {"41": {"chksum": true}}},
                     {"wire": {"43": {"lchksum": true}}}, {"wire": {"44": {"rtn": 2}}},
                     {"wire": {"44": {"rtn": 4, "rtn_info": true}}},
                     {"wire": {"46": {"late": true}}}, {},
                     {"wire": {"41": {"noise": "\u0001garbage~12"}, "43": {"chunk": 5},
                               "44": {"chunk": 1}}},
                     {"wire": {"46": {"adr": 2}}}]})"},
};

TEST(Ups, HostSeesWhatTheInProcessEmulatorGives)
{
    for (const auto& c : kScenarios) {
        const std::string scenario = file_with(std::string(c.name) + ".json", c.scenario);
        const HostRun here = bench("--json - --timeout 1 --interval 0 --scenario " + scenario);
        ASSERT_EQ(here.status, 0) << here.out;
        Ups ups("--quiet --late-after 1100 --scenario " + scenario, c.name);
        const HostRun there = bench("--json - --timeout 1 --interval 0 --scenario " + scenario +
                                    " --port " + ups.link);
        ASSERT_EQ(there.status, 0) << c.name << "\n" << there.out << text_of(ups.out);
        ASSERT_EQ(there.rounds.size(), here.rounds.size()) << c.name;
        for (std::size_t i = 0; i < here.rounds.size(); ++i) {
            EXPECT_EQ(seen(there.rounds[i]), seen(here.rounds[i])) << c.name << " round " << i + 1;
        }
        std::size_t requests = 0;
        for (const auto& r : here.rounds) requests += r["requests"].size();
        EXPECT_EQ(ups.stop(), 130);
        EXPECT_NE(text_of(ups.out).find("vx40-ups: " + std::to_string(requests) + " requests"),
                  std::string::npos)
            << text_of(ups.out);
    }
}

// A session recorded in process, served back by the simulator: the host sees
// the recorded rounds again; a host that asks on after the recording's end
// is answered from the last replies, each request counted as a departure.
TEST(Ups, RecordingServedBack)
{
    const std::string scenario = file_with("served.json", kScenarios[0].scenario);
    const std::string rec = testing::TempDir() + "served.rec";
    const HostRun recorded =
        bench("--json - --timeout 1 --interval 0 --record " + rec + " --scenario " + scenario);
    ASSERT_EQ(recorded.status, 0) << recorded.out;
    Ups ups("--quiet --replay " + rec, "served");
    const HostRun served =
        bench("--json - --timeout 1 --interval 0 --scenario " + scenario + " --port " + ups.link);
    ASSERT_EQ(served.status, 0) << served.out << text_of(ups.out);
    ASSERT_EQ(served.rounds.size(), recorded.rounds.size());
    for (std::size_t i = 0; i < served.rounds.size(); ++i) {
        EXPECT_EQ(seen(served.rounds[i]), seen(recorded.rounds[i])) << "round " << i + 1;
    }
    const HostRun after = bench("--json - --rounds 1 --timeout 1 --port " + ups.link);
    ASSERT_EQ(after.status, 0) << after.out;
    EXPECT_TRUE(after.rounds[0]["completed"].asBool()) << after.out;
    EXPECT_EQ(ups.stop(), 130);
    EXPECT_NE(text_of(ups.out).find(", 4 departures from the recording"), std::string::npos)
        << text_of(ups.out);
}

// The host's side of the simulator's line, opened as a host's port layer does.
int open_line(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Writes `request`; what comes back within `wait` (a frame ends with CR).
std::string ask(int fd, const std::string& request, int wait_ms = 300)
{
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return "write failed";
    }
    std::string got;
    const auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
    while (Clock::now() < until && (got.empty() || got.back() != '\r')) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buf[512];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
    }
    return got;
}

// The frame with one character changed and, unless `keep`, its CHKSUM made
// to match again.
std::string with(std::string frame, std::size_t at, char c, bool reseal)
{
    frame[at] = c;
    if (reseal) {
        char sum[8];
        std::snprintf(sum, sizeof sum, "%04X",
                      protocol::frame_checksum(frame.substr(1, frame.size() - 6)));
        frame.replace(frame.size() - 5, 4, sum);
    }
    return frame;
}

// Requests as a host of this family may send them, each answered as the
// family's UPS answers it, byte for byte; what is not for it gets nothing,
// and the line stays usable.
TEST(Ups, EachRequestGetsTheFamilysAnswer)
{
    Ups ups("--quiet --scenario " + file_with("steady.json", R"({"rounds": []})"), "family");
    const int fd = open_line(ups.link);
    ASSERT_GE(fd, 0);
    const auto frame = [](std::uint8_t ver, std::uint8_t adr, std::uint8_t cid2) {
        return protocol::encode_frame(ver, adr, 0x2A, cid2, {});
    };
    const auto rtn = [](std::uint8_t code) {
        return protocol::encode_frame(0x21, 1, 0x2A, code, {});
    };
    const std::string good = frame(0x21, 1, 0x41);
    const struct {
        std::string what;
        std::string request;
        std::string answer;  // "" for none
    } cases[] = {
        {"CHKSUM wrong",
         with(good, good.size() - 2, good[good.size() - 2] == '0' ? '1' : '0', false), rtn(0x02)},
        {"LENGTH checksum wrong", with(good, 9, 'E', true), rtn(0x03)},
        {"CID2 unknown", frame(0x21, 1, 0x45), rtn(0x04)},
        {"VER another", frame(0x20, 1, 0x41), rtn(0x01)},
        {"protocol version", frame(0x21, 1, 0x4F), rtn(0x00)},
        {"address", frame(0x21, 1, 0x50), rtn(0x00)},
        {"another ADR", frame(0x21, 2, 0x41), ""},
        {"no SOI", "hello\r", ""},
        {"overlong", "~" + std::string(5000, '0') + "\r", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask(fd, c.request), c.answer) << c.what;
        const std::string next = ask(fd, good);
        EXPECT_EQ(next.substr(0, 13), "~21012A008080") << "after " << c.what;
    }
    close(fd);
}

// A host that closes the line and a second that opens it are both served,
// and the counts go on; typed commands change what the next host sees.
TEST(Ups, SecondHostAndTypedCommands)
{
    Ups ups("--quiet --scenario " + file_with("still.json", R"({"rounds": []})"), "typed");
    const HostRun first = bench("--json - --rounds 1 --timeout 1 --interval 0 --port " + ups.link);
    ASSERT_EQ(first.status, 0) << first.out;
    ASSERT_EQ(first.rounds.size(), 1U);
    EXPECT_FALSE(first.rounds[0]["alarms"][5]["active"].asBool());
    EXPECT_EQ(ups.type("set inverter fault"), "ok: inverter fault");
    EXPECT_EQ(ups.type("set inverter broken").substr(0, 45),
              "refused: inverter: \"broken\" is not a state of");
    EXPECT_EQ(ups.type("fault 44 chksum"), "ok: the next 2A/44 reply goes wrong: chksum");
    EXPECT_EQ(ups.type("launch"), "refused: \"launch\": not a command (help lists them)");
    const HostRun second = bench("--json - --rounds 2 --timeout 1 --interval 0 --port " + ups.link);
    ASSERT_EQ(second.status, 0) << second.out;
    ASSERT_EQ(second.rounds.size(), 2U);
    EXPECT_EQ(second.rounds[0]["rejected"][0].asString(), "CHKSUM mismatch");
    EXPECT_TRUE(second.rounds[1]["alarms"][5]["active"].asBool()) << second.out;
    const std::string status = ups.type("status");
    EXPECT_NE(status.find("status: 11 requests, 11 answered, 1 faults"), std::string::npos)
        << status;
    EXPECT_NE(status.find("inverter=fault"), std::string::npos) << status;
    // The typed fault reads the scenario's kinds and limits.
    EXPECT_EQ(ups.type("fault 44 rtn=4 rtn_info"),
              "ok: the next 2A/44 reply goes wrong: rtn=4 rtn_info");
    EXPECT_NE(ups.type("fault 44 chunk=4096").find("chunk=1..4095"), std::string::npos);
    EXPECT_EQ(ups.type("drop 45"), "refused: \"45\" is not 41, 43, 44 or 46");
    EXPECT_EQ(ups.type("silent"), "refused: expected silent SECONDS");
}

// A second stop signal, as a person pressing Ctrl-C twice sends, ends the
// run as the first does: everything written, the summary, exit 130.
TEST(Ups, TwoStopSignalsEndTheRunAsOne)
{
    Ups ups("--json " + testing::TempDir() + "twice.jsonl", "twice");
    ASSERT_EQ(ups.type("status").substr(0, 19), "status: 0 requests,");
    EXPECT_EQ(ups.stop(2), 130);
    const std::string out = text_of(ups.out);
    EXPECT_NE(out.find("vx40-ups: 0 requests, 0 answered"), std::string::npos) << out;
    // The typed command is kept, and nothing else.
    EXPECT_NE(out.find("1 JSON lines in"), std::string::npos) << out;
}

// A port that goes away ends the simulator with exit 4 and its reason.
TEST(Ups, PortThatGoesAwayEndsTheRun)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    const std::string port = "/proc/self/fd/" + std::to_string(slave);
    const std::string out = testing::TempDir() + "gone.out";
    const std::string cmd = "exec " + runner_prefix() + VX40_UPS_PATH + " --quiet --port " + port +
                            " > " + out + " 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(slave);
    // Until the simulator has set its port raw, the line would echo.
    termios t{};
    for (int i = 0; i < 400 && tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) != 0; ++i) {
        usleep(25000);
    }
    const std::string request = protocol::encode_frame(0x21, 1, 0x2A, 0x43, {});
    EXPECT_EQ(ask(master, request, 5000).substr(0, 9), "~21012A00");
    close(master);
    int rc = 0;
    waitpid(pid, &rc, 0);
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 4) << text_of(out);
    EXPECT_NE(text_of(out).find("vx40-ups: port lost: " + port), std::string::npos) << text_of(out);
    EXPECT_NE(text_of(out).find("vx40-ups: 1 requests, 1 answered"), std::string::npos);
}

// A bad option or input: exit 2, one line naming it and the reason, then
// "try vx40-ups --help"; options also in their GNU form.
TEST(Ups, BadOptionsAndInputsAreNamed)
{
    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"", "the line: give --port or --pty"},
        {"--pty --baud=1000", "the line cannot take 1000; it can be 1200, 2400, 4800"},
        {"--port /dev/null", "port /dev/null: not a serial port"},
        {"--pty --port /dev/null", "--port excludes --pty"},
        {"--pty --ver 0x1FF", "--ver: 0x1FF is not a byte in hex"},
        {"--pty --ver 033", "--ver: 033 is not a byte in hex"},
        {"--pty --adr abc", "--adr: abc is not a byte in hex as the wire writes it (01, 0x0A)"},
        {"--pty --adr 1 --unit 2", "--adr excludes --unit"},
        {"--pty --unit 2 --unit 0x02", "--unit 0x02: a second unit at 02"},
        {"--pty --unit 2:", "--unit 2:: expected ADR or ADR:SCENARIO"},
        {"--pty --unit 2:/nonexistent.json", "scenario /nonexistent.json: cannot read"},
        {"--pty --reply-delay 50..10", "--reply-delay 50..10: expected milliseconds"},
        {"--pty --rs485", "--rs485 needs --port"},
        {"--pty --scenario /nonexistent/s.json", "scenario /nonexistent/s.json: cannot read"},
        {"--pty --scenario " + file_with("bad-ups.json", "{\"rounds\": [{\"drop\": 3}]}"),
         "rounds[0].drop: not a list"},
    };
    for (const auto& c : cases) {
        const testrun::Ran run = testrun::run(runner_prefix() + VX40_UPS_PATH + " " + c.args);
        EXPECT_EQ(run.status, 2) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.args << "\n" << run.out;
    }
    const HostRun gnu = bench("--json - --rounds=2");
    EXPECT_EQ(gnu.status, 0);
    EXPECT_EQ(gnu.rounds.size(), 2U);
}

}  // namespace
