// The buffers a file caches (records of a data file, blocks of a BLOB file)
// and what they share: the per-buffer state (number, dirty flag, pins, MRU
// links), the pin holder, the stack of spare buffer objects, and the list of
// cached buffers — owned in a vector sorted by buffer number and threaded on an
// intrusive most-recently-used list through the buffers' mru_prev / mru_next.
//
// Invariants: `sorted` is strictly ascending by Number(); every buffer in it is
// on the MRU list at most once; head/tail are null exactly when the MRU list is
// empty. A buffer may be on the MRU list before it is inserted in `sorted`
// (a fresh buffer being filled, owned as `pending`), never the other way round
// after Unlink.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kura {

// The state every cached buffer carries. A buffer is pinned while a caller
// holds it; only unpinned buffers are written back or reused.
template <typename Derived, typename FileT>
class TCachedBuffer {
 public:
  explicit TCachedBuffer(FileT* file) : file_(file) {}

  FileT* File() const { return file_; }
  std::int32_t Number() const { return number_; }
  void SetNumber(std::int32_t n) { number_ = n; }
  bool Dirty() const { return dirty_; }
  // The file hears of every buffer that turns dirty (BufferDirtied), so
  // that a flush need not look at every cached buffer.
  void SetDirty(bool d) {
    if (d && !dirty_) file_->BufferDirtied(number_);
    dirty_ = d;
  }
  int Pins() const { return pins_; }
  void Pin() { ++pins_; }
  void Unpin() {
    if (pins_ > 0) --pins_;
  }

  // Links of the most-recently-used list (owned by the file's TBufferList).
  Derived* mru_prev = nullptr;
  Derived* mru_next = nullptr;

 protected:
  // Back to a fresh buffer: unnumbered, clean, unpinned, on no list.
  void ResetState() {
    dirty_ = false;
    pins_ = 0;
    number_ = 0;
    mru_prev = mru_next = nullptr;
  }

 private:
  FileT* file_;
  bool dirty_ = false;
  int pins_ = 0;
  std::int32_t number_ = 0;
};

// Spare buffer objects a file recycles instead of freeing: up to Capacity; a
// released buffer beyond that is destroyed.
template <typename Buffer, typename FileT, std::size_t Capacity>
class TSpareStack {
 public:
  static constexpr std::size_t kCapacity = Capacity;

  std::unique_ptr<Buffer> Pop(FileT* file) {
    if (spare_.empty()) return std::make_unique<Buffer>(file);
    std::unique_ptr<Buffer> b = std::move(spare_.back());
    spare_.pop_back();
    return b;
  }
  void Push(std::unique_ptr<Buffer> b) {
    if (spare_.size() < kCapacity) spare_.push_back(std::move(b));
  }
  std::size_t Count() const { return spare_.size(); }

 private:
  std::vector<std::unique_ptr<Buffer>> spare_;
};

// Holds one pin on a buffer and releases it on scope exit, so a throw never
// leaks a pin.
template <typename Buffer>
class TBufferPin {
 public:
  TBufferPin() = default;
  explicit TBufferPin(Buffer* b) : buffer_(b) {}
  ~TBufferPin() { Release(); }
  TBufferPin(TBufferPin&& o) noexcept : buffer_(o.buffer_) { o.buffer_ = nullptr; }
  TBufferPin& operator=(TBufferPin&& o) noexcept {
    if (this != &o) {
      Release();
      buffer_ = o.buffer_;
      o.buffer_ = nullptr;
    }
    return *this;
  }
  TBufferPin(const TBufferPin&) = delete;
  TBufferPin& operator=(const TBufferPin&) = delete;

  Buffer* get() const { return buffer_; }
  Buffer* operator->() const { return buffer_; }
  Buffer& operator*() const { return *buffer_; }
  explicit operator bool() const { return buffer_ != nullptr; }
  void Release() {
    if (buffer_) buffer_->Unpin();
    buffer_ = nullptr;
  }

 private:
  Buffer* buffer_ = nullptr;
};

template <typename Buffer>
struct TBufferList;

// What a caching file (data or BLOB) shares with its table, and its cache
// counters: hits and misses of the cache, block reads and writes of the file.
class TCachedFileState {
 public:
  // ---- state shared with the table ----
  void SetWrittenSinceOpen(bool w) { written_ = w; }
  bool WrittenSinceOpen() const { return written_; }
  void SetTableLockHeld(bool held) { table_lock_held_ = held; }
  // While set (transactions), a full cache grows instead of writing.
  void SetDeferWrites(bool d) { defer_writes_ = d; }
  // Whether a read may end before buffers this handle appended: once it has
  // written alone (exclusive, or under the table lock) those may be only in
  // its cache, dirty or pinned, their writes deferred.
  bool MayReadShort(bool exclusive) const { return (exclusive || table_lock_held_) && written_; }

  // ---- counters ----
  std::int64_t Hits() const { return hits_; }
  std::int64_t Misses() const { return misses_; }
  std::int64_t BlockReads() const { return block_reads_; }
  std::int64_t Writes() const { return writes_; }

 protected:
  // A cache hit: buffer n of `cache` made the most recently used, counted
  // and pinned; an empty pin when n is not cached.
  template <typename Buffer>
  TBufferPin<Buffer> PinCached(TBufferList<Buffer>& cache, std::int32_t n, int probe) {
    Buffer* b = cache.FindAndTouch(n, probe);
    if (b != nullptr) {
      ++hits_;
      b->Pin();
    }
    return TBufferPin<Buffer>(b);
  }

  bool written_ = false;
  bool table_lock_held_ = false;
  bool defer_writes_ = false;
  std::int64_t hits_ = 0;
  std::int64_t misses_ = 0;
  std::int64_t block_reads_ = 0;
  std::int64_t writes_ = 0;
};

template <typename Buffer>
struct TBufferList {
  // Owned by the list: a buffer leaves it through Remove, RemoveIf,
  // DropUnpinned (to the spare stack) or Clear (deleted). Raw pointers keep
  // inserting in the middle a plain memmove.
  std::vector<Buffer*> sorted;
  Buffer* head = nullptr;  // most recently used
  Buffer* tail = nullptr;  // least recently used
  // The buffer TakeFresh handed out, until InsertPending takes it over.
  std::unique_ptr<Buffer> pending;

  TBufferList() = default;
  TBufferList(const TBufferList&) = delete;
  TBufferList& operator=(const TBufferList&) = delete;
  ~TBufferList() { Clear(); }

  // The index of the first buffer numbered n or above.
  std::size_t LowerBound(std::int32_t n) const {
    auto it = std::lower_bound(sorted.begin(), sorted.end(), n,
                               [](const Buffer* b, std::int32_t v) { return b->Number() < v; });
    return static_cast<std::size_t>(it - sorted.begin());
  }

  Buffer* Find(std::int32_t n) const {
    const std::size_t i = LowerBound(n);
    return i < sorted.size() && sorted[i]->Number() == n ? sorted[i] : nullptr;
  }

  // The buffer numbered n, made the most recently used; null when not cached.
  // The first `probe` buffers of the MRU list are looked at before the sorted
  // list is searched: most requests are for one of the last few buffers used.
  Buffer* FindAndTouch(std::int32_t n, int probe) {
    Buffer* found = nullptr;
    for (Buffer* b = head; b != nullptr && probe > 0; b = b->mru_next, --probe) {
      if (b->Number() == n) {
        found = b;
        break;
      }
    }
    if (found == nullptr) found = Find(n);
    if (found != nullptr) Touch(found);
    return found;
  }

  // Inserts b at its place; false (and b dropped, off the MRU list first,
  // which it is on when it was the pending one) when its number is cached
  // already.
  bool Insert(std::unique_ptr<Buffer> b) {
    const std::size_t i = LowerBound(b->Number());
    if (i < sorted.size() && sorted[i]->Number() == b->Number()) {
      Unlink(b.get());
      return false;
    }
    sorted.insert(sorted.begin() + static_cast<std::ptrdiff_t>(i), b.get());
    b.release();
    return true;
  }

  // A spare buffer (or a new one of `file`) made fresh by Reset(size) and
  // numbered n, at the head of the MRU list and held as `pending`: the
  // caller fills it and hands it to InsertPending.
  template <typename Stack, typename FileT>
  Buffer* TakeFresh(Stack& spare, FileT* file, std::size_t size, std::int32_t n) {
    std::unique_ptr<Buffer> b = spare.Pop(file);
    b->Reset(size);
    b->SetNumber(n);
    Buffer* raw = b.get();
    pending = std::move(b);
    PushFront(raw);
    return raw;
  }

  // Insert of the pending buffer.
  bool InsertPending() { return Insert(std::move(pending)); }

  // Takes sorted[i] out of the list (not off the MRU list).
  std::unique_ptr<Buffer> Remove(std::size_t i) {
    std::unique_ptr<Buffer> b(sorted[i]);
    sorted.erase(sorted.begin() + static_cast<std::ptrdiff_t>(i));
    return b;
  }

  // Gives sorted[i] back to the spare stack, off both lists (the stack may
  // free it).
  template <typename Stack>
  void GiveBack(std::size_t i, Stack& spare) {
    Unlink(sorted[i]);
    spare.Push(Remove(i));
  }

  // Whether buffers first .. end - 1 are all cached and dirty or pinned:
  // what a file may hold only in memory, so that a read ending before them
  // is no error.
  bool AllDirtyOrPinned(std::int32_t first, std::int32_t end) const {
    for (std::int32_t n = first; n < end; ++n) {
      const Buffer* b = Find(n);
      if (b == nullptr || !(b->Dirty() || b->Pins() > 0)) return false;
    }
    return true;
  }

  // Gives every buffer `drop` accepts back to the spare stack (unlinked from
  // the MRU list), keeping the order of the others; one pass.
  template <typename Drop, typename Stack>
  void RemoveIf(Drop drop, Stack& spare) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      Buffer* b = sorted[i];
      if (drop(*b)) {
        Unlink(b);
        spare.Push(std::unique_ptr<Buffer>(b));
      } else {
        sorted[kept++] = b;
      }
    }
    sorted.resize(kept);
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

  // Calls write(first, count) for every run of buffers that `writable`
  // accepts and whose numbers follow each other, in ascending order; `first`
  // indexes `sorted`. Returns whether any run was handed out.
  template <typename Writable, typename Write>
  bool ForEachRun(Writable writable, Write write) {
    bool any = false;
    for (std::size_t i = 0; i < sorted.size();) {
      if (!writable(*sorted[i])) {
        ++i;
        continue;
      }
      std::size_t j = i + 1;
      while (j < sorted.size() && writable(*sorted[j]) &&
             sorted[j]->Number() == sorted[j - 1]->Number() + 1)
        ++j;
      write(i, j - i);
      any = true;
      i = j;
    }
    return any;
  }

  // Gives every unpinned buffer back to the spare stack; pinned ones stay.
  template <typename Stack>
  void DropUnpinned(Stack& spare) {
    RemoveIf([](const Buffer& b) { return b.Pins() == 0; }, spare);
  }

  // Deletes every buffer, the pending one too.
  void Clear() {
    for (Buffer* b : sorted)
      delete b;
    sorted.clear();
    head = tail = nullptr;
    pending.reset();
  }
};

}  // namespace kura
