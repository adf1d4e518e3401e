// TDBGrid: a grid that shows and edits a dataset in place, row by row, as the
// game-record window's list of games does.
//
// The grid's model keeps a snapshot of the displayed fields of every row,
// read in the dataset's order, so painting never moves the dataset. The
// snapshot is read again (coalesced, after the event that caused it) when the
// dataset's state or data change from outside the grid.
//
// Editing follows the dataset's rules: typing into a cell of a row puts the
// dataset into edit on that row (or keeps the appended row in insert), the
// cell's text is written into its field, and moving to another row posts the
// row (the dataset's move does that). Down on the last row appends a new row,
// Escape cancels the pending row, Delete asks for confirmation and deletes the
// current row. Strings are shown and edited as Unicode and stored as CP932; a
// character CP932 lacks is refused with an error that names it, and nothing
// is written. Errors of the dataset reach the application's error display.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QTableView>
#include <functional>
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
  void MoveTo(int row);

 private:
  void ScheduleReload();
  QString FieldText(int column) const;
  void WriteField(int column, const QString& text);

  kura::TDataSource* source_;
  std::vector<TGridColumn> columns_;
  std::vector<std::vector<QString>> rows_;      // what the grid shows
  std::vector<std::vector<QString>> snapshot_;  // the rows as last read in browse state
  int current_ = -1;
  bool reloading_ = false;
  bool reload_pending_ = false;
};

class TDBGrid : public QTableView {
 public:
  TDBGrid(kura::TDataSource* source, std::vector<TGridColumn> columns, QWidget* parent);

  TDataSetGridModel& Model() { return *model_; }
  // Asked before the grid deletes a row; the row stays unless it returns true.
  std::function<bool()> ConfirmDelete;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

 private:
  void FollowDataSet();

  TDataSetGridModel* model_;
  bool following_ = false;
};

}  // namespace kirobaku
