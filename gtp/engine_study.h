// A second opinion on the position the board shows (after navigation, in a
// variation): the engine is brought to it (PositionMoves) and asked.
//  次の一手 (Suggest): the engine's move for the colour to play, not played;
//    panel 0 names it and the label of its point shows kSuggestionMark.
//  形勢判断 (Estimate): the engine's score estimate in panel 0, and its dead
//    stones marked "*" as dead-group marking marks a group (DeadList, DeadState
//    1), so that キャンセル takes the marks away and, in end-of-game mode, a
//    click on a marked stone removes them all.
// A board that is not the record's replay (gomoku, removed dead groups, a
// lifted stone, the printed figure) is refused with a message.
#pragma once

#include <functional>
#include <string>

#include "board/game_state.h"
#include "gtp/engine_session.h"

namespace kirobaku::gtp {

inline constexpr const char* kSuggestionMark = "◎";
inline constexpr std::uint32_t kSuggestionColour = 0xE00000;

class EngineStudy {
 public:
  // `marked` is told the point that shows the suggestion mark (to take it away later).
  EngineStudy(GameState& game, EngineSession& session, std::function<void(PointIndex)> marked)
      : game_(game), session_(session), marked_(std::move(marked)) {}

  void Suggest();
  void Estimate();

 private:
  // Whether the position can be sent; says why not in a message box.
  bool CanSend(const char* what);
  void Failed(const std::string& message);

  GameState& game_;
  EngineSession& session_;
  std::function<void(PointIndex)> marked_;
};

// "黒 12.5 目リード" for Black's lead (negative: White's), "互角" for 0.
std::string LeadText(double blackLead);

}  // namespace kirobaku::gtp
