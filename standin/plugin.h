// Loads a device plug-in the way the host does: dlopen, get_providers, and
// devices made through the serial-device provider.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "provider.h"
#include "spdevice.h"

namespace standin {

using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();

class Plugin {
public:
    // Throws std::runtime_error with the loader's message.
    explicit Plugin(const std::string& path);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;
    Plugin(Plugin&&) = delete;
    Plugin& operator=(Plugin&&) = delete;

    std::vector<std::shared_ptr<Provider>> providers() const { return get_providers_(); }
    // The first provider, as the serial-device provider (throws if it is not one).
    std::shared_ptr<KRTSPDeviceProvider> serial_provider() const;
    std::unique_ptr<PMBusProtocol> create_device() const;
    void* handle() const { return handle_; }

private:
    void* handle_ = nullptr;
    GetProvidersFn get_providers_ = nullptr;
};

// The plug-in at $VX40_PLUGIN, or else at the path the build gives.
std::string default_plugin_path();

}  // namespace standin
