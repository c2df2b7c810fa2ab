#pragma once
// The help page that lists every format the program reads and writes, made
// from the registry so it never disagrees with the program.
#include <string>

namespace quillon {

class FormatRegistry;

// A complete HTML page (UTF-8).
std::string formatsHelpHtml(const FormatRegistry& registry);

} // namespace quillon
