#include "support.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <stdexcept>

namespace vx40test {

const standin::Plugin& plugin()
{
    static const standin::Plugin loaded(standin::default_plugin_path());
    return loaded;
}

namespace {

// The process's own standard output while watches are open (the outermost
// watch's saved descriptor), and how many are open.
int g_real_stdout = -1;
int g_watches = 0;

// GoogleTest's result printer, made to print failures to the real standard
// output even while a watch holds it, so they are seen and never taken for
// the library's output.
class PrinterOutsideWatches : public ::testing::TestEventListener {
public:
    explicit PrinterOutsideWatches(::testing::TestEventListener* inner) : inner_(inner) {}

    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (g_watches == 0) {
            inner_->OnTestPartResult(result);
            return;
        }
        std::fflush(stdout);
        const int watched = dup(STDOUT_FILENO);
        dup2(g_real_stdout, STDOUT_FILENO);
        inner_->OnTestPartResult(result);
        std::fflush(stdout);
        dup2(watched, STDOUT_FILENO);
        close(watched);
    }
    void OnTestProgramStart(const ::testing::UnitTest& u) override
    {
        inner_->OnTestProgramStart(u);
    }
    void OnTestIterationStart(const ::testing::UnitTest& u, int i) override
    {
        inner_->OnTestIterationStart(u, i);
    }
    void OnEnvironmentsSetUpStart(const ::testing::UnitTest& u) override
    {
        inner_->OnEnvironmentsSetUpStart(u);
    }
    void OnEnvironmentsSetUpEnd(const ::testing::UnitTest& u) override
    {
        inner_->OnEnvironmentsSetUpEnd(u);
    }
    void OnTestSuiteStart(const ::testing::TestSuite& t) override { inner_->OnTestSuiteStart(t); }
    void OnTestStart(const ::testing::TestInfo& t) override { inner_->OnTestStart(t); }
    void OnTestDisabled(const ::testing::TestInfo& t) override { inner_->OnTestDisabled(t); }
    void OnTestEnd(const ::testing::TestInfo& t) override { inner_->OnTestEnd(t); }
    void OnTestSuiteEnd(const ::testing::TestSuite& t) override { inner_->OnTestSuiteEnd(t); }
    void OnEnvironmentsTearDownStart(const ::testing::UnitTest& u) override
    {
        inner_->OnEnvironmentsTearDownStart(u);
    }
    void OnEnvironmentsTearDownEnd(const ::testing::UnitTest& u) override
    {
        inner_->OnEnvironmentsTearDownEnd(u);
    }
    void OnTestIterationEnd(const ::testing::UnitTest& u, int i) override
    {
        inner_->OnTestIterationEnd(u, i);
    }
    void OnTestProgramEnd(const ::testing::UnitTest& u) override { inner_->OnTestProgramEnd(u); }

private:
    std::unique_ptr<::testing::TestEventListener> inner_;
};

}  // namespace

StdoutWatch::StdoutWatch() : file_(std::tmpfile()), saved_(-1)
{
    if (file_ == nullptr) {
        throw std::runtime_error("no temporary file for standard output");
    }
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (g_watches++ == 0) {
        g_real_stdout = saved_;
    }
    dup2(fileno(file_), STDOUT_FILENO);
}

StdoutWatch::~StdoutWatch()
{
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    if (--g_watches == 0) {
        g_real_stdout = -1;
    }
    std::fclose(file_);
}

std::string StdoutWatch::take()
{
    std::fflush(stdout);
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = pread(fileno(file_), buf, sizeof buf, read_);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
        read_ += n;
    }
    return out;
}

void DeviceTest::SetUp()
{
    standin::set_clock(kStart);
    dev_ = make_device();
}

void DeviceTest::TearDown()
{
    dev_.reset();
    EXPECT_EQ(printed(), "") << "printed in the device's life and never read by the test";
}

void DeviceTest::remake()
{
    dev_.reset();
    dev_ = make_device();
}

std::vector<HostKind> host_kinds()
{
    return {{"Kind", {}},
            {"HarshEmptyingRules", standin::Harsh::all(false)},
            {"HarshGrowingRules", standin::Harsh::all(true)}};
}

void HostsTest::SetUp()
{
    DeviceTest::SetUp();
    host_.harsh = GetParam().harsh;
    remake();
    dev_->pending_rules_.clear();
    dev_->ao_names_.clear();
    dev_->ao_values_.clear();
    dev_->threshold_levels_.clear();
    dev_->threshold_values_.clear();
}

std::vector<unsigned char> pattern(std::size_t bytes, unsigned char seed)
{
    std::vector<unsigned char> info(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        info[i] = static_cast<unsigned char>(seed + i);
    }
    return info;
}

int reply(PMBusProtocol& dev, std::uint16_t info_hex_length, const std::vector<unsigned char>& info)
{
    const auto frame = standin::decoded_frame(0x21, 0x01, 0x2A, 0x00, info_hex_length, info);
    return standin::deliver(dev, frame.data());
}

void full_round(PMBusProtocol& dev, const std::vector<unsigned char>& info41,
                const std::vector<unsigned char>& info44)
{
    // A round of whole replies prints its rule count and nothing else; what a
    // round cut short by a fault printed goes on to the caller's output.
    const std::string expected = "rvSize is " + std::to_string(dev.pending_rules_.size()) + "\n";
    std::optional<StdoutWatch> watch(std::in_place);
    try {
        dev.RefreshStatus();
        reply(dev, 128, info41.empty() ? pattern(64, 0x10) : info41);
        reply(dev, 14, pattern(7, 0x50));
        reply(dev, 30, info44.empty() ? pattern(15, 0x90) : info44);
        reply(dev, 90, pattern(45, 0xC0));
    } catch (...) {
        const std::string out = watch->take();
        watch.reset();
        std::fputs(out.c_str(), stdout);
        throw;
    }
    const std::string out = watch->take();
    watch.reset();
    EXPECT_EQ(out, expected) << "printed by a whole round";
}

std::vector<unsigned char> last_distributed(const standin::Host& h)
{
    const auto sent = h.of(standin::Service::SendSP);
    return sent.empty() ? std::vector<unsigned char>{} : sent.back()->bytes;
}

std::array<unsigned char, 4> float_le(float v)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8U),
            static_cast<unsigned char>(bits >> 16U), static_cast<unsigned char>(bits >> 24U)};
}

std::vector<unsigned char> info41_with(const std::vector<float>& values)
{
    std::vector<unsigned char> info(64, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto b = float_le(values[i]);
        std::memcpy(&info[1 + 4 * i], b.data(), b.size());
    }
    return info;
}

std::vector<unsigned char> info44_with(const std::array<unsigned char, 14>& status)
{
    std::vector<unsigned char> info(15, 0);
    std::memcpy(&info[1], status.data(), status.size());
    return info;
}

}  // namespace vx40test

int main(int argc, char** argv)
{
    // Local time is UTC in the tests, so time stamps are predictable.
    setenv("TZ", "UTC0", 1);
    tzset();
    ::testing::InitGoogleTest(&argc, argv);
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    if (auto* printer = listeners.default_result_printer(); printer != nullptr) {
        listeners.Release(printer);
        listeners.Append(new vx40test::PrinterOutsideWatches(printer));
    }
    return RUN_ALL_TESTS();
}
