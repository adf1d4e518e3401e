#include "db/engine/dataset/kura_data_set.h"

#include <algorithm>
#include <cstring>

#include "db/common/database_error.h"
#include "db/dataset/messages.h"
#include "db/engine/dataset/dataset_messages.h"
#include "db/engine/dataset/field_mapping.h"
#include "db/storage/coding.h"
#include "db/storage/data/field_types.h"
#include "db/storage/engine_error.h"
#include "db/storage/language_table.h"

namespace kura {

namespace {

// Row information: int32 physical record number, then the bookmark flag.
constexpr std::size_t kInfoSize = 8;
constexpr std::size_t kInfoFlag = 4;
// Attempts at a BLOB value whose row another user changed.
constexpr int kBlobAttempts = 3;

std::string Trimmed(std::string text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string CString(const std::vector<std::uint8_t>& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), 0);
  return std::string(bytes.begin(), end);
}

bool Editing(TDataSetState s) {
  switch (s) {
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert:
    case TDataSetState::dsSetKey:
    case TDataSetState::dsCalcFields:
    case TDataSetState::dsFilter:
    case TDataSetState::dsNewValue:
      return true;
    default:
      return false;
  }
}

}  // namespace

// A BLOB value read whole when the stream is made.
class TKuraDataSet::TBlobReader : public TStream {
 public:
  explicit TBlobReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    const std::size_t n = std::min(count, bytes_.size() - at_);
    if (n == 0) return 0;
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  std::size_t Write(const void*, std::size_t) override { return 0; }
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

TKuraDataSet::TKuraDataSet() = default;
TKuraDataSet::~TKuraDataSet() = default;

// ---- open and close ---------------------------------------------------------

void TKuraDataSet::OpenCursor() {
  cursor_ = CreateHandle();
  if (!cursor_) {
    DestroyHandle();
    DatabaseError(kErrorCreatingHandle);
  }
  try {
    InternalOpen();
  } catch (...) {
    cursor_ = nullptr;
    DestroyHandle();
    throw;
  }
}

void TKuraDataSet::CloseCursor() {
  try {
    InternalClose();
  } catch (...) {
    cursor_ = nullptr;
    DestroyHandle();
    throw;
  }
  cursor_ = nullptr;
  DestroyHandle();
}

void TKuraDataSet::InternalOpen() {
  record_size_ = static_cast<std::size_t>(cursor_->RecordSize());
  can_modify_ = !cursor_->ReadOnly() && !ReadOnlyDataSet();
  columns_ = ShownColumns();
  if (columns_.empty()) {
    for (int n = 1; n <= cursor_->FieldCount(); ++n)
      columns_.push_back({n, cursor_->FieldDescriptor(n).Name(), {}, nullptr});
  }
  computed_.assign(columns_.size(), TFieldDescriptor{});
  std::vector<TFieldDef>& defs = MutableFieldDefs();
  defs.clear();
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    const TShownColumn& c = columns_[k];
    TFieldDef def;
    if (c.field > 0) {
      def = HostFieldDef(cursor_->FieldDescriptor(c.field));
    } else {
      TFieldDescriptor& f = computed_[k];
      f.image[descriptor::kType] = c.shape.type;
      f.image[descriptor::kSubtype] = c.shape.subtype;
      f.image[descriptor::kLength] = static_cast<std::uint8_t>(c.shape.length);
      f.image[descriptor::kScale] = static_cast<std::uint8_t>(c.shape.scale);
      f.image[descriptor::kStorageSize] =
          static_cast<std::uint8_t>(StorageSize(c.shape.type, c.shape.length));
      EncodeShortString(&f.image[descriptor::kName], descriptor::kNameCapacity, c.name);
      def = HostFieldDef(f);
      def.required = false;
    }
    def.name = c.name;
    def.field_no = static_cast<int>(k) + 1;
    defs.push_back(def);
  }
  CreateFields();
  for (int i = 0; i < FieldCount(); ++i) {
    TField& field = Fields()[i];
    if (field.FieldKind() != TFieldKind::fkData) continue;
    const TFieldDescriptor& f = Descriptor(field);
    if (TableField(field) == 0) {
      field.SetReadOnly(true);
      continue;
    }
    if (!f.HasSlot()) field.SetReadOnly(true);
    if (auto_display_labels_ && !f.Description().empty()) field.SetDisplayLabel(f.Description());
    field.SetOrigin(cursor_->TableName() + "." + f.Name());
  }
  bookmark_room_ = 4;
  for (int index : cursor_->IndexList())
    bookmark_room_ = std::max(bookmark_room_, static_cast<std::size_t>(cursor_->KeySize(index)));
  calc_offset_ = record_size_;
  info_offset_ = calc_offset_ + CalcFieldsSize();
  bookmark_offset_ = info_offset_ + kInfoSize;
  copy_buffer_.assign(record_size_, 0);
  ReadIndexInfo();
  cursor_->First();
  InstallFilters();
}

void TKuraDataSet::InternalClose() {
  text_filter_ = event_filter_ = nullptr;  // freed with the cursor
  cursor_->CancelEdit();
  DestroyFields();
  columns_.clear();  // their values read the closed result
  computed_.clear();
  copy_buffer_.clear();
  key_buffer_.clear();
}

std::size_t TKuraDataSet::GetRecordSize() {
  return bookmark_offset_ + bookmark_room_;
}

void TKuraDataSet::ReadIndexInfo() {
  key_fields_.clear();
  const int active = cursor_->ActiveIndex();
  if (active != TDataCursor::kNaturalOrder) key_fields_ = cursor_->IndexDefinition(active).fields;
  key_field_count_ = static_cast<int>(key_fields_.size());
}

void TKuraDataSet::ActiveIndexChanged() {
  ReadIndexInfo();
  Resync();
}

// ---- filters ------------------------------------------------------------------

void TKuraDataSet::InstallFilters() {
  if (!Filter().empty())
    text_filter_ = cursor_->AddFilter(Filter(), Filtered(), FilterOptions().case_insensitive);
  if (OnFilterRecord()) {
    event_filter_ = cursor_->AddFilter(
        [this](const std::uint8_t* record) {
          bool accept = true;
          const TDataSetState old = SetTempState(TDataSetState::dsFilter);
          filter_record_ = record;
          try {
            OnFilterRecord()(*this, accept);
          } catch (...) {
            filter_record_ = nullptr;
            RestoreState(old);
            throw;
          }
          filter_record_ = nullptr;
          RestoreState(old);
          return accept;
        },
        Filtered());
  }
}

void TKuraDataSet::RemoveFilters() {
  for (TDataCursor::TFilter** f : {&text_filter_, &event_filter_}) {
    if (*f) cursor_->RemoveFilter(*f);
    *f = nullptr;
  }
}

void TKuraDataSet::FilterSettingsChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  RemoveFilters();
  InstallFilters();
  First();
}

void TKuraDataSet::SetFilterText(const std::string& value) {
  if (value == Filter()) return;
  TDataSet::SetFilterText(value);
  FilterSettingsChanged();
}

void TKuraDataSet::SetOnFilterRecord(TFilterRecordEvent value) {
  TDataSet::SetOnFilterRecord(std::move(value));
  FilterSettingsChanged();
}

// Case-insensitive: the filter text's string comparisons are made
// upper-cased. Partial compares (a trailing "*" matching any rest) are not
// part of the filter language: a "*" in a string is that character, with or
// without no_partial_compare; LIKE matches patterns.
void TKuraDataSet::SetFilterOptions(TFilterOptions value) {
  const bool changed = value.case_insensitive != FilterOptions().case_insensitive;
  TDataSet::SetFilterOptions(value);
  if (changed) FilterSettingsChanged();
}

void TKuraDataSet::SetFiltered(bool value) {
  if (value == Filtered()) return;
  TDataSet::SetFiltered(value);
  if (!Active()) return;
  CheckBrowseMode();
  for (TDataCursor::TFilter* f : {text_filter_, event_filter_}) {
    if (!f) continue;
    if (value)
      cursor_->ActivateFilter(f);
    else
      cursor_->DeactivateFilter(f);
  }
  First();
}

bool TKuraDataSet::IsSequenced() {
  return !Filtered();
}

// ---- rows ---------------------------------------------------------------------

TGetResult TKuraDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool check) {
  int rc;
  try {
    std::uint8_t* record = Engine(buffer);
    switch (mode) {
      case TGetMode::gmCurrent:
        rc = cursor_->Current(record);
        break;
      case TGetMode::gmNext:
        rc = cursor_->Next(record);
        break;
      default:
        rc = cursor_->Prior(record);
        break;
    }
  } catch (const EKuraEngineError&) {
    if (check) throw;
    return TGetResult::grError;
  }
  if (rc == kErrBeginningOfTable) return TGetResult::grBOF;
  if (rc == kErrEndOfTable || rc == kErrNoCurrentRecord) return TGetResult::grEOF;
  if (rc != 0) {
    if (check) RaiseTableError(static_cast<std::uint16_t>(rc), cursor_->TableName());
    return TGetResult::grError;
  }
  std::memset(buffer + calc_offset_, 0, GetRecordSize() - calc_offset_);
  std::uint8_t* info = Engine(buffer + info_offset_);
  EncodeFixed32(info, static_cast<std::uint32_t>(cursor_->PhysicalRecord()));
  info[kInfoFlag] = static_cast<std::uint8_t>(TBookmarkFlag::bfCurrent);
  cursor_->BookmarkInto(Engine(buffer + bookmark_offset_), bookmark_room_);
  GetCalcFields(buffer);
  return TGetResult::grOK;
}

std::int32_t TKuraDataSet::RowRecord(TRecordBuffer buffer) const {
  return static_cast<std::int32_t>(DecodeFixed32(Engine(buffer + info_offset_)));
}

void TKuraDataSet::InternalInitRecord(TRecordBuffer buffer) {
  std::memset(buffer, 0, GetRecordSize());
  cursor_->InitRecord(Engine(buffer));
  // A copy takes the current record's field values, not its header (slot,
  // record identifier): the table assigns those to the new record.
  std::vector<std::uint8_t> current(record_size_);
  // Nor its BLOB references: two records on one chain would lose the value
  // when either is deleted or changed.
  if (copy_on_append_ && cursor_->Current(current.data()) == 0) {
    std::memcpy(Engine(buffer) + record::kFirstField, current.data() + record::kFirstField,
                record_size_ - record::kFirstField);
    for (int n = 1; n <= cursor_->FieldCount(); ++n)
      if (cursor_->FieldDescriptor(n).Type() == kFieldBlob)
        cursor_->SetField(n, Engine(buffer), std::nullopt);
  }
  std::uint8_t* info = Engine(buffer + info_offset_);
  EncodeFixed32(info, static_cast<std::uint32_t>(-1));
  info[kInfoFlag] = static_cast<std::uint8_t>(TBookmarkFlag::bfInserted);
}

void TKuraDataSet::InternalFirst() {
  cursor_->First();
}

void TKuraDataSet::InternalLast() {
  cursor_->Last();
}

void TKuraDataSet::InternalEdit() {
  TRecordBuffer buffer = ActiveBuffer();
  std::vector<std::uint8_t> disk(record_size_);
  const int rc = cursor_->Current(disk.data(), true);
  if (rc != 0) RaiseTableError(static_cast<std::uint16_t>(rc), cursor_->TableName());
  // The cursor compared the record with its own copy; the row this dataset
  // shows may be older still.
  if (std::memcmp(disk.data(), buffer, record_size_) != 0) {
    cursor_->CancelEdit();
    RaiseTableError(kErrRecordChanged, cursor_->TableName());
  }
  copy_buffer_ = std::move(disk);
}

void TKuraDataSet::InternalInsert() {
  cursor_->CancelEdit();
}

void TKuraDataSet::InternalCancel() {
  // A cancelled edit gives its record lock back at once, so that other
  // users are not kept waiting for this dataset's next change.
  cursor_->CancelEdit();
}

void TKuraDataSet::InternalPost() {
  const std::uint8_t* record = Engine(ActiveBuffer());
  if (State() == TDataSetState::dsEdit)
    cursor_->Modify(record);
  else
    cursor_->Insert(record);
}

void TKuraDataSet::InternalDelete() {
  std::vector<std::uint8_t> disk(record_size_);
  const int rc = cursor_->Current(disk.data());
  if (rc != 0) RaiseTableError(static_cast<std::uint16_t>(rc), cursor_->TableName());
  // The row as this dataset last read it: the copy taken by Edit while
  // editing (the active buffer holds the new values then).
  const void* shown = State() == TDataSetState::dsEdit
                          ? static_cast<const void*>(copy_buffer_.data())
                          : static_cast<const void*>(ActiveBuffer());
  if (std::memcmp(disk.data(), shown, record_size_) != 0)
    RaiseTableError(kErrRecordChanged, cursor_->TableName());
  cursor_->Delete();
}

void TKuraDataSet::InternalSetToRecord(TRecordBuffer buffer) {
  if (RowRecord(buffer) < 0) return;  // a new row has no place yet
  InternalGotoBookmark(GetBookmarkData(buffer));
}

void TKuraDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bookmark.data());
  cursor_->GotoBookmark(std::vector<std::uint8_t>(p, p + bookmark.size()), true);
}

void TKuraDataSet::InternalRefresh() {
  cursor_->Refresh();
}

TBookmarkFlag TKuraDataSet::GetBookmarkFlag(TRecordBuffer buffer) {
  return static_cast<TBookmarkFlag>(buffer[info_offset_ + kInfoFlag]);
}

void TKuraDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
  buffer[info_offset_ + kInfoFlag] = static_cast<std::byte>(flag);
}

TBookmark TKuraDataSet::GetBookmarkData(TRecordBuffer buffer) {
  const std::size_t size =
      std::min(static_cast<std::size_t>(cursor_->BookmarkSize()), bookmark_room_);
  return TBookmark(buffer + bookmark_offset_, buffer + bookmark_offset_ + size);
}

void TKuraDataSet::SetBookmarkData(TRecordBuffer buffer, const TBookmark& bookmark) {
  std::memset(buffer + bookmark_offset_, 0, bookmark_room_);
  std::memcpy(buffer + bookmark_offset_, bookmark.data(),
              std::min(bookmark.size(), bookmark_room_));
}

bool TKuraDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!cursor_ || bookmark.size() != static_cast<std::size_t>(cursor_->BookmarkSize()))
    return false;
  CursorPosChanged();
  const auto* p = reinterpret_cast<const std::uint8_t*>(bookmark.data());
  return cursor_->GotoBookmark(std::vector<std::uint8_t>(p, p + bookmark.size()), false);
}

int TKuraDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() || b.empty() || a.size() != b.size() || !cursor_ ||
      a.size() != static_cast<std::size_t>(cursor_->BookmarkSize()))
    return (a.size() > b.size()) - (a.size() < b.size());
  const auto* pa = reinterpret_cast<const std::uint8_t*>(a.data());
  const auto* pb = reinterpret_cast<const std::uint8_t*>(b.data());
  return cursor_->CompareBookmarks(std::vector<std::uint8_t>(pa, pa + a.size()),
                                   std::vector<std::uint8_t>(pb, pb + b.size()));
}

int TKuraDataSet::GetRecordCount() {
  return cursor_->RecordCount();
}

int TKuraDataSet::GetRecNo() {
  if (!ActiveBuffer() || State() == TDataSetState::dsInsert) return 0;
  UpdateCursorPos();
  return cursor_->RecordNumber();
}

void TKuraDataSet::DoSetRecNo(int value) {
  if (value < 1) return;
  CheckBrowseMode();
  DoBeforeScroll();
  cursor_->MoveTo(value, nullptr);
  Resync();
  DoAfterScroll();
}

bool TKuraDataSet::GetCanModify() const {
  return cursor_ != nullptr && can_modify_;
}

// ---- fields -------------------------------------------------------------------

TRecordBuffer TKuraDataSet::StateBuffer() {
  switch (State()) {
    case TDataSetState::dsCalcFields:
      return CalcBuffer();
    case TDataSetState::dsFilter:
      if (filter_record_)
        return reinterpret_cast<TRecordBuffer>(const_cast<std::uint8_t*>(filter_record_));
      return key_buffer_.empty() ? nullptr : reinterpret_cast<TRecordBuffer>(key_buffer_.data());
    case TDataSetState::dsSetKey:
      return key_buffer_.empty() ? nullptr : reinterpret_cast<TRecordBuffer>(key_buffer_.data());
    default:
      return ActiveBuffer();
  }
}

bool TKuraDataSet::FieldInActiveIndex(const TField& field) const {
  const int number = TableField(field);
  return number > 0 &&
         std::find(key_fields_.begin(), key_fields_.end(), number) != key_fields_.end();
}

const TKuraDataSet::TShownColumn& TKuraDataSet::Column(const TField& field) const {
  return columns_.at(static_cast<std::size_t>(field.FieldNo() - 1));
}

int TKuraDataSet::TableField(const TField& field) const {
  return Column(field).field;
}

const TFieldDescriptor& TKuraDataSet::Descriptor(const TField& field) const {
  const int number = TableField(field);
  return number > 0 ? cursor_->FieldDescriptor(number)
                    : computed_.at(static_cast<std::size_t>(field.FieldNo() - 1));
}

bool TKuraDataSet::GetFieldData(const TField& field, std::byte* out) {
  if (!cursor_) return false;
  TRecordBuffer buffer = StateBuffer();
  if (!buffer) return false;
  if (field.FieldKind() == TFieldKind::fkCalculated) {
    // The record a filter is tested on has no calculated part.
    if (State() == TDataSetState::dsFilter && filter_record_) return false;
    const std::byte* p = buffer + calc_offset_ + field.Offset();
    if (p[0] == std::byte{0}) return false;
    std::memcpy(out, p + 1, field.DataSize());
    return true;
  }
  const TFieldDescriptor& f = Descriptor(field);
  // Most values fit a buffer on the stack: a field read per row and column
  // then allocates nothing.
  const std::size_t need = std::max<std::size_t>(f.StorageSize(), 8);
  std::uint8_t small[64] = {};
  std::vector<std::uint8_t> large;
  if (need > sizeof small) large.assign(need, 0);
  std::uint8_t* value = large.empty() ? small : large.data();
  if (TableField(field) > 0) {
    // `f` is the field's descriptor already: read as the cursor's GetField
    // reads, into the zeroed value, without looking the field up again.
    if (!cursor_->Table().Data().GetField(Engine(buffer), f, value)) return false;
  } else {
    // A computed column: its value for the row in the buffer, in the
    // encoding of a field of its shape.
    const TExpValue v = Column(field).value(Engine(buffer));
    if (v.null) return false;
    std::vector<std::uint8_t> bytes;
    if (!EncodeFieldValue(Column(field).shape, v, &bytes)) return false;
    std::copy_n(bytes.begin(), std::min(bytes.size(), need), value);
  }
  EngineToNative(f, value, out, field.DataSize());
  return true;
}

void TKuraDataSet::SetFieldData(TField& field, const std::byte* in) {
  const TDataSetState s = State();
  if (!Editing(s)) DatabaseError(kNotEditing);
  if (s == TDataSetState::dsSetKey && field.FieldKind() == TFieldKind::fkData &&
      !FieldInActiveIndex(field))
    DatabaseError(kFieldNotInIndex, field.FieldName());
  TRecordBuffer buffer = StateBuffer();
  if (!buffer || (s == TDataSetState::dsFilter && filter_record_)) DatabaseError(kNotEditing);
  if (field.FieldKind() == TFieldKind::fkCalculated) {
    std::byte* p = buffer + calc_offset_ + field.Offset();
    p[0] = std::byte{in != nullptr};
    if (in)
      std::memcpy(p + 1, in, field.DataSize());
    else
      std::memset(p + 1, 0, field.DataSize());
  } else {
    if (s == TDataSetState::dsCalcFields) DatabaseError(kNotEditing);
    if (field.ReadOnly() && s != TDataSetState::dsSetKey && s != TDataSetState::dsFilter)
      DatabaseError(kFieldReadOnly, field.FieldName());
    const int number = TableField(field);
    if (number == 0) DatabaseError(kFieldReadOnly, field.FieldName());
    const TFieldDescriptor& f = cursor_->FieldDescriptor(number);
    std::uint8_t* record = Engine(buffer);
    if (!in) {
      cursor_->SetField(number, record, std::nullopt);
    } else if (f.Type() == kFieldBlob) {
      DatabaseError(kNoBlobStream, field.FieldName());
    } else if (f.Type() == kFieldString) {
      const char* text = reinterpret_cast<const char*>(in);
      cursor_->SetFieldText(number, record, std::string(text, strnlen(text, field.DataSize())));
    } else {
      const auto bytes = NativeToEngine(f, in, field.DataSize());
      if (!bytes) {
        if (f.Type() == kFieldUnsigned) {
          std::int64_t n = 0;
          std::memcpy(&n, in, sizeof n);
          DatabaseError(kInvalidInteger, std::to_string(n));
        }
        double d = 0;
        std::memcpy(&d, in, sizeof d);
        DatabaseError(kInvalidFloat, std::to_string(d));
      }
      cursor_->SetField(number, record, std::span<const std::uint8_t>(*bytes));
    }
  }
  if (s != TDataSetState::dsCalcFields && s != TDataSetState::dsFilter &&
      s != TDataSetState::dsNewValue)
    NotifyFieldChange(field);
}

// Reading a BLOB value of the row shown. Another user may have replaced the
// value since the row was read (its old blocks then carry another stamp and
// the cursor reports 8708): in the browse state the row is read again and
// the value with it, a few times at most.
std::unique_ptr<TStream> TKuraDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  if (!cursor_ || mode != TBlobStreamMode::bmRead || field.FieldKind() != TFieldKind::fkData ||
      (State() == TDataSetState::dsFilter && filter_record_))
    DatabaseError(kNoBlobStream, field.FieldName());
  for (int attempt = 1;; ++attempt) {
    TRecordBuffer buffer = StateBuffer();
    if (!buffer) return std::make_unique<TBlobReader>(std::vector<std::uint8_t>{});
    try {
      if (TableField(field) == 0) {
        const TExpValue v = Column(field).value(Engine(buffer));
        return std::make_unique<TBlobReader>(
            v.null ? std::vector<std::uint8_t>{}
                   : std::vector<std::uint8_t>(v.s.begin(), v.s.end()));
      }
      return std::make_unique<TBlobReader>(cursor_->ReadBlob(TableField(field), Engine(buffer)));
    } catch (const EKuraEngineError& e) {
      if (e.Code() != kErrRecordChanged || attempt >= kBlobAttempts ||
          State() != TDataSetState::dsBrowse)
        throw;
    }
    UpdateCursorPos();
    cursor_->Refresh();
    if (GetRecord(ActiveBuffer(), TGetMode::gmCurrent, true) != TGetResult::grOK)
      RaiseTableError(kErrRecordChanged, cursor_->TableName());
  }
}

// ---- Locate -------------------------------------------------------------------

std::vector<TField*> TKuraDataSet::LocateFields(const std::string& key_fields,
                                                std::size_t values) const {
  std::vector<TField*> fields;
  std::size_t start = 0;
  while (start <= key_fields.size()) {
    std::size_t end = key_fields.find(';', start);
    if (end == std::string::npos) end = key_fields.size();
    const std::string name = Trimmed(key_fields.substr(start, end - start));
    if (!name.empty()) {
      TField& field = FieldByName(name);
      if (field.FieldKind() != TFieldKind::fkData || IsBlobType(field.DataType()) ||
          TableField(field) == 0)
        DatabaseError(kFieldNotFound, name);
      fields.push_back(&field);
    }
    start = end + 1;
  }
  if (fields.empty()) DatabaseError(kFieldNotFound, key_fields);
  if (values != fields.size()) DatabaseError(kListIndexError, std::to_string(values));
  return fields;
}

bool TKuraDataSet::IndexFits(int index, const std::vector<TField*>& fields,
                             TLocateOptions options) const {
  if (index == TDataCursor::kNaturalOrder) return false;
  // Partial string keys are compared by the filter path.
  if (options.partial_key && IsStringType(fields.back()->DataType())) return false;
  const TIndexDefinition def = cursor_->IndexDefinition(index);
  if (def.fields.size() < fields.size()) return false;
  bool strings = false;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (def.fields[i] != TableField(*fields[i])) return false;
    strings = strings || IsStringType(fields[i]->DataType());
  }
  return !strings || def.case_insensitive == options.case_insensitive;
}

std::vector<std::uint8_t> TKuraDataSet::LocateBookmark(const std::uint8_t* record) const {
  return cursor_->KeyOf(record);
}

bool TKuraDataSet::LocateByActiveIndex(const std::vector<TField*>& fields) {
  const std::vector<std::uint8_t> key = cursor_->KeyOf(key_buffer_.data());
  return cursor_->FindKey(key, cursor_->KeyPrefixSize(static_cast<int>(fields.size())));
}

// Through another index of the table: a cursor of its own walks the
// matching keys; of their records that the dataset's cursor can stand on
// (inside its range and filters), the first in the dataset's order is the one.
bool TKuraDataSet::LocateByIndex(int index, const std::vector<TField*>& fields) {
  TDataCursor scratch(cursor_->Table(), TCursorSettings{cursor_->LockProtocol()});
  scratch.Open();
  scratch.SetActiveIndex(index);
  const std::vector<std::uint8_t> key = scratch.KeyOf(key_buffer_.data());
  const int length = scratch.KeyPrefixSize(static_cast<int>(fields.size()));
  std::vector<std::uint8_t> record(record_size_);
  std::vector<std::uint8_t> best;
  const bool natural = cursor_->ActiveIndex() == TDataCursor::kNaturalOrder;
  for (bool ok = scratch.FindKey(key, length); ok; ok = scratch.FindKey(key, length, true)) {
    if (scratch.Current(record.data()) != 0) break;
    std::vector<std::uint8_t> bookmark(4);
    if (natural)
      EncodeFixed32(bookmark.data(), static_cast<std::uint32_t>(scratch.PhysicalRecord()));
    else
      bookmark = LocateBookmark(record.data());
    if ((best.empty() || cursor_->CompareBookmarks(bookmark, best) < 0) &&
        cursor_->GotoBookmark(bookmark, false))
      best = std::move(bookmark);
  }
  return !best.empty() && cursor_->GotoBookmark(best, false);
}

// No index fits: a temporary filter of field = value conditions on the
// dataset's own cursor finds the first match in its order.
bool TKuraDataSet::LocateByFilter(const std::vector<TField*>& fields, TLocateOptions options) {
  auto* filter = cursor_->AddFilter(
      [this, fields, options](const std::uint8_t* record) {
        return KeyMatches(record, fields, options);
      },
      true);
  std::vector<std::uint8_t> bookmark;
  bool found = false;
  try {
    found = cursor_->Next(nullptr) == 0;
    if (found) bookmark = cursor_->Bookmark();
  } catch (...) {
    cursor_->RemoveFilter(filter);
    throw;
  }
  cursor_->RemoveFilter(filter);
  return found && cursor_->GotoBookmark(bookmark, false);
}

bool TKuraDataSet::KeyMatches(const std::uint8_t* record, const std::vector<TField*>& fields,
                              TLocateOptions options) const {
  const std::uint32_t locale = cursor_->Table().Data().LocaleId();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const int number = TableField(*fields[i]);
    const TFieldDescriptor& f = cursor_->FieldDescriptor(number);
    std::vector<std::uint8_t> a(f.StorageSize()), b(f.StorageSize());
    const bool a_null = cursor_->GetField(number, record, a.data());
    const bool b_null = cursor_->GetField(number, key_buffer_.data(), b.data());
    if (a_null || b_null) {
      if (a_null != b_null) return false;
      continue;
    }
    if (f.Type() != kFieldString) {
      if (a != b) return false;
      continue;
    }
    std::string sa = CString(a), sb = CString(b);
    if (options.case_insensitive) {
      sa = CaseMapCp932(sa, locale, true);
      sb = CaseMapCp932(sb, locale, true);
    }
    const bool partial = options.partial_key && i + 1 == fields.size();
    if (partial ? sa.compare(0, sb.size(), sb) != 0 : sa != sb) return false;
  }
  return true;
}

bool TKuraDataSet::Locate(const std::string& key_fields, const std::vector<TFieldValue>& values,
                          TLocateOptions options) {
  CheckActive();
  DoBeforeScroll();
  CheckBrowseMode();
  const std::vector<TField*> fields = LocateFields(key_fields, values.size());
  key_buffer_.assign(GetRecordSize(), 0);
  const TDataSetState old = SetTempState(TDataSetState::dsFilter);
  try {
    for (std::size_t i = 0; i < fields.size(); ++i)
      fields[i]->SetValue(values[i]);
  } catch (...) {
    RestoreState(old);
    throw;
  }
  RestoreState(old);
  UpdateCursorPos();
  CursorPosChanged();  // every path may move the cursor
  bool found;
  const int active = cursor_->ActiveIndex();
  if (IndexFits(active, fields, options)) {
    found = LocateByActiveIndex(fields);
  } else {
    int other = -1;
    for (int index : cursor_->IndexList()) {
      if (index != active && IndexFits(index, fields, options)) {
        other = index;
        break;
      }
    }
    found = other >= 0 ? LocateByIndex(other, fields) : LocateByFilter(fields, options);
  }
  if (!found) return false;
  Resync();
  DoAfterScroll();
  return true;
}

}  // namespace kura
