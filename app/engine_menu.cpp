#include "app/engine_menu.h"

#include <QApplication>
#include <QMenuBar>
#include <QSettings>
#include <QTimer>

#include "app/form2.h"
#include "app/gtp_process.h"
#include "db/common/code_page.h"
#include "records/record_file.h"

namespace kirobaku {

namespace {

// The property by which the main window marks its 361 point labels.
constexpr const char* kPointProperty = "kirobakuPoint";

}  // namespace

EngineMenu::EngineMenu(TForm2& form)
    : QObject(&form),
      form_(form),
      settingsFile_(form.ProgramDir() + QStringLiteral("Kirobaku.ini")),
      session_([this](const std::vector<std::string>& args) { return StartGtpProcess(args, this); }),
      match_(form.Game(), session_, [this](const gtp::MatchResult& r) { matchEnded(r); }),
      study_(form.Game(), session_, [this](PointIndex p) { suggestion_ = p; }) {
  setObjectName(QStringLiteral("EngineMenu"));
  createMenu();
  // Installed after the window's own filter, so it sees board presses first.
  qApp->installEventFilter(this);
}

EngineMenu::~EngineMenu() {
  qApp->removeEventFilter(this);
  session_.Stop();
}

void EngineMenu::createMenu() {
  QMenu* menu = form_.menuBar()->addMenu(QStringLiteral("コンピュータ"));
  menu->setObjectName(QStringLiteral("CPMenu"));
  menu->menuAction()->setObjectName(QStringLiteral("CPMenu"));
  auto add = [this, menu](const char* name, const char* caption, void (EngineMenu::*handler)()) {
    QAction* action = menu->addAction(QString::fromUtf8(caption));
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, handler);
  };
  add("CPTaikyoku", "対局開始…", &EngineMenu::CPTaikyokuClick);
  add("CPPass", "パス", &EngineMenu::CPPassClick);
  add("CPToryo", "投了", &EngineMenu::CPToryoClick);
  add("CPUchi", "コンピュータが打つ", &EngineMenu::CPUchiClick);
  add("CPChushi", "対局中止", &EngineMenu::CPChushiClick);
  menu->addSeparator();
  add("CPTsugi", "次の一手", &EngineMenu::CPTsugiClick);
  add("CPKeisei", "形勢判断", &EngineMenu::CPKeiseiClick);
  menu->addSeparator();
  add("CPSettei", "設定…", &EngineMenu::CPSetteiClick);
}

// --- Settings -----------------------------------------------------------------------

void EngineMenu::SetSettingsFile(const QString& path) {
  settingsFile_ = path;
  preferences_.reset();
}

EnginePreferences EngineMenu::Preferences() {
  if (preferences_ == nullptr) {
    // Values out of range (an edited file) fall back to the defaults.
    QSettings file(settingsFile_, QSettings::IniFormat);
    EnginePreferences p;
    file.beginGroup(QStringLiteral("Engine"));
    p.engine.command = file.value(QStringLiteral("Command")).toString().toStdString();
    const int level = file.value(QStringLiteral("Level"), p.engine.level).toInt();
    if (level >= 1 && level <= 10) p.engine.level = level;
    const double komi = file.value(QStringLiteral("Komi"), p.engine.komi).toDouble();
    if (komi >= -100 && komi <= 100) p.engine.komi = komi;
    const int seconds = file.value(QStringLiteral("TimeLimit"), 60).toInt();
    if (seconds >= 1 && seconds <= 3600) p.engine.timeLimit = std::chrono::seconds(seconds);
    p.match.user = file.value(QStringLiteral("Colour")).toString() == QStringLiteral("white") ? kWhite
                                                                                            : kBlack;
    const int handicap = file.value(QStringLiteral("Handicap"), 0).toInt();
    if (handicap >= 2 && handicap <= 9) p.match.handicap = handicap;
    p.match.engineHandicap = file.value(QStringLiteral("EngineHandicap"), true).toBool();
    p.match.ownCount = file.value(QStringLiteral("OwnCount"), false).toBool();
    const QString name = file.value(QStringLiteral("Name")).toString().trimmed();
    if (!name.isEmpty()) p.match.userName = name.left(40).toStdString();
    preferences_ = std::make_unique<EnginePreferences>(p);
    session_.Configure(p.engine);
  }
  return *preferences_;
}

void EngineMenu::savePreferences(const EnginePreferences& p) {
  preferences_ = std::make_unique<EnginePreferences>(p);
  session_.Configure(p.engine);
  QSettings file(settingsFile_, QSettings::IniFormat);
  file.beginGroup(QStringLiteral("Engine"));
  file.setValue(QStringLiteral("Command"), QString::fromStdString(p.engine.command));
  file.setValue(QStringLiteral("Level"), p.engine.level);
  file.setValue(QStringLiteral("Komi"), p.engine.komi);
  file.setValue(QStringLiteral("TimeLimit"),
                static_cast<int>(
                    std::chrono::duration_cast<std::chrono::seconds>(p.engine.timeLimit).count()));
  file.setValue(QStringLiteral("Colour"),
                p.match.user == kWhite ? QStringLiteral("white") : QStringLiteral("black"));
  file.setValue(QStringLiteral("Handicap"), p.match.handicap);
  file.setValue(QStringLiteral("EngineHandicap"), p.match.engineHandicap);
  file.setValue(QStringLiteral("OwnCount"), p.match.ownCount);
  file.setValue(QStringLiteral("Name"), QString::fromStdString(p.match.userName));
  file.endGroup();
  file.sync();
  if (file.status() != QSettings::NoError) {
    form_.ShowMessage("設定を「" + settingsFile_.toStdString() + "」に保存できませんでした。");
  }
}

bool EngineMenu::askPreferences(bool startGame) {
  EngineDialog dialog(&form_, Preferences(), startGame,
                      [this](const QString& problem) { form_.ShowMessage(problem.toStdString()); });
  if (dialog.exec() != QDialog::Accepted) return false;
  savePreferences(dialog.Preferences());
  return true;
}

// --- Handlers -------------------------------------------------------------------------

void EngineMenu::CPTaikyokuClick() {
  if (match_.Active()) {
    if (!form_.AskYesNo("コンピュータと対局中です。この対局を中止して新しい対局を始めますか？")) return;
    match_.Abandon();
  }
  if (!askPreferences(true)) return;
  clearSuggestion();
  match_.Start(Preferences().match);
}

bool EngineMenu::inMatch() {
  if (match_.Active()) return true;
  form_.SetStatusText(0, "コンピュータとの対局中ではありません。");
  return false;
}

void EngineMenu::CPPassClick() {
  if (!inMatch()) return;
  if (match_.Waiting() || session_.Busy()) {
    form_.SetStatusText(0, "コンピュータが考えています。お待ちください。");
    return;
  }
  clearSuggestion();
  match_.UserPassed();
}

void EngineMenu::CPToryoClick() {
  if (!inMatch()) return;
  if (!form_.AskYesNo("投了しますか？")) return;
  match_.UserResigned();
}

void EngineMenu::CPUchiClick() {
  if (!inMatch()) return;
  if (match_.Waiting() || session_.Busy()) {
    form_.SetStatusText(0, "コンピュータが考えています。お待ちください。");
    return;
  }
  clearSuggestion();
  match_.EngineMoves();
}

void EngineMenu::CPChushiClick() {
  if (!inMatch()) return;
  match_.Abandon();
}

void EngineMenu::CPTsugiClick() {
  Preferences();
  clearSuggestion();
  study_.Suggest();
}

void EngineMenu::CPKeiseiClick() {
  Preferences();
  clearSuggestion();
  study_.Estimate();
}

void EngineMenu::CPSetteiClick() {
  askPreferences(false);
}

// --- The game's events ----------------------------------------------------------------------

void EngineMenu::matchEnded(const gtp::MatchResult& result) {
  // The boxes are shown from the event loop, not from inside the engine's
  // answer; the game is the one on the board now.
  const Record record = form_.Game().MoveRecord;
  QTimer::singleShot(0, this, [this, result, record] {
    form_.ShowMessage(result.summary);
    if (CountEntries(record) == 0) return;
    if (!form_.AskYesNo("この対局を棋譜データベースに保存しますか？")) return;
    const std::int32_t nb = form_.DataModule().StoreImportedGame(kura::Utf8ToCp932(result.comment), record);
    form_.SetStatusText(0, "　棋譜番号 " + std::to_string(nb) + " に保存しました。");
    form_.PlaySound(kSoundClick);
  });
}

void EngineMenu::clearSuggestion() {
  if (suggestion_ == 0) return;
  const PointIndex p = suggestion_;
  suggestion_ = 0;
  // A stone placed there since shows its own number and colour.
  if (form_.Game().Board[p] != kEmpty) return;
  form_.SetLabelCaption(p, "");
  form_.SetLabelColour(p, kLabelBlack);
}

bool EngineMenu::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || (widget != &form_ && !form_.isAncestorOf(widget))) return false;
  clearSuggestion();
  if (!widget->property(kPointProperty).isValid() || !match_.Active()) return false;
  if (match_.Waiting() || session_.Busy()) {
    form_.SetStatusText(0, "コンピュータが考えています。お待ちください。");
    return true;
  }
  // The window places the stone; whether it was the user's move is seen
  // once the press has been handled.
  const std::int32_t position = form_.Game().Position;
  QTimer::singleShot(0, this, [this, position] { afterBoardClick(position); });
  return false;
}

void EngineMenu::afterBoardClick(std::int32_t position) {
  GameState& game = form_.Game();
  if (!match_.Active() || match_.Waiting() || game.Mode != kModeGame ||
      game.Position != position + 1) {
    return;
  }
  const MoveEntry& e = game.EntryAt(game.Position);
  if (e.move > 0 && e.colour == match_.Settings().user) match_.UserPlayed();
}

}  // namespace kirobaku
