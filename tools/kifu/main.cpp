// kifu: the game records of Kirobaku without a window.
//
// Usage: kifu COMMAND ARGS... | kifu --help
// Exit status: 0 done, 1 bad data (a database error, an unknown game, a file
// an import could not read), 2 bad usage or an unreadable input file; every
// error is one line on stderr.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "records/record_file.h"
#include "tools/kifu/command.h"

namespace kirobaku::kifu {
namespace {

// Every command of the tool, in the order --help lists them.
std::vector<const Command*> AllCommands() {
  std::vector<const Command*> all;
  for (const Command& c : RecordFileCommands())
    all.push_back(&c);
  for (const Command& c : DatabaseCommands())
    all.push_back(&c);
  for (const Command& c : EngineCommands())
    all.push_back(&c);
  return all;
}

void PrintHelp(std::ostream& out) {
  out << "Usage: kifu COMMAND [ARGS]\n"
         "Game records (SGF and UGF files) as Kirobaku reads them, and its game-record\n"
         "database (a folder DB with the tables kifulist and kifudata), without a window.\n"
         "\nCommands:\n";
  for (const Command* c : AllCommands()) {
    out << "  kifu " << c->name << ' ' << c->synopsis << '\n' << c->help;
  }
  out << "  kifu --help\n"
         "    Prints this text.\n"
         "\nExit status: 0 done; 1 bad data: a database error, an unknown game number, or\n"
         "a file that import could not read; 2 bad usage or an unreadable input file.\n";
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) throw UsageError("no command given (see kifu --help)");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(std::cout);
    return kExitOk;
  }
  for (const Command* c : AllCommands()) {
    if (args[0] != c->name) continue;
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const std::string& a : rest) {
      if (a == "--help") {
        std::cout << "Usage: kifu " << c->name << ' ' << c->synopsis << '\n' << c->help;
        return kExitOk;
      }
    }
    return c->run(rest, std::cout);
  }
  throw UsageError("unknown command \"" + args[0] + "\" (see kifu --help)");
}

// An error message as one line: line breaks in engine messages become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace
}  // namespace kirobaku::kifu

int main(int argc, char** argv) {
  using namespace kirobaku::kifu;
  try {
    const int status = Run(std::vector<std::string>(argv + 1, argv + argc));
    // A full disk or a closed pipe must not pass for a complete output.
    if (!std::cout.flush()) {
      std::cerr << "kifu: cannot write the output\n";
      return kExitBadData;
    }
    return status;
  } catch (const UsageError& e) {
    std::cerr << "kifu: " << OneLine(e.what()) << '\n';
    return kExitUsage;
  } catch (const kirobaku::RecordFileError& e) {
    std::cerr << "kifu: " << OneLine(e.what()) << '\n';
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "kifu: " << OneLine(e.what()) << '\n';
    return kExitBadData;
  }
}
