// Record selection: narrowing a bitmap of candidate records to those for
// which a bound boolean tree is true, through the table's indexes where
// they serve and by evaluating records one by one elsewhere.
//
// An index serves "column op constant" (op =, <>, <, <=, >, >=) and
// "column [NOT] IN (constants)" when its first key field is the column and
// its key order is the order of the column's values under the comparison
// rules:
//  - key types whose encoding sorts by value: strings (under the table's
//    language, which must be the index's), dates, times, booleans, 16-, 32-
//    and 64-bit integers, 16-bit unsigned, floats and money, timestamps; not
//    BCD (keys keep four decimals), 32-bit unsigned, extended floats, bytes,
//    BLOBs, auto-increment and computed fields;
//  - a case-insensitive index serves UPPER(column) only, with a constant
//    that upper-cases to itself; a case-sensitive index the bare column;
//  - descending indexes (whole or first field) are walked as mirrored ranges;
//  - the constant must convert exactly to the column's type (no fraction
//    for an integer column, not longer than a string column, not NULL).
// NULL keys sort below every value; they join "<" and "<=" of string
// columns (a NULL string counts as the empty string there) and nothing else.
// AND narrows by each side in turn, OR and NOT combine bitmaps only when
// every operand is index-served; everything else is evaluated per record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/engine/expression/expression.h"
#include "db/storage/data/record.h"
#include "db/storage/records_bitmap.h"

namespace kura {

class TDataTable;
class TIndexFile;

// How selection reads a table. The cursor implements it with its
// re-synchronisation around each access; TTableRecordSource reads a
// TDataTable directly (the caller holds the locks).
class TRecordSource {
 public:
  virtual ~TRecordSource() = default;
  virtual const TDataFile& Data() = 0;
  // Slots 1..RecordLimit() may hold records.
  virtual std::int32_t RecordLimit() = 0;
  // The image of live record n, or null for a deleted or missing slot;
  // valid until the next call or other read of the table's data file (the
  // fields and the deleted flag are the record's; its link is as stored).
  virtual const std::uint8_t* ReadRecord(std::int32_t n) = 0;
  // The table's indexes, or null when records must be read.
  virtual TIndexFile* Indexes() = 0;
};

class TTableRecordSource : public TRecordSource {
 public:
  explicit TTableRecordSource(TDataTable& table) : table_(table) {}
  const TDataFile& Data() override;
  std::int32_t RecordLimit() override;
  const std::uint8_t* ReadRecord(std::int32_t n) override;
  TIndexFile* Indexes() override;
  // Last auto-increment value of this table, or of another table of the
  // same directory (opened read-only for the look-up).
  std::int32_t LastAutoInc(const std::string& table);

 private:
  TDataTable& table_;
};

// Every live record of the source (through the deleted-flag index when
// there is one, else by reading the slots).
void SelectLiveRecords(TRecordSource& source, TRecordsBitmap& bitmap);

// Where in one index every record satisfying a condition has its key: the
// entries whose first key.size() bytes compare equal to `key` (the condition
// is, or is ANDed with, an equality on the index's first field). A walk in
// that index's order need look nowhere else. `entries`: how many entries the
// index holds there.
struct TKeyBound {
  int slot = -1;  // -1: none known
  std::vector<std::uint8_t> key;
  std::int64_t entries = 0;
};

class TRecordSelector {
 public:
  TRecordSelector(TRecordSource& source, const TExpressionEvaluator& evaluator)
      : source_(source), evaluator_(evaluator) {}

  // Clears the bits of `bitmap` whose records do not satisfy `tree`.
  void Select(const TExpToken& tree, TRecordsBitmap& bitmap);
  // Sets `out` to the records of `candidates` that satisfy `tree`. A tree
  // that an index serves (or an AND with such a side) starts from the index's
  // hits, so that a few matches among many candidates cost by the matches.
  // `bound`, when given, receives where the satisfying records' keys lie
  // when the index walk shows it (else its slot is -1).
  void SelectFrom(const TExpToken& tree, const TRecordsBitmap& candidates, TRecordsBitmap& out,
                  TKeyBound* bound = nullptr);

  // Records read for evaluation and index ranges walked so far.
  std::int64_t RecordsRead() const { return records_read_; }
  std::int64_t IndexWalks() const { return index_walks_; }

 private:
  struct Plan;
  bool Served(const TExpToken& n);
  bool MakePlan(const TExpToken& column_side, Plan* plan);
  bool ConstantKey(const Plan& plan, const TExpToken& constant, std::vector<std::uint8_t>* key);
  void Walk(const Plan& plan, std::uint8_t op, const std::vector<std::uint8_t>& key,
            TRecordsBitmap& hits);
  // The records an index finds for a served comparison or IN, into `hits`
  // (sized `size`); `exclude`: the condition holds for the records not found.
  bool IndexHits(const TExpToken& n, std::int32_t size, TRecordsBitmap& hits, bool& exclude);
  bool IndexSelect(const TExpToken& n, TRecordsBitmap& bitmap);
  // Narrows by every term of the AND chain n but `done`.
  void SelectAll(const TExpToken& n, const std::vector<const TExpToken*>& terms,
                 TRecordsBitmap& bitmap, const TExpToken* done = nullptr);
  void Evaluate(const TExpToken& n, TRecordsBitmap& bitmap);

  TRecordSource& source_;
  const TExpressionEvaluator& evaluator_;
  std::int64_t records_read_ = 0;
  std::int64_t index_walks_ = 0;
  TKeyBound last_equal_;  // the bound of the last walk, when it was an equality
};

}  // namespace kura
