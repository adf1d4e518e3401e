#include "records/ui/db_grid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <algorithm>
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

bool IsInteger(TFieldType type) {
  return type == TFieldType::ftSmallint || type == TFieldType::ftInteger ||
         type == TFieldType::ftWord || type == TFieldType::ftLargeint ||
         type == TFieldType::ftAutoInc;
}

// The first character of text that CP932 cannot hold.
QString FirstMissingCharacter(const QString& text) {
  for (const char32_t c : text.toUcs4()) {
    const QString one = QString::fromUcs4(&c, 1);
    if (!kura::Utf8ToCp932Exact(one.toStdString())) return one;
  }
  return {};
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
  FillRows(index.row());
  const auto& row = rows_[static_cast<std::size_t>(index.row())];
  if (row.empty()) return QString();
  return row[static_cast<std::size_t>(index.column())];
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
  const QString title = columns_[static_cast<std::size_t>(column)].title;
  if (!IsText(field.DataType())) {
    if (trimmed.isEmpty()) {
      field.Clear();
      return;
    }
    if (IsInteger(field.DataType())) {
      bool ok = false;
      trimmed.toLongLong(&ok);
      if (!ok) {
        throw kura::EDatabaseError(
            QStringLiteral("「%1」は整数ではありません。%2 には整数を入力してください。")
                .arg(trimmed, title)
                .toStdString());
      }
    }
    field.SetAsString(trimmed.toStdString());
    return;
  }
  const std::optional<std::string> bytes = kura::Utf8ToCp932Exact(text.toStdString());
  if (!bytes) {
    throw kura::EDatabaseError(QStringLiteral("「%1」はこの文字コード (シフト JIS) "
                                              "で保存できない文字です。%2 は変更されませんでした。")
                                   .arg(FirstMissingCharacter(text), title)
                                   .toStdString());
  }
  field.SetAsString(*bytes);
}

template <typename F>
bool TDataSetGridModel::Guarded(F&& action) {
  if (!ShowError) {
    action();
    return true;
  }
  try {
    action();
    return true;
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  }
  return false;
}

void TDataSetGridModel::ShowRow(int row, const std::vector<QString>& texts) {
  rows_[static_cast<std::size_t>(row)] = texts;
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

std::vector<QString> TDataSetGridModel::CurrentTexts() const {
  std::vector<QString> texts;
  for (int c = 0; c < columnCount(); ++c)
    texts.push_back(FieldText(c));
  return texts;
}

bool TDataSetGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  kura::TDataSet* ds = DataSet();
  if (role != Qt::EditRole || !index.isValid() || ds == nullptr || !ds->Active()) return false;
  const QString text = value.toString();
  if (text == data(index, Qt::EditRole).toString() && !refused_.count(index.column())) return true;
  if (!MoveTo(index.row())) return false;
  const bool written = Guarded([&] {
    BeginEdit();
    WriteField(index.column(), text);
  });
  if (current_ < 0) return false;
  std::vector<QString> shown = Editing(*ds) ? CurrentTexts() : rows_[std::size_t(current_)];
  if (written) {
    refused_.erase(index.column());
  } else {
    // The cell keeps what the user typed, for correction.
    refused_[index.column()] = text;
  }
  for (const auto& [column, kept] : refused_)
    shown[static_cast<std::size_t>(column)] = kept;
  ShowRow(current_, shown);
  chosen_ = shown;
  return written;
}

// An edit refused because the row changed on disk (8708) reads the row again,
// so that the next attempt edits the row as it is now.
void TDataSetGridModel::BeginEdit() {
  kura::TDataSet* ds = DataSet();
  if (Editing(*ds)) return;
  try {
    ds->Edit();
  } catch (...) {
    try {
      ds->Refresh();
    } catch (...) {
      // The edit's own error is the one reported.
    }
    throw;
  }
}

bool TDataSetGridModel::WriteRefused() {
  kura::TDataSet* ds = DataSet();
  if (!refused_.empty() && !Editing(*ds) && !Guarded([&] { BeginEdit(); })) return false;
  for (auto it = refused_.begin(); it != refused_.end();) {
    const int column = it->first;
    if (!Guarded([&] { WriteField(column, it->second); })) return false;
    it = refused_.erase(it);
  }
  return true;
}

bool TDataSetGridModel::PostPending() {
  kura::TDataSet* ds = DataSet();
  if (ds == nullptr || !ds->Active() || !Editing(*ds)) return true;
  if (ds->State() == TDataSetState::dsInsert && !ds->Modified() && refused_.empty()) {
    CancelPending();
    return true;
  }
  if (!WriteRefused()) return false;
  reloading_ = true;
  const bool posted = Guarded([&] { ds->Post(); });
  reloading_ = false;
  if (posted) Reload();
  return posted;
}

void TDataSetGridModel::CancelPending() {
  refused_.clear();
  kura::TDataSet* ds = DataSet();
  if (ds != nullptr && ds->Active() && Editing(*ds)) ds->Cancel();
  Reload();
}

bool TDataSetGridModel::MoveTo(int row) {
  if (row == current_) return true;
  if (!WriteRefused()) return false;
  FillRows(row);
  const std::vector<QString> clicked = row >= 0 && row < static_cast<int>(rows_.size())
                                           ? rows_[std::size_t(row)]
                                           : std::vector<QString>();
  if (!MoveToRecord(row)) return false;
  if (clicked.empty() || current_ < 0 || CurrentTexts() == clicked) return true;
  FollowChange(clicked);
  return true;
}

void TDataSetGridModel::CheckCurrentRow() {
  kura::TDataSet* ds = DataSet();
  if (ds == nullptr || !ds->Active() || ds->State() != TDataSetState::dsBrowse || current_ < 0 ||
      current_ >= static_cast<int>(rows_.size()))
    return;
  const std::vector<QString> shown = rows_[std::size_t(current_)];
  if (shown.empty()) return;  // never shown: read when it is
  {
    reloading_ = true;
    const struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{reloading_};
    if (!Guarded([&] { ds->Refresh(); })) return;
  }
  if (!ds->IsEmpty() && ds->RecNo() - 1 == current_ && CurrentTexts() == shown) return;
  FollowChange(shown);
}

// The row the user chose changed under the grid: the list is read again and
// the row is looked for by its first column; the user's choice stays what
// they saw, so a command on it is refused until they choose again.
void TDataSetGridModel::FollowChange(const std::vector<QString>& seen) {
  kura::TDataSet* ds = DataSet();
  kura::TField& key = ds->Fields()[columns_[0].field];
  bool number = false;
  const qint64 value = seen[0].toLongLong(&number);
  if (number && IsInteger(key.DataType()) && ds->State() == TDataSetState::dsBrowse) {
    reloading_ = true;
    Guarded([&] { ds->Locate(key.FieldName(), {kura::TFieldValue(int64_t{value})}, {}); });
    reloading_ = false;
  }
  Reload();
  chosen_ = seen;
  if (ListChanged) ListChanged();
}

// Leaving an edited row posts it, which may move rows or bring in other
// users' changes: read the list again. A plain move only changes the current
// row; the scroll notifications it raises are our own.
bool TDataSetGridModel::MoveToRecord(int row) {
  kura::TDataSet* ds = DataSet();
  const bool posts = Editing(*ds);
  // An edited row whose key stays and whose texts are stored as shown (no
  // trailing blank, which the engine drops) keeps its place: after the post
  // only that row is new, and the list is not read again (a list of years of
  // games takes long to read). Changes of others show when a row is chosen.
  const int from = current_;
  const bool keeps_place =
      ds->State() == TDataSetState::dsEdit && from >= 0 && from < static_cast<int>(rows_.size()) &&
      rows_.size() == snapshot_.size() && !rows_[std::size_t(from)].empty() &&
      !snapshot_[std::size_t(from)].empty() &&
      rows_[std::size_t(from)][0] == snapshot_[std::size_t(from)][0] &&
      std::none_of(rows_[std::size_t(from)].begin(), rows_[std::size_t(from)].end(),
                   [](const QString& t) { return t.endsWith(u' '); });
  bool moved = false;
  {
    reloading_ = true;
    const struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{reloading_};
    moved = Guarded([&] { ds->SetRecNo(row + 1); });
  }
  if (!moved) {
    // A refused post leaves the row pending with the user's texts.
    if (!Editing(*ds)) Reload();
    return false;
  }
  const int now = ds->IsEmpty() ? -1 : ds->RecNo() - 1;
  if (posts && keeps_place && now == row && now < static_cast<int>(rows_.size())) {
    snapshot_[std::size_t(from)] = rows_[std::size_t(from)];
    // The reading scheduled by the edit's own state changes is not needed.
    reload_pending_ = false;
    current_ = now;
    chosen_ = rows_[std::size_t(now)];
  } else if (posts || now != row || now >= static_cast<int>(rows_.size())) {
    Reload();
  } else {
    current_ = now;
    FillRows(now);
    chosen_ = rows_[std::size_t(now)];
  }
  return true;
}

void TDataSetGridModel::ScheduleReload() {
  if (reloading_ || reload_pending_) return;
  reload_pending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        // An open cell editor would be closed by the reset, its text lost:
        // the grid reloads when the editor has closed.
        if (reload_pending_ && !(Deferring && Deferring())) Reload();
      },
      Qt::QueuedConnection);
}

// The rows are read as the view shows them, a block at a time, never all of
// them: rows_ holds an empty entry for a row not read yet. While a row is
// being edited, moving would post it, so rows not read show empty until the
// post.
void TDataSetGridModel::Reload() {
  reload_pending_ = false;
  kura::TDataSet* ds = DataSet();
  beginResetModel();
  rows_.clear();
  current_ = -1;
  reloading_ = true;
  try {
    if (ds != nullptr && ds->Active()) {
      if (Editing(*ds)) {
        // The rows as they are, with the pending one in its place (an
        // appended row at the end).
        const bool appended = ds->State() == TDataSetState::dsInsert;
        std::vector<QString> pending = CurrentTexts();
        const int at = appended ? static_cast<int>(snapshot_.size()) : ds->RecNo() - 1;
        rows_ = snapshot_;
        if (appended) {
          rows_.push_back(pending);
        } else if (at >= 0 && at < static_cast<int>(rows_.size())) {
          rows_[static_cast<std::size_t>(at)] = pending;
        }
        current_ = at;
      } else if (!ds->IsEmpty()) {
        const std::size_t count = static_cast<std::size_t>(std::max(ds->RecordCount(), 0));
        rows_.assign(count, {});
        snapshot_.assign(count, {});
        current_ = ds->RecNo() - 1;
      } else {
        snapshot_.clear();
      }
    }
  } catch (...) {
    reloading_ = false;
    chosen_.clear();
    endResetModel();
    throw;
  }
  reloading_ = false;
  if (current_ >= 0 && current_ < static_cast<int>(rows_.size())) {
    FillRows(current_);
    auto& row = rows_[static_cast<std::size_t>(current_)];
    if (!row.empty()) {
      for (const auto& [column, kept] : refused_)
        row[static_cast<std::size_t>(column)] = kept;
    }
    chosen_ = row;
  } else {
    chosen_.clear();
  }
  endResetModel();
}

// Reads the block of rows around `row` that are not read yet, in browse
// state only; the dataset's current row and its scroll events are kept.
void TDataSetGridModel::FillRows(int row) const {
  kura::TDataSet* ds = DataSet();
  if (ds == nullptr || !ds->Active() || Editing(*ds) || reloading_ || row < 0 ||
      row >= static_cast<int>(rows_.size()) || !rows_[std::size_t(row)].empty())
    return;
  constexpr int kBlock = 64;
  const int first = std::max(0, row - kBlock / 4);
  const int last = std::min(static_cast<int>(rows_.size()) - 1, first + kBlock - 1);
  const kura::TDataSetNotifyEvent before = ds->BeforeScroll, after = ds->AfterScroll;
  ds->BeforeScroll = nullptr;
  ds->AfterScroll = nullptr;
  reloading_ = true;
  const struct Restore {
    kura::TDataSet* ds;
    kura::TDataSetNotifyEvent before, after;
    bool& reloading;
    ~Restore() {
      ds->BeforeScroll = before;
      ds->AfterScroll = after;
      reloading = false;
    }
  } restore{ds, before, after, reloading_};
  try {
    const kura::TBookmark mark = ds->GetBookmark();
    ds->SetRecNo(first + 1);
    // A dataset with fewer rows than counted ends the block early (Eof).
    for (int r = first; r <= last && !ds->Eof(); ++r, ds->Next()) {
      auto& shown = rows_[std::size_t(r)];
      if (shown.empty()) {
        shown = CurrentTexts();
        snapshot_[std::size_t(r)] = shown;
      }
    }
    ds->GotoBookmark(mark);
  } catch (const std::exception&) {
    // A row that cannot be read shows empty; the next reading tries again.
  }
}

TDBGrid::TDBGrid(kura::TDataSource* source, std::vector<TGridColumn> columns, QWidget* parent)
    : QTableView(parent), model_(new TDataSetGridModel(source, std::move(columns), this)) {
  setModel(model_);
  model_->Deferring = [this] { return frozen_ || state() == QAbstractItemView::EditingState; };
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
    scrollTo(model_->index(row, column));  // a row made current is shown
  }
  following_ = false;
}

void TDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTableView::currentChanged(current, previous);
  if (following_ || !current.isValid() || current.row() == model_->CurrentRow()) return;
  if (!model_->MoveTo(current.row())) {
    // The pending row stays current: the view goes back to it once Qt has
    // finished moving.
    QMetaObject::invokeMethod(
        this, [this] { FollowDataSet(); }, Qt::QueuedConnection);
  }
}

void TDBGrid::mousePressEvent(QMouseEvent* event) {
  const QModelIndex at = indexAt(event->position().toPoint());
  const bool onCurrent = at.isValid() && at.row() == model_->CurrentRow();
  QTableView::mousePressEvent(event);
  // A click on the row that is already current moves nothing: the row is
  // read again here, so that it shows what is stored.
  if (onCurrent && state() != QAbstractItemView::EditingState) model_->CheckCurrentRow();
}

void TDBGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  QTableView::closeEditor(editor, hint);
  if (model_->ReloadPending()) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (model_->ReloadPending() && state() != QAbstractItemView::EditingState)
            model_->Reload();
        },
        Qt::QueuedConnection);
  }
}

void TDBGrid::SetFrozen(bool frozen) {
  if (frozen_ == frozen) return;
  frozen_ = frozen;
  if (!frozen_) model_->Reload();
}

bool TDBGrid::FinishEditing() {
  if (state() == QAbstractItemView::EditingState) {
    if (QWidget* editor = indexWidget(currentIndex())) {
      commitData(editor);
      closeEditor(editor, QAbstractItemDelegate::NoHint);
    }
  }
  return model_->PostPending();
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
  kura::TDataSet* ds = model_->DataSet();
  const bool active = ds != nullptr && ds->Active();
  if (active && state() != QAbstractItemView::EditingState) {
    const auto report = [this](const std::exception& e) {
      if (!model_->ShowError) throw;
      model_->ShowError(QString::fromUtf8(e.what()));
    };
    try {
      switch (event->key()) {
        case Qt::Key_Down:
          if (ds->CanModify() && ds->State() == kura::TDataSetState::dsBrowse &&
              !model_->HasRefusedText() &&
              (ds->IsEmpty() || model_->CurrentRow() == model_->rowCount() - 1)) {
            ds->Append();
            model_->Reload();
            return;
          }
          break;
        case Qt::Key_Escape:
          if (Editing(*ds) || model_->HasRefusedText()) {
            model_->CancelPending();
            return;
          }
          break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
          // Enter confirms a cell edit or an input method's conversion; on
          // a row it does nothing, and it goes no further: it never presses
          // a button of the window the grid is in.
          event->accept();
          return;
        case Qt::Key_Delete:
          if (ds->CanModify() && !ds->IsEmpty() && (!ConfirmDelete || ConfirmDelete())) {
            ds->Delete();
            model_->Reload();
          }
          return;
        default:
          break;
      }
    } catch (const std::exception& e) {
      report(e);
      model_->Reload();
      return;
    }
  }
  QTableView::keyPressEvent(event);
}

}  // namespace kirobaku
