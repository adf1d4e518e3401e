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

void TRecordsBitmap::Reserve(std::size_t words) {
  if (words <= words_.size()) return;
  constexpr std::size_t step = kGrowBytes / 4;
  words_.resize((words + step - 1) / step * step, 0u);
}

void TRecordsBitmap::TrimTail() {
  const std::size_t used = WordCount();
  if (used > 0 && (size_ & 31) != 0) words_[used - 1] &= (1u << (size_ & 31)) - 1u;
  std::fill(words_.begin() + static_cast<std::ptrdiff_t>(used), words_.end(), 0u);
}

void TRecordsBitmap::SetSize(std::int32_t size) {
  size = std::max<std::int32_t>(size, 0);
  const std::int32_t old = size_;
  size_ = size;
  Reserve(WordCount());
  if (size < old) TrimTail();
}

void TRecordsBitmap::Set(std::int32_t n) {
  if (n < 1) return;
  if (n > size_) SetSize(n);
  const auto i = static_cast<std::uint32_t>(n - 1);
  words_[i >> 5] |= 1u << (i & 31);
}

void TRecordsBitmap::Clear(std::int32_t n) {
  if (n < 1 || n > size_) return;
  const auto i = static_cast<std::uint32_t>(n - 1);
  words_[i >> 5] &= ~(1u << (i & 31));
}

void TRecordsBitmap::ClearAll() {
  std::fill(words_.begin(), words_.end(), 0u);
}

void TRecordsBitmap::SetAll() {
  std::fill(words_.begin(), words_.begin() + static_cast<std::ptrdiff_t>(WordCount()), ~0u);
  TrimTail();
}

void TRecordsBitmap::CopyFrom(const TRecordsBitmap& other) {
  if (this == &other) return;
  size_ = other.size_;
  Reserve(other.WordCount());
  std::copy(other.words_.begin(),
            other.words_.begin() + static_cast<std::ptrdiff_t>(other.WordCount()), words_.begin());
  TrimTail();
}

void TRecordsBitmap::And(const TRecordsBitmap& other) {
  const std::size_t n = WordCount(), m = std::min(n, other.WordCount());
  for (std::size_t i = 0; i < m; ++i)
    words_[i] &= other.words_[i];
  for (std::size_t i = m; i < n; ++i)
    words_[i] = 0;
}

void TRecordsBitmap::Or(const TRecordsBitmap& other) {
  const std::size_t m = std::min(WordCount(), other.WordCount());
  for (std::size_t i = 0; i < m; ++i)
    words_[i] |= other.words_[i];
  TrimTail();
}

void TRecordsBitmap::AndNot(const TRecordsBitmap& other) {
  const std::size_t m = std::min(WordCount(), other.WordCount());
  for (std::size_t i = 0; i < m; ++i)
    words_[i] &= ~other.words_[i];
}

void TRecordsBitmap::Not() {
  const std::size_t n = WordCount();
  for (std::size_t i = 0; i < n; ++i)
    words_[i] = ~words_[i];
  TrimTail();
}

std::int32_t TRecordsBitmap::Count() const {
  std::int32_t c = 0;
  const std::size_t n = WordCount();
  for (std::size_t i = 0; i < n; ++i)
    c += words_[i] == ~0u ? 32 : Bits(words_[i]);
  return c;
}

std::int32_t TRecordsBitmap::CountBelow(std::int32_t n) const {
  if (n <= 1) return 0;
  const auto bits = static_cast<std::uint32_t>(std::min(n - 1, size_));
  std::int32_t c = 0;
  const std::uint32_t full = bits >> 5;
  for (std::uint32_t i = 0; i < full; ++i)
    c += words_[i] == ~0u ? 32 : Bits(words_[i]);
  if (bits & 31) c += Bits(words_[full] & ((1u << (bits & 31)) - 1u));
  return c;
}

std::int32_t TRecordsBitmap::FindNext(std::int32_t from, std::int32_t k, bool forward) const {
  if (k < 1) return 0;
  if (forward) {
    if (from < 0) from = 0;
    if (from >= size_) return 0;
    auto bit = static_cast<std::uint32_t>(from);  // index of record from + 1
    const std::size_t n = WordCount();
    std::size_t w = bit >> 5;
    std::uint32_t word = words_[w] & (~0u << (bit & 31));
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
      if (++w >= n) return 0;
      word = words_[w];
    }
  }
  if (from > size_ + 1) from = size_ + 1;
  if (from <= 1) return 0;
  const auto limit = static_cast<std::uint32_t>(from - 1);  // records 1..from-1 are candidates
  std::size_t w = (limit - 1) >> 5;
  const std::uint32_t keep = limit & 31;
  std::uint32_t word = words_[w] & (keep ? (1u << keep) - 1u : ~0u);
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
    if (w == 0) return 0;
    word = words_[--w];
  }
}

bool TRecordsBitmap::operator==(const TRecordsBitmap& o) const {
  if (size_ != o.size_) return false;
  return std::equal(words_.begin(), words_.begin() + static_cast<std::ptrdiff_t>(WordCount()),
                    o.words_.begin());
}

}  // namespace kura
