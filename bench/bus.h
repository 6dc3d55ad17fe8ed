// A bus: several devices on one real line, as a controller polls them: one
// device per address (--device ADR[:SETTINGS]), each with its own settings,
// identifier and outputs, their rounds taken in turn on the one port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "transport.h"

namespace bench {

// Each device's options, from the command line's: its address (hex, as the
// wire writes it), the identifier the host gives it (its address), its
// settings (--settings's when it names none), its lines' label, and every
// output file of its own: the path with "-ADR" before its extension
// (rounds.jsonl: rounds-02.jsonl). UsageError for a bad device, a second
// device at one address, or an output that cannot be split (standard
// output).
std::vector<Options> bus_devices(const Options& opt);

// The one port, shared by the devices' sessions: each exchange goes through
// it; it stays open until the last of them is done.
std::unique_ptr<Transport> shared_line(Transport& line);

}  // namespace bench
