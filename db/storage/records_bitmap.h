// TRecordsBitmap: a bit set over physical record numbers 1..N; bit n-1 stands
// for record n. Bits are kept in 32-bit words (word i holds records
// 32i+1..32i+32, record 32i+1 in the lowest bit); the bits past N in the last
// word are always zero, so word-wise operations and counts need no masking
// afterwards. Storage grows in steps of 256 bytes and new bytes are zero.
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

  // Record n (1..N); out-of-range records are never set.
  bool Test(std::int32_t n) const {
    if (n < 1 || n > size_) return false;
    const auto i = static_cast<std::uint32_t>(n - 1);
    return (words_[i >> 5] >> (i & 31)) & 1u;
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
  void Reserve(std::size_t words);
  void TrimTail();

  std::int32_t size_ = 0;
  std::vector<std::uint32_t> words_;  // allocated in kGrowBytes steps
};

}  // namespace kura
