#include "db/storage/index/index_page_cache.h"

#include <algorithm>
#include <set>

namespace kura {

TIndexPageCache::TIndexPageCache(std::size_t bound) : bound_(std::max<std::size_t>(1, bound)) {
  for (TSlotPages& c : slots_)
    c.capacity = bound_;
}

TIndexPageCache::~TIndexPageCache() {
  for (TSlotPages& c : slots_) {
    for (auto& [n, page] : c.pages)
      delete page;
  }
}

void TIndexPageCache::Touch(TSlotPages& cache, TPage* page) {
  if (cache.mru_head == page) return;
  Unlink(cache, page);
  page->mru_next = cache.mru_head;
  if (cache.mru_head) cache.mru_head->mru_prev = page;
  cache.mru_head = page;
  if (!cache.mru_tail) cache.mru_tail = page;
}

void TIndexPageCache::Unlink(TSlotPages& cache, TPage* page) {
  if (page->mru_prev) page->mru_prev->mru_next = page->mru_next;
  if (page->mru_next) page->mru_next->mru_prev = page->mru_prev;
  if (cache.mru_head == page) cache.mru_head = page->mru_next;
  if (cache.mru_tail == page) cache.mru_tail = page->mru_prev;
  page->mru_prev = page->mru_next = nullptr;
}

TPage* TIndexPageCache::Find(int slot, std::int32_t n) {
  TSlotPages& cache = Slot(slot);
  auto it = cache.pages.find(n);
  if (it == cache.pages.end()) {
    ++misses_;
    return nullptr;
  }
  ++hits_;
  TPage* page = it->second;
  Touch(cache, page);
  ++page->pins;
  return page;
}

TPage* TIndexPageCache::TakeBuffer(int slot) {
  TSlotPages& cache = Slot(slot);
  if (cache.pages.size() >= cache.capacity) {
    for (TPage* p = cache.mru_tail; p; p = p->mru_prev) {
      if (p->pins == 0 && !p->dirty) {
        Unlink(cache, p);
        cache.pages.erase(p->number());
        return p;
      }
    }
    cache.capacity += kGrowth;
  }
  return spare_.Pop();
}

void TIndexPageCache::Insert(int slot, TPage* page) {
  TSlotPages& cache = Slot(slot);
  page->pins = 1;
  cache.pages.emplace(page->number(), page);
  Touch(cache, page);
}

std::vector<TPage*> TIndexPageCache::TakeDirty() {
  std::sort(dirty_.begin(), dirty_.end());
  dirty_.erase(std::unique(dirty_.begin(), dirty_.end()), dirty_.end());
  std::vector<TPage*> dirty;
  for (TPage* page : dirty_) {
    if (page->dirty) dirty.push_back(page);
  }
  dirty_.clear();
  return dirty;
}

void TIndexPageCache::Forget(int slot) {
  TSlotPages& cache = Slot(slot);
  std::set<const TPage*> gone;
  for (auto& [n, page] : cache.pages)
    gone.insert(page);
  std::erase_if(dirty_, [&gone](const TPage* p) { return gone.contains(p); });
  for (auto& [n, page] : cache.pages)
    spare_.Push(page);
  cache.pages.clear();
  cache.mru_head = cache.mru_tail = nullptr;
}

void TIndexPageCache::Drop(const TSlotSet& slots) {
  if (slots.all()) {
    dirty_.clear();
  } else {
    std::erase_if(dirty_, [&slots](const TPage* p) {
      return slots.test(static_cast<std::size_t>(p->slot()));
    });
  }
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    if (!slots.test(slot)) continue;
    TSlotPages& c = slots_[slot];
    for (auto& [n, page] : c.pages)
      spare_.Push(page);
    c.pages.clear();
    c.mru_head = c.mru_tail = nullptr;
    c.capacity = bound_;
  }
}

void TIndexPageCache::Trim() {
  // A page listed dirty may have been cleaned by a reset since: it leaves
  // the list with the cache, so the list never points at a deleted page.
  std::set<const TPage*> gone;
  for (TSlotPages& c : slots_) {
    TPage* p = c.mru_tail;
    while (p && c.pages.size() > bound_) {
      TPage* before = p->mru_prev;
      if (p->pins == 0 && !p->dirty) {
        Unlink(c, p);
        c.pages.erase(p->number());
        gone.insert(p);
        spare_.Push(p);
      }
      p = before;
    }
    c.capacity = std::max(bound_, c.pages.size());
  }
  if (!gone.empty()) std::erase_if(dirty_, [&gone](const TPage* p) { return gone.contains(p); });
}

}  // namespace kura
