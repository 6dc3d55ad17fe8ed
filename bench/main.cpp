// vx40-bench: loads the built plug-in exactly as the host does and drives one
// device through whole polling rounds against the emulated UPS.
#include <json/reader.h>
#include <json/writer.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include <chrono>
#include <map>
#include <thread>

#include "emulator.h"
#include "frame.h"
#include "host.h"
#include "plugin.h"
#include "transport.h"

namespace {

using standin::Service;

constexpr const char* kNames[9] = {
    "ACInputLineOrPhaseAB_A",  "ACInputLineOrPhaseBC_B",  "ACInputLineOrPhaseCA_C",
    "ACOutputLineOrPhaseAB_A", "ACOutputLineOrPhaseBC_B", "ACOutputLineOrPhaseCA_C",
    "ACOutputCurrentA",        "ACOutputCurrentB",        "ACOutputCurrentC"};

struct Options {
    std::string plugin = standin::default_plugin_path();
    std::uint32_t device_id = 1;
    std::string settings = VX40_EXAMPLES_DIR "/settings.json";
    std::string cache;
    std::string scenario;
    std::string json;
    std::string history;
    std::string save_cache;
    long rounds = -1;
    long interval = 1;
    bool pty = false;
    bool realtime = false;
    std::string port;
    unsigned baud = 0;  // 0: the device's own setting
    int timeout_ms = 2000;
};

const char* kUsage =
    "usage: vx40-bench [options]\n"
    "  --plugin PATH      plug-in to load (default: the built vx40.so)\n"
    "  --device-id N      host device identifier (default 1)\n"
    "  --settings FILE    device settings (default examples/settings.json)\n"
    "  --cache FILE       restore this 139-byte record first (round 0)\n"
    "  --scenario FILE    script the emulated UPS (default: built-in demo)\n"
    "  --rounds N         rounds to run (default: the scenario's rounds)\n"
    "  --interval SECONDS virtual seconds between rounds (default 1)\n"
    "  --json FILE|-      one JSON object per round\n"
    "  --history FILE     append every saved record (139 bytes each)\n"
    "  --save-cache FILE  write the last distributed record at exit\n"
    "  --realtime         real clock and real waits, also with the emulator\n"
    "  --pty              the emulator behind a pseudo-terminal (a real serial line)\n"
    "  --port DEVICE      a real UPS on this serial port, no emulator (real clock)\n"
    "  --baud N           line speed (default: the device's, 4800)\n"
    "  --timeout SECONDS  reply timeout on a line (default 2)\n"
    "  --help\n";

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot read");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long long to_long(const std::string& v, const std::string& opt, long long lo, long long hi)
{
    std::size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(v, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != v.size() || v.empty() || n < lo || n > hi) {
        throw std::invalid_argument(opt + ": expected a number " + std::to_string(lo) + ".." +
                                    std::to_string(hi));
    }
    return n;
}

// Standard output of the plug-in, caught per round so it never mixes with
// the bench's own output.
class CapturedStdout {
public:
    CapturedStdout() : file_(std::tmpfile())
    {
        if (file_ == nullptr) throw std::runtime_error("cannot make a temporary file");
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~CapturedStdout()
    {
        if (saved_ >= 0) finish();
        std::fclose(file_);
    }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;
    std::vector<std::string> finish()
    {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        std::rewind(file_);
        std::vector<std::string> lines;
        std::string line;
        int c = 0;
        while ((c = std::fgetc(file_)) != EOF) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line.push_back(static_cast<char>(c));
            }
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }

private:
    std::FILE* file_;
    int saved_ = -1;
};

struct RoundResult {
    long round = 0;
    std::string clock;
    std::vector<std::string> requests;
    bool completed = false;
    std::vector<std::string> log;
    std::vector<standin::Call> alarms;
    std::vector<std::pair<std::string, std::string>> values;  // name -> value or refusal
    std::vector<bool> value_ok;
    std::vector<float> value_num;
    std::vector<std::uint8_t> record;
    std::vector<std::string> rejected;
    std::vector<std::string> missing;  // requests without a reply in time
};

std::string hex(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s.push_back(kDigits[b >> 4U]);
        s.push_back(kDigits[b & 0xFU]);
    }
    return s;
}

std::string clock_text()
{
    const auto t = boost::posix_time::second_clock::local_time();
    const auto d = t.date();
    const auto tod = t.time_of_day();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(d.year()),
                  static_cast<int>(d.month()), static_cast<int>(d.day()),
                  static_cast<int>(tod.hours()), static_cast<int>(tod.minutes()),
                  static_cast<int>(tod.seconds()));
    return buf;
}

// Collects what the host saw during the round just run.
void collect(const standin::Host& host, RoundResult& r)
{
    for (const auto* c : host.of(Service::CheckThresholdBool)) r.alarms.push_back(*c);
    const auto sent = host.of(Service::SendSP);
    if (!sent.empty()) r.record = sent.back()->bytes;
    r.completed = host.count(Service::SaveDeviceHistory) > 0;
}

void read_values(const PMBusProtocol& dev, RoundResult& r)
{
    for (const char* name : kNames) {
        try {
            const float v = dev.Get_Value(0, name);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(v));
            r.values.emplace_back(name, buf);
            r.value_ok.push_back(true);
            r.value_num.push_back(v);
        } catch (const std::out_of_range& e) {
            r.values.emplace_back(name, e.what());
            r.value_ok.push_back(false);
            r.value_num.push_back(0.0F);
        }
    }
}

void run_round(PMBusProtocol& dev, standin::Host& host, bench::Transport& line, RoundResult& r)
{
    host.clear();
    CapturedStdout capture;
    dev.RefreshStatus();
    std::size_t answered = 0;
    while (true) {
        const auto requests = host.of(Service::WritePmbusCmd);
        if (requests.size() == answered) break;  // no new request: the round is over
        const auto cid1 = static_cast<std::uint8_t>(requests.back()->number);
        const auto cid2 = static_cast<std::uint8_t>(requests.back()->number2);
        answered = requests.size();
        char name[8];
        std::snprintf(name, sizeof name, "%02X%02X", cid1, cid2);
        r.requests.emplace_back(name);
        const auto reply = line.exchange(
            standin::encode_frame(dev.protocol_version_, dev.address_, cid1, cid2, {}));
        if (!reply) {
            r.missing.emplace_back(name);
            dev.process_error();
            break;
        }
        standin::Decoded decoded;
        const auto refusal = standin::decode_frame(reply->data(), reply->size(),
                                                   dev.protocol_version_, dev.address_, decoded);
        if (refusal != standin::Refusal::None) {
            r.rejected.emplace_back(standin::refusal_text(refusal));
            dev.process_error();
            break;
        }
        dev.process(decoded.bytes.data(), static_cast<unsigned>(decoded.bytes.size()));
    }
    r.log = capture.finish();
    collect(host, r);
}

Json::Value to_json(const RoundResult& r)
{
    Json::Value o(Json::objectValue);
    o["round"] = static_cast<Json::Int64>(r.round);
    o["clock"] = r.clock;
    o["requests"] = Json::Value(Json::arrayValue);
    for (const auto& q : r.requests) o["requests"].append(q);
    o["completed"] = r.completed;
    o["log"] = Json::Value(Json::arrayValue);
    for (const auto& l : r.log) o["log"].append(l);
    o["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& a : r.alarms) {
        Json::Value j(Json::objectValue);
        j["seq"] = a.seq;
        j["signal"] = a.text[0];
        j["nm"] = a.text[1];
        j["text"] = a.text[2];
        j["active"] = a.flag;
        o["alarms"].append(j);
    }
    o["values"] = Json::Value(Json::objectValue);
    for (std::size_t i = 0; i < r.values.size(); ++i) {
        if (r.value_ok[i]) {
            o["values"][r.values[i].first] = r.value_num[i];
        } else {
            o["values"][r.values[i].first]["error"] = r.values[i].second;
        }
    }
    o["record"] = r.record.empty() ? Json::Value() : Json::Value(hex(r.record));
    o["rejected"] = Json::Value(Json::arrayValue);
    for (const auto& j : r.rejected) o["rejected"].append(j);
    o["missing"] = Json::Value(Json::arrayValue);
    for (const auto& m : r.missing) o["missing"].append(m);
    return o;
}

void show(std::ostream& out, const RoundResult& r, bool colour)
{
    const char* on = colour ? "\033[1m" : "";
    const char* red = colour ? "\033[31m" : "";
    const char* off = colour ? "\033[0m" : "";
    out << on << "round " << r.round << off << "  " << r.clock << "  "
        << (r.completed ? "completed" : std::string(red) + "not completed" + off);
    if (!r.requests.empty()) {
        out << "  requests";
        for (const auto& q : r.requests) out << ' ' << q;
    }
    out << '\n';
    const char* rows[3] = {"input  V", "output V", "output A"};
    for (std::size_t row = 0; row < 3; ++row) {
        out << "  " << rows[row];
        for (std::size_t i = 3 * row; i < 3 * row + 3; ++i) out << "  " << r.values[i].second;
        out << '\n';
    }
    std::size_t active = 0;
    for (const auto& a : r.alarms) {
        if (a.flag) {
            out << "  " << red << "alarm " << a.text[0] << " " << a.text[1] << " " << a.text[2]
                << off << '\n';
            ++active;
        }
    }
    if (r.alarms.empty()) {
        out << "  alarms: no reports this round\n";
    } else if (active == 0) {
        out << "  alarms: none active, " << r.alarms.size() << " reported\n";
    }
    for (const auto& j : r.rejected) out << "  rejected frame: " << j << '\n';
    for (const auto& m : r.missing) out << "  no reply to " << m << '\n';
    for (const auto& l : r.log) out << "  | " << l << '\n';
}

int run(const Options& opt, const bench::Scenario& scenario)
{
    std::unique_ptr<standin::Plugin> plugin;
    try {
        plugin = std::make_unique<standin::Plugin>(opt.plugin);
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        return 1;
    }
    const Json::Value settings = [&] {
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string errors;
        std::istringstream in(read_file(opt.settings));
        if (!Json::parseFromStream(b, in, &v, &errors)) {
            throw std::invalid_argument(opt.settings + ": " + errors);
        }
        return v;
    }();

    standin::Host host;
    standin::ScopedHost bind(host);
    standin::set_clock(standin::clock_now());  // virtual clock from the real local time
    auto dev = plugin->create_device();
    dev->data_id_ = opt.device_id;

    std::unique_ptr<std::ofstream> json_file;
    std::ostream* json = nullptr;
    if (opt.json == "-") {
        json = &std::cout;
    } else if (!opt.json.empty()) {
        json_file = std::make_unique<std::ofstream>(opt.json);
        json = json_file.get();
    }
    std::ofstream history;
    if (!opt.history.empty()) history.open(opt.history, std::ios::binary | std::ios::app);
    const bool colour = json != &std::cout && isatty(STDOUT_FILENO) != 0;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::vector<std::uint8_t> last_record;

    auto report = [&](RoundResult& r) {
        r.clock = clock_text();
        read_values(*dev, r);
        for (const auto* c : host.of(Service::SaveDeviceHistory)) {
            history.write(reinterpret_cast<const char*>(c->bytes.data()),
                          static_cast<std::streamsize>(c->bytes.size()));
        }
        if (!r.record.empty()) last_record = r.record;
        if (json != nullptr) *json << Json::writeString(writer, to_json(r)) << '\n';
        if (json != &std::cout) show(std::cout, r, colour);
    };

    {
        CapturedStdout capture;
        dev->InitSetting(settings);
        const auto lines = capture.finish();
        if (json != &std::cout) {
            std::cout << "settings " << opt.settings << '\n';
            for (const auto& l : lines) std::cout << "  | " << l << '\n';
        }
    }
    if (!opt.cache.empty()) {
        const std::string image = read_file(opt.cache);
        host.clear();
        RoundResult r;
        CapturedStdout capture;
        const int ok = dev->LoadFromCache(image);
        r.log = capture.finish();
        if (ok == 0) r.log.push_back("cache refused: " + std::to_string(image.size()) + " bytes");
        collect(host, r);
        report(r);
    }

    std::map<std::string, long> refused;  // decoder refusals by reason, for the summary
    bench::LineUps ups(scenario.ups, dev->protocol_version_, dev->address_);
    const unsigned baud = opt.baud != 0 ? opt.baud : dev->baud_rate_;
    std::unique_ptr<bench::Transport> line;
    const bool real_clock = opt.realtime || !opt.port.empty();
    if (real_clock) standin::use_real_clock();
    if (!opt.port.empty()) {
        line = bench::over_port(opt.port, baud, opt.timeout_ms);
    } else if (opt.pty) {
        line = bench::over_pty(ups, baud, opt.timeout_ms);
    } else {
        line = bench::in_process(ups);
    }
    const long rounds = opt.rounds >= 0 ? opt.rounds : static_cast<long>(scenario.rounds.size());
    for (long n = 1; n <= rounds; ++n) {
        const auto i = static_cast<std::size_t>(n - 1);
        const bench::RoundScript script =
            i < scenario.rounds.size() ? scenario.rounds[i] : bench::RoundScript{};
        if (n > 1 && !real_clock) {
            standin::advance_clock(opt.interval);
        } else if (n > 1) {
            std::this_thread::sleep_for(std::chrono::seconds(opt.interval));
        }
        RoundResult r;
        r.round = n;
        ups.begin_round(script);
        run_round(*dev, host, *line, r);
        if (!real_clock) {
            standin::advance_clock(script.advance);
        } else if (script.advance > 0) {
            std::this_thread::sleep_for(std::chrono::seconds(script.advance));
        }
        for (const auto& why : r.rejected) ++refused[why];
        report(r);
    }
    if (json != &std::cout) {
        for (const auto& [why, count] : refused) {
            std::cout << "rejected frames: " << why << " x" << count << '\n';
        }
    }
    if (!opt.save_cache.empty() && !last_record.empty()) {
        std::ofstream(opt.save_cache, std::ios::binary)
            .write(reinterpret_cast<const char*>(last_record.data()),
                   static_cast<std::streamsize>(last_record.size()));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    bench::Scenario scenario;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (a == "--help" || a == "-h") {
                std::cout << kUsage;
                return 0;
            }
            if (a == "--pty" || a == "--realtime") {
                (a == "--pty" ? opt.pty : opt.realtime) = true;
                continue;
            }
            if (i + 1 >= argc) throw std::invalid_argument(a + ": unknown option or missing value");
            const std::string v = argv[++i];
            if (a == "--plugin")
                opt.plugin = v;
            else if (a == "--device-id")
                opt.device_id = static_cast<std::uint32_t>(to_long(v, a, 0, 4294967295LL));
            else if (a == "--settings")
                opt.settings = v;
            else if (a == "--cache")
                opt.cache = v;
            else if (a == "--scenario")
                opt.scenario = v;
            else if (a == "--json")
                opt.json = v;
            else if (a == "--history")
                opt.history = v;
            else if (a == "--save-cache")
                opt.save_cache = v;
            else if (a == "--rounds")
                opt.rounds = static_cast<long>(to_long(v, a, 0, 100000000));
            else if (a == "--port")
                opt.port = v;
            else if (a == "--baud")
                opt.baud = static_cast<unsigned>(to_long(v, a, 1, 4000000));
            else if (a == "--timeout")
                opt.timeout_ms = static_cast<int>(to_long(v, a, 1, 600)) * 1000;
            else if (a == "--interval")
                opt.interval = static_cast<long>(to_long(v, a, 0, 86400));
            else
                throw std::invalid_argument(a + ": unknown option");
        }
        if (opt.scenario.empty()) {
            scenario = bench::demo_scenario();
        } else {
            try {
                scenario = bench::parse_scenario(read_file(opt.scenario));
            } catch (const std::runtime_error& e) {
                throw std::invalid_argument(opt.scenario + ": " + e.what());
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << "\n" << kUsage;
        return 2;
    }
    try {
        return run(opt, scenario);
    } catch (const std::invalid_argument& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vx40-bench: " << e.what() << '\n';
        return 1;
    }
}
