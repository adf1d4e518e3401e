// The B-tree of one index: finding keys (whole or partial), logical positions,
// inserting with splits up to a new root, deleting with merging,
// redistribution and root collapse, and a consistency check.
//
// The tree keeps these invariants (checked by Verify):
//  1. Leaves are pages of type 2 (or 3 for a root that is the only leaf) and
//     all lie at the same depth, at most kMaxTreeDepth levels below the root.
//  2. Every level is one chain in key order through the previous/next links.
//  3. A branch entry's key is its child's first key; with counts, its count
//     is the number of leaf entries in the child's subtree.
//  4. Keys strictly increase under the index's comparison.
//  5. Non-root pages of a balanced level hold at least capacity / 2 entries
//     after every delete (compressed leaves are not balanced; they are only
//     unlinked and freed when they become empty).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/storage/index/index_page_store.h"
#include "db/storage/index/key_collation.h"
#include "db/storage/index/page.h"

namespace kura {

constexpr int kMaxTreeDepth = 64;
// Most problems a consistency check lists; a damaged file can break every
// page, and the report stays readable and small.
constexpr std::size_t kMaxListedProblems = 100;

// Problems found by a check: the first kMaxListedProblems, then one line
// saying that more were found.
class TProblemList {
 public:
  void Add(std::string text) {
    if (list_.size() < kMaxListedProblems) {
      list_.push_back(std::move(text));
    } else {
      more_ = true;
    }
  }
  // Notes that more problems exist than were looked for.
  void MarkMore() { more_ = true; }
  bool full() const { return list_.size() >= kMaxListedProblems; }
  bool empty() const { return list_.empty(); }
  std::vector<std::string> Take() {
    if (more_) list_.push_back("further problems not listed");
    more_ = false;
    return std::move(list_);
  }

 private:
  std::vector<std::string> list_;
  bool more_ = false;
};

// One key of an index, where the tree found it.
struct TIndexEntry {
  std::vector<std::uint8_t> key;
  std::int32_t record = 0;
  std::int64_t ordinal = 0;  // keys in front of this one (logical position - 1)
  std::int32_t leaf = 0;     // leaf page and position, a hint for Next
  int position = 0;
};

class TIndexTree {
 public:
  TIndexTree(TIndexPageStore& store, int slot, const PageFormat& format,
             const KeyComparator& comparator);

  const PageFormat& format() const { return format_; }

  // Positions on the first key >= `key` over its first `length` bytes (a
  // partial key when shorter than the key size); false when there is none.
  bool Seek(const std::uint8_t* key, int length, TIndexEntry& out);
  // Positions on the first key > `key` over its first `length` bytes;
  // false when there is none.
  bool SeekAfter(const std::uint8_t* key, int length, TIndexEntry& out);
  // The first or last key of the index.
  bool First(TIndexEntry& out);
  // The key after / before `entry` (found by its leaf hint or, when the page
  // changed, by its key); false at the end.
  bool Next(TIndexEntry& entry);
  // Next, past the keys `test` turns down: for each key after `entry` in
  // order, test(key, record) answers 1 (the entry moves there; true), 0
  // (skipped) or -1 (false: no such key before it). A walk that passes over
  // many keys copies none of them.
  template <typename Test>
  bool NextWhere(TIndexEntry& entry, Test&& test);
  bool Prior(TIndexEntry& entry);
  // The key at logical position ordinal + 1 (requires subtree counts).
  bool AtOrdinal(std::int64_t ordinal, TIndexEntry& out);
  // Whether the index holds a key equal to `key` (full length).
  bool Contains(const std::uint8_t* key);
  // Keys in the index (from the root's counts; a walk without them).
  std::int64_t Count();

  // Adds a key; an equal key already present is error 9729 and changes nothing.
  void Insert(const std::uint8_t* key, std::int32_t record);
  // Fills an empty tree (no root yet) with `count` keys that `entry(i, key,
  // &record)` gives for i = 0 .. count - 1 in strictly increasing order,
  // bottom-up: leaves filled to capacity from the left, then each branch
  // level over the one below, up to one root. The last two pages of a level
  // share their entries when the last would be under half full, so every
  // invariant holds as after inserting the keys one by one. Uncompressed
  // formats only (the caller inserts compressed keys one by one). The order
  // is the caller's promise: it is not checked key by key.
  void Load(std::int64_t count,
            const std::function<void(std::int64_t, std::uint8_t*, std::int32_t*)>& entry);
  // Adds `count` keys that `entry(i, key, &record)` gives in strictly
  // increasing order when no key of the tree lies between the first and the
  // last of them (a run appended at the right edge, or falling between two
  // neighbouring keys), and none equals one of them: one descent finds the
  // place, then each key goes in after the one before, splitting pages as
  // Insert splits them. False, with nothing changed, when the tree holds a
  // key inside or at the ends of the run (the caller inserts them one by one).
  bool InsertRun(std::int64_t count,
                 const std::function<void(std::int64_t, std::uint8_t*, std::int32_t*)>& entry);
  // Removes the key equal to `key` that points at `record`; false when absent.
  bool Delete(const std::uint8_t* key, std::int32_t record);

  // Walks the whole tree and describes the broken invariants (empty when
  // sound; at most kMaxListedProblems and a closing line). Every walk is
  // bounded by the file's page count.
  std::vector<std::string> Verify();
  // Calls `visit` for every leaf entry in key order.
  void ForEach(const std::function<void(const std::uint8_t* key, std::int32_t record)>& visit);
  // Calls `visit` for the entries in key order from the first key >= `key`
  // over `length` bytes (from the first key when `key` is null) until it
  // returns false or the keys end: Seek and Next without an entry copied
  // and a page looked up per key.
  template <typename Visit>
  void Scan(const std::uint8_t* key, int length, Visit&& visit);

 private:
  struct Level {
    TPageRef page;
    int pos = 0;
  };
  using Path = std::vector<Level>;

  TPageRef Get(std::int32_t n);
  // Where the key after `entry` is: its leaf, position and ordinal (found by
  // the entry's leaf hint or, when the page changed, by its key); false when
  // there is none.
  bool After(const TIndexEntry& entry, TPageRef& leaf, int& pos, std::int64_t& ordinal);
  // From `leaf` to the next leaf of the chain, checked (`leaves` counts the
  // steps against cycles); false at the last leaf.
  bool NextLeaf(TPageRef& leaf, std::int64_t& leaves);
  // Descends from the root to a leaf: in each branch the last entry whose key
  // is < `key` (strict) or <= `key`, or the first entry. Accumulates the keys
  // in front of the chosen entries into `before`.
  Path Descend(const std::uint8_t* key, int length, bool strict, std::int64_t* before);
  // The first entry of `page` whose key is >= `key` (> `key` when `equal`:
  // past the equal ones); count + 1 when there is none.
  int Bound(const TPage& page, const std::uint8_t* key, int length, bool equal) const;
  int LowerBound(const TPage& page, const std::uint8_t* key, int length) const {
    return Bound(page, key, length, false);
  }
  // Seek (`equal` false) and SeekAfter (true).
  bool SeekPast(const std::uint8_t* key, int length, bool equal, TIndexEntry& out);
  int Compare(const std::uint8_t* a, const std::uint8_t* b, int length) const {
    return comparator_.Compare(a, b, length);
  }
  void Fill(const TPage& leaf, int pos, std::int64_t ordinal, TIndexEntry& out) const;

  void PropagateFirstKey(Path& path, int level);
  void FixOverflow(Path& path, int level);
  int SplitPoint(const TPage& page) const;
  void Rebalance(Path& path, int level);
  void RemoveEmptyPage(Path& path, int level);
  void Unlink(TPage& page);
  void Dirty(TPage& page) { store_.MarkDirty(&page); }
  [[noreturn]] void Corrupt();

  struct VerifyState;
  // Checks the subtree of page n at `depth`; returns the keys below it and
  // copies its first key into `first_key`.
  std::int64_t VerifyPage(std::int32_t n, int depth, VerifyState& state,
                          std::vector<std::uint8_t>& first_key);

  TIndexPageStore& store_;
  int slot_;
  PageFormat format_;
  KeyComparator comparator_;
};

template <typename Test>
bool TIndexTree::NextWhere(TIndexEntry& entry, Test&& test) {
  TPageRef leaf;
  int pos = 0;
  std::int64_t ordinal = 0;
  if (!After(entry, leaf, pos, ordinal)) return false;
  for (std::int64_t leaves = 0;;) {
    for (; pos <= leaf->count(); ++pos, ++ordinal) {
      const int verdict = test(leaf->Key(pos), leaf->Pointer(pos));
      if (verdict < 0) return false;
      if (verdict > 0) {
        Fill(*leaf, pos, ordinal, entry);
        return true;
      }
    }
    if (!NextLeaf(leaf, leaves)) return false;
    pos = 1;
  }
}

template <typename Visit>
void TIndexTree::Scan(const std::uint8_t* key, int length, Visit&& visit) {
  TIndexEntry e;
  if (!(key ? Seek(key, length, e) : First(e)) || !visit(e.key.data(), e.record)) return;
  NextWhere(e, [&](const std::uint8_t* k, std::int32_t record) { return visit(k, record) ? 0 : -1; });
}

}  // namespace kura
