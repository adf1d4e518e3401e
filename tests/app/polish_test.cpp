// What a Japanese user sees beyond the layout: the boxes' buttons, the printed
// figure's image, the dead-group marks and the star points.
#include <QAbstractButton>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTimer>

#include "window_fixture.h"

namespace kirobaku::test {
namespace {

class PolishTest : public WindowTest {};

// Shows a real box through the production asker, reads its button texts and
// presses the button named `press`.
template <typename Ask>
QStringList ButtonsOfBox(Ask ask, const QString& press) {
  QStringList texts;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    QAbstractButton* target = nullptr;
    for (QAbstractButton* b : box->buttons()) {
      texts << b->text();
      if (b->text() == press) target = b;
    }
    texts.sort();
    if (target != nullptr) {
      target->click();
    } else {
      box->reject();
    }
  });
  ask();
  return texts;
}

TEST_F(PolishTest, BoxesNameTheirButtonsInJapanese) {
  MessageBoxAsker real;
  bool answer = true;
  EXPECT_EQ(
      ButtonsOfBox([&] { answer = real.YesNo("半は「はい」、丁は「いいえ」を選んでください。"); },
                   "いいえ"),
      (QStringList{"いいえ", "はい"}));
  EXPECT_FALSE(answer);
  EXPECT_EQ(ButtonsOfBox([&] { answer = real.YesCancel("q"); }, "キャンセル"),
            (QStringList{"はい", "キャンセル"}));
  EXPECT_FALSE(answer);
  EXPECT_EQ(ButtonsOfBox([&] { answer = real.YesCancel("q"); }, "はい"),
            (QStringList{"はい", "キャンセル"}));
  EXPECT_TRUE(answer);
  EXPECT_EQ(ButtonsOfBox([&] { real.Inform("i"); }, "OK"), QStringList{"OK"});
  EXPECT_EQ(ButtonsOfBox([&] { real.Error("e"); }, "OK"), QStringList{"OK"});
}

// Pixels of `image` in `area` that are not the window's background colour.
int Marked(const QImage& image, const QRect& area) {
  const QRgb background = qRgb(240, 240, 255);
  int marked = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (image.pixel(x, y) != background) ++marked;
    }
  }
  return marked;
}

// Whether some column of `area` holds a run of `length` dark pixels.
bool HasDarkColumn(const QImage& image, const QRect& area, int length) {
  for (int x = area.left() + 2; x < area.right() - 1; ++x) {
    int run = 0;
    for (int y = area.top() + 2; y < area.bottom() - 1; ++y) {
      run = qGray(image.pixel(x, y)) < 96 ? run + 1 : 0;
      if (run >= length) return true;
    }
  }
  return false;
}

TEST_F(PolishTest, ThePrintedFigureShowsOnlyTheFigure) {
  // On screen the scale ends where the bar ends.
  const QImage screen = form->FigureImage().toImage();
  const QRect bar = Find("TrackBar1")->geometry();
  EXPECT_GT(Marked(screen, QRect(bar.left(), 380, bar.width(), 16)), 0);
  EXPECT_EQ(Marked(screen, QRect(bar.right() + 1, 360, 735 - bar.right() - 1, 36)), 0);

  for (const char* p : {"ab", "aa", "ss", "sr", "ba", "sq", "aa"})
    Press(p);
  Menu("PRJunbi");
  auto* memo1 = Find<QPlainTextEdit>("Memo1");
  const int flash = QApplication::cursorFlashTime();
  QApplication::setCursorFlashTime(0);  // a caret that never blinks off
  memo1->setFocus();
  QTest::keyClicks(memo1, "Title");
  const bool focused = memo1->hasFocus();
  const QImage onScreen = form->grab(form->ClientArea()).toImage();
  const QImage figure = form->FigureImage().toImage();
  QApplication::setCursorFlashTime(flash);
  EXPECT_EQ(memo1->hasFocus(), focused);  // the user goes on typing after the grab
  // Beside the boxes (544..718) nothing shows: no handle sliver, no scale.
  EXPECT_EQ(Marked(figure, QRect(536, 16, 8, 508)), 0);
  EXPECT_EQ(Marked(figure, QRect(719, 16, 16, 508)), 0);
  // The caret is a dark column as tall as the line; no glyph of "Title" is.
  const QRect box = memo1->geometry();
  EXPECT_TRUE(HasDarkColumn(onScreen, box, 12));
  EXPECT_FALSE(HasDarkColumn(figure, box, 12));
  Menu("PRCancel");
  EXPECT_TRUE(Find("TrackBar1")->isVisible());
  EXPECT_TRUE(Find("Label363")->isVisible());
}

TEST_F(PolishTest, DeadGroupMarksContrastWithTheirStones) {
  QTest::mouseClick(Find("RadioButton2"), Qt::LeftButton);  // free placement
  Press("dd");                                              // a black stone without a number
  Press("pp", Qt::RightButton);                             // a white one
  QTest::mouseClick(Find("RadioButton3"), Qt::LeftButton);
  ASSERT_EQ(Game().Mode, kModeEnd);
  for (const char* p : {"dd", "pp"}) {
    Press(p);
    QLabel* label = Label(Sgf(p));
    EXPECT_EQ(label->text(), "*");
    const QColor mark = label->palette().color(QPalette::WindowText);
    EXPECT_EQ(mark, ShownColour(Sgf(p)) == kBlack ? QColor(Qt::white) : QColor(Qt::black)) << p;
    Press(p);  // removed
  }
}

TEST_F(PolishTest, StarPointsAreSolidFiveByFiveDots) {
  const QImage board = form->FigureImage().toImage();
  for (PointIndex p : {61, 181, 301}) {
    const int cx = 16 + 28 * ColumnOf(p), cy = 16 + 28 * RowOf(p);
    int black = 0;
    for (int y = cy - 3; y <= cy + 3; ++y) {
      for (int x = cx - 3; x <= cx + 3; ++x) {
        if (qGray(board.pixel(x, y)) < 64) ++black;
      }
    }
    // 21 dot pixels, plus the grid lines' pixels in the ring around the dot.
    EXPECT_EQ(black, 21 + 4) << p;
    for (int d = -2; d <= 2; ++d) {
      EXPECT_LT(qGray(board.pixel(cx + d, cy - 1)), 64) << p;
      EXPECT_LT(qGray(board.pixel(cx - 1, cy + d)), 64) << p;
    }
  }
}

}  // namespace
}  // namespace kirobaku::test
