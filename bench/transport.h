// How a request line reaches the UPS and its reply line comes back: the
// emulator in process, the emulator behind a pseudo-terminal, or a real port.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "emulator.h"

namespace bench {

// The emulated UPS on the line: answers a request frame addressed to it with
// a reply frame, shaped by the round's script (short INFO, dropped reply).
class LineUps {
public:
    LineUps(UpsState state, std::uint8_t ver, std::uint8_t adr) : ups_(state), ver_(ver), adr_(adr)
    {
    }
    void begin_round(const RoundScript& script);
    std::optional<std::string> answer(const std::string& request_line);

private:
    std::mutex mutex_;
    Emulator ups_;
    RoundScript script_;
    std::uint8_t ver_;
    std::uint8_t adr_;
};

// The serial line went away (a pseudo-terminal closed, an adapter unplugged).
struct LineLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Transport {
public:
    virtual ~Transport() = default;
    // The reply line, or nothing when none came within the timeout. Throws
    // LineLost when the line itself is gone.
    virtual std::optional<std::string> exchange(const std::string& request_line) = 0;
    // Where the line is, for a person: "in process", a device path.
    virtual std::string where() const = 0;
};

std::unique_ptr<Transport> in_process(LineUps& ups);
// The emulator behind a pseudo-terminal pair; the host side is opened as a
// serial port with termios at `baud`.
std::unique_ptr<Transport> over_pty(LineUps& ups, unsigned baud, int timeout_ms);
// A real serial port; no emulator. Throws std::invalid_argument naming the
// device when it cannot be opened or is not a serial port.
std::unique_ptr<Transport> over_port(const std::string& device, unsigned baud, int timeout_ms);

}  // namespace bench
