#include "db/storage/records_bitmap.h"

#include <algorithm>
#include <bit>

namespace kura {

namespace {

// The set bits of a word. The baseline x86-64 target has no population count
// instruction, and std::popcount there is a library call per word, which
// made counting a large table's live set the most of a cursor's open.
inline int Bits(std::uint32_t v) {
  v = v - ((v >> 1) & 0x55555555u);
  v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
  return static_cast<int>((((v + (v >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24);
}

}  // namespace

namespace {
constexpr std::size_t kStep = TRecordsBitmap::kGrowBytes / 4;  // words
std::size_t Down(std::size_t w) { return w / kStep * kStep; }
std::size_t Up(std::size_t w) { return (w + kStep - 1) / kStep * kStep; }
}  // namespace

void TRecordsBitmap::Cover(std::size_t from, std::size_t to) {
  if (from >= to) return;
  const std::size_t end = base_ + words_.size();
  if (!words_.empty() && from >= base_ && to <= end) return;
  std::size_t new_from = Down(from), new_to = Up(to);
  if (!words_.empty()) {
    // Growing on one side doubles the stretch there, so that a run of Sets
    // moving away from it copies the stretch a logarithmic number of times.
    const std::size_t grow = words_.size();
    new_from = std::min(new_from, base_);
    new_to = std::max(new_to, end);
    if (from < base_) new_from = Down(new_from > grow ? new_from - grow : 0);
    if (to > end) new_to = std::max(Up(to), std::min(Up(end + grow), Up(WordCount())));
  }
  std::vector<std::uint32_t> words(new_to - new_from, 0u);
  if (lo_ < hi_)
    std::copy(words_.begin() + static_cast<std::ptrdiff_t>(lo_ - base_),
              words_.begin() + static_cast<std::ptrdiff_t>(hi_ - base_),
              words.begin() + static_cast<std::ptrdiff_t>(lo_ - new_from));
  words_.swap(words);
  base_ = new_from;
}

void TRecordsBitmap::NarrowTo(std::size_t from, std::size_t to) {
  if (from >= to) {
    if (lo_ < hi_)
      std::fill(words_.begin() + static_cast<std::ptrdiff_t>(lo_ - base_),
                words_.begin() + static_cast<std::ptrdiff_t>(hi_ - base_), 0u);
    lo_ = hi_ = 0;
    return;
  }
  // [from, to) lies inside the window: the caller narrows, never widens.
  std::fill(words_.begin() + static_cast<std::ptrdiff_t>(lo_ - base_),
            words_.begin() + static_cast<std::ptrdiff_t>(from - base_), 0u);
  std::fill(words_.begin() + static_cast<std::ptrdiff_t>(to - base_),
            words_.begin() + static_cast<std::ptrdiff_t>(hi_ - base_), 0u);
  lo_ = from;
  hi_ = to;
}

void TRecordsBitmap::Materialize() {
  if (run_ < 0) return;
  const std::int32_t r = run_;
  run_ = -1;  // the window is empty and every stored word zero
  count_ = r;
  counted_ = true;
  if (r == 0) return;
  const std::size_t words = (static_cast<std::size_t>(r) + 31) / 32;
  Cover(0, words);  // the stretch starts at word 0 now
  std::fill(words_.begin(), words_.begin() + static_cast<std::ptrdiff_t>(words), ~0u);
  lo_ = 0;
  hi_ = words;
  if ((r & 31) != 0) At(words - 1) = (1u << (r & 31)) - 1u;
}

void TRecordsBitmap::KeepBelow(std::int32_t r) {
  const std::size_t words = (static_cast<std::size_t>(std::max(r, 0)) + 31) / 32;
  if (hi_ > words) NarrowTo(std::min(lo_, words), words);
  if ((r & 31) != 0 && lo_ < hi_ && hi_ == words) At(words - 1) &= (1u << (r & 31)) - 1u;
  counted_ = false;
}

void TRecordsBitmap::TrimTail() {
  const std::size_t used = WordCount();
  if (hi_ > used) NarrowTo(std::min(lo_, used), used);
  if (lo_ < hi_ && hi_ == used && (size_ & 31) != 0) At(used - 1) &= (1u << (size_ & 31)) - 1u;
}

void TRecordsBitmap::SetSize(std::int32_t size) {
  size = std::max<std::int32_t>(size, 0);
  const std::int32_t old = size_;
  if (run_ >= 0 && size < run_) run_ = size;  // new records are clear: the run holds
  size_ = size;
  if (run_ >= 0) return;
  if (size < old) {
    TrimTail();
    counted_ = counted_ && count_ == 0;
  }
}

void TRecordsBitmap::Set(std::int32_t n) {
  if (n < 1) return;
  if (n > size_) SetSize(n);
  if (run_ >= 0) {
    if (n <= run_) return;
    if (n == run_ + 1) {
      run_ = n;  // an append after the run extends it
      return;
    }
    Materialize();
  }
  const auto i = static_cast<std::uint32_t>(n - 1);
  const std::size_t w = i >> 5;
  Cover(w, w + 1);
  std::uint32_t& word = At(w);
  if (!(word & (1u << (i & 31)))) ++count_;
  word |= 1u << (i & 31);
  Widen(w);
}

void TRecordsBitmap::Clear(std::int32_t n) {
  if (n < 1 || n > size_) return;
  if (run_ >= 0) {
    if (n > run_) return;
    if (n == run_) {
      --run_;
      return;
    }
    Materialize();
  }
  const auto i = static_cast<std::uint32_t>(n - 1);
  const std::size_t w = i >> 5;
  if (w < lo_ || w >= hi_) return;
  std::uint32_t& word = At(w);
  if (word & (1u << (i & 31))) --count_;
  word &= ~(1u << (i & 31));
}

void TRecordsBitmap::ClearAll() {
  run_ = -1;
  NarrowTo(0, 0);
  count_ = 0;
  counted_ = true;
}

void TRecordsBitmap::SetAll() {
  ClearAll();
  run_ = size_;
}

void TRecordsBitmap::CopyFrom(const TRecordsBitmap& other) {
  if (this == &other) return;
  ClearAll();
  size_ = other.size_;
  if (other.run_ >= 0) {
    run_ = other.run_;
    return;
  }
  const std::size_t to = std::min(other.hi_, other.WordCount());
  if (other.lo_ >= to) return;
  Cover(other.lo_, to);
  std::copy(other.words_.begin() + static_cast<std::ptrdiff_t>(other.lo_ - other.base_),
            other.words_.begin() + static_cast<std::ptrdiff_t>(to - other.base_),
            words_.begin() + static_cast<std::ptrdiff_t>(other.lo_ - base_));
  lo_ = other.lo_;
  hi_ = to;
  TrimTail();
  count_ = other.count_;
  counted_ = other.counted_;
}

void TRecordsBitmap::And(const TRecordsBitmap& other) {
  if (other.run_ >= 0) {
    // Records above the other's run (and its N) go.
    if (run_ >= 0)
      run_ = std::min(run_, other.run_);
    else if (other.run_ < size_)
      KeepBelow(other.run_);
    return;
  }
  if (run_ >= 0) {
    // The other's records inside the run, under this bitmap's N.
    const std::int32_t size = size_, r = run_;
    CopyFrom(other);
    SetSize(size);
    if (r < size) KeepBelow(r);
    return;
  }
  const std::size_t from = std::max(lo_, other.lo_);
  const std::size_t to = std::min({hi_, other.hi_, other.WordCount()});
  NarrowTo(from, to);
  for (std::size_t i = lo_; i < hi_; ++i)
    At(i) &= other.At(i);
  counted_ = counted_ && count_ == 0;
}

void TRecordsBitmap::Or(const TRecordsBitmap& other) {
  if (other.run_ >= 0) {
    const std::int32_t r = std::min(other.run_, size_);
    if (run_ >= 0) {
      run_ = std::max(run_, r);
      return;
    }
    TRecordsBitmap words;
    words.CopyFrom(other);
    words.Materialize();
    return Or(words);
  }
  Materialize();
  const std::size_t to = std::min({WordCount(), other.WordCount(), other.hi_});
  if (other.lo_ >= to) return;
  Cover(other.lo_, to);
  for (std::size_t i = other.lo_; i < to; ++i)
    At(i) |= other.At(i);
  Widen(other.lo_);
  Widen(to - 1);
  TrimTail();
  counted_ = false;
}

void TRecordsBitmap::AndNot(const TRecordsBitmap& other) {
  if (other.run_ >= 0) {
    TRecordsBitmap words;
    words.CopyFrom(other);
    words.Materialize();
    return AndNot(words);
  }
  Materialize();
  const std::size_t from = std::max(lo_, other.lo_);
  const std::size_t to = std::min({hi_, other.hi_, other.WordCount()});
  for (std::size_t i = from; i < to; ++i)
    At(i) &= ~other.At(i);
  if (from < to) counted_ = counted_ && count_ == 0;
}

void TRecordsBitmap::Not() {
  Materialize();
  const std::size_t n = WordCount();
  Cover(0, n);
  for (std::size_t i = 0; i < n; ++i)
    At(i) = ~At(i);
  lo_ = 0;
  hi_ = n;
  TrimTail();
  count_ = size_ - count_;
}

std::int32_t TRecordsBitmap::Count() const {
  if (run_ >= 0) return run_;
  if (counted_) return count_;
  std::int32_t c = 0;
  for (std::size_t i = lo_; i < hi_; ++i)
    c += At(i) == ~0u ? 32 : Bits(At(i));
  count_ = c;
  counted_ = true;
  return c;
}

std::int32_t TRecordsBitmap::CountBelow(std::int32_t n) const {
  if (n <= 1) return 0;
  if (run_ >= 0) return std::min(n - 1, run_);
  const auto bits = static_cast<std::uint32_t>(std::min(n - 1, size_));
  std::int32_t c = 0;
  const std::size_t full = bits >> 5;
  for (std::size_t i = lo_; i < std::min(full, hi_); ++i)
    c += At(i) == ~0u ? 32 : Bits(At(i));
  if ((bits & 31) && full >= lo_ && full < hi_) c += Bits(At(full) & ((1u << (bits & 31)) - 1u));
  return c;
}

std::int32_t TRecordsBitmap::FindNext(std::int32_t from, std::int32_t k, bool forward) const {
  if (k < 1) return 0;
  if (run_ >= 0) {
    if (forward) {
      const std::int64_t n = std::int64_t{std::max(from, 0)} + k;
      return n <= run_ ? static_cast<std::int32_t>(n) : 0;
    }
    const std::int64_t n = std::int64_t{std::min(from - 1, run_)} - k + 1;
    return n >= 1 ? static_cast<std::int32_t>(n) : 0;
  }
  if (lo_ >= hi_) return 0;
  if (forward) {
    if (from < 0) from = 0;
    if (from >= size_) return 0;
    auto bit = static_cast<std::uint32_t>(from);  // index of record from + 1
    std::size_t w = bit >> 5;
    if (w >= hi_) return 0;
    std::uint32_t word;
    if (w < lo_) {
      w = lo_;
      word = At(w);
    } else {
      word = At(w) & (~0u << (bit & 31));
    }
    for (;;) {
      const int pc = Bits(word);
      if (pc >= k) {
        for (int j = 1; j < k; ++j)
          word &= word - 1;
        return static_cast<std::int32_t>(w * 32 +
                                         static_cast<std::size_t>(std::countr_zero(word))) +
               1;
      }
      k -= pc;
      if (++w >= hi_) return 0;
      word = At(w);
    }
  }
  if (from > size_ + 1) from = size_ + 1;
  if (from <= 1) return 0;
  const auto limit = static_cast<std::uint32_t>(from - 1);  // records 1..from-1 are candidates
  std::size_t w = (limit - 1) >> 5;
  if (w < lo_) return 0;
  std::uint32_t word;
  if (w >= hi_) {
    w = hi_ - 1;
    word = At(w);
  } else {
    const std::uint32_t keep = limit & 31;
    word = At(w) & (keep ? (1u << keep) - 1u : ~0u);
  }
  for (;;) {
    const int pc = Bits(word);
    if (pc >= k) {
      for (int j = 1; j < k; ++j)
        word &= ~(0x80000000u >> std::countl_zero(word));
      return static_cast<std::int32_t>(w * 32 + 31 -
                                       static_cast<std::size_t>(std::countl_zero(word))) +
             1;
    }
    k -= pc;
    if (w == lo_) return 0;
    word = At(--w);
  }
}

bool TRecordsBitmap::operator==(const TRecordsBitmap& o) const {
  if (size_ != o.size_) return false;
  if (run_ >= 0 && o.run_ >= 0) return run_ == o.run_;
  if (run_ >= 0 || o.run_ >= 0) {
    TRecordsBitmap a, b;
    a.CopyFrom(*this);
    b.CopyFrom(o);
    a.Materialize();
    b.Materialize();
    return a == b;
  }
  const std::size_t from = std::min(lo_, o.lo_), to = std::max(hi_, o.hi_);
  for (std::size_t i = from; i < to; ++i)
    if (Word(i) != o.Word(i)) return false;
  return true;
}

}  // namespace kura
