// The menu コンピュータ driven as a user drives it, against the scripted engine:
// a game through its dialog, clicks and passes to a stored result; an engine
// that dies, hangs, answers nonsense or plays an illegal move; the suggestion
// and the estimate on a position reached by navigation and in a variation;
// the settings kept between runs.
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QSpinBox>
#include <QElapsedTimer>
#include <QTimer>

#include "app/engine_menu.h"
#include "db/common/code_page.h"
#include "gtp/gtp_protocol.h"
#include "window_fixture.h"

namespace kirobaku::test {
namespace {

PointIndex At(const char* vertex) {
  return *gtp::ParseVertex(vertex);
}

class EngineWindowTest : public WindowTest {
 protected:
  QTemporaryDir scratch;
  QString log = scratch.path() + "/engine.log";

  void SetUp() override {
    WindowTest::SetUp();
    Engine()->SetSettingsFile(scratch.path() + "/Kirobaku.ini");
  }
  EngineMenu* Engine() { return static_cast<EngineMenu*>(form->findChild<QObject*>("EngineMenu")); }

  // Fills the dialog that `action` opens and presses its OK button.
  void ThroughDialog(const char* action, const QString& engineArgs,
                     std::function<void(QWidget*)> fill = {}) {
    QTimer::singleShot(0, [this, engineArgs, fill] {
      QWidget* dialog = QApplication::activeModalWidget();
      ASSERT_NE(dialog, nullptr);
      ASSERT_EQ(dialog->objectName(), "EngineDialog");
      dialog->findChild<QLineEdit*>("EngineCommand")
          ->setText(QStringLiteral(FAKE_GTP_ENGINE " --log ") + log + " " + engineArgs);
      dialog->findChild<QLineEdit*>("EngineName")->setText("Tester");
      // Only a hanging engine waits out its limit; the others get room on a busy machine.
      dialog->findChild<QSpinBox*>("EngineTimeLimit")->setValue(engineArgs.contains("hang") ? 1 : 30);
      if (fill) fill(dialog);
      QTest::mouseClick(dialog->findChild<QPushButton*>("EngineOk"), Qt::LeftButton);
    });
    Menu(action);
    // The engine starts (and places the handicap) before the board takes clicks.
    ASSERT_TRUE(WaitFor([this] { return !Engine()->Match().Waiting(); }));
  }
  // Runs the event loop until `done` holds, for at most `ms` milliseconds.
  static bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
      if (timer.elapsed() > ms) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      QTest::qSleep(5);
    }
    return true;
  }
  bool Informed(const QString& part) {
    for (const QString& text : asker.informed)
      if (text.contains(part)) return true;
    return false;
  }
  QString Sent() {
    QFile file(log);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }
  std::string StoredComment(std::int32_t nb) {
    TDataModule1& data = form->DataModule();
    data.OpenList(TDataModule1::kListedGames);
    if (!data.KuraQuery1.Locate("NB", {kura::TFieldValue(std::int64_t{nb})}, {})) return "";
    return kura::Cp932ToUtf8(data.KuraQuery1.Fields()[1].AsString());
  }
};

TEST_F(EngineWindowTest, AGameIsPlayedByClicksAndStoredWithItsResult) {
  ThroughDialog("CPTaikyoku", "--moves D4,Q10,pass --score W+0.5 --delay 300");
  ASSERT_TRUE(Engine()->Match().Active());
  EXPECT_EQ(Panel(1), "コンピュータと対局中");
  Press(At("Q16"));
  // While the engine thinks the board takes no clicks.
  ASSERT_TRUE(WaitFor([&] { return Engine()->Match().Waiting(); }));
  Press(At("R3"));
  EXPECT_EQ(Panel(0), "コンピュータが考えています。お待ちください。");
  EXPECT_EQ(Game().Board[At("R3")], kEmpty);
  ASSERT_TRUE(WaitFor([&] { return ShownColour(At("D4")) == kWhite; }));
  EXPECT_EQ(Label(At("D4"))->text(), "2");
  EXPECT_EQ(Panel(0), "コンピュータ（白）は D4。あなたの番です（黒）。");
  // A suggestion asked in the game holds the board until it is answered.
  Menu("CPTsugi");
  Press(At("Q4"));
  EXPECT_EQ(Game().Board[At("Q4")], kEmpty);
  ASSERT_TRUE(WaitFor([&] { return Label(At("Q10"))->text() == "◎"; }));
  Press(At("Q4"));
  ASSERT_TRUE(WaitFor([&] { return Panel(0).contains("はパスしました"); }));
  Menu("CPPass");
  ASSERT_TRUE(WaitFor([&] { return Informed("終局：白0.5目勝ちです（コンピュータの計算 W+0.5）。"); }));
  ASSERT_TRUE(WaitFor([&] { return Panel(0).contains("棋譜番号 1 に保存しました"); }));
  EXPECT_TRUE(asker.questions.contains("この対局を棋譜データベースに保存しますか？"));
  EXPECT_EQ(StoredComment(1), "黒：Tester × 白：Fake Engine 1.0 レベル5  白0.5目勝ち");
  EXPECT_FALSE(Engine()->Match().Active());
  EXPECT_EQ(Panel(1), "");
  Game().CheckConsistency();
  // The passes were sent, each move once.
  EXPECT_EQ(Sent().count("play black Q16"), 1);
  EXPECT_EQ(Sent().count("play black pass"), 1);
  Menu("CPPass");
  EXPECT_EQ(Panel(0), "コンピュータとの対局中ではありません。");

  // The settings are read back by the next run.
  const QString settings = scratch.path() + "/Kirobaku.ini";
  Open(QStringLiteral(KIROBAKU_BIN_DIR "/"));
  Engine()->SetSettingsFile(settings);
  const EnginePreferences p = Engine()->Preferences();
  EXPECT_EQ(p.match.userName, "Tester");
  EXPECT_EQ(p.engine.timeLimit, std::chrono::seconds(30));
  EXPECT_NE(p.engine.command.find("--delay 300"), std::string::npos);
}

TEST_F(EngineWindowTest, HandicapAndTheUsersResignation) {
  ThroughDialog("CPTaikyoku", "--moves Q3", [](QWidget* dialog) {
    dialog->findChild<QComboBox*>("EngineHandicap")->setCurrentIndex(2);  // 3 stones
    dialog->findChild<QCheckBox*>("EngineOwnHandicap")->setChecked(true);
  });
  for (const char* star : {"Q16", "D4", "Q4"})
    EXPECT_EQ(ShownColour(At(star)), kBlack) << star;
  ASSERT_TRUE(WaitFor([&] { return ShownColour(At("Q3")) == kWhite; }));  // White moves first
  asker.answers = {true, false};  // resign: yes; store: no
  Menu("CPToryo");
  ASSERT_TRUE(WaitFor([&] { return Informed("黒の投了です。白の中押し勝ちです。"); }));
  ASSERT_TRUE(WaitFor([&] { return asker.questions.size() == 2; }));
  EXPECT_EQ(StoredComment(1), "");
  EXPECT_EQ(Game().Position, 4);  // the game stays on the board
}

// The engine fails at the user's second move: the message says how, and the
// board keeps both moves of the user and the engine's first.
TEST_F(EngineWindowTest, AFailingEngineLeavesTheGameOnTheBoard) {
  const std::pair<const char*, const char*> cases[] = {
      {"--moves D4 --on genmove:2:die", "コンピュータが終了しました（終了コード 3）。"},
      {"--moves D4 --on genmove:2:hang", "1 秒以内に"},
      {"--moves D4 --on genmove:2:garbage", "Segmentation fault"},
      {"--moves D4,Q16", "コンピュータの手 Q16 は打てない手"},
  };
  for (const auto& [args, message] : cases) {
    asker.informed.clear();
    asker.answers = {false};  // do not store
    ThroughDialog("CPTaikyoku", args);
    Press(At("Q16"));
    ASSERT_TRUE(WaitFor([&] { return ShownColour(At("D4")) == kWhite; }));
    Press(At("Q4"));
    ASSERT_TRUE(WaitFor([&] { return Informed(QString::fromUtf8(message)); })) << message;
    EXPECT_TRUE(Informed("盤上の対局はそのまま残っています。")) << message;
    EXPECT_EQ(Game().Position, 3) << message;
    EXPECT_EQ(ShownColour(At("Q4")), kBlack);
    EXPECT_FALSE(Engine()->Match().Active());
    Game().CheckConsistency();
    Press(At("K10"));  // the board plays on as usual
    EXPECT_EQ(Game().Position, 4);
    ASSERT_TRUE(WaitFor([&] { return asker.answers.empty(); }));
  }
  // A file that cannot run: the game does not start, the board stays.
  const QString notRunnable = scratch.path() + "/not-an-engine";
  {
    QFile file(notRunnable);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\x7f" "ELF but not really");
    file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
  }
  asker.informed.clear();
  QTimer::singleShot(0, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    dialog->findChild<QLineEdit*>("EngineCommand")->setText(notRunnable);
    QTest::mouseClick(dialog->findChild<QPushButton*>("EngineOk"), Qt::LeftButton);
  });
  Menu("CPTaikyoku");
  ASSERT_TRUE(WaitFor([&] { return Informed("コンピュータを起動できませんでした："); }));
  EXPECT_EQ(Game().Position, 4);
  // A command naming no program is refused by the dialog, which stays open.
  QTimer::singleShot(0, [] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    dialog->findChild<QLineEdit*>("EngineCommand")->setText("/nonexistent/engine --gtp");
    QTest::mouseClick(dialog->findChild<QPushButton*>("EngineOk"), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    static_cast<QDialog*>(dialog)->reject();
  });
  Menu("CPTaikyoku");
  EXPECT_TRUE(Informed("コンピュータのプログラム「/nonexistent/engine」が見つかりません。"));
  EXPECT_FALSE(Engine()->Match().Active());
}

TEST_F(EngineWindowTest, SuggestionAndEstimateAreAboutThePositionShown) {
  ThroughDialog("CPSettei", "--moves C3,E5 --score B+12.5 --dead D4");
  for (const char* v : {"D4", "Q16", "Q4"})
    Press(At(v));
  Click("Button2");  // the board shows move 2: Black to play
  Menu("CPTsugi");
  ASSERT_TRUE(WaitFor([&] { return Label(At("C3"))->text() == "◎"; }));
  EXPECT_EQ(Panel(0), "次の一手：黒 C3（◎）");
  EXPECT_FALSE(Sent().contains("play black Q4"));
  Press(At("K10"));  // any press takes the mark away
  EXPECT_EQ(Label(At("C3"))->text(), "");
  Menu("CPKeisei");
  ASSERT_TRUE(WaitFor([&] { return Label(At("D4"))->text() == "*"; }));
  EXPECT_EQ(Panel(0), "形勢判断：黒 12.5 目リード（B+12.5）。＊は死石です。");
  Click("Button11");  // キャンセル takes the dead-stone marks away
  EXPECT_EQ(Label(At("D4"))->text(), "");
  // In a variation the engine is told the variation's moves.
  Click("Button5");
  Press(At("R10"));
  Menu("CPTsugi");
  ASSERT_TRUE(WaitFor([&] { return Panel(0).startsWith("次の一手：黒 E5"); }));
  EXPECT_TRUE(Sent().contains("play white R10"));
  // Gomoku stones are no position the engine can be told.
  Find<QRadioButton>("RadioButton4")->click();
  Press(At("A1"));
  Menu("CPKeisei");
  EXPECT_TRUE(Informed("盤面が棋譜の局面ではないため"));
}

}  // namespace
}  // namespace kirobaku::test
