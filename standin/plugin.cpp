#include "plugin.h"

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>

namespace standin {

Plugin::Plugin(const std::string& path)
{
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error(why != nullptr ? why : ("cannot load " + path));
    }
    void* entry = dlsym(handle_, "get_providers");
    if (entry == nullptr) {
        dlclose(handle_);
        throw std::runtime_error(path + ": no get_providers");
    }
    get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
}

Plugin::~Plugin()
{
    dlclose(handle_);
}

std::shared_ptr<KRTSPDeviceProvider> Plugin::serial_provider() const
{
    auto list = providers();
    if (list.empty()) {
        throw std::runtime_error("get_providers returned no provider");
    }
    auto provider = std::dynamic_pointer_cast<KRTSPDeviceProvider>(list.front());
    if (!provider) {
        throw std::runtime_error("the provider makes no serial-port devices");
    }
    return provider;
}

std::unique_ptr<PMBusProtocol> Plugin::create_device() const
{
    std::unique_ptr<KRTSPDevice> device(serial_provider()->create());
    auto* protocol = dynamic_cast<PMBusProtocol*>(device.get());
    if (protocol == nullptr) {
        throw std::runtime_error("the device has no protocol layer");
    }
    device.release();
    return std::unique_ptr<PMBusProtocol>(protocol);
}

std::string default_plugin_path()
{
    const char* env = std::getenv("VX40_PLUGIN");
    return env != nullptr && *env != '\0' ? std::string(env) : std::string(VX40_PLUGIN_PATH);
}

}  // namespace standin
