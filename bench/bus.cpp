#include "bus.h"

#include "number.h"
#include "text.h"

namespace bench {

namespace {

// The path with "-ADR" before its extension (in its last component).
std::string apart(const std::string& path, const std::string& adr)
{
    if (path.empty()) return path;
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    const bool has_extension =
        dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
    return has_extension ? path.substr(0, dot) + "-" + adr + path.substr(dot) : path + "-" + adr;
}

class SharedLine : public Transport {
public:
    explicit SharedLine(Transport& line) : line_(line) {}
    Reply exchange(const std::string& request_line) override
    {
        return line_.exchange(request_line);
    }
    std::string where() const override { return line_.where(); }
    void set_baud(unsigned baud) override { line_.set_baud(baud); }

private:
    Transport& line_;
};

}  // namespace

std::vector<Options> bus_devices(const Options& opt)
{
    if (opt.port.empty()) throw UsageError("--device: a bus is a real line's: needs --port");
    if (opt.json == "-")
        throw UsageError("--json - and --device: each device writes a file of its own");
    std::vector<Options> devices;
    for (const std::string& d : opt.devices) {
        const auto colon = d.find(':');
        const auto adr = io::hex_byte(d.substr(0, colon));
        if (!adr || colon + 1 == d.size()) {
            throw UsageError("--device " + d + ": expected ADR or ADR:SETTINGS, ADR a byte in hex");
        }
        for (const Options& other : devices) {
            if (other.address == adr) {
                throw UsageError("--device " + d + ": a second device at " + protocol::hex(*adr));
            }
        }
        Options o = opt;
        o.devices.clear();
        o.address = adr;
        o.device_id = *adr;
        o.label = "unit " + protocol::hex(*adr);
        if (colon != std::string::npos) o.settings = d.substr(colon + 1);
        const std::string tag = protocol::hex(*adr);
        for (std::string* path : {&o.json, &o.record, &o.history, &o.save_cache, &o.report}) {
            *path = apart(*path, tag);
        }
        if (o.trace != "-") o.trace = apart(o.trace, tag);
        // The round's wait is the first device's: the others follow at once.
        if (!devices.empty()) o.interval = 0;
        devices.push_back(o);
    }
    return devices;
}

std::unique_ptr<Transport> shared_line(Transport& line)
{
    return std::make_unique<SharedLine>(line);
}

}  // namespace bench
