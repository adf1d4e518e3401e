// A game against the engine on the program's game state. The user's moves are
// the board's own (a click in game mode runs PlayMove); the engine's replies go
// through PlayMove too, so captures, ko and suicide are the board's rules for
// both sides. A pass is a move number with no record entry (the record's way
// of writing passes: the numbers skip). The engine is asked for a move only
// when the user has moved and it is the engine's colour to play; it is first
// brought to the position the board shows (PositionMoves), so stepping back
// and playing on from an earlier move works.
//
// The game ends by two passes in a row (final_score; with ownCount also the
// program's territory count of the position without the engine's dead
// stones), by a resignation, or unfinished: by an illegal engine move, a full
// record, an engine failure, or when abandoned. The board keeps the game in
// every case; `ended` is told the result and the comment the game is stored
// with, in the form the SGF and UGF readers give: "黒：A × 白：B  黒12.5目勝ち".
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "board/game_state.h"
#include "gtp/engine_session.h"

namespace kirobaku::gtp {

struct MatchSettings {
  StoneColour user = kBlack;   // the user's colour
  int handicap = 0;            // 0, or 2..9 black stones (1 counts as none)
  bool engineHandicap = true;  // the engine's fixed handicap, else the program's star points
  bool ownCount = false;       // also the program's own territory count at the end
  std::string userName = "あなた";  // UTF-8

  bool operator==(const MatchSettings&) const = default;
};

struct MatchResult {
  bool finished = false;  // two passes or a resignation
  std::string result;     // readers' form: "  黒12.5目勝ち", "  白中押し勝ち", "  持碁"; may be empty
  std::string summary;    // the sentence shown at the end (UTF-8)
  std::string comment;    // "黒：… × 白：…" + result (UTF-8)
};

// The handicap stones the program itself places: star points in the
// traditional order (2: Q16 D4; 3 adds Q4; 4 D16; 5 the centre; 6: the four
// corners and the two side stars D10 Q10; 7 the centre; 8: the four corners,
// the four side stars; 9 the centre). Empty for fewer than 2.
std::vector<PointIndex> OwnHandicapStones(int handicap);
// The result in the readers' form for Black's lead (0: 持碁).
std::string ResultText(double blackLead);
std::string ResignResult(StoneColour winner);
// A pass in the game state: the move number moves on, the other colour plays,
// no ko is pending. Nothing is recorded.
void ApplyPass(GameState& game);

class EngineMatch {
 public:
  using Ended = std::function<void(const MatchResult&)>;

  EngineMatch(GameState& game, EngineSession& session, Ended ended)
      : game_(game), session_(session), ended_(std::move(ended)) {}

  // Once the engine is ready: clears the board (the game before comes back
  // with その他 → 元に戻す), game mode, the handicap stones, and the engine's
  // first move when it has Black (or White in a handicap game).
  void Start(const MatchSettings& settings);
  bool Active() const { return state_ != State::kIdle; }
  // The engine is starting, thinking or counting: the board waits.
  bool Waiting() const { return state_ == State::kWaiting; }
  StoneColour EngineColour() const { return OtherColour(settings_.user); }
  const MatchSettings& Settings() const { return settings_; }

  // The user's click put a stone of their colour on the board.
  void UserPlayed();
  // The user passes; refused when it is not their turn.
  void UserPassed();
  // The user resigns; the engine wins.
  void UserResigned();
  // The engine moves now, in the position shown, when its colour is to play.
  void EngineMoves();
  // Ends the game unfinished (the engine's answer in flight is dropped).
  void Abandon();

 private:
  enum class State { kIdle, kWaiting, kUsersTurn };
  struct Snapshot {
    std::int32_t position = 0;
    std::int32_t moveNumber = 0;
    Record record{};
    bool operator==(const Snapshot&) const = default;
  };

  Snapshot Take() const;
  void EngineTurn();
  void Apply(const EngineMove& move, const Snapshot& before);
  void EndByPasses();
  void Finish(MatchResult result);
  void Fail(const std::string& message);
  void Prompt(const std::string& before);
  std::string EngineName() const;
  std::string Comment(const std::string& result) const;

  GameState& game_;
  EngineSession& session_;
  Ended ended_;
  MatchSettings settings_;
  State state_ = State::kIdle;
  int passes_ = 0;         // passes in a row
  std::uint64_t turn_ = 0;  // counts engine requests; an answer to an older one is dropped
};

}  // namespace kirobaku::gtp
