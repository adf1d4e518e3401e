// A page store over 4096-byte images held in memory, for testing the B-tree
// without files. Pages are decoded from their images when fetched and encoded
// back when written, so every test also round-trips the page format.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "db/storage/engine_error.h"
#include "db/storage/index/index_page_store.h"

namespace kura::test {

class MemoryPageStore : public kura::TIndexPageStore {
 public:
  static constexpr int kSlots = 33;

  explicit MemoryPageStore(bool evict_on_release = false) : evict_(evict_on_release) {}
  ~MemoryPageStore() override = default;

  void SetFormat(int slot, const kura::PageFormat& f) { formats_[slot] = f; }

  kura::TPage* GetPage(int slot, std::int32_t n) override {
    if (n <= 0 || n > PageCount()) Raise(kura::kErrPageBuffersCorrupt, slot);
    auto it = cache_.find(n);
    if (it == cache_.end()) {
      auto page = std::make_unique<kura::TPage>();
      if (!page->Decode(n, slot, formats_[slot], images_[static_cast<size_t>(n - 1)])) {
        Raise(kura::kErrPageBuffersCorrupt, slot);
      }
      it = cache_.emplace(n, std::move(page)).first;
    }
    ++it->second->pins;
    ++pinned_;
    return it->second.get();
  }

  // A page the tree lets go of must fit its image; one that does not is
  // counted (and kept in memory) rather than thrown from a destructor.
  void ReleasePage(kura::TPage* page) override {
    --page->pins;
    --pinned_;
    if (page->pins != 0) return;
    if (!page->freed() && !page->Fits()) {
      ++oversized_;
      return;
    }
    if (evict_) Evict(page->number());
  }

  kura::TPage* AllocatePage(int slot, std::uint8_t type) override {
    kura::TPage* page;
    if (free_head_[slot] != 0) {
      page = GetPage(slot, free_head_[slot]);
      free_head_[slot] = page->next();
    } else {
      images_.emplace_back();
      images_.back().fill(0);
      const auto n = static_cast<std::int32_t>(images_.size());
      auto fresh = std::make_unique<kura::TPage>();
      page = fresh.get();
      cache_.emplace(n, std::move(fresh));
      page->Reset(n, slot, formats_[slot], type);
      ++page->pins;
      ++pinned_;
    }
    page->Reset(page->number(), slot, formats_[slot], type);
    page->dirty = true;
    return page;
  }

  void FreePage(kura::TPage* page) override {
    page->set_prev(0);
    page->set_next(free_head_[page->slot()]);
    page->set_freed(true);
    page->dirty = true;
    free_head_[page->slot()] = page->number();
  }

  void MarkDirty(kura::TPage* page) override { page->dirty = true; }
  std::int32_t RootPage(int slot) override { return roots_[slot]; }
  void SetRootPage(int slot, std::int32_t n) override { roots_[slot] = n; }
  std::int32_t PageCount() override { return static_cast<std::int32_t>(images_.size()); }
  [[noreturn]] void Raise(std::uint16_t code, int slot) override {
    kura::TErrorContext context;
    context.table_name = "memory";
    context.index_name = "slot " + std::to_string(slot);
    kura::RaiseEngineError(code, context);
  }

  // Writes every dirty page and empties the cache (no page may be pinned).
  void DropAll() {
    if (pinned_ != 0) throw std::logic_error("pages still pinned");
    for (auto& [n, page] : cache_)
      Write(*page);
    cache_.clear();
  }
  int pinned() const { return pinned_; }
  int oversized() const { return oversized_; }
  std::int32_t FreeHead(int slot) const { return free_head_[slot]; }
  const std::uint8_t* Image(std::int32_t n) const {
    return n >= 1 && n <= static_cast<std::int32_t>(images_.size())
               ? images_[static_cast<size_t>(n - 1)].data()
               : nullptr;
  }
  std::array<std::uint8_t, kura::kIndexPageSize>& MutableImage(std::int32_t n) {
    return images_[static_cast<size_t>(n - 1)];
  }

 private:
  void Write(kura::TPage& page) {
    if (page.dirty) page.Encode(images_[static_cast<size_t>(page.number() - 1)]);
    page.dirty = false;
  }
  void Evict(std::int32_t n) {
    auto it = cache_.find(n);
    if (it == cache_.end()) return;
    Write(*it->second);
    cache_.erase(it);
  }

  bool evict_;
  int pinned_ = 0;
  int oversized_ = 0;
  kura::PageFormat formats_[kSlots];
  std::int32_t roots_[kSlots] = {};
  std::int32_t free_head_[kSlots] = {};
  std::vector<std::array<std::uint8_t, kura::kIndexPageSize>> images_;
  std::map<std::int32_t, std::unique_ptr<kura::TPage>> cache_;
};

}  // namespace kura::test
