// The SGF writer: one stored game as a Smart Game Format text that this
// program's SGF reader, and any SGF reader, reads back.
//
// (;FF[4]GM[1]SZ[19]CA[UTF-8]GC[comment]AB[..]..AW[..]..;B[pd];W[dp]...)
//  - The comment (CP932 bytes) is converted to UTF-8, "]" and "\" escaped.
//  - Setup stones (move number 0) become AB (black) and AW (white) in the
//    root node. The program's reader takes black setup stones only.
//  - Moves follow in record order, one node each. Where the move numbers skip
//    (a pass, or a move the reader could not place), a pass node B[] or W[]
//    stands for each missing number, so that reading the text back numbers
//    every move as stored. Its colour is the one the alternation of colours
//    gives it counted back from the next stored move (a handicap game whose
//    first move is White's pass starts W[];B[..]), since a reader that
//    alternates would otherwise skip that move. Moves of one colour only (a
//    game of one stored move) end with a pass of the other colour, since such
//    a reader starts only where both colours have a node. An entry whose number does
//    not follow the one before (a variation written into the record) is
//    written as the next node.
#pragma once

#include <string>
#include <string_view>

#include "board/game_state.h"

namespace kirobaku {

std::string WriteSgfText(std::string_view comment_cp932, const Record& record);

}  // namespace kirobaku
