// TDBGrid: a grid that shows and edits a dataset in place, row by row, as the
// game-record window's list of games does.
//
// The grid's model reads the displayed fields of the rows as the view shows
// them, a block of rows at a time (the dataset's current row and its scroll
// events kept), never all rows: a list of years of games opens and scrolls
// at once. What was read is kept; it is read again (coalesced, after the
// event that caused it) when the dataset's state or data change from outside
// the grid.
//
// Editing follows the dataset's rules: typing into a cell of a row puts the
// dataset into edit on that row (or keeps the appended row in insert), the
// cell's text is written into its field, and moving to another row posts the
// row (the dataset's move does that). Down on the last row appends a new row,
// Escape cancels the pending row, Delete asks for confirmation and deletes the
// current row. Strings are shown and edited as Unicode and stored as CP932.
//
// A refused edit (a character CP932 lacks, a number that is not one, a post
// the engine refuses) is reported through ShowError and never travels
// through Qt's code: the cell keeps the user's text for correction, the row
// stays current and pending, and leaving it writes the kept texts again
// first, so a refused text is never posted as something else and never
// dropped without a word.
//
// Rows can change under the grid (another program shares the table). A move
// to a row compares what the grid shows there with the row the dataset now
// has; when they differ the list is read again (ListChanged tells the window)
// and the row the user clicked is looked for by its first column. Chosen()
// keeps what the user saw on the row they chose, so a command can check that
// it still acts on that game.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QTableView>
#include <functional>
#include <map>
#include <vector>

#include "db/dataset/data_source.h"

namespace kirobaku {

// One column of the grid: the field by position, its title and width.
struct TGridColumn {
  int field = 0;
  QString title;
  int width = 64;
};

// The model takes the data source's change hooks for its lifetime, so it must
// go before the source does.
class TDataSetGridModel : public QAbstractTableModel {
 public:
  TDataSetGridModel(kura::TDataSource* source, std::vector<TGridColumn> columns,
                    QObject* parent = nullptr);
  ~TDataSetGridModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  const std::vector<TGridColumn>& Columns() const { return columns_; }
  kura::TDataSet* DataSet() const { return source_->DataSet(); }
  // Reads every row again; the dataset's current row stays current.
  void Reload();
  // The grid row of the dataset's current row (-1 when there is none).
  int CurrentRow() const { return current_; }
  // Makes grid row `row` the dataset's current row (posting a pending row).
  // False when the pending row could not be posted (reported); the row
  // stays current then.
  bool MoveTo(int row);
  // Posts the pending row (an appended row nothing was typed into is
  // cancelled instead); false when it was refused (reported).
  bool PostPending();
  // Reads the current row again; when it no longer shows what the grid
  // shows, the list is read again (as a move to a changed row does).
  void CheckCurrentRow();
  // Cancels the pending row and forgets the refused texts.
  void CancelPending();
  // What the grid showed on the row the user chose (empty when none).
  const std::vector<QString>& Chosen() const { return chosen_; }
  // The displayed texts of the dataset's current record, read now.
  std::vector<QString> CurrentTexts() const;
  // Whether a cell of the current row holds a text that was refused.
  bool HasRefusedText() const { return !refused_.empty(); }

  // Where refusals are reported; without it they are thrown.
  std::function<void(const QString&)> ShowError;
  // Called when a move found the rows changed under the grid.
  std::function<void()> ListChanged;
  // While it returns true, a scheduled reading of the rows waits.
  std::function<bool()> Deferring;
  bool ReloadPending() const { return reload_pending_; }

 private:
  void ScheduleReload();
  QString FieldText(int column) const;
  void WriteField(int column, const QString& text);
  // Runs `action`; an error is reported and false returned.
  template <typename F>
  bool Guarded(F&& action);
  // Writes the refused texts again; false (reported) while one is refused.
  bool WriteRefused();
  void BeginEdit();
  bool MoveToRecord(int row);
  void FollowChange(const std::vector<QString>& seen);
  void ShowRow(int row, const std::vector<QString>& texts);
  void FillRows(int row) const;

  kura::TDataSource* source_;
  std::vector<TGridColumn> columns_;
  // What the grid shows, and the rows as last read in browse state; an empty
  // entry is a row not read yet.
  mutable std::vector<std::vector<QString>> rows_;
  mutable std::vector<std::vector<QString>> snapshot_;
  std::map<int, QString> refused_;  // column -> refused text of the current row
  std::vector<QString> chosen_;
  int current_ = -1;
  mutable bool reloading_ = false;
  bool reload_pending_ = false;
};

class TDBGrid : public QTableView {
 public:
  TDBGrid(kura::TDataSource* source, std::vector<TGridColumn> columns, QWidget* parent);

  TDataSetGridModel& Model() { return *model_; }
  // Asked before the grid deletes a row; the row stays unless it returns true.
  std::function<bool()> ConfirmDelete;
  // Ends the cell editor (its text goes to the model) and posts the pending
  // row; false when something was refused (reported), the row kept.
  bool FinishEditing();
  // While frozen the grid reads no rows (a bulk change is under way); it
  // reads them when thawed.
  void SetFrozen(bool frozen);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void mousePressEvent(QMouseEvent* event) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  void FollowDataSet();

  TDataSetGridModel* model_;
  bool following_ = false;
  bool frozen_ = false;
};

}  // namespace kirobaku
