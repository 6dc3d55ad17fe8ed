// Stand-in host: records every host service a device calls, in order, with
// its arguments, and lets a test choose results, inject faults and drive the
// local clock. Each thread talks to the Host bound to it (see ScopedHost), so
// devices driven on separate threads never share a recorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class KRTVDevice;
class PMBusProtocol;

namespace standin {

enum class Service {
    RefreshStatus,
    WritePmbusCmd,
    GetTtime,
    SendSP,
    Reset,
    CheckThresholdBool,
    CheckAOReport,
    CheckThreshold,
    DoBatchCheckThreshold,
    SaveDeviceHistory,
    InitSetting,
    ProcessError,
};
inline constexpr std::size_t kServiceCount = 12;

const char* service_name(Service s);

// One service call. Fields not used by a service stay at their defaults;
// reset() sets each field back, so a field added here is added there.
struct Call {
    Service service{};
    const void* device = nullptr;
    int number = 0;                    // SendSP id, CheckThresholdBool/CheckThreshold kind, CID1
    int number2 = 0;                   // CID2, DoBatchCheckThreshold rule count
    std::string text[4];               // ids, names and texts, in argument order
    float value = 0.0F;                // CheckAOReport, CheckThreshold
    bool flag = false;                 // SendSP flag, CheckThresholdBool active
    unsigned seq = 0;                  // CheckThresholdBool sequence number
    std::vector<unsigned char> bytes;  // SendSP, SaveDeviceHistory: copy of the data
    std::size_t length = 0;            // SendSP, SaveDeviceHistory: length given

    // Every field as a new call's, the buffers of its texts and bytes kept.
    void reset();
};

// Calls in order, as a vector holds them, but clear() keeps them: the next
// calls are made over the old ones and reuse their buffers, so a host (or a
// round) that records call after call does not allocate for each.
class CallList {
public:
    using iterator = std::vector<Call>::iterator;
    using const_iterator = std::vector<Call>::const_iterator;
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    iterator begin() { return calls_.begin(); }
    iterator end() { return calls_.begin() + static_cast<std::ptrdiff_t>(size_); }
    const_iterator begin() const { return calls_.begin(); }
    const_iterator end() const { return calls_.begin() + static_cast<std::ptrdiff_t>(size_); }
    std::reverse_iterator<iterator> rbegin() { return std::make_reverse_iterator(end()); }
    std::reverse_iterator<iterator> rend() { return std::make_reverse_iterator(begin()); }
    Call& operator[](std::size_t i) { return calls_[i]; }
    const Call& operator[](std::size_t i) const { return calls_[i]; }
    // A new call at the end: a reused one is reset().
    Call& add();
    // A copy of c at the end: a reused one takes c's fields into its buffers.
    void add(const Call& c);
    void clear() { size_ = 0; }

private:
    std::vector<Call> calls_;  // the first size_ are the list; the rest wait to be reused
    std::size_t size_ = 0;
};

// What the host's contract leaves it free to do and a kind host does not.
// Every knob is off by default; a test turns on what its case allows.
struct Harsh {
    // The host's constructors leave the values of `Poison` in every member
    // they own, the polling step included; data_ready_ stays false, as the
    // contract gives it.
    bool poison = false;
    // The base RefreshStatus moves the polling step to this value.
    std::optional<std::int32_t> refresh_sets_step;
    // DoBatchCheckThreshold changes the device's rule list it was handed:
    // a negative count empties it, a positive one adds that many rules.
    int batch_changes_rules = 0;
    // CheckAOReport adds this to the device's value for the name it was given.
    float ao_report_adds = 0.0F;

    // Every knob on; the rule list emptied or grown.
    static Harsh all(bool grow_rules);
};

// What a poisoned host's constructors leave in the members they own. The
// identifier is at the top of its type, where a signed print goes wrong.
struct Poison {
    static constexpr std::uint32_t data_id = 0xFFFFFFFFU;
    static constexpr const char* device_type = "not yet a type";
    static constexpr bool use_controller_db = true;
    static constexpr std::uint16_t alarm_seq = 0xA5A5;
    static constexpr std::time_t last_data_time = 946684800;  // 2000-01-01 00:00:00
    static constexpr bool round_check_result = true;
    static constexpr std::size_t pending_rules = 3;
    static constexpr const char* ao_name = "poison-name";         // listed, without a value
    static constexpr const char* ao_value_name = "poison-value";  // a value, not listed
    static constexpr float ao_value = 9.5F;
    static constexpr const char* threshold_key = "poison-signal";
    static constexpr int threshold_level = -2147483647 - 1;
    static constexpr float threshold_value = -7.25F;
    static constexpr std::int32_t poll_step = 3;
    static constexpr std::uint8_t address = 0xEE;
    static constexpr std::uint32_t baud_rate = 0xDEADBEEFU;
    static constexpr std::uint8_t protocol_version = 0x7E;
};

// Thrown by a service that a test armed with Host::fail_at.
struct InjectedFault : std::runtime_error {
    explicit InjectedFault(Service s)
        : std::runtime_error(std::string("injected fault in ") + service_name(s))
    {
    }
};

class Host {
public:
    // Results the host's services give.
    bool ao_report_result = false;
    bool batch_result = false;
    int init_setting_result = 1;
    // When false, calls are counted but not kept (soak and benchmarks).
    bool keep_calls = true;
    // Runs inside CheckAOReport after the call is recorded: a host may change
    // the device's analog lists there (remove the entry it was given, say).
    std::function<void(KRTVDevice& device, const std::string& name)> on_ao_report;
    Harsh harsh;

    CallList calls;

    // The nth call of s from now on throws InjectedFault (once).
    void fail_at(Service s, int nth = 1);
    void clear();
    std::size_t count(Service s) const { return counts_[static_cast<std::size_t>(s)]; }
    std::vector<const Call*> of(Service s) const;
    std::vector<Service> sequence() const;

    // Called by each service on entry: counts, throws if armed, and returns
    // the record to fill (or nullptr when calls are not kept).
    Call* enter(Service s, const void* device);

private:
    std::size_t counts_[kServiceCount] = {};
    int fail_countdown_[kServiceCount] = {};
};

// The Host bound to the calling thread (a per-thread default if none is).
Host& host();

class ScopedHost {
public:
    explicit ScopedHost(Host& h);
    ~ScopedHost();
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;
    ScopedHost(ScopedHost&&) = delete;
    ScopedHost& operator=(ScopedHost&&) = delete;

private:
    Host* previous_;
};

// Local clock of the whole process, as read through time(): real unless set.
// Boost's second_clock and everything else that calls time() see it.
void set_clock(std::time_t now);
void advance_clock(long seconds);
void use_real_clock();
std::time_t clock_now();

// Hands one decoded reply frame to the device's protocol layer
// (reply_frame_, then process_payload) and returns process_payload's result.
int deliver(PMBusProtocol& device, const unsigned char* decoded_frame);

// A decoded frame: VER, ADR, CID1, RTN, INFO length in hex characters
// (16-bit LE), INFO bytes. `info` is padded so the frame always holds what
// its length claims.
std::vector<unsigned char> decoded_frame(unsigned char ver, unsigned char adr, unsigned char cid1,
                                         unsigned char rtn, std::uint16_t info_hex_length,
                                         const std::vector<unsigned char>& info);

}  // namespace standin
