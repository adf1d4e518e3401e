#include "gtp/engine_study.h"

#include <cstdio>
#include <memory>

namespace kirobaku::gtp {

namespace {

// The position a question was asked about; an answer about another is dropped.
struct Asked {
  std::int32_t position;
  std::int32_t moveNumber;
  Record record;
  bool operator==(const Asked&) const = default;
};

Asked AskedOf(const GameState& game) {
  return {game.Position, game.MoveNumber, game.MoveRecord};
}

}  // namespace

std::string LeadText(double blackLead) {
  if (blackLead == 0) return "互角";
  char number[32];
  std::snprintf(number, sizeof number, "%.1f", blackLead < 0 ? -blackLead : blackLead);
  return std::string(blackLead > 0 ? "黒" : "白") + " " + number + " 目リード";
}

bool EngineStudy::CanSend(const char* what) {
  if (session_.Busy()) {
    game_.View->ShowMessage("コンピュータが考えています。応答を待ってください。");
    return false;
  }
  if (game_.Mode == kModeGomoku || game_.MovingEntry > 0 || game_.FigureShown ||
      !BoardShowsRecord(game_)) {
    game_.View->ShowMessage(std::string("盤面が棋譜の局面ではないため（五目、死石の除去、石の移動中など）、") +
                            what + "を調べられません。");
    return false;
  }
  return true;
}

void EngineStudy::Failed(const std::string& message) {
  game_.View->SetStatusText(0, "");
  game_.View->ShowMessage(message);
}

void EngineStudy::Suggest() {
  if (!CanSend("次の一手")) return;
  const Asked asked = AskedOf(game_);
  const StoneColour colour = game_.ToPlay;
  auto failed = [this](const std::string& m) { Failed(m); };
  game_.View->SetStatusText(0, "次の一手を考えています…");
  session_.SyncTo(PositionMoves(game_), [this, asked, colour, failed] {
    session_.Suggest(colour, [this, asked, colour](const EngineMove& move) {
      if (AskedOf(game_) != asked) return;
      const std::string who = colour == kBlack ? "黒" : "白";
      if (move.resign) {
        game_.View->SetStatusText(0, "次の一手：" + who + "は投了です。");
      } else if (move.point == 0) {
        game_.View->SetStatusText(0, "次の一手：" + who + "はパスです。");
      } else if (game_.Board[move.point] != kEmpty) {
        game_.View->SetStatusText(0, "次の一手：" + who + " " + VertexText(move.point) +
                                         "（石のある点です。コンピュータの答えが正しくありません）");
      } else {
        game_.View->SetLabelColour(move.point, kSuggestionColour);
        game_.View->SetLabelCaption(move.point, kSuggestionMark);
        if (marked_) marked_(move.point);
        game_.View->SetStatusText(0, "次の一手：" + who + " " + VertexText(move.point) + "（" +
                                         kSuggestionMark + "）");
      }
    }, failed);
  }, failed);
}

void EngineStudy::Estimate() {
  if (!CanSend("形勢判断")) return;
  const Asked asked = AskedOf(game_);
  auto failed = [this](const std::string& m) { Failed(m); };
  game_.View->SetStatusText(0, "形勢判断をしています…");
  session_.SyncTo(PositionMoves(game_), [this, asked, failed] {
    session_.Estimate(true, [this, asked](double lead, std::vector<PointIndex> dead) {
      if (AskedOf(game_) != asked) return;
      // The marks of an earlier group go first, as a new marking replaces them.
      if (game_.DeadState > 0) {
        for (std::int32_t slot : game_.DeadList) {
          if (slot < 0) game_.View->SetLabelCaption(-slot, "");
        }
      }
      game_.DeadList.clear();
      for (PointIndex q : dead) {
        if (game_.Board[q] == kEmpty) continue;
        game_.DeadList.push_back(-q);
        game_.View->SetLabelCaption(q, "*");
      }
      game_.DeadState = game_.DeadList.empty() ? 0 : 1;
      std::string text = "形勢判断：" + LeadText(lead) + "（" + ScoreText(lead) + "）";
      if (!game_.DeadList.empty()) text += "。＊は死石です。";
      game_.View->SetStatusText(0, text);
    }, failed);
  }, failed);
}

}  // namespace kirobaku::gtp
