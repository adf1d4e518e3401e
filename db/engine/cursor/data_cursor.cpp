#include "db/engine/cursor/data_cursor.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "db/common/undo_on_throw.h"
#include "db/engine/expression/expression.h"
#include "db/engine/expression/filter_expression.h"
#include "db/engine/expression/record_selection.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/data/field_types.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"

namespace kura {

class TDataCursor::TFilter {
 public:
  std::unique_ptr<TFilterExpression> expression;  // or
  TFilterCallback callback;
  TSelectCallback select;  // optional, with a callback: computes the bitmap
  bool active = true;
  TRecordsBitmap bitmap;  // records passing the filter (while active)
  TKeyBound bound;        // where in an index their keys lie, when known
};

// Holds the begin/end pair of one operation.
class TDataCursor::TScope {
 public:
  // `synchronise` false: the lock only, for a caller that rebuilds anyway.
  TScope(TDataCursor& c, bool write, bool synchronise = true) : c_(c), write_(write) {
    c_.DropAhead();
    if (write_)
      c_.BeginWrite();
    else if (synchronise)
      c_.BeginRead();
    else
      c_.Begin(&TDataTable::ReadLock, &TDataTable::ReleaseReadLock, false);
  }
  ~TScope() {
    try {
      if (write_)
        c_.EndWrite();
      else
        c_.EndRead();
    } catch (...) {
      // Releasing a lock held cannot meaningfully fail; the OS drops it
      // with the descriptor at the latest.
    }
  }
  TScope(const TScope&) = delete;
  TScope& operator=(const TScope&) = delete;

 private:
  TDataCursor& c_;
  bool write_;
};

TDataCursor::TDataCursor(TDataTable& table, TCursorSettings settings)
    : table_(table), settings_(settings) {}

TDataCursor::TDataCursor(TDataDirectory& database, std::string_view table_name,
                         TCursorOpenOptions options)
    : database_(&database),
      shared_(
          &database.OpenTable(table_name, options.read_only, options.exclusive, options.in_memory)),
      table_(shared_->Table()),
      settings_{database.Session().LockProtocol()},
      read_only_(options.read_only) {
  try {
    Open(options.natural_order);
  } catch (...) {
    database_->CloseTable(*shared_);
    throw;
  }
}

TDataCursor::~TDataCursor() {
  try {
    Close();
  } catch (...) {
  }
  if (shared_) {
    try {
      database_->CloseTable(*shared_);
    } catch (...) {
      // Closing writes back an exclusive table's buffers; a destructor
      // cannot report that failure.
    }
  }
}

void TDataCursor::Raise(std::uint16_t code) const {
  RaiseTableError(code, table_.Name());
}

namespace {
// An error naming a field or index besides the table.
[[noreturn]] void RaiseNamed(std::uint16_t code, const std::string& table, std::string field,
                             std::string index) {
  TErrorContext context;
  context.table_name = table;
  context.field_name = std::move(field);
  context.index_name = std::move(index);
  RaiseEngineError(code, context);
}
}  // namespace

void TDataCursor::RequireOpen() const {
  if (!open_ || !table_.IsOpen()) Raise(kErrInvalidHandle);
}

// Every step asks for the index file several times: the cast is made again
// only when the table's index object is another one.
TIndexFile& TDataCursor::Indexes() const {
  TTableIndex* index = &table_.Index();
  if (index != index_seen_) {
    index_file_ = dynamic_cast<TIndexFile*>(index);
    index_seen_ = index;
  }
  if (!index_file_) Raise(kErrInvalidHandle);
  return *index_file_;
}

// Made once per order: a step walks the tree it finds here. Rebuild drops
// it with the comparator, as the index definitions may have changed.
TIndexTree& TDataCursor::Tree() const {
  TIndexFile& x = Indexes();
  if (!tree_ || tree_slot_ != Slot() || tree_file_ != &x) {
    tree_ = std::make_unique<TIndexTree>(x.Tree(table_.Data(), Slot()));
    tree_slot_ = Slot();
    tree_file_ = &x;
  }
  return *tree_;
}

TDataCursor::TCounters TDataCursor::ReadCounters() const {
  TCounters c;
  c.index = Indexes().ChangeCounter();
  c.data = table_.Data().ChangeCounter();
  if (const TBlobFile* b = const_cast<TDataTable&>(table_).Blobs()) c.blob = b->ChangeCounter();
  return c;
}

// ---- open and close ----

void TDataCursor::Open(bool natural_order) {
  if (open_) Close();
  if (!table_.IsOpen()) Raise(kErrInvalidHandle);
  open_ = true;
  try {
    active_ = natural_order || !Indexes().SlotInUse(0) ? kNaturalOrder : 0;
    record_.assign(static_cast<std::size_t>(RecordSize()), 0);
    TScope scope(*this, false, false);
    Rebuild();
    First();
  } catch (...) {
    open_ = false;
    throw;
  }
}

void TDataCursor::Close() {
  if (!open_) return;
  DropAhead();
  try {
    ReleaseLock();
  } catch (...) {
    filters_.clear();
    open_ = false;
    throw;
  }
  filters_.clear();
  open_ = false;
}

int TDataCursor::FieldCount() const {
  return table_.Data().FieldCount();
}

int TDataCursor::RecordSize() const {
  return table_.Data().RecordSize();
}

int TDataCursor::BookmarkSize() const {
  if (natural()) return 4;
  return Indexes().Layout(table_.Data(), Slot()).KeySize();
}

const TFieldDescriptor& TDataCursor::FieldDescriptor(int number) const {
  const TFieldDescriptor* f = table_.Data().FieldByNumber(number);
  if (!f) RaiseNamed(kErrInvalidField, table_.Name(), std::to_string(number), "");
  return *f;
}

// ---- re-synchronisation ----

// Takes the lock, then catches up with other users' changes; a failure
// gives the lock back.
void TDataCursor::Begin(void (TDataTable::*lock)(), void (TDataTable::*release)(),
                        bool synchronise) {
  RequireOpen();
  (table_.*lock)();
  if (!synchronise) return;
  try {
    Synchronise();
  } catch (...) {
    (table_.*release)();
    throw;
  }
}

void TDataCursor::BeginRead() {
  Begin(&TDataTable::ReadLock, &TDataTable::ReleaseReadLock);
}

void TDataCursor::EndRead() {
  table_.ReleaseReadLock();
}

void TDataCursor::BeginWrite() {
  Begin(&TDataTable::WriteLock, &TDataTable::ReleaseWriteLock);
}

void TDataCursor::EndWrite() {
  table_.ReleaseWriteLock();
}

void TDataCursor::Synchronise() {
  if (ReadCounters() == seen_) return;
  Rebuild();
  Reposition();
}

void TDataCursor::Rebuild() {
  DropAhead();
  comparator_.reset();  // the index definitions may have changed as well
  tree_.reset();
  TTableRecordSource source(table_);
  SelectLiveRecords(source, all_);
  ComputeRange();
  for (auto& f : filters_)
    if (f->active) ComputeFilter(*f);
  RecomputeVisible();
  seen_ = ReadCounters();
}

// The records inside the range, from the live set (all of them without a
// range or in natural order). Run inside an operation, after the begin
// step brought the live set up to date. A range without active filters
// needs no bits: moving tests keys against the range, and only the count of
// its entries is kept; the bits are made when a filter joins.
void TDataCursor::ComputeRange() {
  range_bits_ = true;
  // Without a range every live record is inside: the live set serves as is.
  range_is_all_ = !range_active_ || natural();
  if (range_is_all_) {
    in_range_.ClearAll();
    return;
  }
  const bool bits =
      std::any_of(filters_.begin(), filters_.end(), [](const auto& f) { return f->active; });
  if (bits) {
    in_range_.SetSize(all_.Size());
    in_range_.ClearAll();
  }
  range_count_ = 0;
  TIndexTree& tree = Tree();
  TIndexEntry e;
  bool ok = tree.Seek(range_start_.data(), static_cast<int>(range_start_.size()), e);
  if (!bits && tree.format().with_counts) {
    // Only the count is kept: the keys' ordinals give it, from the range's
    // first key to the first key past its end.
    if (ok && Between(e.key.data(), nullptr, &range_end_)) {
      TIndexEntry after;
      const std::int64_t end =
          tree.SeekAfter(range_end_.data(), static_cast<int>(range_end_.size()), after)
              ? after.ordinal
              : tree.Count();
      range_count_ = static_cast<std::int32_t>(
          std::clamp<std::int64_t>(end - e.ordinal, 1, std::numeric_limits<std::int32_t>::max()));
    }
    range_bits_ = false;
    return;
  }
  if (ok) {
    tree.Scan(range_start_.data(), static_cast<int>(range_start_.size()),
              [&](const std::uint8_t* key, std::int32_t record) {
                if (!Between(key, nullptr, &range_end_)) return false;
                if (bits) in_range_.Set(record);
                ++range_count_;
                return true;
              });
  }
  range_bits_ = bits;
}

// The live records that pass filter f.
void TDataCursor::ComputeFilter(TFilter& f) {
  if (f.expression) {
    TTableRecordSource source(table_);
    f.expression->SelectFrom(source, all_, f.bitmap, &f.bound);
    return;
  }
  f.bound = {};
  f.bitmap.CopyFrom(all_);
  if (f.select) {
    TTableRecordSource source(table_);
    f.select(source, f.bitmap);
    return;
  }
  for (std::int32_t n = all_.FindNext(0); n != 0; n = all_.FindNext(n)) {
    TRecordPin r = table_.Data().GetRecord(n);
    if (!f.callback(r->Data())) f.bitmap.Clear(n);
  }
}

void TDataCursor::RecomputeVisible() {
  DropAhead();
  const bool any_filter =
      std::any_of(filters_.begin(), filters_.end(), [](const auto& f) { return f->active; });
  if (!range_bits_) {
    if (!any_filter) {
      // Index order inside a range, unfiltered: visible_ is not consulted.
      visible_is_range_ = false;
      filtered_ = false;
      visible_count_ = range_count_;
      sparse_ = false;
      sparse_keys_.clear();
      SetWalkBounds();
      return;
    }
    ComputeRange();
  }
  visible_is_range_ = !any_filter;
  if (visible_is_range_) {
    // Unfiltered: the visible set is the range's, used where it is.
    filtered_ = false;
    visible_count_ = InRange().Count();
    SetWalkBounds();
    BuildSparseKeys();
    return;
  }
  // Starting from the narrowest of the bitmaps keeps a filter of a few
  // records in a large table from copying and clearing the whole range.
  const TRecordsBitmap* first = &InRange();
  for (auto& f : filters_)
    if (f->active && f->bitmap.WindowWords() < first->WindowWords()) first = &f->bitmap;
  visible_.CopyFrom(*first);
  visible_.SetSize(InRange().Size());
  filtered_ = false;
  if (first != &InRange()) visible_.And(InRange());
  for (auto& f : filters_) {
    if (!f->active) continue;
    if (&f->bitmap != first) visible_.And(f->bitmap);
    filtered_ = true;
  }
  visible_count_ = visible_.Count();
  SetWalkBounds();
  BuildSparseKeys();
}

// The keys a walk in the active index stays between: the range's; without
// one, the narrowest key bound of an active filter on that index (every
// record the filter lets through has its key there, so nothing visible lies
// outside); else none, and walks span the index.
void TDataCursor::SetWalkBounds() {
  walk_start_ = walk_end_ = nullptr;
  walk_entries_ = -1;
  if (natural()) return;
  if (range_active_) {
    walk_start_ = &range_start_;
    walk_end_ = &range_end_;
    return;
  }
  if (!filtered_) return;
  for (const auto& f : filters_) {
    if (!f->active || f->bound.slot != Slot()) continue;
    if (walk_entries_ >= 0 && f->bound.entries >= walk_entries_) continue;
    walk_start_ = walk_end_ = &f->bound.key;
    walk_entries_ = f->bound.entries;
  }
}

const KeyComparator& TDataCursor::Comparator() const {
  if (!comparator_ || comparator_slot_ != Slot()) {
    comparator_ = std::make_unique<KeyComparator>(Indexes().Layout(table_.Data(), Slot()));
    comparator_slot_ = Slot();
  }
  return *comparator_;
}

// A filtered index order whose visible records are few next to the index's
// entries keeps their keys sorted, so that moving finds the next visible
// entry by a search instead of walking every entry in between.
void TDataCursor::BuildSparseKeys() {
  sparse_keys_.clear();
  sparse_ = false;
  if (!filtered_ || natural()) return;
  const std::int32_t count = visible_count_;
  if (count > kSparseLimit || static_cast<std::int64_t>(count) * kSparseRatio > all_.Count())
    return;
  // A filter's key bound already keeps walks among few enough entries.
  if (walk_entries_ >= 0 && static_cast<std::int64_t>(count) * kSparseRatio > walk_entries_)
    return;
  TIndexFile& x = Indexes();
  TDataFile& data = table_.Data();
  sparse_keys_.reserve(static_cast<std::size_t>(count));
  for (std::int32_t n = Visible().FindNext(0); n != 0; n = Visible().FindNext(n))
    sparse_keys_.push_back(x.KeyOf(data, Slot(), data.PeekRecord(n)));
  const KeyComparator& cmp = Comparator();
  const int size = x.Layout(data, Slot()).KeySize();
  std::sort(sparse_keys_.begin(), sparse_keys_.end(), [&](const auto& a, const auto& b) {
    return cmp.Compare(a.data(), b.data(), size) < 0;
  });
  sparse_ = true;
}

// The entry of the visible key after (forward) or before `key` in the
// sparse list, inside the range; false when there is none. `from`, when
// given, is the entry of `key`: visible keys that follow each other in the
// index (a game's moves) are then reached by one step instead of a search.
bool TDataCursor::SparseStep(const std::vector<std::uint8_t>& key, bool forward, bool inclusive,
                             TIndexEntry& out, const TIndexEntry* from) {
  const KeyComparator& cmp = Comparator();
  const int size = static_cast<int>(key.size());
  auto less = [&](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    return cmp.Compare(a.data(), b.data(), size) < 0;
  };
  // A forward walk steps from the key it found last: the search is skipped
  // when `key` is that one (keys are distinct, so the next is the next).
  const bool after_last = forward && !inclusive && sparse_at_ < sparse_keys_.size() &&
                          sparse_keys_[sparse_at_] == key;
  auto it =
      after_last ? sparse_keys_.begin() + static_cast<std::ptrdiff_t>(sparse_at_ + 1)
      : forward  ? (inclusive
                        ? std::lower_bound(sparse_keys_.begin(), sparse_keys_.end(), key, less)
                        : std::upper_bound(sparse_keys_.begin(), sparse_keys_.end(), key, less))
                 : std::lower_bound(sparse_keys_.begin(), sparse_keys_.end(), key, less);
  if (!forward) {
    if (it == sparse_keys_.begin()) return false;
    --it;
  }
  if (it == sparse_keys_.end()) return false;
  if (forward && !BelowRangeEnd(*it)) return false;
  if (!forward && !KeyInRange(*it)) return false;
  sparse_at_ = static_cast<std::size_t>(it - sparse_keys_.begin());
  TIndexTree& tree = Tree();
  if (forward && from) {
    out = *from;
    if (tree.Next(out) && out.key == *it) return true;
  }
  return tree.Seek(it->data(), static_cast<int>(it->size()), out) && out.key == *it;
}

void TDataCursor::SetEmpty() {
  bof_ = eof_ = true;
  recno_ = 0;
  entry_ = {};
}

// The cursor keeps its own copy: the slot is looked at where it is (record
// cache or read block) instead of entering the record cache, which a walk
// would only churn.
bool TDataCursor::ReadRecord(std::int32_t n, std::vector<std::uint8_t>* out) {
  TDataFile& data = table_.Data();
  if (n <= 0 || n >= data.NextRecordNumber()) return false;
  const std::uint8_t* r = data.PeekRecord(n);
  if (r[record::kDeleted] != 0) return false;
  out->assign(r, r + data.RecordSize());
  return true;
}

void TDataCursor::ReadCurrent() {
  if (!ReadRecord(recno_, &record_)) Raise(kErrRecordChanged);
}

// Back to the bookmark after the table changed: the same entry when it is
// still visible (its copy is kept, so that an edit of it notices the
// change), else the next visible entry after its place, else the last.
void TDataCursor::Reposition() {
  if (visible_count_ == 0) {
    SetEmpty();
    return;
  }
  if (bof_ || eof_) {
    if (bof_ && eof_) eof_ = false;  // was empty: now before the first
    return;
  }
  if (natural()) {
    if (Visible().Test(recno_)) return;
    StandNear({}, recno_);
    return;
  }
  TIndexEntry e;
  TIndexTree& tree = Tree();
  if (tree.Seek(entry_.key.data(), static_cast<int>(entry_.key.size()), e) && e.key == entry_.key &&
      e.record == entry_.record && EntryVisible(e)) {
    entry_ = e;
    return;
  }
  StandNear(entry_.key, recno_);
}

// Stands on the first visible entry at or after (key, recno), else on the
// last visible one before it; empty when there is none.
void TDataCursor::StandNear(const std::vector<std::uint8_t>& key, std::int32_t recno) {
  bof_ = eof_ = false;
  if (natural()) {
    std::int32_t n = Visible().FindNext(recno - 1);
    if (n == 0) n = Visible().FindNext(recno, 1, false);
    if (n == 0) return SetEmpty();
    recno_ = n;
  } else {
    TIndexEntry e;
    if (!SeekVisible(&key, true, e) && !LastVisible(e)) return SetEmpty();
    entry_ = e;
    recno_ = e.record;
  }
  ReadCurrent();
}

// ---- index walking ----

bool TDataCursor::Between(const std::uint8_t* key, const std::vector<std::uint8_t>* start,
                          const std::vector<std::uint8_t>* end) const {
  const KeyComparator& cmp = Comparator();
  if (start && cmp.Compare(key, start->data(), static_cast<int>(start->size())) < 0) return false;
  return !end || cmp.Compare(key, end->data(), static_cast<int>(end->size())) <= 0;
}

bool TDataCursor::BelowRangeEnd(const std::vector<std::uint8_t>& key) const {
  return Between(key.data(), nullptr, walk_end_);
}

bool TDataCursor::KeyInRange(const std::vector<std::uint8_t>& key) const {
  return Between(key.data(), walk_start_, walk_end_);
}

bool TDataCursor::EntryVisible(const TIndexEntry& e) const {
  if (filtered_) return Visible().Test(e.record) && KeyInRange(e.key);
  return KeyInRange(e.key);
}

// The first visible entry at or after `key` (forward; null: from the start
// of the range), or the last one before it (backward).
bool TDataCursor::SeekVisible(const std::vector<std::uint8_t>* key, bool forward,
                              TIndexEntry& out) {
  TIndexTree& tree = Tree();
  const std::vector<std::uint8_t>* from = key ? key : walk_start_;
  bool ok = from ? tree.Seek(from->data(), static_cast<int>(from->size()), out) : tree.First(out);
  if (walk_start_ && ok && from == key && key) {
    // Below the range start: begin at the start instead.
    const KeyComparator& cmp = Comparator();
    if (cmp.Compare(out.key.data(), walk_start_->data(), static_cast<int>(walk_start_->size())) <
        0)
      ok = tree.Seek(walk_start_->data(), static_cast<int>(walk_start_->size()), out);
  }
  if (!forward) {
    if (!ok) return LastVisible(out);
    return StepVisible(out, false);
  }
  if (ok && sparse_) {
    const std::vector<std::uint8_t> at = out.key;
    return SparseStep(at, true, true, out);
  }
  while (ok) {
    if (!BelowRangeEnd(out.key)) return false;
    if (EntryVisible(out)) return true;
    ok = tree.Next(out);
  }
  return false;
}

// From a visible or invisible entry to the next visible one in a direction.
bool TDataCursor::StepVisible(TIndexEntry& e, bool forward) {
  if (sparse_) {
    TIndexEntry found;
    if (!SparseStep(e.key, forward, false, found, &e)) return false;
    e = found;
    return true;
  }
  TIndexTree& tree = Tree();
  TIndexEntry& probe = probe_;  // its key's room stays from step to step
  probe = e;
  if (forward) {
    // Past the end bound: none; else the first visible key inside the
    // bounds, found without copying the keys passed over.
    const bool found = tree.NextWhere(probe, [&](const std::uint8_t* key, std::int32_t record) {
      if (!Between(key, nullptr, walk_end_)) return -1;
      return (!filtered_ || Visible().Test(record)) && Between(key, walk_start_, nullptr) ? 1 : 0;
    });
    if (found) std::swap(e, probe);
    return found;
  }
  while (tree.Prior(probe)) {
    if (walk_start_ && !KeyInRange(probe.key) && BelowRangeEnd(probe.key))
      return false;  // below the range start
    if (EntryVisible(probe)) {
      std::swap(e, probe);
      return true;
    }
  }
  return false;
}

// The last visible entry: the last key of the range (or index), walked back.
bool TDataCursor::LastVisible(TIndexEntry& out) {
  TIndexTree& tree = Tree();
  TIndexEntry e;
  bool ok;
  if (walk_end_) {
    ok = tree.Seek(walk_end_->data(), static_cast<int>(walk_end_->size()), e);
    // Keys equal to the end over its length are inside: walk past them.
    while (ok && BelowRangeEnd(e.key)) {
      TIndexEntry next = e;
      if (!tree.Next(next)) {
        break;
      }
      e = next;
    }
    if (!ok) {
      const std::int64_t count = tree.Count();
      ok = count > 0 && tree.AtOrdinal(count - 1, e);
    }
  } else {
    const std::int64_t count = tree.Count();
    ok = count > 0 && tree.AtOrdinal(count - 1, e);
  }
  if (!ok) return false;
  if (EntryVisible(e)) {
    out = e;
    return true;
  }
  if (!StepVisible(e, false)) return false;
  out = e;
  return true;
}

// ---- order, range, filters ----

int TDataCursor::IndexCount() const {
  return Indexes().SecondaryCount() + 1;
}

std::vector<int> TDataCursor::IndexList() const {
  TIndexFile& x = Indexes();
  std::vector<int> out;
  for (int slot = 0; slot < kSysDeletedSlot; ++slot)
    if (x.SlotInUse(slot)) out.push_back(slot);
  return out;
}

TIndexDefinition TDataCursor::IndexDefinition(int index) const {
  TIndexFile& x = Indexes();
  if (index < 0 || index >= kSysDeletedSlot || !x.SlotInUse(index))
    RaiseNamed(kErrInvalidIndexName, table_.Name(), "", std::to_string(index));
  return x.Definition(index);
}

int TDataCursor::KeySize(int index) const {
  if (index == kNaturalOrder) return 4;
  IndexDefinition(index);
  return Indexes().Layout(table_.Data(), index).KeySize();
}

int TDataCursor::KeyPrefixSize(int fields) const {
  if (natural()) Raise(kErrIndexNameMissing);
  const KeyLayout layout = Indexes().Layout(table_.Data(), Slot());
  int size = 0;
  for (int i = 0; i < fields && i < static_cast<int>(layout.fields.size()); ++i)
    size += layout.fields[static_cast<std::size_t>(i)].SegmentSize();
  return size;
}

bool TDataCursor::FindKey(const std::vector<std::uint8_t>& key, int length, bool after_current) {
  RequireOpen();
  if (natural()) Raise(kErrIndexNameMissing);
  if (length < 0 || static_cast<std::size_t>(length) > key.size()) Raise(kErrKeySize);
  TScope scope(*this, false);
  const KeyComparator& cmp = Comparator();
  TIndexEntry e;
  bool ok;
  if (after_current && on_record()) {
    e = entry_;
    ok = StepVisible(e, true);
  } else {
    const std::vector<std::uint8_t> prefix(key.begin(), key.begin() + length);
    ok = SeekVisible(&prefix, true, e);
  }
  if (!ok || cmp.Compare(e.key.data(), key.data(), length) != 0) return false;
  bof_ = eof_ = false;
  entry_ = e;
  recno_ = e.record;
  ReadCurrent();
  return true;
}

int TDataCursor::IndexNumber(std::string_view name) const {
  const int slot = Indexes().SlotOf(name);
  return slot >= 1 && slot < kSysDeletedSlot ? slot : -1;
}

void TDataCursor::SetActiveIndex(int index) {
  RequireOpen();
  TIndexFile& x = Indexes();
  const bool valid = index == kNaturalOrder || index == 0 ||
                     (index >= 1 && index < kSysDeletedSlot && x.SlotInUse(index));
  if (!valid) RaiseNamed(kErrInvalidIndexName, table_.Name(), "", std::to_string(index));
  TScope scope(*this, false);
  const bool was_on = on_record();
  const std::int32_t n = recno_;
  active_ = index == 0 && !x.SlotInUse(0) ? kNaturalOrder : index;
  range_active_ = false;
  range_start_.clear();
  range_end_.clear();
  ComputeRange();
  RecomputeVisible();
  if (!was_on || !Visible().Test(n)) {
    if (visible_count_ == 0) {
      SetEmpty();
    } else {
      bof_ = true;
      eof_ = false;
    }
    return;
  }
  std::vector<std::uint8_t> rec;
  if (!ReadRecord(n, &rec)) return First();
  if (natural()) {
    recno_ = n;
  } else {
    const std::vector<std::uint8_t> key = x.KeyOf(table_.Data(), Slot(), rec.data());
    StandNear(key, n);
  }
}

std::vector<std::uint8_t> TDataCursor::KeyOf(const std::uint8_t* record) {
  RequireOpen();
  if (natural()) Raise(kErrIndexNameMissing);
  return Indexes().KeyOf(table_.Data(), Slot(), record);
}

void TDataCursor::SetRange(std::vector<std::uint8_t> start, std::vector<std::uint8_t> end) {
  RequireOpen();
  if (natural()) Raise(kErrIndexNameMissing);
  const int size = BookmarkSize();
  if (start.size() > static_cast<std::size_t>(size) || end.size() > static_cast<std::size_t>(size))
    RaiseNamed(kErrKeySize, table_.Name(), "", Indexes().Definition(Slot()).name);
  TScope scope(*this, false);
  range_active_ = true;
  range_start_ = std::move(start);
  range_end_ = std::move(end);
  ComputeRange();
  RecomputeVisible();
  First();
}

void TDataCursor::CancelRange() {
  RequireOpen();
  TScope scope(*this, false);
  range_active_ = false;
  range_start_.clear();
  range_end_.clear();
  ComputeRange();
  RecomputeVisible();
  First();
}

TDataCursor::TFilter* TDataCursor::AddFilter(std::string_view text, bool active,
                                             bool case_insensitive) {
  RequireOpen();
  if (filters_.size() >= kMaxFilters) Raise(kErrTooManyFilters);
  auto f = std::make_unique<TFilter>();
  f->expression = std::make_unique<TFilterExpression>(
      text, table_.Data(), table_.Name(),
      [this](const std::string& t) { return TTableRecordSource(table_).LastAutoInc(t); },
      case_insensitive);
  f->active = false;
  filters_.push_back(std::move(f));
  TFilter* handle = filters_.back().get();
  if (active) ActivateFilter(handle);
  return handle;
}

TDataCursor::TFilter* TDataCursor::AddFilter(TFilterCallback callback, bool active) {
  return AddFilter(std::move(callback), nullptr, active);
}

TDataCursor::TFilter* TDataCursor::AddFilter(TFilterCallback callback, TSelectCallback select,
                                             bool active) {
  RequireOpen();
  if (filters_.size() >= kMaxFilters) Raise(kErrTooManyFilters);
  if (!callback) Raise(kErrFilterHandle);
  auto f = std::make_unique<TFilter>();
  f->callback = std::move(callback);
  f->select = std::move(select);
  f->active = false;
  filters_.push_back(std::move(f));
  TFilter* handle = filters_.back().get();
  if (active) ActivateFilter(handle);
  return handle;
}

void TDataCursor::ActivateFilter(TFilter* filter) {
  RequireOpen();
  if (filter && std::none_of(filters_.begin(), filters_.end(),
                             [&](const auto& f) { return f.get() == filter; }))
    Raise(kErrFilterHandle);
  TScope scope(*this, false);
  for (auto& f : filters_) {
    if ((filter && f.get() != filter) || (f->active && !filter)) continue;
    f->active = true;
    ComputeFilter(*f);
  }
  RecomputeVisible();
  First();
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
  RequireOpen();
  if (filter && std::none_of(filters_.begin(), filters_.end(),
                             [&](const auto& f) { return f.get() == filter; }))
    Raise(kErrFilterHandle);
  TScope scope(*this, false);
  for (auto& f : filters_)
    if (!filter || f.get() == filter) f->active = false;
  RecomputeVisible();
  First();
}

void TDataCursor::RemoveFilter(TFilter* filter) {
  RequireOpen();
  auto it = std::find_if(filters_.begin(), filters_.end(),
                         [&](const auto& f) { return f.get() == filter; });
  if (it == filters_.end()) Raise(kErrFilterHandle);
  TScope scope(*this, false);
  filters_.erase(it);
  RecomputeVisible();
  First();
}

// ---- navigation ----

void TDataCursor::First() {
  RequireOpen();
  if (visible_count_ == 0) return SetEmpty();
  bof_ = true;
  eof_ = false;
  recno_ = 0;
}

void TDataCursor::Last() {
  RequireOpen();
  if (visible_count_ == 0) return SetEmpty();
  bof_ = false;
  eof_ = true;
  recno_ = 0;
}

int TDataCursor::Move(bool forward, std::uint8_t* buffer) {
  int served = 0;
  if (forward && ServeAhead(buffer, served)) return served;
  const int run = forward ? forward_run_ + 1 : 0;
  TScope scope(*this, false);
  forward_run_ = run;
  const int end_code = forward ? kErrEndOfTable : kErrBeginningOfTable;
  if (bof_ && eof_) return end_code;
  if (forward ? eof_ : bof_) return end_code;
  const bool from_edge = forward ? bof_ : eof_;
  std::int32_t n = 0;
  TIndexEntry e;
  bool found;
  if (natural()) {
    const std::int32_t from = from_edge ? (forward ? 0 : Visible().Size() + 1) : recno_;
    n = Visible().FindNext(from, 1, forward);
    found = n != 0;
  } else if (from_edge) {
    found = forward ? SeekVisible(nullptr, true, e) : LastVisible(e);
    n = e.record;
  } else {
    found = StepFromCurrent(forward, n, e);
  }
  if (!found) return PastEnd(forward);
  StandOn(n, e, buffer);
  if (forward) ReadAhead();
  return kOk;
}

// The visible record after (or before) the current one: its number, and in
// index order its entry.
bool TDataCursor::StepFromCurrent(bool forward, std::int32_t& n, TIndexEntry& e) {
  if (natural()) {
    n = Visible().FindNext(recno_, 1, forward);
    return n != 0;
  }
  e = entry_;
  const bool found = StepVisible(e, forward);
  n = e.record;
  return found;
}

// ---- read-ahead ----

void TDataCursor::DropAhead() {
  ahead_size_ = 0;
  ahead_next_ = 0;
  ahead_end_ = false;
  forward_run_ = 0;
}

std::uint64_t TDataCursor::FileWrites() const {
  std::uint64_t writes = 0;
  if (const TAbstractFile* f = table_.Data().SharedFile()) writes += f->Writes();
  if (const TAbstractFile* f = Indexes().Handler().SharedFile()) writes += f->Writes();
  if (const TBlobFile* b = const_cast<TDataTable&>(table_).Blobs())
    if (const TAbstractFile* f = b->SharedFile()) writes += f->Writes();
  return writes;
}

// Under the begin step of a Next that stands on a record: reads the records
// the next Nexts will stand on, then stands where it stood. An exclusive
// table takes no locks, so there is nothing to save.
void TDataCursor::ReadAhead() {
  if (forward_run_ < 2 || table_.Exclusive()) return;
  const int want = forward_run_ >= kMaxAhead / 4 ? kMaxAhead : 4 * forward_run_;
  ahead_size_ = 0;  // what is read becomes servable only at the end
  ahead_end_ = false;
  const std::int32_t recno = recno_;
  ahead_entry_ = entry_;
  ahead_record_.assign(record_.begin(), record_.end());
  auto restore = [&] {
    recno_ = recno;
    std::swap(entry_, ahead_entry_);
    record_.swap(ahead_record_);
    bof_ = eof_ = false;
  };
  std::size_t filled = 0;
  bool end = false;
  TIndexEntry e;
  {
    TUndoOnThrow undo(restore);  // passed on, with the cursor where the Next put it
    try {
      for (; static_cast<int>(filled) < want; ++filled) {
        std::int32_t n = 0;
        if (!StepFromCurrent(true, n, e)) {
          end = true;
          break;
        }
        recno_ = n;
        if (!natural()) entry_ = e;
        ReadCurrent();
        if (filled == ahead_.size()) ahead_.emplace_back();
        TAhead& a = ahead_[filled];  // its vectors keep their room
        a.recno = n;
        a.entry = e;
        a.image.assign(record_.begin(), record_.end());
      }
    } catch (const EKuraEngineError&) {
      // Reading ahead is only a saving: an engine error here is met again,
      // and reported, when the walk gets there.
      filled = 0;
      end = false;
    }
  }
  restore();
  if (filled == 0 && !end) return;
  ahead_size_ = filled;
  ahead_next_ = 0;
  ahead_end_ = end;
  ahead_counters_ = ReadCounters();
  ahead_writes_ = FileWrites();
  ahead_time_ = AheadClock();
}

// Milliseconds of the coarse monotonic clock: read without asking the
// hardware (it moves in steps of a few milliseconds), which is all the age
// bound of read-ahead records needs, and it is asked at every step.
std::int64_t TDataCursor::AheadClock() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool TDataCursor::ServeAhead(std::uint8_t* buffer, int& code) {
  if (ahead_next_ >= ahead_size_ && !ahead_end_) return false;
  RequireOpen();
  const bool stale = AheadClock() - ahead_time_ > kAheadMillis;
  if (stale || !(ReadCounters() == ahead_counters_) || FileWrites() != ahead_writes_) {
    // A walk slower than the age bound starts reading ahead small again.
    const int run = stale ? 1 : forward_run_;
    DropAhead();
    forward_run_ = run;
    return false;
  }
  ++forward_run_;
  if (ahead_next_ == ahead_size_) {  // the walk's end was read ahead
    ahead_end_ = false;
    code = PastEnd(true);
    return true;
  }
  TAhead& a = ahead_[ahead_next_++];
  bof_ = eof_ = false;
  recno_ = a.recno;
  if (!natural()) std::swap(entry_, a.entry);  // its buffers stay for the next read-ahead
  record_.swap(a.image);
  if (buffer) std::memcpy(buffer, record_.data(), record_.size());
  code = kOk;
  return true;
}

int TDataCursor::StandOn(std::int32_t n, const TIndexEntry& e, std::uint8_t* buffer) {
  bof_ = eof_ = false;
  recno_ = n;
  if (!natural()) entry_ = e;
  ReadCurrent();
  if (buffer) std::memcpy(buffer, record_.data(), record_.size());
  return kOk;
}

int TDataCursor::PastEnd(bool forward) {
  bof_ = !forward;
  eof_ = forward;
  recno_ = 0;
  return forward ? kErrEndOfTable : kErrBeginningOfTable;
}

int TDataCursor::MoveTo(std::int32_t number, std::uint8_t* buffer) {
  RequireOpen();
  First();
  if (number < 1 || visible_count_ == 0) return number < 1 ? kOk : kErrEndOfTable;
  TScope scope(*this, false);
  TIndexEntry e;
  std::int32_t n = 0;
  bool found;
  if (natural()) {
    n = Visible().FindNext(0, number, true);
    found = n != 0;
  } else {
    found = SeekVisible(nullptr, true, e);
    TIndexTree& tree = Tree();
    if (found && number > 1 && !filtered_ && !sparse_ && tree.format().with_counts) {
      // Unfiltered, every key of the range is visible: the record is the
      // key `number - 1` places on, found by the subtree counts.
      found = tree.AtOrdinal(e.ordinal + number - 1, e) && KeyInRange(e.key);
    } else {
      for (std::int32_t i = 1; found && i < number; ++i)
        found = StepVisible(e, true);
    }
    n = e.record;
  }
  return found ? StandOn(n, e, buffer) : PastEnd(true);
}

int TDataCursor::Next(std::uint8_t* buffer) {
  RequireOpen();
  return Move(true, buffer);
}

int TDataCursor::Prior(std::uint8_t* buffer) {
  RequireOpen();
  return Move(false, buffer);
}

int TDataCursor::Current(std::uint8_t* buffer, bool lock) {
  RequireOpen();
  std::int32_t n = 0;
  std::vector<std::uint8_t> copy;
  {
    const std::int32_t before = recno_;
    copy = record_;
    TScope scope(*this, false);
    if (bof_ && eof_) return kErrNoCurrentRecord;
    if (bof_) return kErrBeginningOfTable;
    if (eof_) return kErrEndOfTable;
    if (!lock) {
      ReadCurrent();
      if (buffer) std::memcpy(buffer, record_.data(), record_.size());
      return kOk;
    }
    // The record was gone: the cursor now stands on its neighbour.
    if (recno_ != before) Raise(kErrRecordChanged);
    n = recno_;
  }
  if (edit_recno_ != 0 && edit_recno_ != n) CancelEdit();
  const bool pessimistic = settings_.lock_protocol == TLockProtocol::kPessimistic;
  if (pessimistic && locked_ != n) LockForEdit(n);
  try {
    TScope scope(*this, false);
    std::vector<std::uint8_t> disk;
    if (!ReadRecord(n, &disk) || disk != copy) Raise(kErrRecordChanged);
    record_ = disk;
    edit_recno_ = n;
    edit_copy_ = disk;
    if (buffer) std::memcpy(buffer, disk.data(), disk.size());
  } catch (...) {
    ReleaseLock();
    edit_recno_ = 0;
    throw;
  }
  return kOk;
}

std::int32_t TDataCursor::RecordCount() {
  RequireOpen();
  TScope scope(*this, false);
  if (filtered_ || range_active_) return visible_count_;
  return all_.Count();
}

std::int32_t TDataCursor::RecordNumber() {
  RequireOpen();
  TScope scope(*this, false);
  if (!on_record()) return 0;
  if (natural()) return Visible().CountBelow(recno_) + 1;
  if (!filtered_) {
    TIndexEntry first;
    if (!SeekVisible(nullptr, true, first)) return 0;
    return static_cast<std::int32_t>(entry_.ordinal - first.ordinal + 1);
  }
  // Filtered index order: count the visible entries in front.
  TIndexEntry e;
  std::int32_t number = 1;
  for (bool ok = SeekVisible(nullptr, true, e);
       ok && !(e.record == entry_.record && e.key == entry_.key); ok = StepVisible(e, true))
    ++number;
  return number;
}

std::size_t TDataCursor::BookmarkInto(std::uint8_t* out, std::size_t room) const {
  RequireOpen();
  if (!on_record()) return 0;
  if (natural()) {
    std::uint8_t b[4];
    EncodeFixed32(b, static_cast<std::uint32_t>(recno_));
    std::memcpy(out, b, std::min<std::size_t>(4, room));
    return 4;
  }
  std::memcpy(out, entry_.key.data(), std::min(entry_.key.size(), room));
  return entry_.key.size();
}

std::vector<std::uint8_t> TDataCursor::Bookmark() const {
  std::vector<std::uint8_t> b(natural() ? 4 : entry_.key.size());
  b.resize(BookmarkInto(b.data(), b.size()));
  return b;
}

bool TDataCursor::GotoBookmark(const std::vector<std::uint8_t>& bookmark, bool nearest) {
  RequireOpen();
  if (bookmark.size() != static_cast<std::size_t>(BookmarkSize())) Raise(kErrInvalidHandle);
  TScope scope(*this, false);
  if (natural()) {
    const auto n = static_cast<std::int32_t>(DecodeFixed32(bookmark.data()));
    if (Visible().Test(n)) {
      bof_ = eof_ = false;
      recno_ = n;
      ReadCurrent();
      return true;
    }
    if (nearest) StandNear({}, n);
    return false;
  }
  TIndexEntry e;
  if (SeekVisible(&bookmark, true, e) && e.key == bookmark) {
    bof_ = eof_ = false;
    entry_ = e;
    recno_ = e.record;
    ReadCurrent();
    return true;
  }
  if (nearest) StandNear(bookmark, 0);
  return false;
}

int TDataCursor::CompareBookmarks(const std::vector<std::uint8_t>& a,
                                  const std::vector<std::uint8_t>& b) {
  RequireOpen();
  if (a.size() != b.size() || a.size() != static_cast<std::size_t>(BookmarkSize()))
    Raise(kErrInvalidHandle);
  if (natural()) {
    const auto x = DecodeFixed32(a.data()), y = DecodeFixed32(b.data());
    return x < y ? -1 : x > y ? 1 : 0;
  }
  const KeyComparator& cmp = Comparator();
  return cmp.Compare(a.data(), b.data(), static_cast<int>(a.size()));
}

void TDataCursor::Refresh() {
  RequireOpen();
  TScope scope(*this, false);
  Rebuild();
  Reposition();
  if (on_record() && !ReadRecord(recno_, &record_)) StandNear(entry_.key, recno_);
}

// ---- fields ----

bool TDataCursor::GetField(int number, const std::uint8_t* record, std::uint8_t* out) const {
  const TFieldDescriptor& f = FieldDescriptor(number);
  const std::size_t size = f.Type() == kFieldBlob ? 4 : f.StorageSize();
  std::memset(out, 0, size);
  return !table_.Data().GetField(record, f, out);
}

void TDataCursor::SetField(int number, std::uint8_t* record,
                           std::optional<std::span<const std::uint8_t>> value, bool force) {
  const TFieldDescriptor& f = FieldDescriptor(number);
  if (f.Computed() && !force) return;
  if (!value) {
    if (!f.IsAutoInc()) table_.Data().PutNull(record, f, force);
    return;
  }
  table_.Data().PutField(record, f, *value, force);
}

void TDataCursor::SetFieldText(int number, std::uint8_t* record, std::string_view text,
                               bool force) {
  const TFieldDescriptor& f = FieldDescriptor(number);
  if (f.Computed() && !force) return;
  table_.Data().PutString(record, f, text, force);
}

void TDataCursor::InitRecord(std::uint8_t* record) const {
  TDataFile& data = table_.Data();
  std::memset(record, 0, static_cast<std::size_t>(data.RecordSize()));
  for (int pos = 1; pos <= data.FieldCount(); ++pos) {
    const TFieldDescriptor& f = data.Field(pos);
    const std::string text = f.Default();
    if (text.empty() || !f.HasSlot()) continue;
    if (f.Type() == kFieldString) {
      data.PutString(record, f, text);
      continue;
    }
    std::string error;
    // CURRENT_DATE and the like are no constant text: left NULL here.
    if (auto bytes = ParseValueText(f.Shape(), text, &error)) data.PutField(record, f, *bytes);
  }
}

std::vector<std::uint8_t> TDataCursor::ReadBlob(int number, const std::uint8_t* record) {
  RequireOpen();
  const TFieldDescriptor& f = FieldDescriptor(number);
  TBlobFile* blobs = table_.Blobs();
  if (f.Type() != kFieldBlob || !blobs) RaiseNamed(kErrBlobField, table_.Name(), f.Name(), "");
  TScope scope(*this, false);
  return ReadBlobField(*blobs, table_.Data(), record, f);
}

// ---- changes ----

void TDataCursor::RequireWritable() const {
  RequireOpen();
  if (read_only_) Raise(kErrAccessDenied);
}

void TDataCursor::Validate(const std::uint8_t* record) const {
  const TDataFile& data = table_.Data();
  const TExpressionContext context{kErrFilter, table_.Name(), "validity check"};
  TExpressionEvaluator evaluator(context, &data, data.LocaleId());
  std::vector<std::uint8_t> value;
  for (int pos = 1; pos <= data.FieldCount(); ++pos) {
    const TFieldDescriptor& f = data.Field(pos);
    if (!f.HasSlot()) continue;
    auto fail = [&](std::uint16_t code) { RaiseNamed(code, table_.Name(), f.Name(), ""); };
    value.assign(f.Type() == kFieldBlob ? 4 : f.StorageSize(), 0);
    const bool present = data.GetField(record, f, value.data());
    if (!present) {
      if (f.Required()) fail(kErrValueRequired);
      continue;
    }
    if (f.Type() == kFieldBlob) continue;
    const std::string min = f.Minimum(), max = f.Maximum();
    if (min.empty() && max.empty()) continue;
    const TExpValue v = DecodeFieldValue(f.Shape(), value.data());
    auto bound = [&](const std::string& text, TExpValue* out) {
      if (text.empty()) return false;
      std::string error;
      auto bytes = ParseValueText(f.Shape(), text, &error);
      if (!bytes) return false;  // CURRENT_DATE and the like
      // Strings come back as their characters: terminated and padded to
      // the field's size for decoding.
      if (f.Type() == kFieldString)
        bytes->resize(std::max<std::size_t>(bytes->size() + 1, f.StorageSize()), 0);
      *out = DecodeFieldValue(f.Shape(), bytes->data());
      return !out->null;
    };
    TExpValue b;
    if (bound(min, &b) && evaluator.Compare(v, b) < 0) fail(kErrBelowMinimum);
    if (bound(max, &b) && evaluator.Compare(v, b) > 0) fail(kErrAboveMaximum);
  }
}

void TDataCursor::LockForEdit(std::int32_t n) {
  // Locking a record takes (and keeps) a read lock of its own unless the
  // session uses strict change detection; the cursor holds no table lock
  // between operations, so that one is given back here.
  const bool had_read = table_.ReadLocked();
  table_.LockRecord(n);
  if (!had_read && table_.ReadLocked()) table_.ReleaseReadLock();
  locked_ = n;
}

void TDataCursor::ReleaseLock() {
  if (locked_ == 0) return;
  const std::int32_t n = locked_;
  locked_ = 0;
  if (table_.IsOpen() && table_.LockedRecords().Test(n)) table_.UnlockRecord(n);
}

void TDataCursor::CancelEdit() {
  edit_recno_ = 0;
  edit_copy_.clear();
  ReleaseLock();
}

bool TDataCursor::FilterTrue(const TFilter& f, const std::uint8_t* record) const {
  return f.expression ? f.expression->Matches(record) : f.callback(record);
}

// After this cursor wrote record n (or deleted it): its bits follow the
// record, and the counters are adopted (the write lock kept everyone else
// out since the last check).
void TDataCursor::RetestRecord(std::int32_t n) {
  std::vector<std::uint8_t> rec;
  const bool live = ReadRecord(n, &rec);
  const bool was_visible = Visible().Test(n);
  if (all_.Size() < n) {
    for (TRecordsBitmap* b : {&all_, &in_range_})
      b->SetSize(n);
  }
  auto put = [&](TRecordsBitmap& b, bool on) {
    if (on)
      b.Set(n);
    else
      b.Clear(n);
  };
  put(all_, live);
  if (!range_bits_)
    ComputeRange();  // only the range's count is kept: count again
  else if (!range_is_all_)
    put(in_range_, live && Between(Indexes().KeyOf(table_.Data(), Slot(), rec.data()).data(),
                                   &range_start_, &range_end_));
  for (auto& f : filters_)
    if (f->active) put(f->bitmap, live && FilterTrue(*f, rec.data()));
  if (!range_bits_) {
    RecomputeVisible();
  } else {
    // The visible set is the range's bits and every active filter's: only
    // record n's bit can have changed, so the set is not made again (that
    // cost a copy, an AND and a count of the whole table per row written).
    bool now = InRange().Test(n);
    for (auto& f : filters_)
      if (f->active) now = now && f->bitmap.Test(n);
    const bool was = visible_is_range_ ? was_visible : Visible().Test(n);
    if (!visible_is_range_) put(visible_, now);
    visible_count_ += (now ? 1 : 0) - (was ? 1 : 0);
    if (sparse_ && (was || now)) {
      if (!was && visible_count_ <= kSparseLimit)
        AddSparseKey(Indexes().KeyOf(table_.Data(), Slot(), rec.data()));
      else
        BuildSparseKeys();  // a key changed or went: its old bytes are not known here
    }
  }
  seen_ = ReadCounters();
}

void TDataCursor::AddSparseKey(std::vector<std::uint8_t> key) {
  const KeyComparator& cmp = Comparator();
  const int size = Indexes().Layout(table_.Data(), Slot()).KeySize();
  const auto at = std::upper_bound(
      sparse_keys_.begin(), sparse_keys_.end(), key,
      [&](const auto& a, const auto& b) { return cmp.Compare(a.data(), b.data(), size) < 0; });
  sparse_keys_.insert(at, std::move(key));
}

void TDataCursor::Insert(const std::uint8_t* record) {
  RequireWritable();
  Validate(record);
  TScope scope(*this, true);
  const std::int32_t n = table_.InsertRecord(record);
  RetestRecord(n);
  std::vector<std::uint8_t> rec;
  ReadRecord(n, &rec);
  if (natural())
    StandNear({}, n);
  else
    StandNear(Indexes().KeyOf(table_.Data(), Slot(), rec.data()), n);
}

void TDataCursor::Modify(const std::uint8_t* record) {
  RequireWritable();
  const bool pending = edit_recno_ != 0;
  if (!pending && !on_record()) Raise(kErrNoCurrentRecord);
  const std::int32_t n = pending ? edit_recno_ : recno_;
  const std::vector<std::uint8_t> copy = pending ? edit_copy_ : record_;
  try {
    Validate(record);
    if (locked_ != n) LockForEdit(n);
    TScope scope(*this, true);
    std::vector<std::uint8_t> disk;
    if (!ReadRecord(n, &disk) || disk != copy) Raise(kErrRecordChanged);
    table_.UpdateRecord(n, record);
    RetestRecord(n);
    ReadRecord(n, &disk);
    if (natural())
      StandNear({}, n);
    else
      StandNear(Indexes().KeyOf(table_.Data(), Slot(), disk.data()), n);
  } catch (...) {
    CancelEdit();
    throw;
  }
  CancelEdit();
}

void TDataCursor::Delete() {
  RequireWritable();
  const bool pending = edit_recno_ != 0;
  if (!pending && !on_record()) Raise(kErrNoCurrentRecord);
  const std::int32_t n = pending ? edit_recno_ : recno_;
  const std::vector<std::uint8_t> copy = pending ? edit_copy_ : record_;
  try {
    if (locked_ != n) LockForEdit(n);
    TScope scope(*this, true);
    std::vector<std::uint8_t> disk;
    if (!ReadRecord(n, &disk) || disk != copy) Raise(kErrRecordChanged);
    const std::vector<std::uint8_t> key = natural()
                                              ? std::vector<std::uint8_t>{}
                                              : Indexes().KeyOf(table_.Data(), Slot(), disk.data());
    table_.DeleteRecord(n);
    RetestRecord(n);
    StandNear(key, n);
  } catch (...) {
    CancelEdit();
    throw;
  }
  CancelEdit();
}

}  // namespace kura
