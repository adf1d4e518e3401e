// A game as `kifu show` and `kifu load` print it: the comment (UTF-8), the
// number of entries, the position after replaying up to a move, the board and
// the stones captured. Both commands print through here, so that a game read
// from a file and the same game read back from the database print alike.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "board/game_state.h"

namespace kirobaku::kifu {

// A number given on the command line, `minimum` or above; otherwise a
// UsageError that says `wanted` (what the argument must be) and what it was.
std::int32_t ParseNumberArgument(const std::string& text, std::int32_t minimum,
                                 const std::string& wanted);
// A move number given on the command line: 0 or above.
std::int32_t ParseMoveNumber(const std::string& text);

// Replays record up to move (0: as far as it goes) on a headless board and
// prints the game. comment_cp932 is the list comment as stored.
void PrintGame(std::ostream& out, std::string_view comment_cp932, const Record& record,
               std::int32_t move);

}  // namespace kirobaku::kifu
