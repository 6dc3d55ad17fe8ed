#include "round_source.h"

#include <chrono>
#include <limits>
#include <thread>

#include "host.h"
#include "stop.h"

namespace bench {

namespace {

using emulator::RoundScript;

// Waits `seconds` of real time, in short steps, so that a signal ends it.
void wait_seconds(long seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!io::stopping() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

class ScriptedSource : public RoundSource {
public:
    ScriptedSource(const Options& opt, const emulator::Scenario& scenario, std::uint8_t ver,
                   std::uint8_t adr, const LineOptions& line, std::unique_ptr<Transport> port)
        : opt_(opt),
          scenario_(scenario),
          ups_(scenario.ups, ver, adr),
          real_clock_(opt.realtime || !opt.port.empty()),
          // A real line has a real UPS: no script's rounds or pauses unless asked.
          scripted_(opt.port.empty() || !opt.scenario.empty())
    {
        if (real_clock_) standin::use_real_clock();
        if (port != nullptr) {
            // Opened at the command line's baud or the default; the device's
            // own setting applies when no --baud was given.
            if (opt.baud == 0) port->set_baud(line.baud);
            line_ = std::move(port);
        } else if (opt.pty) {
            line_ = over_pty(ups_, line);
        } else {
            line_ = in_process(ups_);
        }
    }

    Transport& line() override { return *line_; }
    std::string recorded_line() const override { return line_->where(); }
    long rounds() const override
    {
        return scripted_ ? static_cast<long>(scenario_.rounds.size())
                         : std::numeric_limits<long>::max();  // until stopped, or --rounds
    }

    bool begin(long n) override
    {
        if (n > 1 && !real_clock_) {
            standin::advance_clock(opt_.interval);
        } else if (n > 1) {
            wait_seconds(opt_.interval);
            if (io::stopping()) return false;
        }
        const auto i = static_cast<std::size_t>(n - 1);
        script_ = scripted_ && i < scenario_.rounds.size() ? scenario_.rounds[i] : RoundScript{};
        ups_.begin_round(script_);
        return true;
    }

    void end(bool line_lost) override
    {
        if (!real_clock_) {
            standin::advance_clock(script_.advance);
        } else if (script_.advance > 0 && !line_lost) {
            wait_seconds(script_.advance);
        }
    }

private:
    const Options& opt_;
    const emulator::Scenario& scenario_;
    emulator::LineUps ups_;
    bool real_clock_;
    bool scripted_;
    std::unique_ptr<Transport> line_;
    RoundScript script_;
};

}  // namespace

std::unique_ptr<RoundSource> scripted_source(const Options& opt, const emulator::Scenario& scenario,
                                             std::uint8_t ver, std::uint8_t adr,
                                             const LineOptions& line,
                                             std::unique_ptr<Transport> port)
{
    return std::make_unique<ScriptedSource>(opt, scenario, ver, adr, line, std::move(port));
}

}  // namespace bench
