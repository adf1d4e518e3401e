// TRecordsBitmap: a bit set over physical record numbers 1..N; bit n-1 stands
// for record n. Bits are kept in 32-bit words (word i holds records
// 32i+1..32i+32, record 32i+1 in the lowest bit); the bits past N in the last
// word are always zero, so word-wise operations and counts need no masking
// afterwards.
//
// The bitmap keeps a window of words [lo, hi) outside which every word is
// zero (it may hold zero words itself: clearing a bit never shrinks it), and
// stores only a stretch of words around it, allocated in steps of 256 bytes;
// words outside the stretch are zero without being stored. Counting,
// searching and the word-wise operations work inside the windows only, so a
// bitmap of a few records in a large table (one game's moves among millions)
// costs by its window, in time and memory, not by the table. The count of set bits is
// kept while single bits change and recounted after word-wise operations.
//
// A bitmap whose set records are exactly 1..r (a table's live records when
// none is deleted: SetAll, and appends after it) is held as that run alone,
// without words: setting it, copying it, testing, counting and searching it
// and ANDing with it cost nothing by the table's size. The first change that
// breaks the run (a bit cleared below its end, set past it, a word-wise
// operation other than AND) stores its words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kura {

class TRecordsBitmap {
 public:
  static constexpr std::size_t kGrowBytes = 256;

  TRecordsBitmap() = default;
  explicit TRecordsBitmap(std::int32_t size) { SetSize(size); }

  // Sets N; bits of records 1..min(old N, new N) are kept, new ones are zero.
  void SetSize(std::int32_t size);
  std::int32_t Size() const { return size_; }
  std::size_t WordCount() const { return static_cast<std::size_t>((size_ + 31) / 32); }
  std::size_t AllocatedBytes() const { return words_.size() * 4; }
  // Words in the window outside which every word is zero.
  std::size_t WindowWords() const {
    return run_ >= 0 ? static_cast<std::size_t>((run_ + 31) / 32) : hi_ - lo_;
  }

  // Record n (1..N); out-of-range records are never set.
  bool Test(std::int32_t n) const {
    if (n < 1 || n > size_) return false;
    if (run_ >= 0) return n <= run_;
    const auto i = static_cast<std::uint32_t>(n - 1);
    return (Word(i >> 5) >> (i & 31)) & 1u;
  }
  // Setting a record beyond N grows N to it.
  void Set(std::int32_t n);
  void Clear(std::int32_t n);
  void ClearAll();
  void SetAll();

  void CopyFrom(const TRecordsBitmap& other);
  // Word-wise; the other bitmap counts as zero beyond its own N (AND) and
  // adds nothing there (OR). N stays this bitmap's.
  void And(const TRecordsBitmap& other);
  void Or(const TRecordsBitmap& other);
  void AndNot(const TRecordsBitmap& other);
  void Not();

  std::int32_t Count() const;
  // Set bits of records 1..n-1.
  std::int32_t CountBelow(std::int32_t n) const;
  // The k-th set record after `from` (forward) or before it (backward),
  // `from` itself excluded; 0 when there are fewer than k. from = 0 going
  // forward and from = N + 1 going backward start at either end.
  std::int32_t FindNext(std::int32_t from, std::int32_t k = 1, bool forward = true) const;

  bool operator==(const TRecordsBitmap& o) const;

 private:
  // Word w, zero when not stored.
  std::uint32_t Word(std::size_t w) const {
    return w - base_ < words_.size() ? words_[w - base_] : 0u;  // w < base_ wraps past size
  }
  std::uint32_t& At(std::size_t w) { return words_[w - base_]; }  // w is stored
  const std::uint32_t& At(std::size_t w) const { return words_[w - base_]; }
  // Makes the stretch hold words [from, to) (inside the bitmap's words).
  void Cover(std::size_t from, std::size_t to);
  void TrimTail();
  void Widen(std::size_t word) {
    if (lo_ == hi_) {
      lo_ = word;
      hi_ = word + 1;
    } else {
      if (word < lo_) lo_ = word;
      if (word >= hi_) hi_ = word + 1;
    }
  }
  // Zeroes the words of [lo_, hi_) outside [from, to) and makes that the window.
  void NarrowTo(std::size_t from, std::size_t to);
  // Stores the run as words (nothing when there is no run).
  void Materialize();
  // Clears the stored bits of records above r.
  void KeepBelow(std::int32_t r);

  std::int32_t size_ = 0;
  std::vector<std::uint32_t> words_;  // words base_.. (kGrowBytes steps)
  std::size_t base_ = 0;
  std::size_t lo_ = 0, hi_ = 0;  // every word outside [lo_, hi_) is zero; stored
  mutable std::int32_t count_ = 0;    // set bits, when counted_
  mutable bool counted_ = true;
  // When >= 0: the set records are exactly 1..run_ (run_ <= size_), no word
  // is stored and the window is empty.
  std::int32_t run_ = -1;
};

}  // namespace kura
