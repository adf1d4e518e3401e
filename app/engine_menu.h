// The menu コンピュータ of the main window, after the window's own menus: games
// against a GTP engine (対局開始, パス, 投了, コンピュータが打つ, 対局中止) and its
// second opinion on the position shown (次の一手, 形勢判断), and the engine's
// settings (設定), kept between runs in "Kirobaku.ini" in the program's folder.
//
// While a game runs, a press on the board while the engine starts, thinks,
// counts or answers a question is refused with a note in panel 0; a click that puts a stone of the
// user's colour on the board in game mode is the user's move, and the engine
// answers it. The suggestion mark goes at the next press in the window.
// At the end the result is shown and the game may be stored in the
// game-record database.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "app/engine_dialog.h"
#include "gtp/engine_match.h"
#include "gtp/engine_session.h"
#include "gtp/engine_study.h"

namespace kirobaku {

class TForm2;

class EngineMenu : public QObject {
 public:
  explicit EngineMenu(TForm2& form);
  ~EngineMenu() override;

  // The settings file; by default "Kirobaku.ini" beside the program.
  void SetSettingsFile(const QString& path);
  EnginePreferences Preferences();
  gtp::EngineSession& Session() { return session_; }
  gtp::EngineMatch& Match() { return match_; }

  // --- Handlers ---------------------------------------------------------------
  void CPTaikyokuClick();  // 対局開始…
  void CPPassClick();      // パス
  void CPToryoClick();     // 投了
  void CPUchiClick();      // コンピュータが打つ
  void CPChushiClick();    // 対局中止
  void CPTsugiClick();     // 次の一手
  void CPKeiseiClick();    // 形勢判断
  void CPSetteiClick();    // 設定…

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void createMenu();
  void savePreferences(const EnginePreferences& p);
  // Asks the dialog; false when cancelled.
  bool askPreferences(bool startGame);
  bool inMatch();
  void afterBoardClick(std::int32_t position);
  void matchEnded(const gtp::MatchResult& result);
  void clearSuggestion();

  TForm2& form_;
  QString settingsFile_;
  std::unique_ptr<EnginePreferences> preferences_;  // read at first use
  gtp::EngineSession session_;
  gtp::EngineMatch match_;
  gtp::EngineStudy study_;
  PointIndex suggestion_ = 0;  // the point showing the suggestion mark
};

}  // namespace kirobaku
