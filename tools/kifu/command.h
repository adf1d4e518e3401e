// The commands of the kifu tool. Each command has a name, a synopsis and a
// help text, and a function that reads its arguments and writes its output.
// Errors are exceptions: UsageError (bad arguments) and RecordFileError (an
// unreadable file) end the tool with status 2, any other error with status 1.
#pragma once

#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kirobaku::kifu {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadData = 1;
inline constexpr int kExitUsage = 2;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Command {
  std::string_view name;
  std::string_view synopsis;  // the arguments, e.g. "FILE [--move N]"
  std::string_view help;      // what it does, lines of text ending in "\n"
  // Runs the command on its arguments (those after the command name) and
  // returns the exit status; errors that end the command are thrown.
  int (*run)(const std::vector<std::string>& args, std::ostream& out);
};

// The commands on game-record files: show, entries.
std::span<const Command> RecordFileCommands();
// The commands on a game-record database: import, duplicates, list, load,
// export, rotate, delete.
std::span<const Command> DatabaseCommands();
// The commands with a GTP engine: play, score.
std::span<const Command> EngineCommands();

}  // namespace kirobaku::kifu
