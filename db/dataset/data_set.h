// TDataSet: the generic dataset. It keeps the state machine, the record
// buffer of the current row, the BOF/EOF flags, the field objects and the
// navigation and editing rules; a concrete dataset supplies the cursor behind
// it through the protected virtual methods below.
//
// Record buffers: the dataset owns two buffers of GetRecordSize() bytes each,
// laid out by the concrete dataset (it also stores each buffer's bookmark and
// bookmark flag in it). Buffer 0 holds the current row whenever the dataset
// has one; buffer 1 is scratch into which the next row is fetched, so a failed
// fetch leaves the current row intact.
//
// Invariants:
//  1. Buffer 0 holds a row or not; without one, Bof and Eof are both set
//     (IsEmpty). While a row is being appended buffer 0 holds it, Bof is
//     clear and Eof set.
//  2. The cursor is "on" buffer 0 (current_record_ == 0) or its position is
//     unknown (-1); before working on the current row the dataset puts it
//     back with InternalSetToRecord (UpdateCursorPos).
//  3. Edit, insert and set-key end only through Post, Cancel, Delete or a
//     move (which posts a modified row and cancels an unmodified one).
//
// States (transitions name the method):
//   Inactive --Open--> Browse --Edit--> Edit --Post/Cancel--> Browse
//   Browse --Append--> Insert --Post/Cancel/Delete--> Browse
//   Browse --Close--> Inactive (an edit or insert is cancelled first)
//   SetKey, CalcFields, Filter, NewValue: entered by the concrete dataset
//   (SetState / SetTempState) while it fills a key, calculated fields or a
//   filter buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/dataset/field.h"

namespace kura {

class TDataSource;

enum class TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
};

enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
// Stored in record buffers by the concrete dataset; 3 marks a fresh buffer.
enum class TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

struct TLocateOptions {
  bool case_insensitive = false;
  bool partial_key = false;
};
struct TFilterOptions {
  bool case_insensitive = false;
  bool no_partial_compare = false;
};

enum class TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

// A byte stream over one BLOB value.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  virtual int64_t Size() = 0;
};

using TRecordBuffer = std::byte*;
using TBookmark = std::vector<std::byte>;
using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

class TDataSet {
 public:
  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // Open and close.
  void Open();
  void Close();
  bool Active() const { return state_ != TDataSetState::dsInactive; }
  void SetActive(bool value) { value ? Open() : Close(); }
  TDataSetState State() const { return state_; }

  // Navigation. Each move first posts a modified edit or insert (cancels an
  // unmodified one); BeforeScroll runs before it, AfterScroll after it.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return bof_ && eof_; }
  int RecordCount() {
    CheckActive();
    return GetRecordCount();
  }
  int RecNo() {
    CheckActive();
    return GetRecNo();
  }
  void SetRecNo(int value) {
    CheckActive();
    DoSetRecNo(value);
  }
  void Refresh();

  // Editing.
  void Append();
  void Edit();
  virtual void Post();
  virtual void Cancel();
  void Delete();
  bool Modified() const { return modified_; }
  bool CanModify() const { return GetCanModify(); }

  // Bookmarks.
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& bookmark) = 0;
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b) = 0;

  // Searching: key_fields is a list of names separated by ";", one value per name.
  virtual bool Locate(const std::string& key_fields, const std::vector<TFieldValue>& values,
                      TLocateOptions options) = 0;
  // The value of result_field in the row Locate finds (none when not found);
  // the current row is kept.
  virtual TFieldValue Lookup(const std::string& key_fields, const std::vector<TFieldValue>& values,
                             const std::string& result_field);

  // Fields.
  TFields& Fields() { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  TField& FieldByName(const std::string& name) const { return fields_.FieldByName(name); }
  const std::vector<TFieldDef>& FieldDefs() const { return field_defs_; }
  // Adds a calculated field (only while inactive); OnCalcFields fills it.
  TField& AddCalculatedField(const std::string& name, TFieldType type, int size);
  std::size_t CalcFieldsSize() const { return calc_fields_size_; }
  virtual std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode);

  // Filtering; the concrete dataset applies the settings.
  const std::string& Filter() const { return filter_text_; }
  void SetFilter(const std::string& value) { SetFilterText(value); }
  bool Filtered() const { return filtered_; }
  TFilterOptions FilterOptions() const { return filter_options_; }
  const TFilterRecordEvent& OnFilterRecord() const { return on_filter_record_; }
  virtual void SetFilterText(const std::string& value) { filter_text_ = value; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  virtual void SetFilterOptions(TFilterOptions value) { filter_options_ = value; }
  virtual void SetOnFilterRecord(TFilterRecordEvent value) { on_filter_record_ = std::move(value); }
  virtual bool IsSequenced() { return true; }

  // Events.
  TDataSetNotifyEvent BeforeScroll;
  TDataSetNotifyEvent AfterScroll;
  TDataSetNotifyEvent OnNewRecord;
  TDataSetNotifyEvent OnCalcFields;

  // The buffer of the current row (null when there is none), and the buffer
  // whose calculated fields are being computed in the calc-fields state.
  TRecordBuffer ActiveBuffer();
  TRecordBuffer CalcBuffer() const { return calc_buffer_; }

  // The field-access entry points TField uses; buffer holds DataSize bytes,
  // zeroed by the caller; a null buffer writes NULL.
  virtual bool GetFieldData(const TField& field, std::byte* buffer) = 0;
  virtual void SetFieldData(TField& field, const std::byte* buffer) = 0;

 protected:
  // Cursor life: OpenCursor runs InternalOpen, CloseCursor InternalClose.
  virtual void OpenCursor() { InternalOpen(); }
  virtual void CloseCursor() { InternalClose(); }
  // Fills the field definitions, calls CreateFields and positions the cursor
  // before the first row.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual std::size_t GetRecordSize() = 0;
  // Reads the current, next or prior row into buffer (with its bookmark and
  // flag bfCurrent). With check set, a failure other than BOF/EOF is raised.
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool check) = 0;
  virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
  virtual void InternalFirst() = 0;  // before the first row
  virtual void InternalLast() = 0;   // after the last row
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalCancel() {}
  virtual void InternalPost() = 0;    // writes ActiveBuffer (edit or insert state)
  virtual void InternalDelete() = 0;  // deletes the cursor's current row
  virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
  virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
  virtual void InternalRefresh() = 0;
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
  virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
  virtual TBookmark GetBookmarkData(TRecordBuffer buffer) = 0;
  virtual void SetBookmarkData(TRecordBuffer buffer, const TBookmark& bookmark) = 0;
  virtual int GetRecordCount() = 0;
  virtual int GetRecNo() = 0;
  virtual void DoSetRecNo(int value) = 0;
  virtual bool GetCanModify() const { return true; }
  // Runs when a new row starts (Append); the default runs OnNewRecord.
  virtual void DoOnNewRecord();

  // Helpers for concrete datasets.
  std::vector<TFieldDef>& MutableFieldDefs() { return field_defs_; }
  // Makes a data field per non-internal definition, followed by the
  // calculated fields, and lays out the calculated part.
  void CreateFields();
  // Removes the data fields (calculated fields stay for the next open).
  void DestroyFields();
  void SetState(TDataSetState value);
  // A temporary state (calc-fields, filter, set-key lookups); RestoreState
  // undoes it without notifying data sources.
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState value);
  // Runs OnCalcFields for buffer in the calc-fields state, when there are
  // calculated fields. The concrete dataset clears the calculated part first.
  void GetCalcFields(TRecordBuffer buffer);
  // Re-reads the current row after the cursor moved under the dataset: the
  // cursor's current row, else the next, else the prior; none leaves the
  // dataset empty.
  void Resync();
  void CheckActive() const;
  // Posts a modified edit or insert, cancels an unmodified one, and posts a
  // set-key state.
  void CheckBrowseMode();
  void DoBeforeScroll();
  void DoAfterScroll();
  // Sets Modified and tells the data sources a field changed; concrete
  // datasets call it after a successful SetFieldData (not in the
  // calc-fields, filter or new-value states).
  void NotifyFieldChange(TField& field);
  // The cursor's position no longer matches buffer 0.
  void CursorPosChanged() { current_record_ = -1; }
  void UpdateCursorPos();

 private:
  friend class TDataSource;
  void CheckCanModify() const;
  void ClearBuffers();
  void ActivateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  void SetCurrentRecord();
  void NotifyDataChange(TField* field);
  void NotifyStateChange();
  template <typename Tell>
  void TellSources(Tell tell);

  TDataSetState state_ = TDataSetState::dsInactive;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  int record_count_ = 0;     // rows in buffer 0: 0 or 1
  int current_record_ = -1;  // 0 when the cursor is on buffer 0's row
  std::vector<std::byte> buffers_[2];
  TRecordBuffer calc_buffer_ = nullptr;
  std::vector<TFieldDef> field_defs_;
  std::vector<std::unique_ptr<TField>> data_fields_;
  std::vector<std::unique_ptr<TField>> calc_fields_;
  std::size_t calc_fields_size_ = 0;
  TFields fields_;
  std::string filter_text_;
  bool filtered_ = false;
  TFilterOptions filter_options_;
  TFilterRecordEvent on_filter_record_;
  std::vector<TDataSource*> sources_;
};

}  // namespace kura
