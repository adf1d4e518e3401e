// A board view for tests: remembers what the model showed, answers questions
// from a script, and counts sounds.
#pragma once

#include <array>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "board/board_view.h"
#include "board/game_state.h"

namespace kirobaku::test {

class FakeBoardView : public BoardView {
 public:
  std::array<StoneColour, kPointCount + 1> images{};
  std::array<std::string, kPointCount + 1> captions{};
  std::array<std::uint32_t, kPointCount + 1> colours{};
  std::string edit1 = "0";
  std::string edit2 = "0";
  std::array<std::string, 3> status{};
  std::vector<std::string> questions;
  std::deque<bool> answers;  // next answers; Yes when empty
  std::vector<int> sounds;
  std::vector<std::string> messages;
  int modeButton = 1;
  std::string yoseCaption = "出入計算";

  void ShowImage(PointIndex p, StoneColour colour) override { images.at(p) = colour; }
  void SetLabelCaption(PointIndex p, const std::string& caption) override {
    captions.at(p) = caption;
  }
  void SetLabelColour(PointIndex p, std::uint32_t rgb) override { colours.at(p) = rgb; }
  void SetEditText(int which, const std::string& text) override {
    (which == 1 ? edit1 : edit2) = text;
  }
  void SetStatusText(int panel, const std::string& text) override { status.at(panel) = text; }
  bool AskYesNo(const std::string& question) override {
    questions.push_back(question);
    if (answers.empty()) return true;
    const bool a = answers.front();
    answers.pop_front();
    return a;
  }
  bool AskYesCancel(const std::string& question) override { return AskYesNo(question); }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void SelectModeButton(int mode) override { modeButton = mode; }
  void SetYoseCaption(const std::string& caption) override { yoseCaption = caption; }
  void PlaySound(int k) override { sounds.push_back(k); }

  int LastSound() const { return sounds.empty() ? -1 : sounds.back(); }
  // The points whose label shows a caption.
  std::map<PointIndex, std::string> ShownCaptions() const {
    std::map<PointIndex, std::string> shown;
    for (PointIndex p = 1; p <= kPointCount; ++p) {
      if (!captions[p].empty()) shown[p] = captions[p];
    }
    return shown;
  }
};

// The board as 19 lines of 19 characters, row 0 first: '.' empty, 'X' black, 'O' white.
inline std::string DrawBoard(const std::array<StoneColour, kPointCount + 1>& board) {
  std::string out;
  for (int row = 0; row < kBoardSize; ++row) {
    for (int column = 0; column < kBoardSize; ++column) {
      const StoneColour c = board[PointAt(column, row)];
      out += c == kBlack ? 'X' : c == kWhite ? 'O' : '.';
    }
    out += '\n';
  }
  return out;
}

// Point from SGF-style letters: column letter then row letter, 'a' = 0.
inline PointIndex Sgf(const char* xy) {
  return PointAt(xy[0] - 'a', xy[1] - 'a');
}

}  // namespace kirobaku::test
