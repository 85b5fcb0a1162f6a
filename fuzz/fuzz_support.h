// What the fuzz targets share: the plug-in loaded once, as the editor loads
// it, and a way to report a broken contract that libFuzzer records as a crash
// together with the input that caused it.
#pragma once

#include "host.h"
#include "plugin_library.h"

#include <string>
#include <vector>

namespace fuzz_support {

// The keys the host stores the plug-in's settings under.
constexpr const char* kEnabled = "vivanto_enabled";
constexpr const char* kRedGreen = "vivanto_rg";
constexpr const char* kBlueYellow = "vivanto_by";

// $VIVANTO_PLUGIN when set, else the library this build made; loaded from
// LLVMFuzzerInitialize (defined with these helpers) before fuzzing starts.
standin::PluginLibrary& plugin();
std::string pluginPath();

// Registers the plug-in with `host` (checking the answer) and clears the log.
void registerWith(standin::Host& host);

// Prints what went wrong and aborts.
[[noreturn]] void fail(const std::string& what);

void check(bool condition, const std::string& what);

// Fails with both sequences printed when they differ.
void checkCalls(const std::vector<std::string>& got, const std::vector<std::string>& want,
                const std::string& what);

// Fails when the host saw a breach of its rules (unbalanced locks, leaked or
// stale strings, foreign handles).
void checkNoViolations(const standin::Host& host);

} // namespace fuzz_support
