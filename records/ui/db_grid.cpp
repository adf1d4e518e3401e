#include "records/ui/db_grid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMetaObject>
#include <optional>
#include <string>

#include "db/common/code_page.h"
#include "db/common/database_error.h"
#include "db/dataset/data_set.h"
#include "db/dataset/field.h"

namespace kirobaku {

namespace {

using kura::TDataSetState;
using kura::TFieldType;

bool Editing(const kura::TDataSet& ds) {
  return ds.State() == TDataSetState::dsEdit || ds.State() == TDataSetState::dsInsert;
}

bool IsText(TFieldType type) {
  return type == TFieldType::ftString;
}

}  // namespace

TDataSetGridModel::TDataSetGridModel(kura::TDataSource* source, std::vector<TGridColumn> columns,
                                     QObject* parent)
    : QAbstractTableModel(parent), source_(source), columns_(std::move(columns)) {
  source_->OnStateChange = [this](kura::TDataSource&) { ScheduleReload(); };
  source_->OnDataChange = [this](kura::TDataSource&, kura::TField* field) {
    // A field written through the grid is already in the snapshot.
    if (field == nullptr) ScheduleReload();
  };
  Reload();
}

TDataSetGridModel::~TDataSetGridModel() {
  source_->OnStateChange = nullptr;
  source_->OnDataChange = nullptr;
}

int TDataSetGridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TDataSetGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TDataSetGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
  return rows_[static_cast<std::size_t>(index.row())][static_cast<std::size_t>(index.column())];
}

QVariant TDataSetGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) return columns_[static_cast<std::size_t>(section)].title;
  if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
  return {};
}

Qt::ItemFlags TDataSetGridModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  kura::TDataSet* ds = DataSet();
  if (ds != nullptr && ds->Active() && ds->CanModify()) f |= Qt::ItemIsEditable;
  return f;
}

QString TDataSetGridModel::FieldText(int column) const {
  kura::TField& field = DataSet()->Fields()[columns_[static_cast<std::size_t>(column)].field];
  if (field.IsNull()) return {};
  const std::string text = field.AsString();
  return QString::fromStdString(IsText(field.DataType()) ? kura::Cp932ToUtf8(text) : text);
}

void TDataSetGridModel::WriteField(int column, const QString& text) {
  kura::TField& field = DataSet()->Fields()[columns_[static_cast<std::size_t>(column)].field];
  const QString trimmed = text.trimmed();
  if (!IsText(field.DataType())) {
    if (trimmed.isEmpty()) {
      field.Clear();
    } else {
      field.SetAsString(trimmed.toStdString());
    }
    return;
  }
  const std::optional<std::string> bytes = kura::Utf8ToCp932Exact(text.toStdString());
  if (!bytes) {
    QString missing;
    for (const char32_t c : text.toUcs4()) {
      const QString one = QString::fromUcs4(&c, 1);
      if (!kura::Utf8ToCp932Exact(one.toStdString())) {
        missing = one;
        break;
      }
    }
    throw kura::EDatabaseError(QStringLiteral("「%1」はこの文字コード (シフト JIS) "
                                              "で保存できない文字です。%2 は変更されませんでした。")
                                   .arg(missing, QString::fromStdString(field.FieldName()))
                                   .toStdString());
  }
  field.SetAsString(*bytes);
}

bool TDataSetGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  kura::TDataSet* ds = DataSet();
  if (role != Qt::EditRole || !index.isValid() || ds == nullptr || !ds->Active()) return false;
  const QString text = value.toString();
  if (text == data(index, Qt::EditRole).toString()) return true;
  try {
    MoveTo(index.row());
    if (!Editing(*ds)) ds->Edit();
    WriteField(index.column(), text);
    auto& row = rows_[static_cast<std::size_t>(current_)];
    for (int c = 0; c < columnCount(); ++c)
      row[static_cast<std::size_t>(c)] = FieldText(c);
    emit dataChanged(this->index(current_, 0), this->index(current_, columnCount() - 1));
  } catch (...) {
    ScheduleReload();
    throw;
  }
  return true;
}

void TDataSetGridModel::MoveTo(int row) {
  kura::TDataSet* ds = DataSet();
  if (row == current_) return;
  // Leaving an edited row posts it, which may move rows or bring in other
  // users' changes: read the list again. A plain move only changes the
  // current row; the scroll notifications it raises are our own.
  const bool posts = Editing(*ds);
  reloading_ = true;
  try {
    ds->SetRecNo(row + 1);
  } catch (...) {
    reloading_ = false;
    ScheduleReload();
    throw;
  }
  reloading_ = false;
  const int now = ds->IsEmpty() ? -1 : ds->RecNo() - 1;
  if (posts || now != row || now >= static_cast<int>(rows_.size())) {
    Reload();
  } else {
    current_ = now;
  }
}

void TDataSetGridModel::ScheduleReload() {
  if (reloading_ || reload_pending_) return;
  reload_pending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (reload_pending_) Reload();
      },
      Qt::QueuedConnection);
}

void TDataSetGridModel::Reload() {
  reload_pending_ = false;
  kura::TDataSet* ds = DataSet();
  beginResetModel();
  rows_.clear();
  current_ = -1;
  reloading_ = true;
  try {
    if (ds != nullptr && ds->Active()) {
      const auto read_row = [&] {
        std::vector<QString> row;
        for (int c = 0; c < columnCount(); ++c)
          row.push_back(FieldText(c));
        return row;
      };
      if (Editing(*ds)) {
        // Moving would post the pending row: show the rows as they are with
        // the pending one in its place (an appended row at the end).
        const bool appended = ds->State() == TDataSetState::dsInsert;
        std::vector<QString> pending = read_row();
        const int at = appended ? ds->RecordCount() : ds->RecNo() - 1;
        for (auto& r : snapshot_)
          rows_.push_back(r);
        if (appended) {
          rows_.push_back(pending);
        } else if (at >= 0 && at < static_cast<int>(rows_.size())) {
          rows_[static_cast<std::size_t>(at)] = pending;
        }
        current_ = at;
      } else if (!ds->IsEmpty()) {
        const int recno = ds->RecNo();
        const kura::TDataSetNotifyEvent before = ds->BeforeScroll, after = ds->AfterScroll;
        ds->BeforeScroll = nullptr;
        ds->AfterScroll = nullptr;
        try {
          const kura::TBookmark mark = ds->GetBookmark();
          for (ds->First(); !ds->Eof(); ds->Next())
            rows_.push_back(read_row());
          ds->GotoBookmark(mark);
        } catch (...) {
          ds->BeforeScroll = before;
          ds->AfterScroll = after;
          throw;
        }
        ds->BeforeScroll = before;
        ds->AfterScroll = after;
        current_ = recno - 1;
        snapshot_ = rows_;
      } else {
        snapshot_.clear();
      }
    }
  } catch (...) {
    reloading_ = false;
    endResetModel();
    throw;
  }
  reloading_ = false;
  endResetModel();
}

TDBGrid::TDBGrid(kura::TDataSource* source, std::vector<TGridColumn> columns, QWidget* parent)
    : QTableView(parent), model_(new TDataSetGridModel(source, std::move(columns), this)) {
  setModel(model_);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  for (std::size_t c = 0; c < model_->Columns().size(); ++c) {
    setColumnWidth(static_cast<int>(c), model_->Columns()[c].width);
  }
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { FollowDataSet(); });
  FollowDataSet();
}

void TDBGrid::FollowDataSet() {
  const int row = model_->CurrentRow();
  following_ = true;
  if (row >= 0) {
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    setCurrentIndex(model_->index(row, column));
  }
  following_ = false;
}

void TDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTableView::currentChanged(current, previous);
  if (following_ || !current.isValid() || current.row() == model_->CurrentRow()) return;
  model_->MoveTo(current.row());
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
  kura::TDataSet* ds = model_->DataSet();
  const bool active = ds != nullptr && ds->Active();
  if (active && state() != QAbstractItemView::EditingState) {
    switch (event->key()) {
      case Qt::Key_Down:
        if (ds->CanModify() && ds->State() == kura::TDataSetState::dsBrowse &&
            (ds->IsEmpty() || model_->CurrentRow() == model_->rowCount() - 1)) {
          ds->Append();
          model_->Reload();
          return;
        }
        break;
      case Qt::Key_Escape:
        if (Editing(*ds)) {
          ds->Cancel();
          model_->Reload();
          return;
        }
        break;
      case Qt::Key_Delete:
        if (ds->CanModify() && !ds->IsEmpty() && (!ConfirmDelete || ConfirmDelete())) {
          ds->Delete();
          model_->Reload();
        }
        return;
      default:
        break;
    }
  }
  QTableView::keyPressEvent(event);
}

}  // namespace kirobaku
