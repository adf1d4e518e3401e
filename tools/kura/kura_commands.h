// The kura tool's commands. Each takes its arguments (after the command
// name) and the streams, and returns the exit status: 0 success, 1 an engine
// or data error (one line on `err`), 2 bad usage.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kura::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;

int RunKura(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err);

// The text of --help.
std::string HelpText();

}  // namespace kura::tool
