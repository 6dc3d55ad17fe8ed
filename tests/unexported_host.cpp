// A host executable with the stand-in host linked in but none of its symbols
// exported to plug-ins: the host vx40-preflight must refuse.
#include "plugin.h"

int main()
{
    return standin::default_plugin_path().empty() ? 1 : 0;
}
