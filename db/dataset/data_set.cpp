#include "db/dataset/data_set.h"

#include <algorithm>
#include <utility>

#include "db/common/database_error.h"
#include "db/common/undo_on_throw.h"
#include "db/dataset/data_source.h"
#include "db/dataset/messages.h"

namespace kura {

std::string FormatMessage(const char* message, const std::string& a, const std::string& b) {
  std::string out;
  const std::string* args[] = {&a, &b};
  std::size_t next = 0;
  for (const char* p = message; *p; ++p) {
    if (p[0] == '%' && (p[1] == 's' || p[1] == 'd') && next < 2) {
      out += *args[next++];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

void DatabaseError(const char* message, const std::string& a, const std::string& b) {
  throw EDatabaseError(FormatMessage(message, a, b));
}

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  for (TDataSource* source : sources_)
    source->dataset_ = nullptr;
}

TDataSource::~TDataSource() {
  if (dataset_) std::erase(dataset_->sources_, this);
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset_ == dataset) return;
  if (dataset_) std::erase(dataset_->sources_, this);
  dataset_ = dataset;
  if (dataset_) dataset_->sources_.push_back(this);
  if (OnStateChange) OnStateChange(*this);
}

// ---- open and close --------------------------------------------------------

void TDataSet::Open() {
  if (Active()) return;
  OpenCursor();
  {
    TUndoOnThrow close([this] {
      state_ = TDataSetState::dsInactive;
      CloseCursor();
    });
    const std::size_t size = GetRecordSize();
    for (auto& buffer : buffers_)
      buffer.assign(size, std::byte{0});
    modified_ = false;
    state_ = TDataSetState::dsBrowse;
    ClearBuffers();
    InternalFirst();
    GetNextRecord();
    bof_ = true;
  }
  NotifyStateChange();
  NotifyDataChange(nullptr);
  DoAfterScroll();
}

void TDataSet::Close() {
  if (!Active()) return;
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert ||
      state_ == TDataSetState::dsSetKey) {
    Cancel();
  }
  state_ = TDataSetState::dsInactive;
  ClearBuffers();
  modified_ = false;
  CloseCursor();
  for (auto& buffer : buffers_)
    buffer.clear();
  NotifyStateChange();
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(kDataSetClosed);
}

void TDataSet::CheckCanModify() const {
  if (!GetCanModify()) DatabaseError(kDataSetReadOnly);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  switch (state_) {
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert:
      modified_ ? Post() : Cancel();
      break;
    case TDataSetState::dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

// ---- fields ----------------------------------------------------------------

TField& TDataSet::AddCalculatedField(const std::string& name, TFieldType type, int size) {
  if (Active()) DatabaseError(kDataSetOpen);
  TFieldDef def;
  def.name = name;
  def.data_type = type;
  def.size = size;
  calc_fields_.push_back(std::make_unique<TField>(*this, def, TFieldKind::fkCalculated));
  TField& field = *calc_fields_.back();
  field.index_ = fields_.Count();
  fields_.fields_.push_back(&field);
  return field;
}

void TDataSet::CreateFields() {
  DestroyFields();
  fields_.fields_.clear();
  for (const TFieldDef& def : field_defs_) {
    if (def.internal) continue;
    data_fields_.push_back(std::make_unique<TField>(*this, def, TFieldKind::fkData));
    fields_.fields_.push_back(data_fields_.back().get());
  }
  calc_fields_size_ = 0;
  for (auto& field : calc_fields_) {
    field->offset_ = calc_fields_size_;
    calc_fields_size_ += 1 + field->DataSize();
    fields_.fields_.push_back(field.get());
  }
  for (int i = 0; i < fields_.Count(); ++i)
    fields_.fields_[static_cast<std::size_t>(i)]->index_ = i;
}

void TDataSet::DestroyFields() {
  std::erase_if(fields_.fields_,
                [](TField* field) { return field->FieldKind() == TFieldKind::fkData; });
  data_fields_.clear();
  for (int i = 0; i < fields_.Count(); ++i)
    fields_.fields_[static_cast<std::size_t>(i)]->index_ = i;
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField& field, TBlobStreamMode) {
  DatabaseError(kNoBlobStream, field.FieldName());
}

// ---- states and notifications ---------------------------------------------

void TDataSet::SetState(TDataSetState value) {
  if (state_ == value) return;
  state_ = value;
  modified_ = false;
  NotifyStateChange();
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
  const TDataSetState old = state_;
  state_ = value;
  return old;
}

void TDataSet::RestoreState(TDataSetState value) {
  state_ = value;
  calc_buffer_ = nullptr;
}

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
  if (calc_fields_.empty() || !OnCalcFields) return;
  const TDataSetState old = SetTempState(TDataSetState::dsCalcFields);
  calc_buffer_ = buffer;
  try {
    OnCalcFields(*this);
  } catch (...) {
    RestoreState(old);
    throw;
  }
  RestoreState(old);
}

void TDataSet::NotifyFieldChange(TField& field) {
  if (field.FieldKind() == TFieldKind::fkData) modified_ = true;
  NotifyDataChange(&field);
}

// Calls `tell` for each data source. Handlers may change the list, so
// several are called from a copy of it; one (every scroll of a program's
// query) needs none.
template <typename Tell>
void TDataSet::TellSources(Tell tell) {
  if (sources_.size() == 1) {
    tell(*sources_[0]);
    return;
  }
  for (TDataSource* source : std::vector<TDataSource*>(sources_))
    tell(*source);
}

void TDataSet::NotifyDataChange(TField* field) {
  TellSources([field](TDataSource& s) {
    if (s.OnDataChange) s.OnDataChange(s, field);
  });
}

void TDataSet::NotifyStateChange() {
  TellSources([](TDataSource& s) {
    if (s.OnStateChange) s.OnStateChange(s);
  });
}

void TDataSet::DoBeforeScroll() {
  if (BeforeScroll) BeforeScroll(*this);
}

void TDataSet::DoAfterScroll() {
  if (AfterScroll) AfterScroll(*this);
}

void TDataSet::DoOnNewRecord() {
  if (OnNewRecord) OnNewRecord(*this);
}

// ---- buffers ---------------------------------------------------------------

TRecordBuffer TDataSet::ActiveBuffer() {
  if (record_count_ == 0 || buffers_[0].empty()) return nullptr;
  return buffers_[0].data();
}

void TDataSet::ClearBuffers() {
  record_count_ = 0;
  current_record_ = -1;
  bof_ = true;
  eof_ = true;
}

void TDataSet::ActivateBuffers() {
  record_count_ = 1;
  current_record_ = 0;
  bof_ = false;
  eof_ = false;
}

void TDataSet::SetCurrentRecord() {
  if (current_record_ == 0 || record_count_ == 0) return;
  TRecordBuffer buffer = buffers_[0].data();
  switch (GetBookmarkFlag(buffer)) {
    case TBookmarkFlag::bfCurrent:
    case TBookmarkFlag::bfInserted:
      InternalSetToRecord(buffer);
      break;
    case TBookmarkFlag::bfBOF:
      InternalFirst();
      break;
    case TBookmarkFlag::bfEOF:
      InternalLast();
      break;
  }
  current_record_ = 0;
}

void TDataSet::UpdateCursorPos() {
  SetCurrentRecord();
}

bool TDataSet::GetNextRecord() {
  SetCurrentRecord();
  if (GetRecord(buffers_[1].data(), TGetMode::gmNext, true) != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  std::swap(buffers_[0], buffers_[1]);
  ActivateBuffers();
  return true;
}

bool TDataSet::GetPriorRecord() {
  SetCurrentRecord();
  if (GetRecord(buffers_[1].data(), TGetMode::gmPrior, true) != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  std::swap(buffers_[0], buffers_[1]);
  ActivateBuffers();
  return true;
}

void TDataSet::Resync() {
  TRecordBuffer buffer = buffers_[0].data();
  if (GetRecord(buffer, TGetMode::gmCurrent, true) != TGetResult::grOK &&
      GetRecord(buffer, TGetMode::gmNext, true) != TGetResult::grOK &&
      GetRecord(buffer, TGetMode::gmPrior, true) != TGetResult::grOK) {
    ClearBuffers();
  } else {
    ActivateBuffers();
  }
  NotifyDataChange(nullptr);
}

// ---- navigation ------------------------------------------------------------

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
  } catch (...) {
    bof_ = true;
    NotifyDataChange(nullptr);
    throw;
  }
  bof_ = true;
  NotifyDataChange(nullptr);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
  } catch (...) {
    eof_ = true;
    NotifyDataChange(nullptr);
    throw;
  }
  eof_ = true;
  NotifyDataChange(nullptr);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  DoBeforeScroll();
  int moved = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = false;
    eof_ = false;
    while (distance > 0) {
      if (!GetNextRecord()) {
        eof_ = true;
        break;
      }
      --distance;
      ++moved;
    }
    while (distance < 0) {
      if (!GetPriorRecord()) {
        bof_ = true;
        break;
      }
      ++distance;
      --moved;
    }
    NotifyDataChange(nullptr);
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync();
}

TBookmark TDataSet::GetBookmark() {
  CheckActive();
  TRecordBuffer buffer = ActiveBuffer();
  if (!buffer || GetBookmarkFlag(buffer) != TBookmarkFlag::bfCurrent) return {};
  return GetBookmarkData(buffer);
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(bookmark);
  Resync();
  DoAfterScroll();
}

TFieldValue TDataSet::Lookup(const std::string& key_fields, const std::vector<TFieldValue>& values,
                             const std::string& result_field) {
  CheckBrowseMode();
  const TBookmark here = GetBookmark();
  if (!Locate(key_fields, values, {})) return {};
  TFieldValue value = FieldByName(result_field).Value();
  GotoBookmark(here);
  return value;
}

// ---- editing ---------------------------------------------------------------

void TDataSet::Append() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeScroll();
  ClearBuffers();
  TRecordBuffer buffer = buffers_[0].data();
  InternalInitRecord(buffer);
  SetBookmarkFlag(buffer, TBookmarkFlag::bfEOF);
  record_count_ = 1;
  bof_ = false;
  {
    TUndoOnThrow resync([this] { Resync(); });
    InternalLast();
    InternalInsert();
  }
  SetState(TDataSetState::dsInsert);
  {
    TUndoOnThrow back_to_browse([this] {
      UpdateCursorPos();
      SetState(TDataSetState::dsBrowse);
      Resync();
    });
    DoOnNewRecord();
    GetCalcFields(buffer);
  }
  modified_ = false;
  NotifyDataChange(nullptr);
  DoAfterScroll();
}

void TDataSet::Edit() {
  CheckActive();
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  if (record_count_ == 0) return Append();
  CheckBrowseMode();
  CheckCanModify();
  UpdateCursorPos();
  InternalEdit();
  GetCalcFields(buffers_[0].data());
  SetState(TDataSetState::dsEdit);
  NotifyDataChange(nullptr);
}

void TDataSet::Post() {
  CheckActive();
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  InternalPost();
  SetState(TDataSetState::dsBrowse);
  Resync();
}

void TDataSet::Cancel() {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  const bool inserting = state_ == TDataSetState::dsInsert;
  if (inserting) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  SetState(TDataSetState::dsBrowse);
  Resync();
  if (inserting) DoAfterScroll();
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::dsInsert || state_ == TDataSetState::dsSetKey) return Cancel();
  if (record_count_ == 0) DatabaseError(kDataSetEmpty);
  CheckCanModify();
  DoBeforeScroll();
  UpdateCursorPos();
  InternalDelete();
  SetState(TDataSetState::dsBrowse);
  Resync();
  DoAfterScroll();
}

}  // namespace kura
