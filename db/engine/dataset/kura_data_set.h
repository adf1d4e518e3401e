// TKuraDataSet: the host dataset over one engine cursor (TDataCursor). It
// lays out the dataset's record buffers, moves the cursor for the host's
// navigation, reads and writes fields through the cursor's value rules,
// posts and deletes through the cursor, and searches with Locate.
//
// Where the cursor comes from is the subclass's business (CreateHandle /
// DestroyHandle): a table by name (TKuraTable) or the result cursor of a
// statement. Everything below works on whichever cursor it hands over.
//
// Record buffer (one per buffered row), in this order:
//
//   offset                 size              contents
//   0                      record size       the engine record (indicator byte
//                                            + data per stored field)
//   record size            calc-fields size  calculated fields, each an
//                                            indicator byte + native data
//   info                   8                 int32 physical record number
//                                            (-1 for a new row), then the
//                                            bookmark-flag byte, 3 bytes zero
//   info + 8               bookmark room     the cursor's bookmark of the row
//                                            (4 bytes in natural order, else
//                                            the index key; the room fits the
//                                            longest key of the table)
//
// Field values: the host's native format (db/dataset/field.h) is converted
// from and to the engine's (the data file's encodings) field by field;
// strings go through the cursor's value rules (cut to size, trailing blanks
// removed, blanks only stored as NULL).
//
// Edit locks the row through the cursor (pessimistic: 10258 when another
// cursor holds it) and then fails with 8708 when the row on disk is not the
// row this dataset shows. The lock is released by Post, Delete, Append or
// Cancel of this dataset.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/dataset/data_set.h"
#include "db/engine/cursor/data_cursor.h"
#include "db/engine/expression/expression.h"

namespace kura {

class TKuraDataSet : public TDataSet {
 public:
  TKuraDataSet();
  ~TKuraDataSet() override;

  // When true, a field's display label is the table's field description.
  bool AutoDisplayLabels() const { return auto_display_labels_; }
  void SetAutoDisplayLabels(bool value) { auto_display_labels_ = value; }
  // When true, a new row starts as a copy of the current one.
  bool CopyOnAppend() const { return copy_on_append_; }
  void SetCopyOnAppend(bool value) { copy_on_append_ = value; }

  // The open cursor (null while inactive).
  TDataCursor* Cursor() const { return cursor_; }

  bool BookmarkValid(const TBookmark& bookmark) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  // Finds the first row, in the dataset's order, whose named fields (a list
  // separated by ";") hold the values: through the active index when its
  // first key fields are the named ones (and, for strings, its case rule is
  // the option's), else through another index that fits, else with a
  // temporary filter of field = value conditions (which also serves partial
  // string keys). Not found: false, and the current row stays.
  bool Locate(const std::string& key_fields, const std::vector<TFieldValue>& values,
              TLocateOptions options) override;
  bool GetFieldData(const TField& field, std::byte* buffer) override;
  void SetFieldData(TField& field, const std::byte* buffer) override;
  // Reading BLOB values (retried after 8708, see the .cpp); writing one
  // fails with "Field '%s' has no BLOB stream".
  std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  bool IsSequenced() override;

  void SetFilterText(const std::string& value) override;
  void SetFiltered(bool value) override;
  void SetFilterOptions(TFilterOptions value) override;
  void SetOnFilterRecord(TFilterRecordEvent value) override;

 protected:
  // The cursor the dataset opens on, positioned anywhere; it stays valid
  // until DestroyHandle. Raises on failure.
  virtual TDataCursor* CreateHandle() = 0;
  virtual void DestroyHandle() = 0;
  // Whether the dataset itself refuses changes (the cursor's read-only flag
  // counts as well).
  virtual bool ReadOnlyDataSet() const { return false; }
  // A column the dataset shows: a field of the cursor's table (field > 0,
  // under the column's name), or a value computed from the cursor's record
  // (field 0; read-only).
  struct TShownColumn {
    int field = 0;
    std::string name;
    TValueShape shape;  // of a computed column's values
    std::function<TExpValue(const std::uint8_t* record)> value;
  };
  // The columns in the dataset's field order, asked when the cursor opens;
  // empty: every field of the cursor's table.
  virtual std::vector<TShownColumn> ShownColumns() { return {}; }

  void OpenCursor() override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override;
  std::size_t GetRecordSize() override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool check) override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalCancel() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  void InternalRefresh() override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  TBookmark GetBookmarkData(TRecordBuffer buffer) override;
  void SetBookmarkData(TRecordBuffer buffer, const TBookmark& bookmark) override;
  int GetRecordCount() override;
  int GetRecNo() override;
  void DoSetRecNo(int value) override;
  bool GetCanModify() const override;

  // After the cursor's active index changed under an open dataset: the
  // index information is read again and the rows re-read.
  void ActiveIndexChanged();

 private:
  class TBlobReader;
  std::uint8_t* Engine(TRecordBuffer buffer) const {
    return reinterpret_cast<std::uint8_t*>(buffer);
  }
  // The buffer fields read from or write to in the current state.
  TRecordBuffer StateBuffer();
  std::int32_t RowRecord(TRecordBuffer buffer) const;
  void ReadIndexInfo();
  void InstallFilters();
  void RemoveFilters();
  void FilterSettingsChanged();
  bool FieldInActiveIndex(const TField& field) const;
  // The table field a dataset field shows (0: a computed column), and its
  // descriptor (a computed column's made from its shape).
  int TableField(const TField& field) const;
  const TFieldDescriptor& Descriptor(const TField& field) const;
  const TShownColumn& Column(const TField& field) const;
  // The locate paths; each leaves the cursor on the found row.
  std::vector<TField*> LocateFields(const std::string& key_fields, std::size_t values) const;
  bool IndexFits(int index, const std::vector<TField*>& fields, TLocateOptions options) const;
  bool LocateByActiveIndex(const std::vector<TField*>& fields);
  bool LocateByIndex(int index, const std::vector<TField*>& fields);
  bool LocateByFilter(const std::vector<TField*>& fields, TLocateOptions options);
  bool KeyMatches(const std::uint8_t* record, const std::vector<TField*>& fields,
                  TLocateOptions options) const;
  std::vector<std::uint8_t> LocateBookmark(const std::uint8_t* record) const;

  TDataCursor* cursor_ = nullptr;
  std::vector<TShownColumn> columns_;       // by field number - 1
  std::vector<TFieldDescriptor> computed_;  // by field number - 1, computed columns only
  std::size_t record_size_ = 0;
  std::size_t bookmark_room_ = 0;
  std::size_t calc_offset_ = 0;
  std::size_t info_offset_ = 0;
  std::size_t bookmark_offset_ = 0;
  bool can_modify_ = false;
  std::vector<std::uint8_t> copy_buffer_;        // the row as it was when editing began
  std::vector<std::uint8_t> key_buffer_;         // Locate's values, written in the filter state
  const std::uint8_t* filter_record_ = nullptr;  // the record an OnFilterRecord call sees
  int key_field_count_ = 0;                      // of the active index
  std::vector<int> key_fields_;                  // field numbers of the active index
  TDataCursor::TFilter* text_filter_ = nullptr;
  TDataCursor::TFilter* event_filter_ = nullptr;
  bool auto_display_labels_ = false;
  bool copy_on_append_ = false;
};

}  // namespace kura
