// The main line of an SGF game as (colour, point) pairs, for tests and
// benchmarks that replay real games. Only what they need: B[xy] and W[xy] of the
// nodes before the first closing parenthesis (the main line is the first
// variation at every fork); passes and other properties are left out.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "board/types.h"

namespace kirobaku::test {

using SgfMove = std::pair<StoneColour, PointIndex>;

inline std::vector<SgfMove> SgfMainLine(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<SgfMove> moves;
  bool inValue = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inValue) {
      if (c == '\\') ++i;
      if (c == ']') inValue = false;
      continue;
    }
    if (c == ')') break;
    if (c == '[') {
      inValue = true;
      // A move is "B[xy]" or "W[xy]" right after ';' or whitespace.
      const char property = i > 0 ? text[i - 1] : ' ';
      const char before = i > 1 ? text[i - 2] : ';';
      const bool isMove = (property == 'B' || property == 'W') &&
                          (before == ';' || before == ' ' || before == '\n' || before == '\r');
      if (isMove && i + 3 < text.size() && text[i + 3] == ']') {
        const int column = text[i + 1] - 'a';
        const int row = text[i + 2] - 'a';
        if (column >= 0 && column < kBoardSize && row >= 0 && row < kBoardSize) {
          moves.emplace_back(property == 'B' ? kBlack : kWhite, PointAt(column, row));
        }
      }
    }
  }
  return moves;
}

}  // namespace kirobaku::test
