// kifu show / kifu entries: what an SGF or UGF file holds, read by the same
// readers the program imports with and replayed on a headless board.
#include <cstdint>

#include "board/game_state.h"
#include "records/record_file.h"
#include "tools/kifu/command.h"
#include "tools/kifu/game_text.h"

namespace kirobaku::kifu {

namespace {

struct ShowArgs {
  std::string file;
  std::int32_t move = 0;
};

ShowArgs ParseShowArgs(const std::vector<std::string>& args) {
  ShowArgs parsed;
  bool haveFile = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--move") {
      if (i + 1 >= args.size()) throw UsageError("--move needs a move number");
      parsed.move = ParseMoveNumber(args[++i]);
    } else if (args[i].starts_with("--move=")) {
      parsed.move = ParseMoveNumber(args[i].substr(7));
    } else if (args[i].starts_with("-") && args[i] != "-") {
      throw UsageError("show: unknown option \"" + args[i] + "\"");
    } else if (haveFile) {
      throw UsageError("show takes one file");
    } else {
      parsed.file = args[i];
      haveFile = true;
    }
  }
  if (!haveFile) throw UsageError("show needs a file");
  return parsed;
}

std::string OneFile(const std::vector<std::string>& args, const char* command) {
  if (args.size() != 1) throw UsageError(std::string(command) + " needs exactly one file");
  return args[0];
}

// Reads the file onto a fresh game. Unknown file kinds are bad usage.
std::string Load(const std::string& file, GameState& game) {
  game.ResetGame();
  if (FormatOfFileName(file) == RecordFormat::kUnknown) {
    throw UsageError("\"" + file + "\" is neither an .sgf nor a .ugf file");
  }
  return ReadGameRecord(file, game.MoveRecord);
}

int Show(const std::vector<std::string>& args, std::ostream& out) {
  const ShowArgs parsed = ParseShowArgs(args);
  NullBoardView view;
  GameState game(view);
  const std::string comment = Load(parsed.file, game);
  PrintGame(out, comment, game.MoveRecord, parsed.move);
  return kExitOk;
}

int Entries(const std::vector<std::string>& args, std::ostream& out) {
  NullBoardView view;
  GameState game(view);
  Load(OneFile(args, "entries"), game);
  const std::int32_t n = CountEntries(game.MoveRecord);
  for (std::int32_t i = 1; i <= n; ++i) {
    const MoveEntry& e = game.MoveRecord[i];
    out << i << ' ' << e.move << ' ' << e.colour << ' ' << e.point << '\n';
  }
  return kExitOk;
}

constexpr Command kCommands[] = {
    {"show", "FILE [--move N]",
     "    Reads FILE (.sgf or .ugf, letter case ignored) as the program imports it,\n"
     "    replays it up to move N (0, the default: as far as the record goes) and\n"
     "    prints the comment, the number of entries, the position, the board (row 0\n"
     "    first; '.' empty, 'X' black, 'O' white) and the stones captured.\n",
     Show},
    {"entries", "FILE",
     "    Prints the record entries read from FILE, one per line:\n"
     "    <entry> <move number> <colour> <point> (move number 0 for a setup stone;\n"
     "    colour 1 black, 2 white; point 1..361 numbered down each column).\n",
     Entries},
};

}  // namespace

std::span<const Command> RecordFileCommands() {
  return kCommands;
}

}  // namespace kirobaku::kifu
