// Whole collections: a game-record database of GAMES stored games (default
// 100,000), built from the real games of the test data (their moves shifted
// per copy, so that no two are equal), and what a user does with it:
//
//   import    the bulk import (TGameImport, many games to a commit) of the
//             whole collection into a fresh database, in games per second;
//             the files are read once beforehand, so the figure is the store
//   P4 load   LoadGame(k) for 1,000 random k, mean time per load
//   list TEXT `kifu list DB TEXT` (the tool, a process of its own) for a text
//             found in one comment in a thousand
//   window    the game-record window opened on the database (offscreen),
//             then selecting 200 random rows, each scrolled to, and editing a
//             comment and posting it by leaving the row, mean time per step
//   duplicates the index of the stored games by their key moves, read over
//             all stored games, and a lookup of a game
//   window imp the window's import of 5,000 files chosen together
//
// Targets: import >= 5,000 games/s from kifu import (>= 1,000 through the
// window); P4 <= 1 ms; window opens <= 0.5 s, steps instant; list <= 1 s.
// Usage: bench_collection_bench [GAMES [DIR]]
//   DIR: where the database goes; it is kept there, and a later run with the
//   same GAMES reuses it (the import figure is then skipped).
#include <stdlib.h>

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/common/code_page.h"
#include "records/data_module.h"
#include "records/duplicates.h"
#include "records/record_file.h"
#include "records/sgf_writer.h"
#include "records/ui/form3.h"
#include "tests/support/fake_board_view.h"

namespace {

using Clock = std::chrono::steady_clock;
using kirobaku::Record;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Game {
  std::string comment;
  Record record{};
};

// The real games of the test data, read once.
std::vector<Game> RealGames() {
  std::vector<Game> games;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(KIROBAKU_TEST_DATA "/sgf")) {
    if (kirobaku::FormatOfFileName(entry.path()) == kirobaku::RecordFormat::kUnknown) continue;
    Game g;
    g.comment = kirobaku::ReadGameRecord(entry.path(), g.record);
    if (g.record[1].colour > 0) games.push_back(std::move(g));
  }
  return games;
}

// Copy i of a real game: every point moved along by i / games (mod 361), and
// the copy's number in its comment.
Game CopyOf(const std::vector<Game>& real, int i) {
  Game g = real[static_cast<std::size_t>(i) % real.size()];
  const int shift = i / static_cast<int>(real.size());
  for (std::size_t k = 1; k < g.record.size() && g.record[k].colour > 0; ++k)
    g.record[k].point = (g.record[k].point - 1 + shift) % 361 + 1;
  // Appended piece by piece: GCC 12 at -O2 takes "literal" + std::string&&
  // for an overlapping copy (-Wrestrict).
  std::string comment = "#";
  comment += std::to_string(i);
  comment += ' ';
  comment += g.comment;
  g.comment = std::move(comment);
  return g;
}

void ImportFigure(const std::string& db, int games) {
  const std::vector<Game> real = RealGames();
  std::vector<Game> all;
  all.reserve(static_cast<std::size_t>(games));
  for (int i = 0; i < games; ++i)
    all.push_back(CopyOf(real, i));
  kirobaku::TDataModule1 data(db);
  const auto start = Clock::now();
  kirobaku::TGameImport bulk(data);
  for (const Game& g : all) {
    bulk.Store(g.comment, g.record);
    bulk.CommitWhenFull();
  }
  bulk.Commit();
  const double s = Seconds(start);
  std::printf("import      %d games in %.2f s: %.0f games/s (%d games to a commit)\n", games, s,
              games / s, kirobaku::TGameImport::kGamesPerCommit);
}

void LoadFigure(const std::string& db, int games) {
  kirobaku::TDataModule1 data(db);
  std::mt19937 rng(4);
  Record r{};
  data.LoadGame(1, r);  // opens the table once
  const int loads = 1000;
  const auto start = Clock::now();
  for (int i = 0; i < loads; ++i)
    data.LoadGame(static_cast<std::int32_t>(rng() % static_cast<unsigned>(games)) + 1, r);
  std::printf("P4 load     %.3f ms a game (%d loads of %d stored games)\n",
              Seconds(start) * 1000 / loads, loads, games);
}

void ListFigure(const std::string& db, int games) {
  // "000 " ends the number of one comment in a thousand ("#1000 ", "#2000 ").
  std::string command = KIROBAKU_BIN_DIR "/../tools/bin/kifu list ";
  command += db;
  command += " '000 ' > /dev/null";
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  std::printf("list TEXT   %.3f s for kifu list over %d games (status %d)\n", Seconds(start), games,
              status);
}

void DuplicatesFigure(const std::string& db) {
  kirobaku::TDataModule1 data(db);
  auto start = Clock::now();
  kirobaku::TGameIndex index(data);
  std::printf("duplicates  index of %zu games read in %.3f s", index.Games(), Seconds(start));
  Record r{};
  data.LoadGame(7, r);
  start = Clock::now();
  const std::int32_t same = index.Find(r);
  std::printf(", a lookup %.3f ms (found %d)\n", Seconds(start) * 1000, same);
}

// What a game-record window needs around it: the database at `db`, a board
// nobody sees, its game.
struct TWindowRig {
  explicit TWindowRig(const std::string& db) : data(db), game(main) {
    services.data = &data;
    services.game = &game;
    services.main = &main;
  }
  kirobaku::TDataModule1 data;
  kirobaku::test::FakeBoardView main;
  kirobaku::GameState game;
  kirobaku::TForm3Services services;
};

void WindowFigure(const std::string& db, int games) {
  TWindowRig rig(db);
  auto start = Clock::now();
  kirobaku::TForm3 form(nullptr, rig.services);
  form.show();
  QApplication::processEvents();
  std::printf("window      opens in %.3f s over %d games", Seconds(start), games);
  auto* grid = form.findChild<QTableView*>(QStringLiteral("DBGrid1"));
  std::mt19937 rng(5);
  const int steps = 200;
  start = Clock::now();
  for (int i = 0; i < steps; ++i) {
    const int row = static_cast<int>(rng() % static_cast<unsigned>(grid->model()->rowCount()));
    grid->setCurrentIndex(grid->model()->index(row, 1));
    grid->scrollTo(grid->currentIndex());
    QApplication::processEvents();
  }
  std::printf("; select %.3f ms a row", Seconds(start) * 1000 / steps);
  start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    const int row = static_cast<int>(rng() % static_cast<unsigned>(grid->model()->rowCount() - 1));
    grid->setCurrentIndex(grid->model()->index(row, 1));
    grid->model()->setData(grid->model()->index(row, 1), QStringLiteral("検討 %1").arg(i),
                           Qt::EditRole);
    grid->setCurrentIndex(grid->model()->index(row + 1, 1));  // leaving posts
    QApplication::processEvents();
  }
  std::printf("; edit and post %.3f ms a row\n", Seconds(start) * 1000 / 20);
}

// The window's import: FILES copies of the real games written as files
// (their moves shifted so that no two are equal), all chosen in the file
// list, imported by the second press of 棋譜取込; in games per second,
// reading the files and the duplicates index included.
void WindowImportFigure(const std::string& dir, int files) {
  const std::vector<Game> real = RealGames();
  const std::string folder = dir + "/files";
  std::filesystem::remove_all(folder);
  std::filesystem::remove_all(dir + "/window-kifu");
  std::filesystem::create_directories(folder);
  for (int i = 0; i < files; ++i) {
    const Game g = CopyOf(real, 1000000 + i);
    std::FILE* f = std::fopen((folder + "/g" + std::to_string(i) + ".sgf").c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot write the game files");
    const std::string text = kirobaku::WriteSgfText(g.comment, g.record);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  TWindowRig rig(dir + "/window-kifu");
  rig.services.programDir = QString::fromStdString(folder);
  QDir::setCurrent(QString::fromStdString(folder));
  kirobaku::TForm3 form(nullptr, rig.services);
  form.show();
  auto* importButton = form.findChild<QPushButton*>(QStringLiteral("Button7"));
  auto* list = form.findChild<QListWidget*>(QStringLiteral("FileListBox1"));
  importButton->click();
  list->selectAll();
  form.FileListBox1Click();
  const auto start = Clock::now();
  importButton->click();
  const double s = Seconds(start);
  std::printf("window imp  %d files in %.2f s: %.0f games/s (%s)\n", files, s, files / s,
              form.StatusBar()->currentMessage().toStdString().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  const int games = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (games < 2) return 2;
  std::string dir;
  bool keep = false, reuse = false;
  if (argc > 2) {
    dir = std::string(argv[2]) + "/collection-bench-" + std::to_string(games);
    keep = true;
    reuse = std::filesystem::exists(dir + "/complete");
    if (!reuse) {
      std::filesystem::remove_all(dir);
      std::filesystem::create_directories(dir);
    }
  } else {
    char pattern[] = "/tmp/collection-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) return 2;
    dir = made;
  }
  const std::string db = dir + "/kifu";
  try {
    if (!reuse) {
      ImportFigure(db, games);
      std::FILE* complete = std::fopen((dir + "/complete").c_str(), "w");
      if (complete != nullptr) std::fclose(complete);
    }
    LoadFigure(db, games);
    ListFigure(db, games);
    DuplicatesFigure(db);
    WindowFigure(db, games);
    WindowImportFigure(dir, 5000);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "collection bench: %s\n", e.what());
    if (!keep) std::filesystem::remove_all(dir);
    return 1;
  }
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
