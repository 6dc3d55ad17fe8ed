// Arbitrary text, parsed by JsonCpp, given to InitSetting of a device made by
// the built plug-in: it returns or throws a JsonCpp exception, nothing else.
#include <json/reader.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host.h"
#include "plugin.h"

namespace {
const standin::Plugin& plugin()
{
    static const standin::Plugin loaded(standin::default_plugin_path());
    return loaded;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout);  // the reader's diagnostic lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Json::Value settings;
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 200;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    const char* text = reinterpret_cast<const char*>(data);
    try {
        if (!reader->parse(text, text + size, &settings, &errors)) return 0;
    } catch (const Json::Exception&) {
        return 0;  // the parser's own limits
    }
    static standin::Host host;
    host.keep_calls = false;
    standin::ScopedHost bind(host);
    auto dev = plugin().create_device();
    try {
        dev->InitSetting(settings);
    } catch (const Json::Exception&) {
        // a value outside the contract: JsonCpp's own error, as intended
    } catch (...) {
        std::fprintf(stderr, "InitSetting threw something else\n");
        std::abort();
    }
    return 0;
}
