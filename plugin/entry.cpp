// Plug-in entry: the provider list that the host resolves by name.
#include <memory>
#include <vector>

// The host resolves the virtual tables of the provider bases, Provider and
// KRTSPDeviceProvider, from this library. Their only references are the vptr
// stores in the bases' inline constructors and destructors, which an
// optimiser removes as dead stores once it has inlined them, and the tables
// are then not emitted at all. The provider's code is therefore built without
// optimisation, with either compiler.
#if defined(__clang__)
#pragma clang optimize off
#elif defined(__GNUC__)
#pragma GCC optimize("O0")
#endif

#include "vx40.h"
#include "vx40_provider.h"

VX40Provider::~VX40Provider() = default;

KRTSPDevice* VX40Provider::create() const
{
    return new VX40();
}

// A new provider on every call; the library keeps nothing between calls.
extern "C" VX40_EXPORT std::vector<std::shared_ptr<Provider>> get_providers()
{
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<VX40Provider>());
    return providers;
}
