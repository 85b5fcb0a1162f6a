#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz_support {

std::string pluginPath()
{
    const char* overridden = std::getenv("VIVANTO_PLUGIN");
    return overridden != nullptr ? overridden : HUEFLARE_LIBRARY;
}

standin::PluginLibrary& plugin()
{
    static standin::PluginLibrary library(pluginPath());
    return library;
}

void registerWith(standin::Host& host)
{
    check(plugin().registerPlugin(host.record()) == 0, "RegisterPlugin did not answer 0");
    host.log().clear();
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "\nCONTRACT BROKEN: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void check(bool condition, const std::string& what)
{
    if (!condition)
        fail(what);
}

namespace {

std::string listed(const std::vector<std::string>& calls)
{
    std::string out;
    for (const std::string& call : calls)
        out += "\n    " + call;
    return out.empty() ? "\n    (none)" : out;
}

} // namespace

void checkCalls(const std::vector<std::string>& got, const std::vector<std::string>& want,
                const std::string& what)
{
    if (got != want)
        fail(what + ": host calls differ\n  got:" + listed(got) + "\n  want:" + listed(want));
}

void checkNoViolations(const standin::Host& host)
{
    std::vector<std::string> violations = host.violations();
    if (!violations.empty())
        fail("the host saw breaches of its rules:" + listed(violations));
}

} // namespace fuzz_support

// libFuzzer calls this once before fuzzing: the plug-in is loaded here so that
// its coverage counters are registered before the first input.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_support::plugin();
    return 0;
}
