// `vivanto serve`: the live preview page for one photo on 127.0.0.1, until
// Ctrl-C or SIGTERM.
#pragma once

#include "command_line.h"

#include <string>

namespace vivanto {

// Returns the exit status. Throws std::runtime_error (or PhotoError) when the
// plug-in, the photo or the port cannot be used.
int runServe(const Request& request, const std::string& pluginPath);

} // namespace vivanto
