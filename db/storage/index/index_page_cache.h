// TIndexPageCache: the decoded B-tree pages an index file holds in memory.
//
// One cache per index slot: its pages sorted by number plus a most-recently-
// used list threaded through the pages' mru_prev / mru_next. Each slot is
// bounded by `bound` pages; when every cached page of a slot is pinned or
// dirty its bound grows in steps of kGrowth, and Trim brings it back once
// pages are clean and unpinned again. Pages that leave the cache go to a
// spare stack for reuse.
//
// The cache also keeps the pages marked dirty since the last TakeDirty (a
// page may be listed twice and may have been cleaned since): a flush looks at
// those only. It does no I/O; the index file reads, encodes and writes pages.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "db/storage/index/index_format.h"
#include "db/storage/index/page.h"

namespace kura {

class TIndexPageCache {
 public:
  static constexpr std::size_t kGrowth = 64;
  using TSlotSet = std::bitset<kIndexSlots>;

  explicit TIndexPageCache(std::size_t bound);
  ~TIndexPageCache();
  TIndexPageCache(const TIndexPageCache&) = delete;
  TIndexPageCache& operator=(const TIndexPageCache&) = delete;

  // Page n of `slot`, pinned once more and made the most recently used; null
  // when it is not cached. Counts a hit or a miss.
  TPage* Find(int slot, std::int32_t n);
  // A buffer for a new page of `slot`: the least recently used page of the
  // slot that is neither pinned nor dirty when the slot is full, else a spare.
  TPage* TakeBuffer(int slot);
  // Gives back a buffer from TakeBuffer that never entered the cache.
  void GiveBack(TPage* page) { spare_.Push(page); }
  // Takes in `page` (numbered, from TakeBuffer) pinned once, as the most
  // recently used page of `slot`.
  void Insert(int slot, TPage* page);

  void MarkDirty(TPage* page) {
    if (!page->dirty) dirty_.push_back(page);
    page->dirty = true;
  }
  // The pages still dirty among those marked since the last call, each once,
  // in no particular order; the list starts afresh.
  std::vector<TPage*> TakeDirty();
  // Lists `pages` as dirty again (a flush that wrote none of them).
  void KeepDirty(std::vector<TPage*> pages) { dirty_ = std::move(pages); }

  // The cached pages of `slot`, by page number.
  const std::map<std::int32_t, TPage*>& Pages(int slot) const { return Slot(slot).pages; }
  // Forgets every page of `slot`, dirty or pinned ones too.
  void Forget(int slot);
  // Forgets every page of the slots in `slots` and sets their bound back.
  void Drop(const TSlotSet& slots);
  void DropAll() { Drop(TSlotSet().set()); }
  // Gives clean unpinned pages back until every slot is within its bound.
  void Trim();

  std::int64_t Hits() const { return hits_; }
  std::int64_t Misses() const { return misses_; }

 private:
  struct TSlotPages {
    std::map<std::int32_t, TPage*> pages;
    TPage* mru_head = nullptr;
    TPage* mru_tail = nullptr;
    std::size_t capacity = 1;
  };

  TSlotPages& Slot(int slot) { return slots_[static_cast<std::size_t>(slot)]; }
  const TSlotPages& Slot(int slot) const { return slots_[static_cast<std::size_t>(slot)]; }
  static void Touch(TSlotPages& cache, TPage* page);
  static void Unlink(TSlotPages& cache, TPage* page);

  std::size_t bound_;
  std::array<TSlotPages, kIndexSlots> slots_;
  TPageStack spare_;
  std::vector<TPage*> dirty_;
  std::int64_t hits_ = 0;
  std::int64_t misses_ = 0;
};

}  // namespace kura
