// The game-record window "棋譜処理", opened modally from the main window's menu:
// the grid of stored games over the list query, the six command buttons, the
// import's instructions and folder and file lists, a status bar and the menus
// ヘルプ and 碁盤に戻る.
//
// Import has two states: normal, and choosing (instructions and both lists
// shown). The first press of 棋譜取込 enters choosing; a click in the file list
// arms the import with the clicked file; キャンセル returns to normal.
//
// Keys: Enter never presses a command button unless the user moved the focus
// to it (Enter confirms cell edits and input-method conversions). Every way
// of closing (碁盤に戻る, the title bar, Escape, a load) first posts a row
// being edited in the grid; when the row is refused the window stays open
// with the row kept. A command acts on the game whose row the user chose, as
// the grid showed it: when another program changed or deleted that game
// meanwhile, the command says so, reads the list again and does nothing.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "board/board_view.h"
#include "board/game_state.h"
#include "records/data_module.h"
#include "records/duplicates.h"
#include "records/ui/db_grid.h"

class QKeyEvent;
class QLabel;
class QProgressBar;
class QListWidget;
class QStatusBar;
class QTreeWidget;

namespace kirobaku {

// What the window uses of the program around it. Without a data module the
// window shows an empty grid and its data commands do nothing.
struct TForm3Services {
  TDataModule1* data = nullptr;  // the game-record database and its queries
  GameState* game = nullptr;     // the main board's game: its MoveRecord is loaded and stored
  // The main window: its status bar, its sounds, its boxes (the questions and
  // the plain message box).
  BoardView* main = nullptr;
  QString programDir;                     // the folder list returns here after an import
  std::function<bool()> confirmDelete;    // the grid's question before it deletes a row
  std::function<void()> help;             // the help file's contents page
  // The application's error box; without it errors go to main's message box.
  std::function<void(const QString&)> showError;
};

// The game number last loaded, stored, rotated or deleted, kept while the
// program runs (0 at start): the window returns to it when opened again.
extern std::int32_t LastGameNumber;

class TForm3 : public QDialog {
 public:
  explicit TForm3(QWidget* owner, TForm3Services services = {});
  // The grid goes first: it holds the data source's event hooks.
  ~TForm3() override { delete grid_; }

  void FormCreate();
  void Button1Click();
  void Button2Click();
  void Button5Click();
  void Button7Click();
  void Button8Click();
  void Button9Click();
  void FileListBox1Click();
  void Help1Click();
  void N1Click() { close(); }
  void done(int result) override;

  // The folder the folder list shows (the process's current folder).
  void ChangeFolder(const QString& folder);
  bool FileChosen() const { return fileChosen_; }
  const QString& ChosenFile() const { return chosenFile_; }
  bool Choosing() const;
  QStatusBar* StatusBar() const { return statusBar1_; }

 private:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void ShowImport(bool shown);
  // The number of the game on the row the user chose (0 on an empty list),
  // remembered as the last game number; none when the row no longer shows
  // what is stored (said in the status bar, the list read again).
  std::optional<std::int32_t> SelectedNumber();
  void ShowError(const QString& text);
  bool Ask(std::int32_t n, const char* question);
  void SetStatus(const QString& text);
  void Import();
  void ImportFiles(const QStringList& files);
  void ReportImport(int stored, int skipped, int unreadable, bool many, const std::string& unkept);
  void SetImporting(bool importing, int files);
  void FillFolderList();
  void FillFileList();

  TForm3Services services_;
  TDBGrid* grid_ = nullptr;
  std::unique_ptr<kura::TDataSource> emptySource_;  // the grid's source without a list
  QLabel* label4_ = nullptr;
  QTreeWidget* directoryListBox1_ = nullptr;
  QListWidget* fileListBox1_ = nullptr;
  QStatusBar* statusBar1_ = nullptr;
  QWidget* menuBar_ = nullptr;
  QElapsedTimer shown_;  // since the window was shown
  QProgressBar* progressBar1_ = nullptr;
  bool fileChosen_ = false;
  QString chosenFile_;
  QStringList chosenFiles_;  // when several files are chosen
  bool importing_ = false;
  bool cancelRequested_ = false;
  // The stored games by their moves, read at the first import of this
  // opening and kept up to date by the window's own commands.
  std::optional<TGameIndex> stored_;
};

}  // namespace kirobaku
