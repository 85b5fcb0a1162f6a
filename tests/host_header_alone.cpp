// The host header must compile alone, as C++, under every warning.
#include "bibble_host.h"

int hostHeaderCompilesAsCxx()
{
    BibblePluginData data{};
    return static_cast<int>(sizeof(data.interfaceVersion));
}
