// How a request line reaches the UPS and what comes back: the emulator in
// process, the emulator behind a pseudo-terminal, a real port, or a recorded
// session played back.
#pragma once

#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial.h"
#include "ups.h"

namespace bench {

using emulator::Answer;
using emulator::LineUps;

using io::Interrupted;
using io::LineLost;
using io::Received;

// What came for one request, in order of arrival: frames owed to earlier
// requests (late), then this request's reply if it came in time. No frame
// that is not late: the request timed out.
using Reply = std::vector<Received>;

class Transport {
public:
    virtual ~Transport() = default;
    // Sends the request and collects the reply. Throws LineLost when the
    // line itself is gone.
    virtual Reply exchange(const std::string& request_line) = 0;
    // Where the line is, for a person: "emulator in process", a device path.
    virtual std::string where() const = 0;
    // A serial port set to another speed; other lines have none.
    virtual void set_baud(unsigned /*baud*/) {}
};

struct LineOptions {
    unsigned baud = 4800;
    int timeout_ms = 2000;
    // The emulator takes each character's time on the wire at `baud` (ten
    // bits a character), in both directions.
    bool line_rate = false;
    // The port gives back each request before the reply (a two-wire RS-485
    // adapter hears itself): that echo is dropped.
    bool echo = false;
};

std::unique_ptr<Transport> in_process(LineUps& ups);
// The emulator behind a pseudo-terminal pair; the host side is opened as a
// serial port with termios.
std::unique_ptr<Transport> over_pty(LineUps& ups, const LineOptions& line);
// A real serial port; no emulator. Throws std::invalid_argument naming the
// port when it cannot be opened or is not a serial port.
std::unique_ptr<Transport> over_port(const std::string& device, const LineOptions& line);

}  // namespace bench
