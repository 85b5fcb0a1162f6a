/* The host header must compile alone, as C, under every warning. */
#include "bibble_host.h"

int hostHeaderCompilesAsC(void)
{
    BibblePluginData data = {0};
    return (int)sizeof(data.interfaceVersion);
}
