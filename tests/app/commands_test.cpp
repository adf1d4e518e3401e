// Help, version, exit, the game-record window, printing and the default error
// handler.
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPrinterInfo>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>

#include "window_fixture.h"

namespace kirobaku::test {
namespace {

using CommandsTest = WindowTest;

TEST_F(CommandsTest, HelpShowsTheContentsPageAndVersionBoxNamesTheProgram) {
  Menu("ALLHelp");
  auto* browser = form->findChild<QTextBrowser*>("HelpBrowser");
  ASSERT_NE(browser, nullptr);
  EXPECT_TRUE(browser->isVisible());
  const QString text = browser->toPlainText();
  EXPECT_TRUE(text.startsWith("Kirobaku ヘルプ"));
  for (const char* command : {"1手進む", "1手戻す", "初手に戻す", "全手表示", "変化検討", "クリア",
                              "出入計算", "キャンセル", "地の計算", "握り（黒石丁半）",
                              "握り（白石表示）", "棋譜処理", "準備", "印刷", "終了"}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(command))) << command;
  }
  Menu("VInfo");
  ASSERT_EQ(asker.informed.size(), 1);
  const QStringList lines = asker.informed.last().split("\r\n");
  ASSERT_EQ(lines.size(), 4);
  EXPECT_EQ(lines[0], "Kirobaku");
  EXPECT_EQ(lines[1], "Version 3.10");
  EXPECT_EQ(lines[2], "");
  EXPECT_TRUE(lines[3].contains("Copyright"));
}

TEST_F(CommandsTest, ExitAsksAndNoKeepsTheWindow) {
  asker.answers = {false};
  Menu("APEnd");
  EXPECT_EQ(asker.questions.last(), "「Kirobaku」を終了していいですか？");
  EXPECT_TRUE(form->isVisible());
  Menu("APEnd");
  EXPECT_FALSE(form->isVisible());
}

// Closes the modal game-record window as soon as it is shown.
void CloseModalSoon(bool* seen) {
  QTimer::singleShot(0, [seen] {
    QWidget* modal = QApplication::activeModalWidget();
    *seen =
        modal != nullptr && modal->objectName() == "TForm3" && modal->windowTitle() == "棋譜処理";
    if (modal != nullptr) modal->close();
  });
}

TEST_F(CommandsTest, GameRecordWindowReturnsToGameModeAndLeavesEndMode) {
  Press("dd");
  Press("pp");
  QTest::mouseClick(Find("RadioButton3"), Qt::LeftButton);
  ASSERT_EQ(Game().Mode, kModeEnd);
  Press("dd");
  Press("dd");  // removed as dead
  EXPECT_EQ(Edit(2), "1");
  bool seen = false;
  CloseModalSoon(&seen);
  Menu("KFShori");
  EXPECT_TRUE(seen);
  EXPECT_TRUE(Find<QRadioButton>("RadioButton1")->isChecked());
  EXPECT_EQ(Game().Mode, kModeGame);
  EXPECT_EQ(ShownColour(Sgf("dd")), kBlack);  // end-of-game mode was left
  EXPECT_EQ(Edit(2), "0");
  // From gomoku, too.
  QTest::mouseClick(Find("RadioButton4"), Qt::LeftButton);
  CloseModalSoon(&seen);
  Menu("KFShori");
  EXPECT_EQ(Game().Mode, kModeGame);
  Menu("UKSave");
  Menu("UKLoad");
  EXPECT_EQ(Game().Position, 2);
}

// The second click of a double-click that closed the game-record window
// (棋譜読込 double-clicked) lands on the board: it is no move and asks
// nothing; a click after the double-click time is a move again.
TEST_F(CommandsTest, ClickRightAfterTheGameRecordWindowClosedIsNoMove) {
  Press("dd");
  bool seen = false;
  CloseModalSoon(&seen);
  Menu("KFShori");
  ASSERT_TRUE(seen);
  Press("pp");
  EXPECT_EQ(ShownColour(Sgf("pp")), kEmpty);
  EXPECT_EQ(Game().Position, 1);
  QTest::qWait(QApplication::doubleClickInterval() + 50);
  Press("pp");
  EXPECT_EQ(ShownColour(Sgf("pp")), kWhite);
  EXPECT_EQ(Game().Position, 2);
}

// The game-record window over the main window: a file imported with two
// presses of 棋譜取込 and loaded with 棋譜読込 shows its setup stones and first
// move on the main board, and the window has closed.
TEST_F(CommandsTest, ImportAndLoadThroughTheGameRecordWindow) {
  QTemporaryDir files;
  ASSERT_TRUE(QFile::copy(QStringLiteral(KIROBAKU_TEST_DATA "/sgf/9handicap.sgf"),
                          files.filePath(QStringLiteral("9handicap.sgf"))));
  const QString start = QDir::currentPath();
  QDir::setCurrent(files.path());
  QString closedBy;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal->objectName() != "TForm3") return;
    const auto button = [&](const char* name) {
      QTest::mouseClick(modal->findChild<QPushButton*>(name), Qt::LeftButton);
    };
    button("Button7");
    auto* list = modal->findChild<QListWidget*>("FileListBox1");
    if (list->count() != 1) {
      modal->close();
      return;
    }
    list->setCurrentRow(0);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(0)).center());
    button("Button7");
    button("Button1");
    closedBy = modal->isVisible() ? QString() : QStringLiteral("Button1");
    if (modal->isVisible()) modal->close();
  });
  Menu("KFShori");
  QDir::setCurrent(start);
  EXPECT_EQ(closedBy, "Button1");
  EXPECT_EQ(Panel(0), "　始めてください。");
  // Nine handicap stones and White's first move.
  int black = 0, white = 0;
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    black += ShownColour(p) == kBlack;
    white += ShownColour(p) == kWhite;
  }
  EXPECT_EQ(black, 9);
  EXPECT_EQ(white, 1);
  EXPECT_EQ(Game().Position, 10);
  EXPECT_EQ(Captions().size(), 1u);
  EXPECT_EQ(Game().Mode, kModeGame);
}

// The adjourned game lives in the game-record database: it survives a restart
// of the program, a save keeps the moves after the shown position, saving
// again replaces it, and restoring replays it with its captures.
TEST_F(CommandsTest, AdjournedGameSurvivesARestart) {
  // White "aa" is captured by move 5, then black plays there as move 7.
  for (const char* p : {"ab", "aa", "ss", "sr", "ba", "sq", "aa", "pp", "dd"})
    Press(p);
  const Record played = Game().MoveRecord;
  const std::string board = ShownBoard();
  const std::int32_t captured = Game().CapturedWhite;
  ASSERT_EQ(captured, 1);
  Menu("UKSave");  // a first game, replaced below
  Click("Button2");
  Click("Button2");
  Menu("UKSave");
  EXPECT_EQ(Panel(0), "　保存しました。");

  Open(QStringLiteral(KIROBAKU_BIN_DIR "/"));  // the program again, over the same database
  Menu("UKLoad");
  EXPECT_EQ(Panel(0), "　復元しました。");
  EXPECT_EQ(Game().MoveRecord, played);
  EXPECT_EQ(Game().Position, 9);
  EXPECT_EQ(ShownBoard(), board);
  EXPECT_EQ(Game().CapturedWhite, captured);
  EXPECT_EQ(Label(Sgf("dd"))->text(), "9");
  Menu("UKLoad");  // restoring leaves it stored
  EXPECT_EQ(Game().MoveRecord, played);

  // An empty record saved removes the adjourned game.
  Game().ResetGame();
  Menu("UKSave");
  Open(QStringLiteral(KIROBAKU_BIN_DIR "/"));
  Press("pp");
  Menu("UKLoad");
  EXPECT_EQ(Panel(0), "　復元しました。");
  EXPECT_EQ(Game().Position, 0);
  EXPECT_EQ(Game().ToPlay, kWhite);  // the replay's closing change after the reset
  EXPECT_EQ(Game().MoveRecord, Record{});
  EXPECT_EQ(ShownColour(Sgf("pp")), kEmpty);
}

TEST_F(CommandsTest, FigureListsRetakesAndPrintingRestoresThePosition) {
  // White "aa" (move 2) is captured by move 5; black plays there as move 7.
  for (const char* p : {"ab", "aa", "ss", "sr", "ba", "sq", "aa", "pp"})
    Press(p);
  Click("Button2");  // the shown position is move 7
  const std::string before = ShownBoard();
  auto* memo1 = Find<QPlainTextEdit>("Memo1");
  auto* memo2 = Find<QPlainTextEdit>("Memo2");
  Menu("PRJunbi");
  EXPECT_TRUE(memo1->isVisible());
  EXPECT_TRUE(memo2->isVisible());
  EXPECT_EQ(memo1->geometry(), QRect(544, 16, 175, 34));
  EXPECT_EQ(memo2->geometry(), QRect(544, 58, 175, 466));
  EXPECT_FALSE(Find("GroupBox1")->isVisible());
  EXPECT_EQ(
      Panel(0),
      "上側のボックスにタイトルやコメントを入力し、メニューの「印刷」をクリックしてください。");
  EXPECT_EQ(memo2->toPlainText(), "   ●007(002)     ");
  EXPECT_EQ(ShownColour(Sgf("aa")), kWhite);
  EXPECT_EQ(Label(Sgf("aa"))->text(), "2");
  EXPECT_EQ(Label(Sgf("pp"))->text(), "8");  // the whole record, beyond the shown position
  memo1->setPlainText("第1局");
  // While the title is typed the arrow keys move the cursor, not the game.
  memo1->setFocus();
  QTest::keyClick(memo1, Qt::Key_Left);
  QTest::keyClick(memo1, Qt::Key_Home);
  EXPECT_EQ(Game().Position, 7);
  EXPECT_EQ(memo1->textCursor().position(), 0);

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString pdf = dir.filePath("figure.pdf");
  form->SetPrintFile(pdf);
  Menu("Insatsu");
  QFile file(pdf);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  EXPECT_TRUE(bytes.startsWith("%PDF"));
  EXPECT_GT(bytes.size(), 10000);  // the window image is in it
  EXPECT_EQ(
      bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r") + bytes.count("/Type /Page "), 1);
  EXPECT_FALSE(memo1->isVisible());
  EXPECT_TRUE(Find("GroupBox1")->isVisible());
  EXPECT_EQ(ShownBoard(), before);
  EXPECT_EQ(Game().Position, 7);
  EXPECT_EQ(Edit(1), "1");
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("aa"), "7"}}));
  // Preparing again appends the retake lines once more.
  Menu("PRJunbi");
  EXPECT_EQ(memo2->toPlainText(), "   ●007(002)     \n   ●007(002)     ");
  Menu("PRCancel");
  EXPECT_EQ(ShownBoard(), before);
}

TEST_F(CommandsTest, CancellingTheFigureAtTheStartLeavesTheEmptyBoard) {
  for (const char* p : {"dd", "pp"})
    Press(p);
  Click("Button2");
  Click("Button2");
  ASSERT_EQ(Game().Position, 0);
  Menu("PRJunbi");
  EXPECT_EQ(ShownColour(Sgf("pp")), kWhite);
  Menu("PRCancel");
  EXPECT_EQ(ShownBoard(), DrawBoard({}));
  EXPECT_EQ(Game().Position, 0);
  EXPECT_EQ(Edit(1), "0");
  Click("Button1");
  EXPECT_EQ(Game().Position, 1);
}

TEST_F(CommandsTest, PrintingWithoutAPrinterIsAnErrorAndTheProgramGoesOn) {
  if (!QPrinterInfo::defaultPrinter().isNull()) GTEST_SKIP() << "this machine has a printer";
  Press("dd");
  Menu("PRJunbi");
  MenuThroughEvents("Insatsu");
  ASSERT_EQ(asker.errors.size(), 1);
  EXPECT_EQ(asker.errors.last(), "プリンタがインストールされていません。");
  Menu("PRCancel");
  Press("pp");
  EXPECT_EQ(Game().Position, 2);
}

class MissingFilesTest : public WindowTest {
 protected:
  QTemporaryDir dir;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    Open(dir.path() + "/");
  }
  void Provide(const char* name) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(KIROBAKU_BIN_DIR "/") + name, dir.filePath(name)));
  }
};

TEST_F(MissingFilesTest, EachMissingFileIsShownAndThePlayGoesOn) {
  Press("dd");  // no bitmap: the error is shown, the move stays made
  ASSERT_EQ(asker.errors.size(), 1);
  EXPECT_TRUE(asker.errors.last().contains("stB.bmp")) << asker.errors.last().toStdString();
  EXPECT_EQ(Game().Board[Sgf("dd")], kBlack);
  Provide("stB.bmp");
  Provide("stW.bmp");
  // The failed display stopped the move before the turn passed: black again.
  EXPECT_EQ(Game().ToPlay, kBlack);
  Press("pp");  // no click sound
  ASSERT_EQ(asker.errors.size(), 2);
  EXPECT_TRUE(asker.errors.last().contains("Oto1.wav"));
  EXPECT_EQ(ShownColour(Sgf("pp")), kBlack);
  Provide("Oto1.wav");
  Press("qq");
  EXPECT_EQ(asker.errors.size(), 2);
  Press("qq");  // occupied: refused with the refusal sound, which is missing
  ASSERT_EQ(asker.errors.size(), 3);
  EXPECT_TRUE(asker.errors.last().contains("bubuu.wav"));
  MenuThroughEvents("ALLHelp");
  ASSERT_EQ(asker.errors.size(), 4);
  EXPECT_TRUE(asker.errors.last().contains("Kirobaku.hlp"));
  EXPECT_EQ(Game().Position, 3);
}

}  // namespace
}  // namespace kirobaku::test
