#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>

#include "window_fixture.h"

namespace kirobaku::test {
namespace {

using Form2Test = WindowTest;

TEST_F(Form2Test, StartsInGameModeWithTheLayoutInPlace) {
  EXPECT_EQ(form->windowTitle(), "Kirobaku");
  EXPECT_EQ(Game().Mode, kModeGame);
  EXPECT_EQ(Game().ToPlay, kBlack);
  EXPECT_TRUE(Find<QRadioButton>("RadioButton1")->isChecked());
  EXPECT_EQ(Panel(0), " 始めてください");
  EXPECT_TRUE(
      QRegularExpression("^\\d\\d/\\d\\d  \\d\\d:\\d\\d (AM|PM)$").match(Panel(2)).hasMatch())
      << Panel(2).toStdString();
  EXPECT_EQ(Edit(1), "0");
  EXPECT_EQ(Edit(2), "0");
  for (const char* hidden : {"Button9", "Label366", "Memo1", "Memo2"}) {
    EXPECT_FALSE(Find(hidden)->isVisible()) << hidden;
  }
  EXPECT_EQ(Image(1)->geometry(), QRect(2, 2, 28, 28));
  EXPECT_EQ(Label(1)->geometry(), QRect(7, 11, 20, 12));
  EXPECT_EQ(Image(361)->geometry(), QRect(2 + 28 * 18, 2 + 28 * 18, 28, 28));
  EXPECT_EQ(Label(Sgf("dp"))->geometry(), QRect(7 + 28 * 3, 11 + 28 * 15, 20, 12));
  EXPECT_EQ(Find("Button10")->geometry(), QRect(640, 240, 75, 25));
  EXPECT_EQ(Find("Button11")->geometry(), QRect(552, 240, 73, 25));
  EXPECT_EQ(Find("GroupBox1")->geometry(), QRect(560, 24, 149, 73));
  EXPECT_EQ(Find("TrackBar1")->geometry(), QRect(540, 360, 183, 20));
  EXPECT_EQ(Find<QSlider>("TrackBar1")->value(), 1);
  EXPECT_EQ(Find("Shape1")->geometry(), QRect(0, 0, 536, 536));
  EXPECT_EQ(form->statusBar()->height(), 19);
  EXPECT_EQ(form->ClientArea().size(), QSize(735, 555));
  for (const char* name :
       {"KFShori", "UKSave", "UKLoad", "PRJunbi", "Insatsu", "PRCancel", "NGBlack", "NGWhite",
        "JKeisan", "CLBack", "ALLHelp", "VInfo", "APEnd"}) {
    EXPECT_NE(form->findChild<QAction*>(name), nullptr) << name;
  }
  form->Timer1Timer();
  EXPECT_FALSE(Panel(2).isEmpty());
}

TEST_F(Form2Test, AGameByClicksCapturesAndRefusesKoAndSuicide) {
  // A ko: black "dc" sits in white's mouth, white takes it from "cc".
  for (const char* p : {"cb", "db", "bc", "ec", "cd", "dd", "dc", "cc"})
    Press(p);
  EXPECT_EQ(Game().Position, 8);
  EXPECT_EQ(Edit(2), "1");
  EXPECT_EQ(ShownColour(Sgf("dc")), kEmpty);
  Press("dc");  // black retakes at once: refused
  EXPECT_EQ(Game().Position, 8);
  EXPECT_EQ(ShownColour(Sgf("dc")), kEmpty);
  EXPECT_EQ(Game().ToPlay, kBlack);
  Press("pp");
  Press("pd");
  Press("dc");  // after an exchange the retake is allowed
  EXPECT_EQ(Game().Position, 11);
  EXPECT_EQ(Edit(1), "1");
  EXPECT_EQ(ShownColour(Sgf("cc")), kEmpty);
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("dc"), "11"}}));
  EXPECT_EQ(Label(Sgf("dc"))->palette().color(QPalette::WindowText), QColor(Qt::white));
  // Suicide: white into "cc", which has no liberty and captures nothing.
  Press("cc");
  EXPECT_EQ(Game().Board[Sgf("cc")], kEmpty);
  EXPECT_EQ(ShownColour(Sgf("cc")), kEmpty);
  EXPECT_EQ(Game().Position, 11);
  EXPECT_EQ(Game().ToPlay, kWhite);
  Press("qq");
  EXPECT_EQ(Label(Sgf("qq"))->palette().color(QPalette::WindowText), QColor(Qt::black));
  EXPECT_TRUE(asker.errors.isEmpty()) << asker.errors.join("\n").toStdString();
}

TEST_F(Form2Test, ShiftClicksMoveAMisplacedStone) {
  Press("dd");
  Press("pp");
  Press("dd", Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(asker.questions.last(), "間違えた石を除去しますか？\r\n\r\n");
  EXPECT_EQ(ShownColour(Sgf("dd")), kEmpty);
  EXPECT_EQ(Panel(0), "移動先でシフトキーを押しながら、右クリックしてください。");
  Press("dc", Qt::RightButton, Qt::ShiftModifier);
  EXPECT_EQ(ShownColour(Sgf("dc")), kBlack);
  EXPECT_EQ(Label(Sgf("dc"))->text(), "");
  EXPECT_EQ(Game().MoveRecord[1], (MoveEntry{1, kBlack, Sgf("dc")}));
  EXPECT_EQ(Panel(0), "");
  // Shift-right with nothing pending plays a normal move.
  Press("qq", Qt::RightButton, Qt::ShiftModifier);
  EXPECT_EQ(Game().MoveRecord[3], (MoveEntry{3, kBlack, Sgf("qq")}));
  // Cancel leaves the stone.
  asker.answers = {false};
  Press("qq", Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_EQ(ShownColour(Sgf("qq")), kBlack);
}

TEST_F(Form2Test, FreeModeUsesTheButtonAndIgnoresExtraModifiers) {
  QTest::mouseClick(Find<QRadioButton>("RadioButton2"), Qt::LeftButton);
  EXPECT_EQ(Game().Mode, kModeFree);
  Press("dd", Qt::RightButton);
  EXPECT_EQ(ShownColour(Sgf("dd")), kWhite);
  Press("dd", Qt::LeftButton, Qt::ShiftModifier | Qt::ControlModifier);
  EXPECT_EQ(ShownColour(Sgf("dd")), kBlack);
  EXPECT_TRUE(asker.questions.isEmpty());
  // A double click with Shift is not the correction click either.
  QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(10, 6), QPointF(10, 6), Qt::LeftButton,
                  Qt::LeftButton, Qt::ShiftModifier);
  QApplication::sendEvent(Label(Sgf("dd")), &dbl);
  EXPECT_TRUE(asker.questions.isEmpty());
  EXPECT_EQ(Game().MoveRecord[3], (MoveEntry{0, kBlack, Sgf("dd")}));
  // Only the label takes the mouse: a press on the image does nothing.
  QTest::mousePress(Image(Sgf("ee")), Qt::LeftButton);
  EXPECT_EQ(Game().Board[Sgf("ee")], kEmpty);
}

TEST_F(Form2Test, NavigationButtonsKeysAndTrackBar) {
  for (const char* p : {"dd", "pp", "dp", "pd", "qf"})
    Press(p);
  Click("Button2");
  EXPECT_EQ(Game().Position, 4);
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("pd"), "4"}}));
  Click("Button4");
  EXPECT_EQ(Game().Position, 1);
  Click("Button2");
  Click("Button2");
  EXPECT_EQ(Panel(0), "もう戻せません。");
  Click("Button3");
  EXPECT_EQ(Game().Position, 5);
  Click("Button1");
  EXPECT_EQ(Panel(0), "もう進めません。");
  // Arrow keys, Home and End wherever the focus is.
  QWidget* edit = Find("Edit1");
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_Left);
  EXPECT_EQ(Game().Position, 4);
  QTest::keyClick(Find("TrackBar1"), Qt::Key_Home);
  EXPECT_EQ(Game().Position, 1);
  QTest::keyClick(Find("Button5"), Qt::Key_Right);
  EXPECT_EQ(Game().Position, 2);
  QTest::keyClick(form.get(), Qt::Key_End);
  EXPECT_EQ(Game().Position, 5);
  auto* track = Find<QSlider>("TrackBar1");
  track->setValue(3);
  EXPECT_EQ(Game().Position, 3);
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("dp"), "3"}}));
  track->setValue(0);
  EXPECT_EQ(Game().Position, 5);
  track->setValue(400);
  EXPECT_EQ(Game().Position, 5);
}

TEST_F(Form2Test, EndModeMarksRemovesCountsAndComesBack) {
  for (const char* p : {"jj", "jk", "ij", "ik"})
    Press(p);
  asker.answers = {false};
  QTest::mouseClick(Find("RadioButton3"), Qt::LeftButton);
  EXPECT_EQ(asker.questions.last(), "必要な手入れは終わりましたか？");
  EXPECT_EQ(Game().Mode, kModeGame);
  QTest::mouseClick(Find("RadioButton1"), Qt::LeftButton);
  QTest::mouseClick(Find("RadioButton3"), Qt::LeftButton);
  ASSERT_EQ(Game().Mode, kModeEnd);
  Press("jk");
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("ik"), "*"}, {Sgf("jk"), "*"}}));
  Click("Button11");
  EXPECT_TRUE(Captions().empty());
  Press("jk");
  Press("ik");
  EXPECT_EQ(Edit(2), "0");
  EXPECT_EQ(Edit(1), "2");
  EXPECT_EQ(ShownColour(Sgf("jk")), kEmpty);
  asker.answers = {true};
  Menu("JKeisan");
  EXPECT_EQ(asker.questions.last(), "死石の除去は終わりましたか？");
  EXPECT_TRUE(Panel(0).startsWith("黒 ")) << Panel(0).toStdString();
  QTest::mouseClick(Find("RadioButton1"), Qt::LeftButton);
  EXPECT_EQ(Game().Mode, kModeGame);
  EXPECT_EQ(ShownColour(Sgf("jk")), kWhite);
  EXPECT_EQ(Edit(1), "0");
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("ik"), "4"}}));
  Menu("JKeisan");
  EXPECT_EQ(asker.informed.last(), "「終局モード」に切り替えてください。");
}

TEST_F(Form2Test, GomokuLeavesTheRecordAlone) {
  Press("dd");
  QTest::mouseClick(Find("RadioButton4"), Qt::LeftButton);
  Press("ee");
  Press("ef");
  EXPECT_EQ(ShownColour(Sgf("ee")), kWhite);
  EXPECT_EQ(ShownColour(Sgf("ef")), kBlack);
  EXPECT_EQ(Game().MoveRecord[2], MoveEntry{});
  EXPECT_EQ(Game().MoveRecord[1], (MoveEntry{1, kBlack, Sgf("dd")}));
}

TEST_F(Form2Test, VariationClearAndBringBack) {
  for (const char* p : {"dd", "pp", "dp", "pd"})
    Press(p);
  Click("Button5");
  EXPECT_EQ(Panel(1), "変化手順の検討中");
  Press("qq");
  EXPECT_EQ(Label(Sgf("qq"))->text(), "1");
  asker.answers = {false};
  Click("Button6");
  EXPECT_EQ(asker.questions.last(), "変化手順の検討を続けますか？");
  EXPECT_EQ(Panel(1), "");
  EXPECT_TRUE(Captions().empty());
  EXPECT_EQ(ShownColour(Sgf("qq")), kEmpty);
  Click("Button8");
  EXPECT_EQ(ShownBoard(), DrawBoard({}));
  Menu("CLBack");
  EXPECT_EQ(Game().Position, 4);
  EXPECT_EQ(Captions(), (std::map<PointIndex, QString>{{Sgf("pd"), "4"}}));
}

TEST_F(Form2Test, YoseCountThroughTheButtonAndFreeClicks) {
  Press("dd");
  Click("Button10");
  EXPECT_EQ(Find<QPushButton>("Button10")->text(), "黒番処理");
  EXPECT_TRUE(Find<QRadioButton>("RadioButton2")->isChecked());
  EXPECT_EQ(Panel(1), "出入計算中");
  EXPECT_EQ(Panel(0), "黒番のヨセをダメ詰めまで打ち、「黒番処理」ボタンをクリックしてください。");
  Press("ab");  // black first: black at "ab"
  Click("Button10");
  EXPECT_EQ(Find<QPushButton>("Button10")->text(), "白番処理");
  EXPECT_EQ(ShownColour(Sgf("ab")), kEmpty);
  Press("ab", Qt::RightButton);
  Click("Button10");
  EXPECT_EQ(Find<QPushButton>("Button10")->text(), "出入計算");
  EXPECT_EQ(Panel(0), QString("出入り　%1目です。").arg(Game().YoseResult));
  EXPECT_NE(Game().YoseResult, 0);
  EXPECT_EQ(ShownColour(Sgf("ab")), kEmpty);
  EXPECT_EQ(ShownColour(Sgf("dd")), kBlack);
  // Selecting the already selected mode button again runs nothing.
  QTest::mouseClick(Find("RadioButton2"), Qt::LeftButton);
  EXPECT_EQ(Game().Mode, kModeFree);
}

TEST_F(Form2Test, NigiriAnnouncesByTheParityOfTheShownStones) {
  Menu("NGWhite");
  EXPECT_EQ(asker.informed.last(), "「握り（黒石丁半）」を先に実行してください。");
  Press("dd");
  for (bool odd : {true, false}) {
    asker.answers = {odd};
    Menu("NGBlack");
    EXPECT_EQ(ShownColour(301), kBlack);
    EXPECT_EQ(ShownColour(320), odd ? kEmpty : kBlack);
    EXPECT_EQ(Panel(0), "次に「白石表示」を実行してください。");
    int whites = 0;
    asker.onInform = [&] {
      for (PointIndex p = 1; p <= kPointCount; ++p)
        whites += ShownColour(p) == kWhite;
    };
    Menu("NGWhite");
    asker.onInform = nullptr;
    ASSERT_GE(whites, 20);
    ASSERT_LE(whites, 39);
    const bool guessedRight = (whites % 2 == 1) == odd;
    EXPECT_EQ(asker.informed.last(),
              guessedRight ? "黒石を置いた人が先番です。" : "白石を握った人が先番です。");
    EXPECT_EQ(ShownBoard(), DrawBoard({}));
    EXPECT_EQ(Game().Position, 0);
    EXPECT_EQ(Game().NigiriGuess, 0);
  }
}

}  // namespace
}  // namespace kirobaku::test
