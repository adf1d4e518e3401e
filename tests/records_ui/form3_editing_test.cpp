// The game-record window with a user's input in flight: keys that confirm
// edits press no command button, a refused edit keeps the grid working and the
// user's text, a row another program changed never makes a command act on
// another game, and closing the window never drops an edit.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "db/common/code_page.h"
#include "records/ui/form3.h"
#include "tests/support/fake_board_view.h"

namespace kirobaku {
namespace {

Record Game(int seed, int moves) {
  Record r{};
  for (int i = 1; i <= moves; ++i)
    r[static_cast<std::size_t>(i)] = MoveEntry{i, 2 - i % 2, (seed * 37 + i * 11) % 361 + 1};
  return r;
}

struct WindowFixture : ::testing::Test {
  QTemporaryDir dir;
  std::string db = dir.filePath(QStringLiteral("kifu")).toStdString();
  TDataModule1 data{db};
  test::FakeBoardView main;
  GameState game{main};
  std::unique_ptr<TForm3> form;

  void SetUp() override {
    for (int g = 1; g <= 3; ++g)
      ASSERT_EQ(data.StoreImportedGame("game " + std::to_string(g), Game(g, 20)), g);
    // Three moves played on the board.
    game.MoveRecord = Game(7, 3);
    game.ReplayTo(3, 3);
    LastGameNumber = 0;
    Open();
  }
  void TearDown() override {
    form.reset();
    LastGameNumber = 0;
  }

  void Open() {
    TForm3Services services;
    services.data = &data;
    services.game = &game;
    services.main = &main;
    services.programDir = dir.path();
    form = std::make_unique<TForm3>(nullptr, services);
    form->show();  // a shown dialog picks its default button
    Grid()->setFocus();
    Settle();
  }

  QTableView* Grid() { return form->findChild<QTableView*>(QStringLiteral("DBGrid1")); }
  QPushButton* Button(const char* name) {
    return form->findChild<QPushButton*>(QString::fromLatin1(name));
  }
  QString Cell(int row, int column) {
    return Grid()->model()->index(row, column).data().toString();
  }
  static void Settle() {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void Click(int row) {
    QTableView* grid = Grid();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(row, 1)).center());
    Settle();
  }
  // Opens the cell's editor, puts text into it (as an input method does) and
  // confirms it with Enter.
  void Type(int row, int column, const QString& text) {
    QTableView* grid = Grid();
    const QModelIndex index = grid->model()->index(row, column);
    grid->setCurrentIndex(index);
    grid->edit(index);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(index));
    ASSERT_NE(editor, nullptr);
    editor->setText(text);
    QTest::keyClick(editor, Qt::Key_Return);
    Settle();
  }
  void Key(QWidget* to, Qt::Key key) {
    QTest::keyClick(to, key);
    Settle();
  }
  std::string StoredComment(std::int32_t n) {
    TDataModule1 other(db);
    other.OpenList(TDataModule1::kListedGames);
    if (!other.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{n})}, {})) return "(none)";
    return kura::Cp932ToUtf8(other.KuraQuery1.Fields()[1].AsString());
  }
  Record Stored(std::int32_t n) {
    TDataModule1 other(db);
    Record r{};
    other.LoadGame(n, r);
    return r;
  }
};

TEST_F(WindowFixture, EnterAndEscapePressNoCommandButton) {
  const Record onBoard = game.MoveRecord;
  EXPECT_FALSE(Button("Button1")->isDefault());
  Click(1);
  Type(1, 1, QStringLiteral("検討済み"));
  // Enter after the cell's Enter, and Enter on a selected row.
  Key(Grid(), Qt::Key_Return);
  Key(Grid(), Qt::Key_Enter);
  Key(form.get(), Qt::Key_Return);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(game.MoveRecord, onBoard);
  EXPECT_EQ(game.Position, 3);
  EXPECT_TRUE(main.questions.empty());
  EXPECT_EQ(Cell(1, 1), QStringLiteral("検討済み"));
  // Leaving the row posts the comment the user typed.
  Key(Grid(), Qt::Key_Down);
  EXPECT_EQ(StoredComment(2), "検討済み");

  // Enter presses a button the user moved the focus to.
  Click(0);
  Button("Button9")->setFocus();
  main.answers = {false};
  Key(Button("Button9"), Qt::Key_Return);
  EXPECT_EQ(main.questions, std::vector<std::string>{"1　番を180°回転していいですか？"});

  // Escape closes the window; an edit in flight is posted first.
  Click(2);
  Type(2, 1, QStringLiteral("打ち掛け"));
  Button("Button5")->setFocus();
  Key(Button("Button5"), Qt::Key_Escape);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(StoredComment(3), "打ち掛け");
  EXPECT_EQ(game.MoveRecord, onBoard);
}

TEST_F(WindowFixture, ClosingPostsTheEditOrStaysOpen) {
  // 碁盤に戻る with the cell's editor still open.
  Click(0);
  QTableView* grid = Grid();
  grid->edit(grid->model()->index(0, 1));
  qobject_cast<QLineEdit*>(grid->indexWidget(grid->model()->index(0, 1)))
      ->setText(QStringLiteral("序盤"));
  form->findChild<QAction*>(QStringLiteral("N1"))->trigger();
  Settle();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(StoredComment(1), "序盤");

  // The title bar, with the row edited and its editor closed.
  Open();
  Type(1, 1, QStringLiteral("中盤"));
  form->close();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(StoredComment(2), "中盤");

  // A row that cannot be posted keeps the window open, and the row.
  Open();
  Type(2, 0, QStringLiteral("1"));  // game 1 already has this number
  form->close();
  Settle();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(main.messages.empty());
  EXPECT_EQ(Cell(2, 0), QStringLiteral("1"));
  EXPECT_EQ(StoredComment(3), "game 3");
  Type(2, 0, QStringLiteral("8"));
  form->close();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(StoredComment(8), "game 3");
  EXPECT_EQ(StoredComment(3), "(none)");
}

TEST_F(WindowFixture, RefusedEditsKeepTheUsersTextAndLaterEditsWork) {
  Click(1);
  Type(1, 1, QStringLiteral("이세돌"));
  ASSERT_EQ(main.messages.size(), 1u);
  EXPECT_NE(QString::fromStdString(main.messages[0]).indexOf(QStringLiteral("이")), -1);
  EXPECT_EQ(Cell(1, 1), QStringLiteral("이세돌"));  // kept for correction
  // Leaving the row while the text is refused says so again and stays.
  Key(Grid(), Qt::Key_Down);
  EXPECT_EQ(main.messages.size(), 2u);
  EXPECT_EQ(Grid()->currentIndex().row(), 1);
  EXPECT_EQ(StoredComment(2), "game 2");

  Type(1, 1, QStringLiteral("修正済み"));
  Key(Grid(), Qt::Key_Down);
  EXPECT_EQ(StoredComment(2), "修正済み");
  EXPECT_EQ(Grid()->currentIndex().row(), 2);
  EXPECT_EQ(main.messages.size(), 2u);

  // A number that is not one, said in Japanese; then corrected.
  Type(2, 0, QStringLiteral("abc"));
  ASSERT_EQ(main.messages.size(), 3u);
  EXPECT_NE(main.messages[2].find("「abc」は整数ではありません"), std::string::npos)
      << main.messages[2];
  EXPECT_EQ(Cell(2, 0), QStringLiteral("abc"));
  Type(2, 0, QStringLiteral("5"));
  Type(2, 1, QStringLiteral("五番"));
  Key(Grid(), Qt::Key_Up);
  EXPECT_EQ(StoredComment(5), "五番");
  EXPECT_EQ(Grid()->currentIndex().row(), 1);

  // Another program changes the row the user has chosen and starts typing
  // into (8708): the text stays, and leaving the row stores it over the row
  // as it is now.
  Click(0);
  const std::size_t before = main.messages.size();
  {
    TDataModule1 other(db);
    other.OpenList(TDataModule1::kListedGames);
    ASSERT_TRUE(other.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{1})}, {}));
    other.KuraQuery1.Edit();
    other.KuraQuery1.Fields()[1].SetAsString("other");
    other.KuraQuery1.Post();
  }
  Type(0, 1, QStringLiteral("布石"));
  ASSERT_EQ(main.messages.size(), before + 1);
  EXPECT_NE(main.messages.back().find("8708"), std::string::npos) << main.messages.back();
  EXPECT_EQ(Cell(0, 1), QStringLiteral("布石"));
  Key(Grid(), Qt::Key_Down);
  EXPECT_EQ(main.messages.size(), before + 1);
  EXPECT_EQ(StoredComment(1), "布石");
  EXPECT_EQ(StoredComment(2), "修正済み");
  EXPECT_EQ(StoredComment(5), "五番");
}

TEST_F(WindowFixture, AStaleRowNeverMakesACommandActOnAnotherGame) {
  const auto deleteElsewhere = [&](std::int32_t n) {
    TDataModule1 other(db);
    other.OpenList(TDataModule1::kListedGames);
    ASSERT_TRUE(other.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{n})}, {}));
    other.DeleteGame(n);
  };
  // The row was chosen before the game went.
  Click(1);
  deleteElsewhere(2);
  ASSERT_EQ(Cell(1, 0), QStringLiteral("2"));
  QTest::mouseClick(Button("Button8"), Qt::LeftButton);
  Settle();
  EXPECT_TRUE(main.questions.empty());
  EXPECT_FALSE(Stored(3) == Record{});
  EXPECT_NE(form->StatusBar()->currentMessage().indexOf(QStringLiteral("読み直しました")), -1);
  ASSERT_EQ(Grid()->model()->rowCount(), 2);
  EXPECT_EQ(Cell(1, 0), QStringLiteral("3"));

  // The row is clicked after the game went: the list is read again, and a
  // command on the row clicked says so and does nothing.
  deleteElsewhere(3);
  ASSERT_EQ(Cell(1, 0), QStringLiteral("3"));
  const Record onBoard = game.MoveRecord;
  Click(1);
  EXPECT_EQ(Grid()->model()->rowCount(), 1);
  QTest::mouseClick(Button("Button1"), Qt::LeftButton);
  Settle();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(game.MoveRecord, onBoard);
  // The row the user now sees is the one a command acts on.
  QTest::mouseClick(Button("Button1"), Qt::LeftButton);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(LastGameNumber, 1);
  EXPECT_EQ(game.MoveRecord[1], Game(1, 20)[1]);

  // A game renumbered elsewhere under the number the user sees is another game.
  Open();
  {
    TDataModule1 other(db);
    ASSERT_EQ(other.StoreImportedGame("new 2", Game(9, 20)), 2);
  }
  Settle();
  Click(0);
  {
    TDataModule1 other(db);
    other.OpenList(TDataModule1::kListedGames);
    other.DeleteGame(1);
    ASSERT_EQ(other.StoreImportedGame("new 1", Game(8, 20)), 1);
  }
  main.questions.clear();
  QTest::mouseClick(Button("Button9"), Qt::LeftButton);
  EXPECT_TRUE(main.questions.empty());
  EXPECT_EQ(Stored(1), Game(8, 20));
}

}  // namespace
}  // namespace kirobaku
