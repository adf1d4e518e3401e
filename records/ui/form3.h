// The game-record window "棋譜処理", opened modally from the main window's menu:
// the grid of stored games over the list query, the six command buttons, the
// import's instructions and folder and file lists, a status bar and the menus
// ヘルプ and 碁盤に戻る.
//
// Import has two states: normal, and choosing (instructions and both lists
// shown). The first press of 棋譜取込 enters choosing; a click in the file list
// arms the import with the clicked file; キャンセル returns to normal.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

#include "records/ui/db_grid.h"

class QLabel;
class QListWidget;
class QStatusBar;
class QTreeView;
class QFileSystemModel;

namespace kirobaku {

// What the window uses of the program around it.
struct TForm3Services {
  kura::TDataSource* list = nullptr;           // the list query, shown and edited in the grid
  QString programDir;                          // the folder list returns here after an import
  std::function<void(const QString&)> inform;  // a plain message box with OK
  std::function<bool()> confirmDelete;         // the grid's question before it deletes a row
  std::function<void()> help;                  // the help file's contents page
};

class TForm3 : public QDialog {
 public:
  explicit TForm3(QWidget* owner, TForm3Services services = {});
  // The grid goes first: it holds the data source's event hooks.
  ~TForm3() override { delete grid_; }

  void Button5Click();
  void Button7Click();
  void FileListBox1Click();
  void Help1Click();
  void N1Click() { close(); }

  // The folder the folder list shows (the process's current folder).
  void ChangeFolder(const QString& folder);
  bool FileChosen() const { return fileChosen_; }
  const QString& ChosenFile() const { return chosenFile_; }
  bool Choosing() const;
  QStatusBar* StatusBar() const { return statusBar1_; }

 private:
  void ShowImport(bool shown);
  void FillFileList();

  TForm3Services services_;
  TDBGrid* grid_ = nullptr;
  std::unique_ptr<kura::TDataSource> emptySource_;  // the grid's source without a list
  QLabel* label4_ = nullptr;
  QTreeView* directoryListBox1_ = nullptr;
  QFileSystemModel* folders_ = nullptr;
  QListWidget* fileListBox1_ = nullptr;
  QStatusBar* statusBar1_ = nullptr;
  bool fileChosen_ = false;
  QString chosenFile_;
};

}  // namespace kirobaku
