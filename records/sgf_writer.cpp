#include "records/sgf_writer.h"

#include "db/common/code_page.h"

namespace kirobaku {

namespace {

// "pd": column letter, then row letter, both from "a" at the top left.
std::string PointText(PointIndex p) {
  return {static_cast<char>('a' + ColumnOf(p)), static_cast<char>('a' + RowOf(p))};
}

std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string WriteSgfText(std::string_view comment_cp932, const Record& record) {
  // Appended piece by piece: GCC 12 at -O2 takes "literal" + std::string&&
  // for an overlapping copy (-Wrestrict).
  std::string root = "(;FF[4]GM[1]SZ[19]CA[UTF-8]GC[";
  root += Escaped(kura::Cp932ToUtf8(comment_cp932));
  root += ']';
  std::string black, white, moves;
  std::int32_t last = 0;
  for (std::size_t i = 1; i < record.size() && record[i].colour > 0; ++i) {
    const MoveEntry& e = record[i];
    if (!IsPoint(e.point) || !IsStoneColour(e.colour)) continue;
    if (e.move == 0) {
      std::string& setup = e.colour == kBlack ? black : white;
      setup += '[';
      setup += PointText(e.point);
      setup += ']';
      continue;
    }
    // The reader alternates colours from the first move on, so the move
    // `distance` numbers before this one has this move's colour when the
    // distance is even and the other colour when it is odd.
    for (std::int32_t pass = last + 1; pass < e.move; ++pass) {
      const bool same = (e.move - pass) % 2 == 0;
      const StoneColour colour = same ? e.colour : OtherColour(e.colour);
      moves += colour == kBlack ? ";B[]" : ";W[]";
    }
    moves += e.colour == kBlack ? ";B[" : ";W[";
    moves += PointText(e.point);
    moves += ']';
    last = e.move > last ? e.move : last + 1;
  }
  // A reader that alternates starts only where both colours have a node: a
  // game of one stored move ends with the other colour's pass.
  const bool blackNode = moves.find(";B[") != std::string::npos;
  const bool whiteNode = moves.find(";W[") != std::string::npos;
  if (blackNode != whiteNode) moves += blackNode ? ";W[]" : ";B[]";
  if (!black.empty()) root.append("AB").append(black);
  if (!white.empty()) root.append("AW").append(white);
  root += moves;
  root += ")\n";
  return root;
}

}  // namespace kirobaku
