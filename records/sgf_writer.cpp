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
  std::string root =
      "(;FF[4]GM[1]SZ[19]CA[UTF-8]GC[" + Escaped(kura::Cp932ToUtf8(comment_cp932)) + "]";
  std::string black, white, moves;
  std::int32_t last = 0;
  StoneColour previous = kWhite;  // the colour of the node before; black opens
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
    for (std::int32_t pass = last + 1; pass < e.move; ++pass) {
      previous = OtherColour(previous);
      moves += previous == kBlack ? ";B[]" : ";W[]";
    }
    moves += (e.colour == kBlack ? ";B[" : ";W[") + PointText(e.point) + "]";
    previous = e.colour;
    last = e.move > last ? e.move : last + 1;
  }
  if (!black.empty()) root += "AB" + black;
  if (!white.empty()) root += "AW" + white;
  return root + moves + ")\n";
}

}  // namespace kirobaku
