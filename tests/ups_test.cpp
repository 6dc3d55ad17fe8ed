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

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// A folder of this test process's own for its files and links: suites run
// side by side (two builds, one machine) never share a path. Removed at exit.
const std::string& scratch()
{
    struct Folder {
        std::string path = testing::TempDir() + "vx40-ups-tests." + std::to_string(getpid()) + "/";
        Folder() { mkdir(path.c_str(), 0755); }
        ~Folder() { std::filesystem::remove_all(path); }
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;
        Folder(Folder&&) = delete;
        Folder& operator=(Folder&&) = delete;
    };
    static const Folder folder;
    return folder.path;
}

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

    // On a new pseudo-terminal linked at `link`, or with `line` (--port P) in its place.
    Ups(const std::string& args, const std::string& name, const std::string& line = "",
        bool fresh_link = true)
        : out(scratch() + name + ".out"), link(scratch() + name + ".link")
    {
        if (fresh_link) std::remove(link.c_str());
        std::remove(out.c_str());  // an earlier run's, which says "serving" already
        int fds[2];
        if (pipe(fds) != 0) return;
        const std::string cmd = "exec " + runner_prefix() + VX40_UPS_PATH + " " +
                                (line.empty() ? "--pty --link " + link : line) + " " + args +
                                " > " + out + " 2>&1";
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
        // Serving once it has said so, or ended.
        for (int i = 0;
             i < 400 && text_of(out).find("vx40-ups: serving") == std::string::npos && running();
             ++i) {
            usleep(25000);
        }
    }
    bool running() const
    {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
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

// Long enough for a reply on a loaded machine or under an emulator; a
// reply ends the wait at once.
constexpr int kReplyWait = 3000;

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
    const std::string path = scratch() + name;
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

// A session recorded in process, served back by the simulator: the host sees
// the recorded rounds again; a host that asks on after the recording's end
// is answered from the last replies, each request counted as a departure.
TEST(Ups, RecordingServedBack)
{
    const std::string scenario = file_with("served.json", kScenarios[0].scenario);
    const std::string rec = scratch() + "served.rec";
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
    // What a recording never holds is answered as the scenario's UPS does.
    const int fd = open_line(ups.link);
    for (const std::uint8_t cid2 : {std::uint8_t{0x4F}, std::uint8_t{0x50}}) {
        EXPECT_EQ(ask(fd, protocol::encode_frame(0x21, 1, 0x2A, cid2, {}), kReplyWait),
                  protocol::encode_frame(0x21, 1, 0x2A, 0x00, {}));
    }
    EXPECT_EQ(ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x00, {})), "") << "a reply";
    close(fd);
    EXPECT_EQ(ups.stop(), 130);
    EXPECT_NE(text_of(ups.out).find(", 4 departures from the recording"), std::string::npos)
        << text_of(ups.out);
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
        {"overlong, its head for it", "~21012A41" + std::string(5000, '0') + "\r", ""},
        // A reply (its own heard back, or another unit's) is never answered.
        {"a reply", frame(0x21, 1, 0x00), ""},
        {"a reply with RTN 04", frame(0x21, 1, 0x04), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask(fd, c.request), c.answer) << c.what;
        const std::string next = ask(fd, good);
        EXPECT_EQ(next.substr(0, 13), "~21012A008080") << "after " << c.what;
    }
    close(fd);
    // VER and ADR in hex, as the wire writes them.
    Ups other(
        "--quiet --ver 20 --adr 0x0A --scenario " + file_with("hex.json", R"({"rounds": []})"),
        "hex");
    const int hex = open_line(other.link);
    EXPECT_EQ(ask(hex, frame(0x20, 0x0A, 0x43), kReplyWait).substr(0, 9), "~200A2A00");
    close(hex);
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
    EXPECT_EQ(ups.type("set input_v_ab nan").substr(0, 51),
              "refused: input_v_ab: \"nan\" is not a finite number; ");
    EXPECT_EQ(ups.type("set inverter"), "refused: expected set NAME VALUE");
    EXPECT_EQ(ups.type("set input_v_ca 219.8"), "ok: input_v_ca 219.8");
    EXPECT_NE(ups.type("status").find(" input_v_ca=219.8 "), std::string::npos);
    EXPECT_EQ(ups.type("silent"), "refused: expected silent SECONDS");
}

// A second stop signal, as a person pressing Ctrl-C twice sends, ends the
// run as the first does: everything written, the summary, exit 130.
TEST(Ups, TwoStopSignalsEndTheRunAsOne)
{
    Ups ups("--json " + scratch() + "twice.jsonl", "twice");
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
    const std::string out = scratch() + "gone.out";
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
        {"", "the line: give --port, --pty or --tap"},
        {"--tap pty", "--tap: needs two lines, HOST_PORT (or pty) and UPS_PORT"},
        {"--tap pty /nonexistent/ups", "port /nonexistent/ups: cannot open"},
        {"--pty --record r.jsonl", "--record requires --tap"},
        {"--port /dev/null --link /tmp/x", "--link names a new pseudo-terminal"},
        {"--tap pty /dev/null --settings /nonexistent.json",
         "settings /nonexistent.json: cannot read"},
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

// The JSON lines a run wrote, parsed.
std::vector<Json::Value> json_lines(const std::string& path)
{
    std::vector<Json::Value> lines;
    std::istringstream in(text_of(path));
    Json::CharReaderBuilder b;
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        std::istringstream one(line);
        std::string errors;
        if (Json::parseFromStream(b, one, &v, &errors)) lines.push_back(v);
    }
    return lines;
}

// What one reply says: its ADR, its RTN and its INFO bytes.
protocol::Decoded decoded(const std::string& reply, std::uint8_t adr)
{
    protocol::Decoded d;
    protocol::decode_frame(reply.data(), reply.size(), 0x21, adr, d);
    return d;
}

// On a two-wire line the simulator hears its own transmission. Whatever it
// is told, no reply is ever answered, so no storm: each request gets one
// reply; with --echo the echo is dropped as its own.
TEST(Ups, EchoingLineHasNoStorm)
{
    const struct {
        const char* flag;
        const char* summary;
    } cases[] = {
        {"--echo",
         "vx40-ups: 6 requests, 6 answered, 0 faults, 0 not for it, 5 own echoes dropped"},
        {"", "vx40-ups: 11 requests, 6 answered, 0 faults, 5 not for it"},
    };
    for (const auto& c : cases) {
        Ups ups(std::string(c.flag) + " --quiet --scenario " +
                    file_with("echo.json", R"({"rounds": []})"),
                "echo");
        const int fd = open_line(ups.link);
        ASSERT_GE(fd, 0);
        std::size_t replies = 0;
        for (int i = 0; i < 5; ++i) {
            const std::string reply =
                ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x43, {}), kReplyWait);
            EXPECT_EQ(reply.substr(0, 9), "~21012A00") << c.flag;
            // The line gives it back, as the bus does; then whatever comes.
            const std::string more = ask(fd, reply, 300);
            replies += more.empty() ? 1U : 2U;
        }
        EXPECT_EQ(replies, 5U) << c.flag;
        // Answered in order: once this is, every echo before it was heard.
        EXPECT_EQ(ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x43, {}), kReplyWait).substr(0, 9),
                  "~21012A00");
        close(fd);
        EXPECT_EQ(ups.stop(), 130);
        EXPECT_NE(text_of(ups.out).find(c.summary), std::string::npos) << text_of(ups.out);
    }
}

// Three units on one line, each with its own script, state and faults;
// typed commands go to the unit they name.
TEST(Ups, BusOfThreeUnits)
{
    const std::string two = file_with(
        "unit2.json", R"({"ups": {"analog": [200, 0, 0, 0, 0, 0, 0, 0, 0]}, "rounds": []})");
    const std::string three =
        file_with("unit3.json", R"({"ups": {"analog": [300, 0, 0, 0, 0, 0, 0, 0, 0]},
                          "rounds": [{"status": {"charger": "fault"}}]})");
    Ups ups("--quiet --scenario " + file_with("unit1.json", R"({"rounds": []})") +
                " --unit 01 --unit 02:" + two + " --unit 0x03:" + three,
            "bus");
    EXPECT_NE(text_of(ups.out).find("units ADR 01 VER 21"), std::string::npos) << text_of(ups.out);
    const int fd = open_line(ups.link);
    ASSERT_GE(fd, 0);
    const auto request = [&](std::uint8_t adr, std::uint8_t cid2) {
        return ask(fd, protocol::encode_frame(0x21, adr, 0x2A, cid2, {}), kReplyWait);
    };
    const auto first_value = [&](std::uint8_t adr) {
        const protocol::Decoded d = decoded(request(adr, 0x41), adr);
        float v = 0;
        if (d.bytes.size() >= 11) std::memcpy(&v, &d.bytes[7], sizeof v);
        return v;
    };
    EXPECT_EQ(first_value(1), 0.0F);
    EXPECT_EQ(first_value(2), 200.0F);
    EXPECT_EQ(first_value(3), 300.0F);
    EXPECT_EQ(request(4, 0x41), "") << "no unit at 04";

    EXPECT_EQ(ups.type("set inverter fault"),
              "refused: 3 units on the line (01, 02, 03): say which, as in 01 set NAME VALUE");
    EXPECT_EQ(ups.type("07 set inverter fault"), "refused: no unit at 07 (units: 01, 02, 03)");
    EXPECT_EQ(ups.type("02 SET Inverter Fault"), "ok: unit 02 inverter fault");
    const auto status_byte = [&](std::uint8_t adr, std::size_t i) {
        const protocol::Decoded d = decoded(request(adr, 0x44), adr);
        return d.bytes.size() > 7 + i ? d.bytes[7 + i] : -1;
    };
    EXPECT_EQ(status_byte(1, 3), 0);
    EXPECT_EQ(status_byte(2, 3), 0xF0);
    EXPECT_EQ(status_byte(3, 3), 0);
    EXPECT_NE(status_byte(3, 8), 0) << "unit 03's own script: its charger";

    // One fault to a reply of a unit; the other units untouched.
    EXPECT_EQ(ups.type("02 drop 46"), "ok: the next 2A/46 reply unit 02 is dropped");
    EXPECT_EQ(ups.type("02 fault 46 chksum"),
              "refused: the next 2A/46 reply already goes wrong (drop); a reply takes one fault, "
              "and fault 46 takes several kinds at once");
    EXPECT_EQ(request(3, 0x46).substr(0, 9), "~21032A00");
    EXPECT_EQ(request(2, 0x46), "");
    EXPECT_EQ(request(2, 0x46).substr(0, 9), "~21022A00");
    const std::string status = ups.type("status");
    EXPECT_NE(status.find("unit 02 round 1 (after the script)"), std::string::npos) << status;
    EXPECT_NE(status.find("unit 03 round 1 of 1"), std::string::npos) << status;
    close(fd);
}

// A unit's timing: a delay before each reply, a gap between its characters,
// a late reply at its own time; the JSON stamps the reply's first and last
// characters.
TEST(Ups, TimingLikeAUnits)
{
    const std::string json = scratch() + "timing.jsonl";
    Ups ups("--quiet --reply-delay 150 --char-gap 3 --json " + json + " --scenario " +
                file_with("timing.json", R"({"rounds": []})"),
            "timing");
    const int fd = open_line(ups.link);
    ASSERT_GE(fd, 0);
    const std::string request = protocol::encode_frame(0x21, 1, 0x2A, 0x43, {});
    const auto asked = Clock::now();
    const std::string reply = ask(fd, request, kReplyWait);
    const auto took = Clock::now() - asked;
    EXPECT_EQ(reply.substr(0, 9), "~21012A00");
    EXPECT_GE(took, std::chrono::milliseconds(150 + 3 * (static_cast<int>(reply.size()) - 1)));
    EXPECT_EQ(ups.type("fault 43 late=500"), "ok: the next 2A/43 reply goes wrong: late=500");
    EXPECT_EQ(ask(fd, request, 300), "") << "not before its time";
    EXPECT_EQ(ask(fd, "", 1500).substr(0, 9), "~21012A00") << "but then, well before 2100 ms";
    close(fd);
    EXPECT_EQ(ups.stop(), 130);
    // Each line as it was written, the typed command's perhaps before the
    // reply's that ended before it was typed: found by what they hold.
    Json::Value first;
    Json::Value typed;
    Json::Value late;
    for (const Json::Value& line : json_lines(json)) {
        Json::Value& which = line.isMember("typed") ? typed : line["late"].asBool() ? late : first;
        which = line;
    }
    ASSERT_FALSE(first.isNull() || typed.isNull() || late.isNull()) << text_of(json);
    EXPECT_GE(first["first"].asDouble() - first["t"].asDouble(), 0.150);
    EXPECT_GE(first["last"].asDouble() - first["first"].asDouble(),
              0.003 * static_cast<double>(reply.size() - 1));
    EXPECT_EQ(first["unit"].asInt(), 1);
    EXPECT_EQ(typed["typed"].asString(), "fault 43 late=500");
    EXPECT_EQ(typed["said"].asString(), "ok: the next 2A/43 reply goes wrong: late=500");
    EXPECT_EQ(late["fault"].asString(), "late=500");
    EXPECT_GE(late["first"].asDouble() - late["t"].asDouble(), 0.5);
    EXPECT_LT(late["first"].asDouble() - late["t"].asDouble(), 2.0);
}

// What it keeps is what happened: a reply cut by a stop is not sent; an
// output that fails ends the run after the reply went, and says so; rounds
// count on past the script, said once.
TEST(Ups, RecordsAreTrue)
{
    const std::string scenario = file_with("true.json", R"({"rounds": [{}, {}]})");
    {
        const std::string json = scratch() + "cut.jsonl";
        Ups ups("--char-gap 100 --json " + json + " --scenario " + scenario, "cut");
        const int fd = open_line(ups.link);
        ASSERT_GE(fd, 0);
        const std::string got = ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x41, {}), 500);
        EXPECT_EQ(ups.stop(), 130);
        close(fd);
        const std::string out = text_of(ups.out);
        EXPECT_NE(out.find("round 1  2A41  not sent whole (stopped)"), std::string::npos) << out;
        EXPECT_NE(out.find("vx40-ups: 1 requests, 0 answered, 0 faults, 0 not for it, 1 replies "
                           "not sent whole"),
                  std::string::npos)
            << out;
        const auto lines = json_lines(json);
        ASSERT_EQ(lines.size(), 1U);
        EXPECT_EQ(lines[0]["cut"].asString(), "stopped");
        EXPECT_LT(lines[0]["reply"].asString().size(), 146U);
        EXPECT_EQ(lines[0]["reply"].asString().substr(0, got.size()), got);
    }
    {
        // On a port whose other end this test holds: what was sent stays
        // readable after the simulator has gone.
        int fd = -1;
        int slave = -1;
        ASSERT_EQ(openpty(&fd, &slave, nullptr, nullptr, nullptr), 0);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        close(slave);
        Ups ups("--json /dev/full --scenario " + scenario, "full",
                "--port " + std::string(ptsname(fd)));
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
        EXPECT_EQ(ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x43, {}), kReplyWait).substr(0, 9),
                  "~21012A00");
        int rc = 0;
        for (int i = 0; i < 200 && waitpid(ups.pid, &rc, WNOHANG) == 0; ++i) usleep(25000);
        ups.pid = -1;
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 3);
        const std::string out = text_of(ups.out);
        EXPECT_NE(out.find("/dev/full"), std::string::npos) << out;
        EXPECT_NE(out.find("vx40-ups: 1 requests, 1 answered"), std::string::npos) << out;
        close(fd);
    }
    {
        Ups ups("--json " + scratch() + "rounds.jsonl --scenario " + scenario, "rounds");
        const int fd = open_line(ups.link);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 4; ++i) {
            ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x41, {}), kReplyWait);
        }
        close(fd);
        EXPECT_EQ(ups.stop(), 130);
        const std::string out = text_of(ups.out);
        const std::string said = "round 3: after the script (2 rounds), the state stays as it is";
        EXPECT_NE(out.find(said), std::string::npos) << out;
        EXPECT_EQ(out.find(said), out.rfind(said)) << "said once";
        EXPECT_NE(out.find("round 4  2A41  answered"), std::string::npos) << out;
    }
}

// The line is its own: a second simulator is refused a link or a port
// another holds, a path that is not its link is never taken or deleted, and
// a link left by a killed run is tidied by the next.
TEST(Ups, TheLineIsItsOwn)
{
    const std::string still = "--quiet --scenario " + file_with("own.json", R"({"rounds": []})");
    Ups first(still, "own");
    char target[256] = {};
    ASSERT_GT(readlink(first.link.c_str(), target, sizeof target - 1), 0);
    {
        Ups second(still, "own", "", false);
        EXPECT_EQ(second.stop(), 2);
        EXPECT_NE(
            text_of(second.out)
                .find("--link " + first.link + ": leads to " + target + ", in use by process"),
            std::string::npos)
            << text_of(second.out);
    }
    char now[256] = {};
    ASSERT_GT(readlink(first.link.c_str(), now, sizeof now - 1), 0);
    EXPECT_STREQ(now, target) << "the first's link kept";
    const int fd = open_line(first.link);
    EXPECT_EQ(ask(fd, protocol::encode_frame(0x21, 1, 0x2A, 0x43, {}), kReplyWait).substr(0, 9),
              "~21012A00");
    // A second host on the same line is refused too.
    const HostRun busy = bench("--rounds 1 --port " + first.link);
    EXPECT_EQ(busy.status, 0) << "the simulator holds no lock on its own pty: " << busy.out;
    close(fd);

    // Paths that are not its links: never taken, never deleted.
    const std::string text = file_with("own-text", "keep me");
    const std::string to_device = scratch() + "own-device";
    std::remove(to_device.c_str());
    ASSERT_EQ(symlink("/dev/null", to_device.c_str()), 0);
    for (const std::string& path : {text, to_device}) {
        const testrun::Ran ran = testrun::run(runner_prefix() + VX40_UPS_PATH + " --pty --link " +
                                              path + " < /dev/null");
        EXPECT_EQ(ran.status, 2) << ran.out;
        EXPECT_NE(ran.out.find("is there, and is no link to a pseudo-terminal"), std::string::npos)
            << ran.out;
    }
    EXPECT_EQ(text_of(text), "keep me");
    char dev[64] = {};
    EXPECT_GT(readlink(to_device.c_str(), dev, sizeof dev - 1), 0);
    EXPECT_STREQ(dev, "/dev/null");

    // Killed: its link dangles, and the next run tidies it and serves. Its
    // pseudo-terminal's number may be another's by then (the suite runs
    // beside other tests): then the link is refused, naming who has it.
    kill(first.pid, SIGKILL);
    waitpid(first.pid, nullptr, 0);
    first.pid = -1;
    struct stat st {};
    const bool reused = stat(target, &st) == 0;
    Ups next(still, "own", "", false);
    if (reused) {
        EXPECT_EQ(next.stop(), 2);
        EXPECT_NE(text_of(next.out).find("in use by"), std::string::npos) << text_of(next.out);
        std::remove(next.link.c_str());
        ASSERT_EQ(symlink("/dev/pts/999999", next.link.c_str()), 0);  // as if it were gone
        Ups tidy(still, "own", "", false);
        EXPECT_EQ(tidy.stop(), 130) << text_of(tidy.out);
        return;
    }
    char renewed[256] = {};
    ASSERT_GT(readlink(next.link.c_str(), renewed, sizeof renewed - 1), 0) << text_of(next.out);
    const int again = open_line(next.link);
    EXPECT_EQ(ask(again, protocol::encode_frame(0x21, 1, 0x2A, 0x43, {}), kReplyWait).substr(0, 9),
              "~21012A00");
    close(again);
    EXPECT_EQ(next.stop(), 130);
}

// A port is held by one program: a second simulator, or a second host, is
// refused it with who holds it.
TEST(Ups, SecondOpenerOfAPortIsRefused)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    const std::string port = ptsname(master);
    Ups holder("--quiet", "holder", "--port " + port);
    ASSERT_TRUE(holder.running()) << text_of(holder.out);
    Ups second("--quiet", "second", "--port " + port);
    EXPECT_EQ(second.stop(), 2);
    EXPECT_NE(text_of(second.out).find("port " + port + ": in use by process"), std::string::npos)
        << text_of(second.out);
    const HostRun host = bench("--rounds 1 --port " + port);
    EXPECT_EQ(host.status, 2) << host.out;
    EXPECT_NE(host.out.find("port " + port + ": in use by process"), std::string::npos) << host.out;
    EXPECT_EQ(holder.stop(), 130);
    close(slave);
    close(master);
}

// The bench at a real line runs no built-in script: rounds go on (no
// scripted pause) until it is stopped; its start line names what it loaded.
TEST(Ups, BenchOnAPortRunsNoScript)
{
    Ups ups("--quiet --scenario " + file_with("noscript.json", R"({"rounds": []})"), "noscript");
    const std::string json = scratch() + "noscript.jsonl";
    const std::string out = scratch() + "noscript-bench.out";
    std::remove(json.c_str());  // an earlier run's
    const std::string cmd = "exec " + runner_prefix() + VX40_BENCH_PATH +
                            " --interval 0 --timeout 1 --json " + json + " --port " + ups.link +
                            " > " + out + " 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The demo has six rounds and a minute's pause after the fifth.
    for (int i = 0; i < 1200 && json_lines(json).size() < 8; ++i) usleep(25000);
    // A second host on the line while the first runs: refused.
    const HostRun second = bench("--rounds 1 --port " + ups.link);
    EXPECT_EQ(second.status, 2) << second.out;
    EXPECT_NE(second.out.find("port " + ups.link + ": in use by process"), std::string::npos)
        << second.out;
    kill(pid, SIGINT);
    int rc = 0;
    waitpid(pid, &rc, 0);
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 130) << text_of(out);
    EXPECT_GE(json_lines(json).size(), 8U) << text_of(out);
    EXPECT_NE(text_of(out).find("line: " + ups.link + " (4800 baud 8N1); plug-in "),
              std::string::npos)
        << text_of(out);
}

// A copied bench finds the plug-in and the settings beside it.
TEST(Ups, CopiedBenchFindsItsDefaultsBesideIt)
{
    const std::string dir = scratch() + "copied/";
    ASSERT_EQ(testrun::run("rm -rf " + dir + " && mkdir -p " + dir + " && cp " + VX40_BENCH_PATH +
                           " " + VX40_PLUGIN_PATH + " " + dir)
                  .status,
              0);
    std::ofstream(dir + "settings.json") << R"({"appSetting": {"b_mode": 3}})";
    const testrun::Ran ran =
        testrun::run("env -u VX40_PLUGIN " + runner_prefix() + dir + "vx40-bench --rounds 1");
    EXPECT_EQ(ran.status, 0) << ran.out;
    EXPECT_NE(ran.out.find("; plug-in " + dir + "vx40.so; settings " + dir + "settings.json"),
              std::string::npos)
        << ran.out;
}

// Recording lines as compared: times and the line's name aside.
std::vector<Json::Value> recorded(const std::string& path)
{
    std::vector<Json::Value> events = json_lines(path);
    for (Json::Value& e : events) {
        for (const char* k : {"t", "clock", "line"}) e.removeMember(k);
    }
    return events;
}

// The tap between the bench as host and the simulator as the UPS, three
// processes on two pseudo-terminals: transparent, the bench's rounds through
// it are its rounds without it, and its recording is the bench's own but for
// times, and replays to the same rounds.
TEST(Ups, TapIsTransparentAndRecordsWhatTheHostSaw)
{
    const std::string scenario = file_with("tapped.json", kScenarios[0].scenario);
    Ups ups("--quiet --scenario " + scenario, "tapped");
    const std::string settings = std::string(VX40_EXAMPLES_DIR) + "/settings.json";
    const std::string rec = scratch() + "tap.rec";
    Ups tap("--quiet --timeout 1 --settings " + settings + " --record " + rec, "tap",
            "--tap pty " + ups.link + " --link " + scratch() + "tap.link");
    const std::string bench_rec = scratch() + "tapped-bench.rec";
    const std::string run = "--json - --timeout 1 --interval 0 --scenario " + scenario;
    const HostRun through = bench(run + " --record " + bench_rec + " --port " + tap.link);
    ASSERT_EQ(through.status, 0) << through.out << text_of(tap.out);
    EXPECT_EQ(tap.stop(), 130);
    EXPECT_NE(text_of(tap.out).find("vx40-ups: tap: 24 requests, 23 replies passed, 0 changed, "
                                    "1 timeouts"),
              std::string::npos)
        << text_of(tap.out);
    Ups again("--quiet --scenario " + scenario, "tapped");
    const HostRun direct = bench(run + " --port " + again.link);
    ASSERT_EQ(direct.status, 0) << direct.out;
    ASSERT_EQ(through.rounds.size(), direct.rounds.size());
    for (std::size_t i = 0; i < direct.rounds.size(); ++i) {
        EXPECT_EQ(seen(through.rounds[i]), seen(direct.rounds[i])) << "round " << i + 1;
    }
    EXPECT_EQ(recorded(rec), recorded(bench_rec));
    const HostRun replayed = bench("--json - --replay " + rec);
    ASSERT_EQ(replayed.status, 0) << replayed.out;
    ASSERT_EQ(replayed.rounds.size(), through.rounds.size());
    for (std::size_t i = 0; i < through.rounds.size(); ++i) {
        EXPECT_EQ(seen(replayed.rounds[i]), seen(through.rounds[i])) << "round " << i + 1;
    }
}

// Each typed change to passing traffic is seen by the host as that fault,
// in the round it was typed for, and the next round is whole again.
TEST(Ups, TapFaultsAreSeenByTheHost)
{
    const struct {
        const char* typed;
        const char* said;
        const char* rejected;  // the host's refusal, "" for none
        const char* missing;   // the request it missed, "" for none
        bool inverter_fault;
    } cases[] = {
        {"fault 44 chksum", "ok: the UPS's next 2A/44 reply goes wrong: chksum", "CHKSUM mismatch",
         "", false},
        {"fault 43 lchksum", "ok: the UPS's next 2A/43 reply goes wrong: lchksum",
         "LENGTH checksum", "", false},
        {"drop 46", "ok: the UPS's next 2A/46 reply is not passed", "", "2A46", false},
        {"spoof 44 inverter fault", "ok: the UPS's next 2A/44 reply says inverter fault", "", "",
         true},
        // Last: the delayed reply comes after the host has gone.
        {"fault 41 late=2500", "ok: the UPS's next 2A/41 reply goes wrong: late=2500", "", "2A41",
         false},
    };
    Ups ups("--quiet --scenario " + file_with("tapfault.json", R"({"rounds": []})"), "tapfault");
    Ups tap("--quiet --timeout 1", "tapf",
            "--tap pty " + ups.link + " --link " + scratch() + "tapf.link");
    for (const auto& c : cases) {
        EXPECT_EQ(tap.type(c.typed), c.said);
        const HostRun host =
            bench("--json - --rounds 2 --timeout 1 --interval 0 --port " + tap.link);
        ASSERT_EQ(host.status, 0) << c.typed << "\n" << host.out;
        ASSERT_EQ(host.rounds.size(), 2U) << c.typed;
        const Json::Value& hit = host.rounds[0];
        EXPECT_EQ(hit["rejected"].size() > 0 ? hit["rejected"][0].asString() : "", c.rejected)
            << c.typed;
        EXPECT_EQ(hit["missing"].size() > 0 ? hit["missing"][0].asString() : "", c.missing)
            << c.typed;
        EXPECT_EQ(hit["alarms"][5]["active"].asBool(), c.inverter_fault) << c.typed;
        EXPECT_EQ(hit["completed"].asBool(), c.inverter_fault) << c.typed;
        EXPECT_TRUE(host.rounds[1]["completed"].asBool()) << c.typed << "\n" << host.out;
        EXPECT_FALSE(host.rounds[1]["alarms"][5]["active"].asBool()) << c.typed;
    }
    EXPECT_EQ(tap.type("drop 46").substr(0, 3), "ok:");
    EXPECT_EQ(tap.type("fault 46 chksum"),
              "refused: the next 2A/46 reply is changed already; fault waits until it has gone");
    EXPECT_EQ(tap.type("spoof 41 inverter fault"),
              "refused: inverter is not in the 2A/41 reply (values are in 41, status bytes in 44)");
    EXPECT_EQ(tap.stop(), 130);
}

// A two-wire RS-485 bus as the test's own: two pseudo-terminals whose other
// ends this test holds; whatever either end sends reaches the other and
// comes back to itself, as on a bus every transmitter hears itself.
struct TwoWireBus {
    int a = -1;
    int b = -1;
    std::string a_port;
    std::string b_port;
    std::atomic<bool> stop{false};
    std::thread relay;

    TwoWireBus()
    {
        int slave = -1;
        for (int* master : {&a, &b}) {
            if (openpty(master, &slave, nullptr, nullptr, nullptr) != 0) return;
            fcntl(*master, F_SETFD, FD_CLOEXEC);
            close(slave);
            termios raw{};
            tcgetattr(*master, &raw);
            cfmakeraw(&raw);
            tcsetattr(*master, TCSANOW, &raw);
        }
        a_port = ptsname(a);
        b_port = ptsname(b);
        relay = std::thread([this] {
            char buf[512];
            while (!stop) {
                pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
                if (poll(fds, 2, 20) <= 0) continue;
                for (int i = 0; i < 2; ++i) {
                    if ((fds[i].revents & POLLIN) == 0) continue;
                    const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                    if (n <= 0) continue;
                    const auto size = static_cast<std::size_t>(n);
                    for (const int to : {a, b}) {
                        if (write(to, buf, size) != n) return;
                    }
                }
            }
        });
    }
    ~TwoWireBus()
    {
        stop = true;
        if (relay.joinable()) relay.join();
        close(a);
        close(b);
    }
    TwoWireBus(const TwoWireBus&) = delete;
    TwoWireBus& operator=(const TwoWireBus&) = delete;
    TwoWireBus(TwoWireBus&&) = delete;
    TwoWireBus& operator=(TwoWireBus&&) = delete;
};

// On a line that echoes both ways, the host and the simulator each drop
// their own transmission: every round completes, no storm, requests in
// equal replies out.
TEST(Ups, HostAndSimulatorOnAnEchoingBus)
{
    TwoWireBus bus;
    ASSERT_FALSE(bus.a_port.empty());
    Ups ups("--echo --quiet --scenario " + file_with("bus-echo.json", R"({"rounds": []})"),
            "bus-echo", "--port " + bus.b_port);
    const HostRun host =
        bench("--json - --rounds 3 --timeout 1 --interval 0 --echo --port " + bus.a_port);
    ASSERT_EQ(host.status, 0) << host.out;
    ASSERT_EQ(host.rounds.size(), 3U);
    for (const Json::Value& r : host.rounds) {
        EXPECT_TRUE(r["completed"].asBool()) << host.out;
        EXPECT_EQ(r["rejected"].size(), 0U) << host.out;
    }
    EXPECT_EQ(ups.stop(), 130);
    EXPECT_NE(
        text_of(ups.out).find(
            "vx40-ups: 12 requests, 12 answered, 0 faults, 0 not for it, 12 own echoes dropped"),
        std::string::npos)
        << text_of(ups.out);
}

// The bench as a controller on a bus of three units: one device per
// address, each with its settings, their rounds in turn; each device's
// rounds and alarms are its own unit's script, in files of its own.
TEST(Ups, BenchPollsABusOfThreeUnits)
{
    const std::string one = file_with("polled1.json", kScenarios[0].scenario);
    const std::string two =
        file_with("polled2.json", R"({"ups": {"analog": [200, 0, 0, 0, 0, 0, 0, 0, 0]},
                           "rounds": [{}, {}, {"status": {"charger": "fault"}}]})");
    const std::string three = file_with("polled3.json", R"({"rounds": [{"drop": ["43"]}]})");
    Ups ups("--quiet --unit 01:" + one + " --unit 02:" + two + " --unit 03:" + three, "polled");
    const std::string json = scratch() + "polled.jsonl";
    const std::string settings = std::string(VX40_EXAMPLES_DIR) + "/settings.json";
    const HostRun host = bench("--rounds 6 --timeout 1 --interval 0 --json " + json + " --port " +
                               ups.link + " --device 01 --device 02:" + settings + " --device 03");
    ASSERT_EQ(host.status, 0) << host.out;
    // Each device's rounds as a host alone on its unit's line sees them.
    const HostRun alone = bench("--json - --timeout 1 --interval 0 --scenario " + one);
    const auto first = json_lines(scratch() + "polled-01.jsonl");
    ASSERT_EQ(first.size(), alone.rounds.size()) << host.out;
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(seen(first[i]), seen(alone.rounds[i])) << "unit 01 round " << i + 1;
    }
    const auto second = json_lines(scratch() + "polled-02.jsonl");
    const auto third = json_lines(scratch() + "polled-03.jsonl");
    ASSERT_EQ(second.size(), 6U);
    ASSERT_EQ(third.size(), 6U);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(second[i]["values"]["ACInputLineOrPhaseAB_A"].asDouble(), 200.0);
        // The charger fault alarm (vx40_11) from unit 02's third round on.
        EXPECT_EQ(second[i]["alarms"][12]["active"].asBool(), i >= 2) << "round " << i + 1;
        EXPECT_EQ(second[i]["alarms"][12]["signal"].asString(), "vx40_11");
        EXPECT_EQ(third[i]["completed"].asBool(), i != 0) << "round " << i + 1;
    }
    EXPECT_EQ(third[0]["missing"][0].asString(), "2A43");
    EXPECT_NE(host.out.find("vx40-bench: unit 02: 6 rounds, 6 completed"), std::string::npos)
        << host.out;
    EXPECT_EQ(ups.stop(), 130);
    // 01's demo drops a 2A46 and 03 a 2A43: 72 requests less the four not sent after them.
    EXPECT_NE(text_of(ups.out).find("vx40-ups: 70 requests"), std::string::npos)
        << text_of(ups.out);
}

// A scenario changes passing traffic round by round, as typed commands do.
TEST(Ups, TapScenarioChangesPassingRounds)
{
    Ups ups("--quiet --scenario " + file_with("tapscript-ups.json", R"({"rounds": []})"),
            "tapscript-ups");
    const std::string script =
        file_with("tapscript.json", R"({"rounds": [{}, {"status": {"inverter": "fault"}},
                                        {"drop": ["43"]}, {"analog": {"input_v_ab": 180}}]})");
    Ups tap("--quiet --timeout 1 --scenario " + script, "tapscript",
            "--tap pty " + ups.link + " --link " + scratch() + "tapscript.link");
    const HostRun host = bench("--json - --rounds 5 --timeout 1 --interval 0 --port " + tap.link);
    ASSERT_EQ(host.status, 0) << host.out << text_of(tap.out);
    ASSERT_EQ(host.rounds.size(), 5U);
    // A round's changes are to its own replies: the UPS's state is its own.
    const bool inverter[] = {false, true, false, false, false};
    const bool completed[] = {true, true, false, true, true};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(host.rounds[i]["alarms"][5]["active"].asBool(), inverter[i]) << "round " << i + 1;
        EXPECT_EQ(host.rounds[i]["completed"].asBool(), completed[i]) << "round " << i + 1;
    }
    EXPECT_EQ(host.rounds[2]["missing"][0].asString(), "2A43");
    EXPECT_EQ(host.rounds[3]["values"]["ACInputLineOrPhaseAB_A"].asDouble(), 180.0);
    EXPECT_EQ(host.rounds[4]["values"]["ACInputLineOrPhaseAB_A"].asDouble(), 0.0);
    EXPECT_EQ(tap.stop(), 130);
}

}  // namespace
