// TDataCursor: one user's view of one open table: a position in a chosen
// order (an index, or natural order by physical record number), a copy of
// the current record, an optional key range, up to 64 filters, and the
// operations that read, insert, change and delete records.
//
// Re-synchronisation: every operation runs between a begin step (the
// table's read lock, or its write lock for a change) and an end step that
// releases it. The begin step compares the table's three change counters
// (index, data and BLOB headers) with the cursor's copies; when one
// differs, another cursor, session or program changed the table: the
// cursor rebuilds its bitmaps (live records, records inside the range,
// each active filter's records, and the visible set, their intersection)
// and goes back to its bookmark, or to the next visible entry after it
// when that record is gone (the previous one at the end). The cursor never
// holds a table lock between operations; it may hold one record lock (from
// Current with lock until Modify, Cancel edit or Delete).
//
// Read-ahead: a forward walk (Next after Next, with no other operation in
// between) reads, under the begin step of one Next, the records that the
// following Nexts will stand on: four times as many as the walk has taken
// steps so far, at most kMaxAhead (a walk of a few hundred records takes the
// lock six times, a walk of two steps reads eight ahead). Those Nexts then
// take no lock. They are served only while nothing can have changed the
// records for this process: no other operation of this cursor, the same
// change counters of the table in memory (a change through another cursor
// of this table moves them), no write to the table's files by any handle of
// this process, and at most kAheadMillis since they were read (on the coarse
// clock, so give or take a few milliseconds). A change by another program
// inside that interval is seen once those records are used up or too old, as
// if it had come that much later. A single Next, as a person steps through a list, always
// re-synchronises.
//
// Position: BOF (before the first visible entry), EOF (after the last), or
// on a visible entry; BOF and EOF together mean the visible set is empty.
// In an index order the entry is a key of the index's B-tree (the key
// includes the record number for non-unique indexes, so it is a bookmark);
// in natural order it is the physical record number.
//
// Ranges apply to index orders: the start and end keys (possibly partial,
// shorter than the key size) bound the visible keys inclusively over their
// own length. Changing the active index cancels the range. Without a range, a
// filter that an index walk found to be an equality on the active index's
// first field bounds walks the same way (nothing outside can pass it).
//
// Opening through a database: the cursor asks the database for the shared
// open table of its name (one per database, name and kind, counted), follows
// the session's lock protocol, and gives its use back when it is destroyed.
// A table first opened while the database is inside a transaction joins it.
// A cursor opened read-only refuses Insert, Modify and Delete with 11013
// (the shared table itself may be written through other cursors).
//
// Edits: the copy a change is checked against is the one taken by Current
// with lock, or else the current record as the cursor last read it. Modify
// and Delete fail with 8708 when the record on disk differs from it (or is
// gone). A failed Insert, Modify or Delete leaves the table unchanged,
// releases the record lock and keeps the position.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/engine/session/data_session.h"
#include "db/storage/index/index_file.h"
#include "db/storage/index/index_tree.h"
#include "db/storage/records_bitmap.h"
#include "db/storage/table/data_table.h"

namespace kura {

class TFilterExpression;
class TIndexFile;
class TRecordSource;
class KeyComparator;

// The session settings a cursor follows (the lock retry settings and the
// change-detection mode belong to the table's storage settings).
struct TCursorSettings {
  TLockProtocol lock_protocol = TLockProtocol::kPessimistic;
};

// How a cursor opens its table through a database.
struct TCursorOpenOptions {
  bool read_only = false;
  bool exclusive = false;
  bool in_memory = false;
  bool natural_order = false;  // open in physical record order
};

class TDataCursor {
 public:
  static constexpr int kNaturalOrder = 255;
  static constexpr std::size_t kMaxFilters = 64;
  // Navigation results (0 success).
  static constexpr int kOk = 0;

  // Asked for each record a callback filter is tested on.
  using TFilterCallback = std::function<bool(const std::uint8_t* record)>;
  // Narrows a bitmap of the table's live records to those passing a filter
  // at once (through an index where one serves); the callback filter still
  // tests single records after a change.
  using TSelectCallback = std::function<void(TRecordSource& source, TRecordsBitmap& bitmap)>;
  class TFilter;

  // `table` is open (shared or not); the cursor keeps a reference to it and
  // never closes it.
  TDataCursor(TDataTable& table, TCursorSettings settings = {});
  // Opens `table_name` through `database`'s shared tables with the lock
  // protocol of its session, and opens the cursor (Open); a failure gives
  // the table back before it passes on. The database outlives the cursor.
  TDataCursor(TDataDirectory& database, std::string_view table_name,
              TCursorOpenOptions options = {});
  ~TDataCursor();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // Opens on the primary index (natural order when it has no key fields, or
  // when `natural_order`), no range, no filter, positioned at BOF.
  void Open(bool natural_order = false);
  // Frees the filters and releases the record lock.
  void Close();
  bool IsOpen() const { return open_; }
  TDataTable& Table() { return table_; }
  const std::string& TableName() const { return table_.Name(); }
  // The database the cursor opened its table through (null when it was
  // given a table).
  TDataDirectory* Database() const { return database_; }
  bool ReadOnly() const { return read_only_; }
  TLockProtocol LockProtocol() const { return settings_.lock_protocol; }

  int FieldCount() const;
  int RecordSize() const;
  int BookmarkSize() const;
  // Field by number 1..FieldCount().
  const TFieldDescriptor& FieldDescriptor(int number) const;

  // ---- order, range, filters ----
  // 0 the primary index, 1..SecondaryCount the secondary indexes,
  // kNaturalOrder none. Keeps the current record when it is visible in the
  // new order. 10022 for an index that does not exist.
  void SetActiveIndex(int index);
  int ActiveIndex() const { return active_; }
  // The number of a secondary index by name (case-insensitive), -1 if none.
  int IndexNumber(std::string_view name) const;
  int IndexCount() const;
  // The indexes in use: 0 (when the primary index has key fields), then the
  // secondary slots in ascending order.
  std::vector<int> IndexList() const;
  // The definition of index 0 or a secondary slot (10022 for none).
  TIndexDefinition IndexDefinition(int index) const;
  // Bytes of index `index`'s full key (the bookmark size in its order).
  int KeySize(int index) const;
  // Bytes of the first `fields` key fields of the active index's keys.
  int KeyPrefixSize(int fields) const;
  // Stands on the first visible entry of the active index whose first
  // `length` key bytes equal those of `key` (under the index's ordering),
  // or with `after_current` on the next such entry after the current one.
  // Returns false, and leaves the position alone, when there is none.
  bool FindKey(const std::vector<std::uint8_t>& key, int length, bool after_current = false);
  // The key of `record` in the active index (for ranges and comparisons).
  std::vector<std::uint8_t> KeyOf(const std::uint8_t* record);
  void SetRange(std::vector<std::uint8_t> start, std::vector<std::uint8_t> end);
  void CancelRange();

  // A filter from expression text (10051 with the detail when it does not
  // compile) or a callback. 9482 for the 65th.
  TFilter* AddFilter(std::string_view text, bool active = true, bool case_insensitive = false);
  TFilter* AddFilter(TFilterCallback callback, bool active = true);
  // A callback filter whose record set is computed by `select`.
  TFilter* AddFilter(TFilterCallback callback, TSelectCallback select, bool active = true);
  // Null: every filter. 10050 for a handle this cursor does not own.
  void ActivateFilter(TFilter* filter);
  void DeactivateFilter(TFilter* filter);
  void RemoveFilter(TFilter* filter);

  // ---- navigation ----
  void First();
  void Last();
  // 0, or 8706 at the end (8705 for Prior at the start). `buffer` receives
  // the record (RecordSize bytes; may be null).
  int Next(std::uint8_t* buffer);
  int Prior(std::uint8_t* buffer);
  // Stands on the `number`-th visible record (1-based) in the current
  // order, as that many Next from First would, but under one read lock:
  // 0, or 8706 (at EOF) when there are fewer; `number` below 1 is First.
  int MoveTo(std::int32_t number, std::uint8_t* buffer);
  // 0, 8709 (empty), 8705 (BOF) or 8706 (EOF). With `lock` the record is
  // locked for editing (pessimistic) and checked against the cursor's copy:
  // 10258 when another holds it, 8708 when it changed.
  int Current(std::uint8_t* buffer, bool lock = false);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // Logical number of the current record among the visible ones (1-based;
  // 0 when not on a record), and the number of visible records.
  std::int32_t RecordNumber();
  std::int32_t RecordCount();
  // Physical record number of the current record (0 when none).
  std::int32_t PhysicalRecord() const { return on_record() ? recno_ : 0; }
  std::vector<std::uint8_t> Bookmark() const;
  // The bookmark's first `room` bytes into `out`, without allocating; its
  // length (0 off a record).
  std::size_t BookmarkInto(std::uint8_t* out, std::size_t room) const;
  // Returns whether the bookmarked record was found; otherwise, with
  // `nearest`, the cursor stands on the next visible entry after it.
  bool GotoBookmark(const std::vector<std::uint8_t>& bookmark, bool nearest = true);
  int CompareBookmarks(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);
  void Refresh();

  // ---- fields and changes ----
  // Returns whether the field is NULL; `out` (storage size bytes, 4 for a
  // BLOB) is zeroed, then receives the value.
  bool GetField(int number, const std::uint8_t* record, std::uint8_t* out) const;
  // Stores a value under the value rules, or NULL when `value` is empty
  // (an auto-increment field is left alone). A computed field is only
  // written when `force`.
  void SetField(int number, std::uint8_t* record,
                std::optional<std::span<const std::uint8_t>> value, bool force = false);
  void SetFieldText(int number, std::uint8_t* record, std::string_view text, bool force = false);
  // NULL fields, then the defaults.
  void InitRecord(std::uint8_t* record) const;
  // The value of BLOB field `number` of `record` (empty when NULL), read
  // under the read lock: 8708 when the value `record` refers to was replaced
  // since the record was read, 10753 for a field that is no BLOB field.
  std::vector<std::uint8_t> ReadBlob(int number, const std::uint8_t* record);
  // The new record becomes the current one (when visible; otherwise the
  // cursor stands at its place).
  void Insert(const std::uint8_t* record);
  void Modify(const std::uint8_t* record);
  void CancelEdit();
  void Delete();
  // The record this cursor holds locked for editing (0 none).
  std::int32_t LockedRecord() const { return locked_; }

 private:
  struct TCounters {
    std::int32_t index = 0, data = 0, blob = 0;
    bool operator==(const TCounters&) const = default;
  };
  class TScope;

  bool natural() const { return active_ == kNaturalOrder; }
  bool on_record() const { return !bof_ && !eof_; }
  [[noreturn]] void Raise(std::uint16_t code) const;
  void RequireOpen() const;
  TIndexFile& Indexes() const;
  int Slot() const { return active_; }
  TIndexTree& Tree() const;
  TCounters ReadCounters() const;

  void Begin(void (TDataTable::*lock)(), void (TDataTable::*release)(), bool synchronise = true);
  // Read-ahead of a forward walk (see the header comment).
  void DropAhead();
  void ReadAhead();
  bool ServeAhead(std::uint8_t* buffer, int& code);
  std::uint64_t FileWrites() const;
  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();
  void Synchronise();
  void Rebuild();
  const KeyComparator& Comparator() const;
  void BuildSparseKeys();
  void SetWalkBounds();
  // The end of a move: on record n (entry e in index order), its image read
  // into `buffer`; or past the last (forward) or first visible record.
  int StandOn(std::int32_t n, const TIndexEntry& e, std::uint8_t* buffer);
  int PastEnd(bool forward);
  // Puts the key of a record that became visible into the sorted sparse keys.
  void AddSparseKey(std::vector<std::uint8_t> key);
  bool SparseStep(const std::vector<std::uint8_t>& key, bool forward, bool inclusive,
                  TIndexEntry& out, const TIndexEntry* from = nullptr);
  void ComputeRange();
  void ComputeFilter(TFilter& f);
  void RecomputeVisible();
  void Reposition();
  void SetEmpty();
  void ReadCurrent();
  bool ReadRecord(std::int32_t n, std::vector<std::uint8_t>* out);

  // Whether `key` lies between the bounds (null: open), each compared over
  // its own length (a bound may be a prefix).
  bool Between(const std::uint8_t* key, const std::vector<std::uint8_t>* start,
               const std::vector<std::uint8_t>* end) const;
  // Against the walk bounds (the range's, or a filter's key bound).
  bool KeyInRange(const std::vector<std::uint8_t>& key) const;
  bool BelowRangeEnd(const std::vector<std::uint8_t>& key) const;
  bool EntryVisible(const TIndexEntry& e) const;
  bool SeekVisible(const std::vector<std::uint8_t>* key, bool forward, TIndexEntry& out);
  bool StepVisible(TIndexEntry& e, bool forward);
  bool StepFromCurrent(bool forward, std::int32_t& n, TIndexEntry& e);
  bool LastVisible(TIndexEntry& out);
  void StandNear(const std::vector<std::uint8_t>& key, std::int32_t recno);
  int Move(bool forward, std::uint8_t* buffer);
  bool FilterTrue(const TFilter& f, const std::uint8_t* record) const;
  void RetestRecord(std::int32_t n);

  void Validate(const std::uint8_t* record) const;
  void RequireWritable() const;
  void LockForEdit(std::int32_t n);
  void ReleaseLock();

  mutable TTableIndex* index_seen_ = nullptr;  // the table's index object Indexes() cast
  mutable TIndexFile* index_file_ = nullptr;
  TDataDirectory* database_ = nullptr;  // set when opened through a database
  TSharedTable* shared_ = nullptr;      // the shared table this cursor uses
  TDataTable& table_;
  TCursorSettings settings_;
  bool read_only_ = false;
  bool open_ = false;
  int active_ = 0;

  bool bof_ = true, eof_ = true;
  std::int32_t recno_ = 0;
  TIndexEntry entry_;                 // current entry (index orders)
  TIndexEntry probe_;                 // StepVisible's, kept for its key's room
  TIndexEntry ahead_entry_;           // ReadAhead's copies of the place it
  std::vector<std::uint8_t> ahead_record_;  // stood on, kept for their room
  std::vector<std::uint8_t> record_;  // copy of the current record

  bool range_active_ = false;
  std::vector<std::uint8_t> range_start_, range_end_;
  // The keys walks in the active index stay between (SetWalkBounds): the
  // range's, a filter's key bound, or null for the whole index.
  const std::vector<std::uint8_t>* walk_start_ = nullptr;
  const std::vector<std::uint8_t>* walk_end_ = nullptr;
  std::int64_t walk_entries_ = -1;  // entries inside a filter's bound (-1: not one)

  std::vector<std::unique_ptr<TFilter>> filters_;
  bool filtered_ = false;
  TRecordsBitmap all_, in_range_, visible_;  // visible_ changes in RecomputeVisible only
  bool range_is_all_ = false;      // no range: all_ is the range's set (in_range_ unused)
  bool visible_is_range_ = false;  // no active filter: the range's set is the visible set
  const TRecordsBitmap& InRange() const { return range_is_all_ ? all_ : in_range_; }
  const TRecordsBitmap& Visible() const { return visible_is_range_ ? InRange() : visible_; }
  std::int32_t visible_count_ = 0;           // its set bits
  bool range_bits_ = true;                   // in_range_ holds the range (else only range_count_)
  std::int32_t range_count_ = 0;             // entries inside the range
  // The visible keys in index order, while few (sparse_): at most
  // kSparseLimit and at most one in kSparseRatio of the live records. A
  // search costs about as much as kSparseRatio steps along the index; the
  // limit bounds the memory (about 1 MB of keys).
  static constexpr std::int32_t kSparseLimit = 16384;
  static constexpr std::int64_t kSparseRatio = 16;
  bool sparse_ = false;
  std::vector<std::vector<std::uint8_t>> sparse_keys_;
  std::size_t sparse_at_ = 0;  // the sparse key found last (a hint, checked before use)
  mutable std::unique_ptr<KeyComparator> comparator_;  // of the active index
  mutable int comparator_slot_ = -1;
  mutable std::unique_ptr<TIndexTree> tree_;  // of the active index (Tree)
  mutable int tree_slot_ = -1;
  mutable TIndexFile* tree_file_ = nullptr;

  TCounters seen_;

  struct TAhead {
    std::int32_t recno;
    TIndexEntry entry;
    std::vector<std::uint8_t> image;
  };
  static constexpr int kMaxAhead = 64;
  static constexpr int kAheadMillis = 10;
  std::vector<TAhead> ahead_;    // the first ahead_size_ hold records; the rest spare
  std::size_t ahead_size_ = 0;
  std::size_t ahead_next_ = 0;  // the next of ahead_ to serve
  bool ahead_end_ = false;      // the walk ends after ahead_
  int forward_run_ = 0;         // Nexts since the last other operation
  TCounters ahead_counters_;
  std::uint64_t ahead_writes_ = 0;
  std::int64_t ahead_time_ = 0;  // AheadClock() when read
  static std::int64_t AheadClock();

  std::int32_t locked_ = 0;      // record locked by this cursor
  std::int32_t edit_recno_ = 0;  // record of a pending edit (Current with lock)
  std::vector<std::uint8_t> edit_copy_;
};

}  // namespace kura
