// The game-record window's layout and its import states, driven through its
// real widgets.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "records/sgf_reader.h"
#include "records/ui/form3.h"
#include "tests/support/fake_board_view.h"

namespace kirobaku {
namespace {

template <typename W>
W* Child(QWidget& form, const char* name) {
  W* w = form.findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(w, nullptr) << name;
  return w;
}

// A fresh folder holding a copy of a real game record, the current folder
// while the helper lives (the window's folder and file lists start there).
struct TGameFolder {
  TGameFolder() : start(QDir::currentPath()) {
    copied = QFile::copy(QStringLiteral(KIROBAKU_TEST_DATA "/sgf/9handicap.sgf"),
                         dir.filePath(QStringLiteral("9handicap.sgf")));
    QDir::setCurrent(dir.path());
  }
  ~TGameFolder() { QDir::setCurrent(start); }
  QString start;
  QTemporaryDir dir;
  bool copied = false;
};

TEST(Form3Test, LayoutTextsAndColours) {
  TForm3 form(nullptr);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("棋譜処理"));
  EXPECT_TRUE(form.isModal());
  EXPECT_EQ(form.font().family(), QStringLiteral("ＭＳ Ｐゴシック"));
  EXPECT_EQ(form.font().pixelSize(), 12);
  EXPECT_EQ(form.palette().color(QPalette::Window), QColor(240, 240, 255));

  struct Control {
    const char* name;
    QRect geometry;
  };
  for (const Control& c :
       {Control{"DBGrid1", {48, 32, 625, 242}}, Control{"DirectoryListBox1", {408, 296, 121, 217}},
        Control{"FileListBox1", {552, 296, 121, 217}}}) {
    EXPECT_EQ(Child<QWidget>(form, c.name)->geometry(), c.geometry) << c.name;
  }
  EXPECT_EQ(Child<QLabel>(form, "Label4")->pos(), QPoint(56, 296));
  EXPECT_EQ(Child<QLabel>(form, "Label4")->palette().color(QPalette::WindowText),
            QColor(128, 0, 128));

  struct Button {
    const char* name;
    const char* caption;
    QPoint at;
  };
  for (const Button& b :
       {Button{"Button1", "棋譜読込", {48, 392}}, Button{"Button2", "登録・更新", {144, 392}},
        Button{"Button7", "棋譜取込", {48, 440}}, Button{"Button8", "棋譜削除", {144, 440}},
        Button{"Button9", "180°回転", {48, 488}}, Button{"Button5", "キャンセル", {144, 488}}}) {
    auto* button = Child<QPushButton>(form, b.name);
    EXPECT_EQ(button->text(), QString::fromUtf8(b.caption));
    EXPECT_EQ(button->geometry(), QRect(b.at, QSize(75, 25))) << b.name;
  }

  auto* grid = Child<QTableView>(form, "DBGrid1");
  ASSERT_EQ(grid->model()->columnCount(), 2);
  EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("番号"));
  EXPECT_EQ(grid->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("コメント"));
  EXPECT_EQ(grid->model()->headerData(1, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
            int(Qt::AlignCenter));
  EXPECT_EQ(grid->columnWidth(0), 50);
  EXPECT_EQ(grid->columnWidth(1), 540);

  QStringList menu;
  for (const char* name : {"Help1", "N1"})
    menu << Child<QAction>(form, name)->text();
  EXPECT_EQ(menu, (QStringList{QStringLiteral("ヘルプ"), QStringLiteral("碁盤に戻る")}));
  // Opened in the normal import state.
  EXPECT_FALSE(form.Choosing());
  for (const char* name : {"Label4", "DirectoryListBox1", "FileListBox1"}) {
    EXPECT_TRUE(Child<QWidget>(form, name)->isHidden()) << name;
  }
}

TEST(Form3Test, ImportStatesFollowTheButtonsAndTheFileList) {
  QTemporaryDir dir;
  for (const char* name : {"b.ugf", "A.SGF", "c.txt", "d.sgf.bak"}) {
    QFile f(dir.filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
  const QString start = QDir::currentPath();
  QDir::setCurrent(dir.path());
  test::FakeBoardView main;
  TForm3Services services;
  services.main = &main;
  TForm3 form(nullptr, services);
  auto* files = Child<QListWidget>(form, "FileListBox1");
  auto* import = Child<QPushButton>(form, "Button7");

  QTest::mouseClick(import, Qt::LeftButton);
  EXPECT_TRUE(form.Choosing());
  EXPECT_EQ(Child<QLabel>(form, "Label4")->text(),
            QStringLiteral("右の棋譜ファイルリストで目的のファイルを選択し、\r\n"
                           "再度「棋譜取込」ボタンを押してください。\r\n"
                           "番号は自動採番、コメントは自動入力されます。"));
  QStringList listed;
  for (int i = 0; i < files->count(); ++i)
    listed << files->item(i)->text();
  EXPECT_EQ(listed, (QStringList{QStringLiteral("A.SGF"), QStringLiteral("b.ugf")}));
  // A second press before any file was clicked only shows the instructions again.
  QTest::mouseClick(import, Qt::LeftButton);
  EXPECT_TRUE(form.Choosing());
  EXPECT_FALSE(form.FileChosen());
  EXPECT_TRUE(main.messages.empty());

  // Browsing changes the process's folder and the files shown.
  form.ChangeFolder(dir.filePath(QStringLiteral("sub")));
  EXPECT_EQ(QDir::currentPath(), QDir(dir.filePath(QStringLiteral("sub"))).canonicalPath());
  EXPECT_EQ(files->count(), 0);
  // The folder list shows the way down to the current folder; a click on a
  // line above goes back up.
  auto* folders = Child<QTreeWidget>(form, "DirectoryListBox1");
  ASSERT_NE(folders->currentItem(), nullptr);
  EXPECT_EQ(folders->currentItem()->text(0), QStringLiteral("sub"));
  QTreeWidgetItem* up = folders->currentItem()->parent();
  ASSERT_NE(up, nullptr);
  EXPECT_EQ(up->text(0), QFileInfo(dir.path()).fileName());
  QTest::mouseClick(folders->viewport(), Qt::LeftButton, {}, folders->visualItemRect(up).center());
  EXPECT_EQ(QDir::currentPath(), QDir(dir.path()).canonicalPath());
  EXPECT_EQ(files->count(), 2);
  EXPECT_EQ(folders->currentItem()->childCount(), 1);  // "sub"
  form.ChangeFolder(dir.filePath(QStringLiteral("sub")));
  // A click where no file is selected arms the import with an empty name;
  // the press then asks for a file and stays in the choosing state.
  form.FileListBox1Click();
  EXPECT_TRUE(form.FileChosen());
  EXPECT_EQ(form.ChosenFile(), QString());
  QTest::mouseClick(import, Qt::LeftButton);
  EXPECT_EQ(main.messages, std::vector<std::string>{"棋譜ファイルリストを選んでください。"});
  EXPECT_TRUE(form.Choosing());

  form.ChangeFolder(dir.path());
  files->setCurrentRow(1);
  QTest::mouseClick(files->viewport(), Qt::LeftButton, {},
                    files->visualItemRect(files->item(1)).center());
  EXPECT_EQ(form.ChosenFile(), QDir(dir.path()).canonicalPath() + QStringLiteral("/b.ugf"));

  QTest::mouseClick(Child<QPushButton>(form, "Button5"), Qt::LeftButton);
  EXPECT_FALSE(form.Choosing());
  EXPECT_FALSE(form.FileChosen());
  for (const char* name : {"Label4", "DirectoryListBox1", "FileListBox1"}) {
    EXPECT_TRUE(Child<QWidget>(form, name)->isHidden()) << name;
  }
  QDir::setCurrent(start);
}

}  // namespace
}  // namespace kirobaku

namespace kirobaku {
namespace {

// The data commands through the window's buttons, over a real game-record
// database: import by clicking a file and pressing 棋譜取込 twice, rotate
// answered No and Yes, register after stepping back, load, delete.
TEST(Form3Test, DataCommandsThroughTheButtons) {
  TGameFolder folder;
  ASSERT_TRUE(folder.copied);
  QTemporaryDir& dir = folder.dir;
  TDataModule1 data(dir.filePath(QStringLiteral("kifu")).toStdString());
  test::FakeBoardView main;
  GameState game(main);
  TForm3Services services;
  services.data = &data;
  services.game = &game;
  services.main = &main;
  services.programDir = dir.path();
  {
    TForm3 form(nullptr, services);
    auto* files = Child<QListWidget>(form, "FileListBox1");
    QTest::mouseClick(Child<QPushButton>(form, "Button7"), Qt::LeftButton);
    ASSERT_EQ(files->count(), 1);
    files->setCurrentRow(0);
    QTest::mouseClick(files->viewport(), Qt::LeftButton, {},
                      files->visualItemRect(files->item(0)).center());
    QTest::mouseClick(Child<QPushButton>(form, "Button7"), Qt::LeftButton);
    EXPECT_FALSE(form.Choosing());
    EXPECT_EQ(form.StatusBar()->currentMessage(), QStringLiteral("　取込みました。"));
    ASSERT_EQ(Child<QTableView>(form, "DBGrid1")->model()->rowCount(), 1);
    Record stored{};
    data.LoadGame(1, stored);
    const Record imported = game.MoveRecord;
    EXPECT_EQ(stored, imported);

    // No changes nothing; Yes rotates.
    main.answers = {false};
    QTest::mouseClick(Child<QPushButton>(form, "Button9"), Qt::LeftButton);
    EXPECT_EQ(main.questions.back(), "1　番を180°回転していいですか？");
    Record now{};
    data.LoadGame(1, now);
    EXPECT_EQ(now, imported);
    QTest::mouseClick(Child<QPushButton>(form, "Button9"), Qt::LeftButton);
    data.LoadGame(1, now);
    EXPECT_EQ(now[1].point, 362 - imported[1].point);
    EXPECT_EQ(form.StatusBar()->currentMessage(), QStringLiteral("180°回転しました。"));

    // Load: the window closes and the board shows the setup and first move.
    QTest::mouseClick(Child<QPushButton>(form, "Button1"), Qt::LeftButton);
    EXPECT_EQ(main.status[0], "　始めてください。");
    EXPECT_EQ(LastGameNumber, 1);
    EXPECT_GT(game.Position, 0);
  }
  {
    // Register after stepping back stores the entries on the board only.
    game.Position = 3;
    TForm3 form(nullptr, services);
    QTest::mouseClick(Child<QPushButton>(form, "Button2"), Qt::LeftButton);
    EXPECT_EQ(main.questions.back(), "1　番の登録／更新を行っていいですか？");
    Record now{};
    EXPECT_EQ(data.LoadGame(1, now), 3);
    QTest::mouseClick(Child<QPushButton>(form, "Button8"), Qt::LeftButton);
    EXPECT_EQ(form.StatusBar()->currentMessage(), QStringLiteral("　削除しました。"));
    QCoreApplication::processEvents();  // the grid reads the list again
    EXPECT_EQ(Child<QTableView>(form, "DBGrid1")->model()->rowCount(), 0);
  }
}

}  // namespace
}  // namespace kirobaku

namespace kirobaku {
namespace {

Record Game(int seed) {
  Record r{};
  for (int i = 1; i <= 20; ++i)
    r[static_cast<std::size_t>(i)] = MoveEntry{i, 2 - i % 2, (seed * 37 + i * 11) % 361 + 1};
  return r;
}

// Answers of No change nothing but the last game number, which the window
// returns to when it is opened again; rotating twice gives the game back;
// キャンセル shows what another program stored meanwhile; imports take the
// lowest free number.
TEST(Form3Test, NoAnswersReopeningRotatingTwiceAndCancel) {
  TGameFolder folder;
  ASSERT_TRUE(folder.copied);
  QTemporaryDir& dir = folder.dir;
  const std::string db = dir.filePath(QStringLiteral("kifu")).toStdString();
  TDataModule1 data(db);
  for (int g = 1; g <= 3; ++g)
    ASSERT_EQ(data.StoreImportedGame("game " + std::to_string(g), Game(g)), g);
  test::FakeBoardView main;
  GameState game(main);
  game.MoveRecord = Game(9);
  game.Position = 20;
  TForm3Services services{&data, &game, &main, dir.path(), {}, {}, {}};
  const auto stored = [&](std::int32_t n) {
    Record r{};
    data.LoadGame(n, r);
    return r;
  };
  const auto selected = [&] { return data.KuraQuery1.Fields()[0].AsInteger(); };
  LastGameNumber = 0;
  {
    TForm3 form(nullptr, services);
    auto* grid = Child<QTableView>(form, "DBGrid1");
    ASSERT_EQ(grid->model()->rowCount(), 3);
    EXPECT_EQ(grid->currentIndex().row(), 0);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(1, 1)).center());
    EXPECT_EQ(selected(), 2);
    main.answers = {false, false, false};
    for (const char* button : {"Button2", "Button9", "Button8"})
      QTest::mouseClick(Child<QPushButton>(form, button), Qt::LeftButton);
    EXPECT_EQ(main.questions, (std::vector<std::string>{"2　番の登録／更新を行っていいですか？",
                                                        "2　番を180°回転していいですか？",
                                                        "2　番を削除していいですか？"}));
    for (int g = 1; g <= 3; ++g)
      EXPECT_EQ(stored(g), Game(g)) << g;
    EXPECT_EQ(grid->model()->rowCount(), 3);
    EXPECT_TRUE(form.StatusBar()->currentMessage().isEmpty());
    EXPECT_TRUE(main.sounds.empty());
    EXPECT_EQ(LastGameNumber, 2);
    Child<QAction>(form, "N1")->trigger();
  }
  {
    TForm3 form(nullptr, services);
    auto* grid = Child<QTableView>(form, "DBGrid1");
    EXPECT_EQ(grid->currentIndex().row(), 1);
    EXPECT_EQ(selected(), 2);
    QTest::mouseClick(Child<QPushButton>(form, "Button9"), Qt::LeftButton);
    EXPECT_NE(stored(2), Game(2));
    QTest::mouseClick(Child<QPushButton>(form, "Button9"), Qt::LeftButton);
    EXPECT_EQ(stored(2), Game(2));

    // Another program stores a game while the window is open.
    {
      TDataModule1 other(db);
      EXPECT_EQ(other.StoreImportedGame("other", Game(4)), 4);
    }
    QTest::mouseClick(Child<QPushButton>(form, "Button5"), Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_EQ(grid->model()->rowCount(), 4);
    EXPECT_EQ(grid->model()->index(3, 1).data().toString(), QStringLiteral("other"));

    // Delete game 3; importing the file twice then takes 3 and 5.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(2, 0)).center());
    QTest::mouseClick(Child<QPushButton>(form, "Button8"), Qt::LeftButton);
    EXPECT_EQ(main.questions.back(), "3　番を削除していいですか？");
    QCoreApplication::processEvents();
    EXPECT_EQ(grid->model()->rowCount(), 3);
    auto* files = Child<QListWidget>(form, "FileListBox1");
    for (int expected : {3, 5}) {
      QTest::mouseClick(Child<QPushButton>(form, "Button7"), Qt::LeftButton);
      files->setCurrentRow(0);
      QTest::mouseClick(files->viewport(), Qt::LeftButton, {},
                        files->visualItemRect(files->item(0)).center());
      QTest::mouseClick(Child<QPushButton>(form, "Button7"), Qt::LeftButton);
      QCoreApplication::processEvents();
      EXPECT_EQ(selected(), expected);
      EXPECT_EQ(grid->model()->index(grid->currentIndex().row(), 0).data().toInt(), expected);
    }
    EXPECT_EQ(stored(3), stored(5));
    EXPECT_EQ(LastGameNumber, 3);
  }
  {
    // Game 3 is there again; once gone, the first row is current.
    TForm3 form(nullptr, services);
    EXPECT_EQ(selected(), 3);
    data.DeleteGame(3);
    Child<QAction>(form, "N1")->trigger();
  }
  TForm3 form(nullptr, services);
  EXPECT_EQ(Child<QTableView>(form, "DBGrid1")->currentIndex().row(), 0);
  EXPECT_EQ(selected(), 1);
}

}  // namespace
}  // namespace kirobaku

namespace kirobaku {
namespace {

// Several files chosen with one selection go in together: a game already
// stored is asked about, and キャンセル during the import keeps what it stored.
TEST(Form3Test, ImportOfSeveralFilesAsksAboutDuplicatesAndCancels) {
  QTemporaryDir dir;
  const auto write = [&](const char* name, const char* text) {
    QFile f(dir.filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  };
  write("a.sgf", "(;EV[A];B[aa];W[bb];B[cc])");
  write("b.sgf", "(;EV[B];B[dd];W[ee])");
  write("c.ugf", "[Header]\nTitle=C\n[Data]\nPD,B1,1,0\nDP,W2,2,0\n");
  write("d.sgf", "(;EV[D];B[aa];W[bb];B[cc])");  // the moves of a.sgf
  const QString start = QDir::currentPath();
  QDir::setCurrent(dir.path());
  TDataModule1 data(dir.filePath(QStringLiteral("kifu")).toStdString());
  test::FakeBoardView main;
  GameState game(main);
  TForm3Services services{&data, &game, &main, dir.path(), {}, {}, {}};
  TForm3 form(nullptr, services);
  auto* files = Child<QListWidget>(form, "FileListBox1");
  auto* import = Child<QPushButton>(form, "Button7");
  const auto chooseAll = [&] {
    QTest::mouseClick(import, Qt::LeftButton);
    files->selectAll();
    form.FileListBox1Click();
  };
  chooseAll();
  main.answers = {false};
  QTest::mouseClick(import, Qt::LeftButton);
  EXPECT_EQ(main.questions,
            std::vector<std::string>{"「d.sgf」は 1 番と同じ棋譜です。取り込みますか？"});
  EXPECT_EQ(form.StatusBar()->currentMessage(),
            QStringLiteral("　3 局を取込みました。同じ棋譜 1 局は取込みませんでした。"));
  QCoreApplication::processEvents();
  auto* grid = Child<QTableView>(form, "DBGrid1");
  ASSERT_EQ(grid->model()->rowCount(), 3);
  EXPECT_EQ(grid->currentIndex().row(), 2);
  EXPECT_FALSE(form.Choosing());
  EXPECT_TRUE(Child<QPushButton>(form, "Button1")->isEnabled());

  // Yes stores the repeated game too; キャンセル pressed while the import
  // runs stops it after the first file.
  chooseAll();
  main.answers = {true};
  auto* cancel = Child<QPushButton>(form, "Button5");
  QMetaObject::invokeMethod(
      cancel, [cancel] { cancel->click(); }, Qt::QueuedConnection);
  QTest::mouseClick(import, Qt::LeftButton);
  EXPECT_EQ(form.StatusBar()->currentMessage(),
            QStringLiteral("　取込みを中止しました。1 局を取込みました。"));
  Record stored{}, file{};
  data.LoadGame(4, stored);
  ReadSgfFile(dir.filePath(QStringLiteral("a.sgf")).toStdString(), file);
  EXPECT_EQ(stored, file);
  data.OpenList(TDataModule1::kListedGames);
  EXPECT_EQ(data.KuraQuery1.RecordCount(), 4);
  EXPECT_TRUE(Child<QWidget>(form, "ProgressBar1")->isHidden());
  QDir::setCurrent(start);
}

}  // namespace
}  // namespace kirobaku

namespace kirobaku {
namespace {

// Clicks a user makes in passing: the second click of the double-click that
// opened the window lands on its menu bar and does nothing; a click where no
// file is arms the import with no file; a game just imported is shown.
TEST(Form3Test, StrayClicksAndTheImportedRowInView) {
  TGameFolder folder;
  ASSERT_TRUE(folder.copied);
  QTemporaryDir& dir = folder.dir;
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("empty")));
  TDataModule1 data(dir.filePath(QStringLiteral("kifu")).toStdString());
  for (int g = 1; g <= 40; ++g) {
    Record r{};
    r[1] = MoveEntry{1, 1, g};
    r[2] = MoveEntry{2, 2, g + 100};
    data.StoreImportedGame("game " + std::to_string(g), r);
  }
  test::FakeBoardView main;
  GameState game(main);
  int helped = 0;
  TForm3Services services{&data, &game, &main, dir.path(), {}, [&] { ++helped; }, {}};
  TForm3 form(nullptr, services);
  form.show();
  auto* bar = form.findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  const QPoint help = bar->actionGeometry(Child<QAction>(form, "Help1")).center();
  QTest::mouseClick(bar, Qt::LeftButton, {}, help);
  EXPECT_EQ(helped, 0);
  QTest::qWait(QApplication::doubleClickInterval() + 50);
  QTest::mouseClick(bar, Qt::LeftButton, {}, help);
  EXPECT_EQ(helped, 1);

  auto* files = Child<QListWidget>(form, "FileListBox1");
  auto* import = Child<QPushButton>(form, "Button7");
  QTest::mouseClick(import, Qt::LeftButton);
  form.ChangeFolder(dir.filePath(QStringLiteral("empty")));
  QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(form.FileChosen());
  EXPECT_EQ(form.ChosenFile(), QString());
  QTest::mouseClick(import, Qt::LeftButton);
  EXPECT_EQ(main.messages, std::vector<std::string>{"棋譜ファイルリストを選んでください。"});
  EXPECT_TRUE(form.Choosing());

  form.ChangeFolder(dir.path());
  files->setCurrentRow(0);
  QTest::mouseClick(files->viewport(), Qt::LeftButton, {},
                    files->visualItemRect(files->item(0)).center());
  QTest::mouseClick(import, Qt::LeftButton);
  QCoreApplication::processEvents();
  auto* grid = Child<QTableView>(form, "DBGrid1");
  ASSERT_EQ(grid->currentIndex().row(), 40);
  EXPECT_TRUE(grid->viewport()->rect().contains(grid->visualRect(grid->currentIndex())));
}

}  // namespace
}  // namespace kirobaku
