// Output and files as lines.
#pragma once

#include <string>
#include <vector>

namespace zra_testing {

// The lines of text split at '\n', each without its '\r' before it; the text after the last '\n'
// is a line too (empty when the text ends with one), so line numbers match an editor's.
std::vector<std::string> splitLines(const std::string& text);

} // namespace zra_testing
