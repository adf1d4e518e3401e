// The settings of games against the computer and of its engine, as a modal
// dialog: the user's colour, handicap (as the engine places it or on the
// program's star points), komi, level, the user's name, the engine's command
// line, its time limit for a move, and whether the end also shows the
// program's own territory count. OK checks that the command line names a
// program that can be found.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <functional>

#include "gtp/engine_match.h"
#include "gtp/engine_session.h"

namespace kirobaku {

struct EnginePreferences {
  gtp::EngineSettings engine;
  gtp::MatchSettings match;
};

class EngineDialog : public QDialog {
 public:
  // startGame: the dialog of 対局開始 (OK reads 開始), else of 設定.
  // `tell` shows why OK was refused.
  EngineDialog(QWidget* parent, const EnginePreferences& preferences, bool startGame,
               std::function<void(const QString&)> tell);
  EnginePreferences Preferences() const;
  void accept() override;

 private:
  std::function<void(const QString&)> tell_;
  QRadioButton* black_;
  QRadioButton* white_;
  QComboBox* handicap_;
  QCheckBox* ownHandicap_;
  QDoubleSpinBox* komi_;
  QSpinBox* level_;
  QLineEdit* name_;
  QLineEdit* command_;
  QSpinBox* timeLimit_;
  QCheckBox* ownCount_;
};

}  // namespace kirobaku
