// Recorder, fault injection and the clock of the stand-in host.
#include "host.h"

#include <algorithm>
#include <ctime>
#include <mutex>

#include "spdevice.h"

namespace standin {

const char* service_name(Service s)
{
    static constexpr const char* kNames[kServiceCount] = {
        "RefreshStatus",
        "write_pmbus_cmd",
        "get_ttime",
        "SendSP",
        "Reset",
        "CheckThresholdBool",
        "CheckAOReport",
        "CheckThreshold",
        "DoBatchCheckThreshold",
        "SaveDeviceHistory",
        "InitSetting",
        "process_error",
    };
    return kNames[static_cast<std::size_t>(s)];
}

void Call::reset()
{
    service = {};
    device = nullptr;
    number = 0;
    number2 = 0;
    for (std::string& t : text) t.clear();
    value = 0.0F;
    flag = false;
    seq = 0;
    bytes.clear();
    length = 0;
}

Call& CallList::add()
{
    if (size_ == calls_.size()) {
        calls_.emplace_back();
    } else {
        calls_[size_].reset();
    }
    return calls_[size_++];
}

void CallList::add(const Call& c)
{
    if (size_ == calls_.size()) {
        calls_.push_back(c);
    } else {
        calls_[size_] = c;
    }
    ++size_;
}

Harsh Harsh::all(bool grow_rules)
{
    Harsh h;
    h.poison = true;
    h.refresh_sets_step = 2;
    h.batch_changes_rules = grow_rules ? 2 : -1;
    h.ao_report_adds = 100.0F;
    return h;
}

void Host::fail_at(Service s, int nth)
{
    fail_countdown_[static_cast<std::size_t>(s)] = nth;
}

void Host::clear()
{
    calls.clear();
    for (std::size_t i = 0; i < kServiceCount; ++i) {
        counts_[i] = 0;
        fail_countdown_[i] = 0;
    }
}

std::vector<const Call*> Host::of(Service s) const
{
    std::vector<const Call*> found;
    for (const Call& c : calls) {
        if (c.service == s) {
            found.push_back(&c);
        }
    }
    return found;
}

std::vector<Service> Host::sequence() const
{
    std::vector<Service> seq;
    seq.reserve(calls.size());
    for (const Call& c : calls) {
        seq.push_back(c.service);
    }
    return seq;
}

Call* Host::enter(Service s, const void* device)
{
    const auto i = static_cast<std::size_t>(s);
    ++counts_[i];
    if (fail_countdown_[i] > 0 && --fail_countdown_[i] == 0) {
        throw InjectedFault(s);
    }
    if (!keep_calls) {
        return nullptr;
    }
    Call& c = calls.add();
    c.service = s;
    c.device = device;
    return &c;
}

namespace {
thread_local Host default_host;
thread_local Host* bound_host = nullptr;

// A mutex, not 64-bit atomics: those need libatomic on 32-bit MIPS.
std::mutex clock_mutex;
bool clock_set = false;
std::time_t clock_value = 0;

std::time_t real_time()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}
}  // namespace

Host& host()
{
    return bound_host != nullptr ? *bound_host : default_host;
}

ScopedHost::ScopedHost(Host& h) : previous_(bound_host)
{
    bound_host = &h;
}
ScopedHost::~ScopedHost()
{
    bound_host = previous_;
}

void set_clock(std::time_t now)
{
    const std::lock_guard<std::mutex> lock(clock_mutex);
    clock_value = now;
    clock_set = true;
}

void advance_clock(long seconds)
{
    const std::lock_guard<std::mutex> lock(clock_mutex);
    if (!clock_set) {
        clock_value = real_time();
        clock_set = true;
    }
    clock_value += seconds;
}

void use_real_clock()
{
    const std::lock_guard<std::mutex> lock(clock_mutex);
    clock_set = false;
}

std::time_t clock_now()
{
    const std::lock_guard<std::mutex> lock(clock_mutex);
    return clock_set ? clock_value : real_time();
}

int deliver(PMBusProtocol& device, const unsigned char* decoded_frame)
{
    device.reply_frame_ = decoded_frame;
    const int result = device.process_payload();
    return result;
}

std::vector<unsigned char> decoded_frame(unsigned char ver, unsigned char adr, unsigned char cid1,
                                         unsigned char rtn, std::uint16_t info_hex_length,
                                         const std::vector<unsigned char>& info)
{
    const std::size_t claimed = (info_hex_length + 1U) / 2U;
    std::vector<unsigned char> frame(6 + std::max(claimed, info.size()), 0);
    frame[0] = ver;
    frame[1] = adr;
    frame[2] = cid1;
    frame[3] = rtn;
    frame[4] = static_cast<unsigned char>(info_hex_length & 0xFFU);
    frame[5] = static_cast<unsigned char>(info_hex_length >> 8U);
    std::copy(info.begin(), info.end(), frame.begin() + 6);
    return frame;
}

}  // namespace standin

// Every reader of the local time in the process (Boost's second_clock among
// them) goes through time(); the stand-in clock answers it.
extern "C" std::time_t time(std::time_t* out) noexcept
{
    const std::time_t now = standin::clock_now();
    if (out != nullptr) {
        *out = now;
    }
    return now;
}
