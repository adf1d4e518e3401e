#include "gtp/engine_match.h"

#include <cstdio>
#include <memory>

namespace kirobaku::gtp {

namespace {

std::string Points(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value < 0 ? -value : value);
  return text;
}

const char* ColourName(StoneColour c) {
  return c == kBlack ? "黒" : "白";
}

// A view that keeps what panel 0 was given and answers Yes.
class CountView : public NullBoardView {
 public:
  void SetStatusText(int panel, const std::string& text) override {
    if (panel == 0) status = text;
  }
  std::string status;
};

// The program's territory count (地の計算) of the board with the engine's dead
// stones taken off as dead-group removal takes them: counted as captured.
std::string OwnCount(const GameState& game, const std::vector<PointIndex>& dead) {
  CountView view;
  auto copy = std::make_unique<GameState>(game);
  copy->View = &view;
  for (PointIndex q : dead) {
    if (!IsPoint(q) || copy->Board[q] == kEmpty) continue;
    (copy->Board[q] == kBlack ? copy->CapturedBlack : copy->CapturedWhite) += 1;
    copy->Board[q] = kEmpty;
  }
  copy->Mode = kModeEnd;
  copy->CountTerritory();
  return "地の計算：" + view.status;
}

}  // namespace

std::vector<PointIndex> OwnHandicapStones(int handicap) {
  static const char* const kOrder[] = {"Q16", "D4", "Q4", "D16", "K10"};
  std::vector<const char*> names;
  if (handicap < 2) return {};
  if (handicap <= 5) {
    names.assign(kOrder, kOrder + handicap);
  } else {
    names = {"Q16", "D4", "Q4", "D16", "D10", "Q10"};
    if (handicap >= 8) {
      names.push_back("K4");
      names.push_back("K16");
    }
    if (handicap == 7 || handicap == 9) names.push_back("K10");
  }
  std::vector<PointIndex> points;
  for (const char* n : names)
    points.push_back(*ParseVertex(n));
  return points;
}

std::string ResultText(double blackLead) {
  if (blackLead == 0) return "  持碁";
  return std::string("  ") + ColourName(blackLead > 0 ? kBlack : kWhite) + Points(blackLead) +
         "目勝ち";
}

std::string ResignResult(StoneColour winner) {
  return std::string("  ") + ColourName(winner) + "中押し勝ち";
}

void ApplyPass(GameState& game) {
  game.MoveNumber += 1;
  game.ToPlay = OtherColour(game.ToPlay);
  game.KoPoint = 0;
}

std::string EngineMatch::EngineName() const {
  const std::string name = session_.Name().empty() ? "コンピュータ" : session_.Name();
  return name + " レベル" + std::to_string(session_.Settings().level);
}

std::string EngineMatch::Comment(const std::string& result) const {
  const std::string black = settings_.user == kBlack ? settings_.userName : EngineName();
  const std::string white = settings_.user == kWhite ? settings_.userName : EngineName();
  return "黒：" + black + " × 白：" + white + result;
}

EngineMatch::Snapshot EngineMatch::Take() const {
  return {game_.Position, game_.MoveNumber, game_.MoveRecord};
}

void EngineMatch::Prompt(const std::string& before) {
  state_ = State::kUsersTurn;
  game_.View->SetStatusText(0, before + "あなたの番です（" + ColourName(game_.ToPlay) + "）。");
}

void EngineMatch::Start(const MatchSettings& settings) {
  if (session_.Busy()) {
    game_.View->ShowMessage("コンピュータが考えています。応答を待ってください。");
    return;
  }
  settings_ = settings;
  if (settings_.handicap < 2) settings_.handicap = 0;
  if (settings_.handicap > 9) settings_.handicap = 9;
  passes_ = 0;
  state_ = State::kWaiting;
  const std::uint64_t turn = ++turn_;
  game_.View->SetStatusText(0, "コンピュータを準備しています…");
  session_.NewGame(
      settings_.handicap, settings_.engineHandicap, OwnHandicapStones(settings_.handicap),
      [this, turn](std::vector<PointIndex> stones) {
        if (turn != turn_) return;
        // The board is cleared once the engine is ready: an engine that
        // cannot start leaves the game on the board alone.
        if (game_.Mode == kModeEnd) game_.SelectGameOrFree(kModeGame);
        game_.View->SelectModeButton(kModeGame);
        game_.Mode = kModeGame;
        game_.ClearGame();
        game_.View->SetStatusText(1, "コンピュータと対局中");
        for (PointIndex p : stones)
          game_.PlaceFree(p, MouseButton::kLeft);
        if (stones.empty()) game_.ToPlay = kBlack;
        if (game_.ToPlay == EngineColour()) {
          EngineTurn();
        } else {
          Prompt("");
        }
      },
      [this, turn](const std::string& message) {
        if (turn == turn_) Fail(message);
      });
}

void EngineMatch::UserPlayed() {
  if (state_ != State::kUsersTurn) return;
  passes_ = 0;
  if (game_.ToPlay == EngineColour()) EngineTurn();
}

void EngineMatch::UserPassed() {
  if (state_ != State::kUsersTurn) return;
  if (game_.ToPlay != settings_.user || game_.Mode != kModeGame) {
    game_.View->SetStatusText(0, "あなたの番ではありません。");
    return;
  }
  ApplyPass(game_);
  passes_ += 1;
  if (passes_ >= 2) {
    EndByPasses();
    return;
  }
  game_.View->SetStatusText(0, std::string(ColourName(settings_.user)) + "はパスしました。");
  EngineTurn();
}

void EngineMatch::UserResigned() {
  if (state_ == State::kIdle) return;
  ++turn_;  // an answer in flight no longer counts
  if (session_.Busy()) session_.Stop();
  MatchResult result;
  result.finished = true;
  result.result = ResignResult(EngineColour());
  result.summary = std::string(ColourName(settings_.user)) + "の投了です。" +
                   ColourName(EngineColour()) + "の中押し勝ちです。";
  Finish(result);
}

void EngineMatch::EngineMoves() {
  if (state_ != State::kUsersTurn) return;
  if (game_.ToPlay != EngineColour() || game_.Mode != kModeGame) {
    game_.View->SetStatusText(0, "コンピュータの番ではありません。");
    return;
  }
  EngineTurn();
}

void EngineMatch::Abandon() {
  if (state_ == State::kIdle) return;
  ++turn_;
  if (session_.Busy()) session_.Stop();
  MatchResult result;
  result.summary = "対局を中止しました。";
  Finish(result);
}

void EngineMatch::EngineTurn() {
  if (game_.Position >= kRecordSize) {
    Fail("棋譜が " + std::to_string(kRecordSize) + " 手に達したため、対局を終えます。");
    return;
  }
  if (!BoardShowsRecord(game_)) {
    // A lifted stone or removed groups: the game goes on once the board shows
    // the record again (コンピュータが打つ).
    state_ = State::kUsersTurn;
    game_.View->SetStatusText(0, "盤面が棋譜と一致しないため、コンピュータに局面を伝えられません。");
    return;
  }
  if (session_.Busy()) {
    // The engine is answering a question about a position (次の一手, 形勢判断).
    state_ = State::kUsersTurn;
    game_.View->SetStatusText(0, "コンピュータが質問に答えています。答えのあとで「コンピュータが打つ」を選んでください。");
    return;
  }
  state_ = State::kWaiting;
  const std::uint64_t turn = ++turn_;
  const Snapshot before = Take();
  game_.View->SetStatusText(0, "コンピュータが考えています…");
  auto failed = [this, turn](const std::string& message) {
    if (turn == turn_) Fail(message);
  };
  session_.SyncTo(PositionMoves(game_), [this, turn, before, failed] {
    if (turn != turn_) return;
    session_.Genmove(EngineColour(), [this, turn, before](const EngineMove& move) {
      if (turn == turn_) Apply(move, before);
    }, failed);
  }, failed);
}

void EngineMatch::Apply(const EngineMove& move, const Snapshot& before) {
  const std::string engine = ColourName(EngineColour());
  if (Take() != before || game_.Mode != kModeGame || game_.ToPlay != EngineColour() ||
      game_.FigureShown || game_.MovingEntry > 0 || !BoardShowsRecord(game_)) {
    // The user went elsewhere while the engine thought (navigation, another
    // game, the printed figure, a lifted stone): its move belongs to a
    // position no longer shown.
    Prompt("局面が変わったため、コンピュータの手は打ちませんでした。");
    return;
  }
  if (move.resign) {
    MatchResult result;
    result.finished = true;
    result.result = ResignResult(settings_.user);
    result.summary =
        "コンピュータ（" + engine + "）が投了しました。" + ColourName(settings_.user) + "の中押し勝ちです。";
    Finish(result);
    return;
  }
  if (move.point == 0) {
    ApplyPass(game_);
    passes_ += 1;
    if (passes_ >= 2) {
      EndByPasses();
      return;
    }
    Prompt("コンピュータ（" + engine + "）はパスしました。");
    return;
  }
  const std::string vertex = VertexText(move.point);
  if (game_.Board[move.point] == kEmpty) {
    // The engine's move never asks to overwrite: it continues the line the
    // user chose.
    game_.OverwriteConfirmed = 1;
    game_.PlayMove(move.point);
  }
  const MoveEntry& placed = game_.EntryAt(game_.Position);
  if (game_.Position != before.position + 1 || placed.point != move.point ||
      placed.colour != EngineColour()) {
    session_.Stop();
    Fail("コンピュータの手 " + vertex + " は打てない手（石のある点、コウ、自殺手）のため、対局を終えます。");
    return;
  }
  passes_ = 0;
  Prompt("コンピュータ（" + engine + "）は " + vertex + "。");
}

void EngineMatch::EndByPasses() {
  state_ = State::kWaiting;
  const std::uint64_t turn = ++turn_;
  game_.View->SetStatusText(0, "双方パスで終局です。コンピュータが計算しています…");
  auto failed = [this, turn](const std::string& message) {
    if (turn != turn_) return;
    MatchResult result;
    result.finished = true;
    result.summary = "双方パスで終局しました。" + message;
    Finish(result);
  };
  const bool ownCount = settings_.ownCount;
  session_.SyncTo(PositionMoves(game_), [this, turn, ownCount, failed] {
    if (turn != turn_) return;
    session_.FinalScore(ownCount, [this, turn, ownCount](double lead, std::vector<PointIndex> dead) {
      if (turn != turn_) return;
      MatchResult result;
      result.finished = true;
      result.result = ResultText(lead);
      result.summary = "終局：" + result.result.substr(2) + "です（コンピュータの計算 " +
                       ScoreText(lead) + "）。";
      if (ownCount) result.summary += "\r\n" + OwnCount(game_, dead);
      Finish(result);
    }, failed);
  }, failed);
}

void EngineMatch::Finish(MatchResult result) {
  state_ = State::kIdle;
  result.comment = Comment(result.result);
  // Panel 1 goes back to the activity the board has (a variation under study).
  game_.View->SetStatusText(1, game_.VariationActive != 0 ? "変化手順の検討中" : "");
  game_.View->SetStatusText(0, result.summary);
  if (ended_) ended_(result);
}

void EngineMatch::Fail(const std::string& message) {
  ++turn_;
  state_ = State::kIdle;
  MatchResult result;
  result.summary = message + "\r\n盤上の対局はそのまま残っています。";
  Finish(result);
}

}  // namespace kirobaku::gtp
