// The live preview page: one HTML file with its script and styles, built into
// vivanto from serve/page.html so that the binary needs no files beside it.
#pragma once

#include <string_view>

namespace vivanto {

std::string_view pageHtml();

} // namespace vivanto
