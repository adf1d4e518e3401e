// The SGF writer: one stored game as a Smart Game Format text that this
// program's SGF reader, and any SGF reader, reads back.
//
// (;FF[4]GM[1]SZ[19]CA[UTF-8]GC[comment]AB[..]..AW[..]..;B[pd];W[dp]...)
//  - The comment (CP932 bytes) is converted to UTF-8, "]" and "\" escaped.
//  - Setup stones (move number 0) become AB (black) and AW (white) in the
//    root node. The program's reader takes black setup stones only.
//  - Moves follow in record order, one node each. Where the move numbers skip
//    (a pass, or a move the reader could not place), a pass node B[] or W[]
//    of the colour between stands for each missing number, so that reading
//    the text back numbers every move as stored. An entry whose number does
//    not follow the one before (a variation written into the record) is
//    written as the next node.
#pragma once

#include <string>
#include <string_view>

#include "board/game_state.h"

namespace kirobaku {

std::string WriteSgfText(std::string_view comment_cp932, const Record& record);

}  // namespace kirobaku
