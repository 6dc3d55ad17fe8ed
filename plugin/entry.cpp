// Plug-in entry: the provider list that the host resolves by name.
#include <memory>
#include <vector>

#include "vx40.h"
#include "vx40_provider.h"

VX40Provider::~VX40Provider() = default;

KRTSPDevice* VX40Provider::create() const
{
    return new VX40();
}

// A new provider on every call; the library keeps nothing between calls.
extern "C" std::vector<std::shared_ptr<Provider>> get_providers()
{
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<VX40Provider>());
    return providers;
}
