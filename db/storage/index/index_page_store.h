// The page source a B-tree works on: TIndexFile in the engine, an in-memory
// store in tests. Pages come pinned and stay valid until released; a page is
// written back only after it was marked dirty.
#pragma once

#include <cstdint>
#include <utility>

#include "db/storage/index/page.h"

namespace kura {

class TIndexPageStore {
 public:
  virtual ~TIndexPageStore() = default;

  // Page n of index slot `slot`, pinned. Raises 8965 for page 0, a page beyond
  // the file, or a page that does not decode as a page of the slot's format.
  virtual TPage* GetPage(int slot, std::int32_t n) = 0;
  // Unpins a page obtained from this store.
  virtual void ReleasePage(TPage* page) = 0;
  // A cleared, pinned, dirty page of `type` for the slot: the head of the
  // slot's free chain, else a new page at the end of the file.
  virtual TPage* AllocatePage(int slot, std::uint8_t type) = 0;
  // Pushes a pinned page on its slot's free chain (the caller still releases it).
  virtual void FreePage(TPage* page) = 0;
  virtual void MarkDirty(TPage* page) = 0;

  virtual std::int32_t RootPage(int slot) = 0;
  virtual void SetRootPage(int slot, std::int32_t n) = 0;
  // Pages in the file (the next page number - 1); bounds every chain walk.
  virtual std::int32_t PageCount() = 0;

  // Raises the engine error `code` with the slot's index as context.
  [[noreturn]] virtual void Raise(std::uint16_t code, int slot) = 0;
};

// A pinned page, released when the reference goes.
class TPageRef {
 public:
  TPageRef() = default;
  TPageRef(TIndexPageStore* store, TPage* page) : store_(store), page_(page) {}
  TPageRef(TPageRef&& o) noexcept
      : store_(std::exchange(o.store_, nullptr)), page_(std::exchange(o.page_, nullptr)) {}
  TPageRef& operator=(TPageRef&& o) noexcept {
    if (this != &o) {
      Reset();
      store_ = std::exchange(o.store_, nullptr);
      page_ = std::exchange(o.page_, nullptr);
    }
    return *this;
  }
  ~TPageRef() { Reset(); }

  TPage* get() const { return page_; }
  TPage* operator->() const { return page_; }
  TPage& operator*() const { return *page_; }
  explicit operator bool() const { return page_ != nullptr; }

  void Reset() {
    if (page_) store_->ReleasePage(page_);
    page_ = nullptr;
  }

 private:
  TIndexPageStore* store_ = nullptr;
  TPage* page_ = nullptr;
};

}  // namespace kura
