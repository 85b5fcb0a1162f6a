// The command-line front: reads what the user asked for and hands it to the
// batch, the page server or the plug-in's own answers (its options, its About
// text). Returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace vivanto {

// `defaultPlugin` is used unless --plugin names another.
int runCommandLine(const std::vector<std::string>& arguments, const std::string& defaultPlugin);

} // namespace vivanto
