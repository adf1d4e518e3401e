#include "tools/kifu/game_text.h"

#include <charconv>

#include "db/common/code_page.h"
#include "records/record_file.h"
#include "tools/kifu/command.h"

namespace kirobaku::kifu {

namespace {

char StoneChar(StoneColour c) {
  return c == kBlack ? 'X' : c == kWhite ? 'O' : '.';
}

}  // namespace

std::int32_t ParseNumberArgument(const std::string& text, std::int32_t minimum,
                                 const std::string& wanted) {
  std::int32_t n = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, n);
  if (text.empty() || ec != std::errc() || ptr != end || n < minimum) {
    throw UsageError(wanted + ", not \"" + text + "\"");
  }
  return n;
}

std::int32_t ParseMoveNumber(const std::string& text) {
  return ParseNumberArgument(text, 0, "--move needs a move number 0 or above");
}

void PrintGame(std::ostream& out, std::string_view comment_cp932, const Record& record,
               std::int32_t move) {
  NullBoardView view;
  GameState game(view);
  game.ResetGame();
  game.MoveRecord = record;
  game.ReplayTo(move, 1);
  out << "comment: " << kura::Cp932ToUtf8(comment_cp932) << '\n';
  out << "entries: " << CountEntries(game.MoveRecord) << '\n';
  out << "position: " << game.Position << " move: " << game.MoveNumber
      << " to-play: " << game.ToPlay << '\n';
  for (int row = 0; row < kBoardSize; ++row) {
    std::string line;
    for (int column = 0; column < kBoardSize; ++column) {
      line += StoneChar(game.Board[PointAt(column, row)]);
    }
    out << line << '\n';
  }
  out << "captured: black=" << game.CapturedBlack << " white=" << game.CapturedWhite << '\n';
}

}  // namespace kirobaku::kifu
