// The screen as the board model sees it: the main window implements this, tests
// fake it. Every call is display or user interaction only; the model's state is
// already up to date when a call is made.
#pragma once

#include <cstdint>
#include <string>

#include "board/types.h"

namespace kirobaku {

// Font colours of the number labels, as 0xRRGGBB.
inline constexpr std::uint32_t kLabelWhite = 0xFFFFFF;
inline constexpr std::uint32_t kLabelBlack = 0x000000;

// Sounds the model asks for: 0 the click ("Oto1.wav"), 2 the refusal ("bubuu.wav").
inline constexpr int kSoundClick = 0;
inline constexpr int kSoundRefusal = 2;

class BoardView {
 public:
  virtual ~BoardView() = default;

  // Shows the stone picture of colour (1 black, 2 white) in the image of p, or
  // clears it (colour 0). The picture is read from its file each time.
  virtual void ShowImage(PointIndex p, StoneColour colour) = 0;
  // Sets the caption of the label of p (UTF-8; empty clears it).
  virtual void SetLabelCaption(PointIndex p, const std::string& caption) = 0;
  // Sets the font colour (0xRRGGBB) of the label of p.
  virtual void SetLabelColour(PointIndex p, std::uint32_t rgb) = 0;
  // Sets the text of Edit1 (which = 1, Black's prisoners) or Edit2 (which = 2).
  virtual void SetEditText(int which, const std::string& text) = 0;
  // Sets the text of status-bar panel 0, 1 or 2 (UTF-8).
  virtual void SetStatusText(int panel, const std::string& text) = 0;
  // Asks a Yes/No question (UTF-8, "\r\n" a line break); true for Yes.
  virtual bool AskYesNo(const std::string& question) = 0;
  // Asks a question with the buttons Yes and Cancel; true unless Cancel.
  virtual bool AskYesCancel(const std::string& question) = 0;
  // Shows an information box with one OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // Selects the mode radio button of mode (1..4) without running its action.
  virtual void SelectModeButton(int mode) = 0;
  // Sets the caption of the yose button (出入計算 / 黒番処理 / 白番処理).
  virtual void SetYoseCaption(const std::string& caption) = 0;
  // Plays sound k (kSoundClick or kSoundRefusal) without waiting for its end.
  virtual void PlaySound(int k) = 0;
};

// A view that shows nothing and answers every question with Yes; for headless
// replays (the kifu tool) and as a base for test fakes.
class NullBoardView : public BoardView {
 public:
  void ShowImage(PointIndex, StoneColour) override {}
  void SetLabelCaption(PointIndex, const std::string&) override {}
  void SetLabelColour(PointIndex, std::uint32_t) override {}
  void SetEditText(int, const std::string&) override {}
  void SetStatusText(int, const std::string&) override {}
  bool AskYesNo(const std::string&) override { return true; }
  bool AskYesCancel(const std::string&) override { return true; }
  void ShowMessage(const std::string&) override {}
  void SelectModeButton(int) override {}
  void SetYoseCaption(const std::string&) override {}
  void PlaySound(int) override {}
};

}  // namespace kirobaku
