// The cached buffers of one file (records of a data file, blocks of a BLOB
// file): owned in a list sorted by buffer number, and threaded on an intrusive
// most-recently-used list through the buffers' mru_prev / mru_next links.
//
// Invariants: `sorted` is strictly ascending by Number(); every buffer in it is
// on the MRU list at most once; head/tail are null exactly when the MRU list is
// empty. A buffer may be on the MRU list before it is inserted in `sorted`
// (a fresh buffer being filled), never the other way round after Unlink.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kura {

template <typename Buffer>
struct TBufferList {
  std::vector<std::unique_ptr<Buffer>> sorted;
  Buffer* head = nullptr;  // most recently used
  Buffer* tail = nullptr;  // least recently used

  // The index of the first buffer numbered n or above.
  std::size_t LowerBound(std::int32_t n) const {
    auto it = std::lower_bound(
        sorted.begin(), sorted.end(), n,
        [](const std::unique_ptr<Buffer>& b, std::int32_t v) { return b->Number() < v; });
    return static_cast<std::size_t>(it - sorted.begin());
  }

  Buffer* Find(std::int32_t n) const {
    const std::size_t i = LowerBound(n);
    return i < sorted.size() && sorted[i]->Number() == n ? sorted[i].get() : nullptr;
  }

  // Inserts b at its place; false (and b dropped) when its number is cached already.
  bool Insert(std::unique_ptr<Buffer> b) {
    const std::size_t i = LowerBound(b->Number());
    if (i < sorted.size() && sorted[i]->Number() == b->Number()) return false;
    sorted.insert(sorted.begin() + static_cast<std::ptrdiff_t>(i), std::move(b));
    return true;
  }

  void Unlink(Buffer* b) {
    if (b->mru_prev) {
      b->mru_prev->mru_next = b->mru_next;
    } else if (head == b) {
      head = b->mru_next;
    }
    if (b->mru_next) {
      b->mru_next->mru_prev = b->mru_prev;
    } else if (tail == b) {
      tail = b->mru_prev;
    }
    b->mru_prev = b->mru_next = nullptr;
  }

  void PushFront(Buffer* b) {
    b->mru_prev = nullptr;
    b->mru_next = head;
    if (head) head->mru_prev = b;
    head = b;
    if (!tail) tail = b;
  }

  void Touch(Buffer* b) {
    Unlink(b);
    PushFront(b);
  }

  void Clear() {
    sorted.clear();
    head = tail = nullptr;
  }
};

}  // namespace kura
