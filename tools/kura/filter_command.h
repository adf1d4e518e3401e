// The kura tool's filter command: a table cursor with one filter expression,
// its visible records printed in the cursor's order.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kura::tool {

// kura filter DIR TABLE "EXPRESSION" [--index NAME] [--count]
int FilterCommand(const std::vector<std::string>& args, std::ostream& out);
std::string FilterHelpText();

}  // namespace kura::tool
