#include "db/storage/index/page.h"

#include <algorithm>
#include <cstring>

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/key_codec.h"

namespace kura {

namespace {

constexpr int kTypeOffset = 0;
constexpr int kCountOffset = 1;
constexpr int kPrevOffset = 3;
constexpr int kNextOffset = 7;
constexpr int kEncodedSizeOffset = 11;

bool HasPrefixCount(std::uint8_t c) {
  return c == kCompressDuplicate || c == kCompressFull;
}
bool HasTrailingCount(std::uint8_t c) {
  return c == kCompressTrailing || c == kCompressFull;
}

}  // namespace

void TPage::Reset(std::int32_t number, int slot, const PageFormat& format, std::uint8_t type) {
  number_ = number;
  slot_ = slot;
  format_ = format;
  type_ = type;
  prev_ = next_ = 0;
  freed_ = false;
  count_ = 0;
  encoded_size_ = 0;
  entries_.clear();
  dirty = false;
  image_valid_ = false;
}

bool TPage::Patchable() const {
  if (image_valid_ && !FixedLayout()) image_valid_ = false;
  return image_valid_;
}

void TPage::set_prev(std::int32_t p) {
  prev_ = p;
  if (Patchable()) EncodeFixed32(&image_[kPrevOffset], static_cast<std::uint32_t>(p));
}
void TPage::set_next(std::int32_t n) {
  next_ = n;
  if (Patchable()) EncodeFixed32(&image_[kNextOffset], static_cast<std::uint32_t>(n));
}

std::int32_t TPage::Pointer(int i) const {
  return static_cast<std::int32_t>(DecodeFixed32(Slot(i) + format_.key_size));
}
std::int32_t TPage::SubtreeCount(int i) const {
  return static_cast<std::int32_t>(DecodeFixed32(Slot(i) + format_.key_size + 4));
}

void TPage::SetKey(int i, const std::uint8_t* key) {
  std::memcpy(Slot(i), key, static_cast<size_t>(format_.key_size));
  if (Patchable()) std::memcpy(ImageEntry(i), key, static_cast<size_t>(format_.key_size));
  Recount(i);
  if (i < count_) Recount(i + 1);
}
void TPage::SetPointer(int i, std::int32_t p) {
  EncodeFixed32(Slot(i) + format_.key_size, static_cast<std::uint32_t>(p));
  // A compressed leaf's record numbers sit behind keys of varying length.
  if (Patchable()) EncodeFixed32(ImageEntry(i) + format_.key_size, static_cast<std::uint32_t>(p));
}
void TPage::SetSubtreeCount(int i, std::int32_t c) {
  EncodeFixed32(Slot(i) + format_.key_size + 4, static_cast<std::uint32_t>(c));
  // Only branches with counts store them; the other pages' images lack them.
  if (!IsLeaf() && format_.with_counts && Patchable())
    EncodeFixed32(ImageEntry(i) + format_.key_size + 4, static_cast<std::uint32_t>(c));
}

void TPage::Insert(int i, const std::uint8_t* key, std::int32_t pointer,
                   std::int32_t subtree_count) {
  const auto at = entries_.begin() + static_cast<std::ptrdiff_t>((i - 1) * Stride());
  entries_.insert(at, static_cast<size_t>(Stride()), 0);
  ++count_;
  if (Patchable()) {
    // Entries i.. move up one place; the new one is written by the setters.
    const int size = ImageEntrySize();
    if (count_ * size > kPageEntryBytes) {
      image_valid_ = false;  // overflowing: Encode refuses it
    } else {
      std::memmove(ImageEntry(i + 1), ImageEntry(i), static_cast<size_t>((count_ - i) * size));
      std::memcpy(ImageEntry(i), key, static_cast<size_t>(format_.key_size));
      EncodeFixed16(&image_[kCountOffset], static_cast<std::uint16_t>(count_));
    }
  }
  std::memcpy(Slot(i), key, static_cast<size_t>(format_.key_size));
  SetPointer(i, pointer);
  SetSubtreeCount(i, subtree_count);
  // Recount replaces the entry's size as counted here by its compressed size.
  encoded_size_ += EntrySize(i);
  Recount(i);
  if (i < count_) Recount(i + 1);
}

void TPage::Remove(int i) {
  encoded_size_ -= EntrySize(i);
  const auto at = entries_.begin() + static_cast<std::ptrdiff_t>((i - 1) * Stride());
  entries_.erase(at, at + Stride());
  if (Patchable()) {
    const int size = ImageEntrySize();
    std::memmove(ImageEntry(i), ImageEntry(i + 1), static_cast<size_t>((count_ - i) * size));
    std::memset(ImageEntry(count_), 0, static_cast<size_t>(size));
    EncodeFixed16(&image_[kCountOffset], static_cast<std::uint16_t>(count_ - 1));
  }
  --count_;
  if (i <= count_) Recount(i);
}

void TPage::MoveTailToFront(int from, TPage& to) {
  image_valid_ = to.image_valid_ = false;
  const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>((from - 1) * Stride());
  to.entries_.insert(to.entries_.begin(), begin, entries_.end());
  to.count_ += count_ - from + 1;
  entries_.erase(begin, entries_.end());
  count_ = from - 1;
  RecountAll();
  to.RecountAll();
}

void TPage::MoveFrontToBack(int n, TPage& to) {
  image_valid_ = to.image_valid_ = false;
  const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(n * Stride());
  to.entries_.insert(to.entries_.end(), entries_.begin(), end);
  to.count_ += n;
  entries_.erase(entries_.begin(), end);
  count_ -= n;
  RecountAll();
  to.RecountAll();
}

std::int64_t TPage::KeysBelow() const {
  if (IsLeaf()) return count_;
  std::int64_t total = 0;
  for (int i = 1; i <= count_; ++i)
    total += SubtreeCount(i);
  return total;
}

bool TPage::Overflows() const {
  if (IsLeaf() && format_.Compressed()) return encoded_size_ > kPageEntryBytes;
  return count_ > Capacity();
}

int TPage::EntrySize(int i) const {
  const int k = format_.key_size;
  if (!IsLeaf()) return format_.BranchEntrySize();
  switch (format_.compression) {
    case kCompressDuplicate:
      return k - PrefixCount(i) + 5;
    case kCompressTrailing:
      return k - TrailingCount(i) + 5;
    case kCompressFull:
      return k - PrefixCount(i) - TrailingCount(i) + 6;
    default:
      return k + 4;
  }
}

int TPage::ZeroRunEnd() const {
  return format_.unique ? format_.key_size : format_.key_size - kKeySuffixSize;
}

void TPage::Recount(int i) {
  encoded_size_ -= EntrySize(i);
  std::uint8_t* e = Slot(i);
  const int k = format_.key_size;
  int p = 0;
  int t = 0;
  if (IsLeaf() && HasPrefixCount(format_.compression) && i > 1) {
    const std::uint8_t* prev = Slot(i - 1);
    while (p < k && p < kMaxPrefixCount && prev[p] == e[p])
      ++p;
  }
  if (IsLeaf() && HasTrailingCount(format_.compression)) {
    const int end = ZeroRunEnd();
    const int limit = std::min(kMaxTrailingCount, end - p);
    while (t < limit && e[end - 1 - t] == 0)
      ++t;
  }
  e[k + 8] = static_cast<std::uint8_t>(p);
  e[k + 9] = static_cast<std::uint8_t>(t);
  encoded_size_ += EntrySize(i);
}

void TPage::RecountAll() {
  if (!IsLeaf() || !format_.Compressed()) {
    // Branches and uncompressed leaves store no counts: every entry is the
    // same size.
    for (int i = 1; i <= count_; ++i) {
      Slot(i)[format_.key_size + 8] = 0;
      Slot(i)[format_.key_size + 9] = 0;
    }
    encoded_size_ = count_ * (IsLeaf() ? format_.key_size + 4 : format_.BranchEntrySize());
    return;
  }
  encoded_size_ = 0;
  for (int i = 1; i <= count_; ++i) {
    Slot(i)[format_.key_size + 8] = 0;
    Slot(i)[format_.key_size + 9] = 0;
    encoded_size_ += EntrySize(i);
    Recount(i);
  }
}

int TPage::ImageBytes() const {
  if (freed_) return 0;
  if (!IsLeaf()) return count_ * format_.BranchEntrySize();
  if (!format_.Compressed()) return count_ * (format_.key_size + 4);
  int bytes = 0;
  for (int i = 1; i <= count_; ++i)
    bytes += EntrySize(i);
  return bytes;
}

void TPage::Encode(std::span<std::uint8_t, kIndexPageSize> out) const {
  if (image_valid_) {
    std::memcpy(out.data(), image_.data(), out.size());
#ifndef NDEBUG
    // Every patch must leave the image a fresh encoding would make.
    std::vector<std::uint8_t> fresh(kIndexPageSize);
    EncodeFresh(std::span<std::uint8_t, kIndexPageSize>(fresh.data(), fresh.size()));
    if (fresh != image_) RaiseEngineError(kErrPageBuffersCorrupt, TErrorContext());
#endif
    return;
  }
  EncodeFresh(out);
  image_.assign(out.begin(), out.end());
  image_valid_ = true;
}

void TPage::EncodeFresh(std::span<std::uint8_t, kIndexPageSize> out) const {
  // Entries that do not fit are never written: the tree splits a page before
  // it grows past its size, so this is a broken page in memory.
  if (ImageBytes() > kPageEntryBytes) RaiseEngineError(kErrPageBuffersCorrupt, TErrorContext());
  std::memset(out.data(), 0, out.size());
  const int count = freed_ ? 0 : count_;
  out[kTypeOffset] = type_;
  EncodeFixed16(&out[kCountOffset], static_cast<std::uint16_t>(count));
  EncodeFixed32(&out[kPrevOffset], static_cast<std::uint32_t>(freed_ ? 0 : prev_));
  EncodeFixed32(&out[kNextOffset], static_cast<std::uint32_t>(next_));
  const bool compressed_leaf = IsLeaf() && format_.Compressed();
  EncodeFixed16(&out[kEncodedSizeOffset],
                static_cast<std::uint16_t>(compressed_leaf && count ? ImageBytes() : 0));
  std::uint8_t* p = out.data() + kPageHeaderSize;
  const int k = format_.key_size;
  const int zero_end = ZeroRunEnd();
  for (int i = 1; i <= count; ++i) {
    const std::uint8_t* e = Slot(i);
    if (!IsLeaf()) {
      std::memcpy(p, e, static_cast<size_t>(format_.BranchEntrySize()));
      p += format_.BranchEntrySize();
      continue;
    }
    if (!compressed_leaf) {
      std::memcpy(p, e, static_cast<size_t>(k + 4));
      p += k + 4;
      continue;
    }
    const int pc = PrefixCount(i);
    const int tc = TrailingCount(i);
    if (HasPrefixCount(format_.compression)) *p++ = static_cast<std::uint8_t>(pc);
    if (HasTrailingCount(format_.compression)) *p++ = static_cast<std::uint8_t>(tc);
    // key[pc..k) without the zero run [zero_end - tc, zero_end).
    const int head_end = tc ? zero_end - tc : k;
    std::memcpy(p, e + pc, static_cast<size_t>(head_end - pc));
    p += head_end - pc;
    if (tc) {
      std::memcpy(p, e + zero_end, static_cast<size_t>(k - zero_end));
      p += k - zero_end;
    }
    std::memcpy(p, e + k, 4);
    p += 4;
  }
}

bool TPage::Decode(std::int32_t number, int slot, const PageFormat& format,
                   std::span<const std::uint8_t, kIndexPageSize> in) {
  Reset(number, slot, format, in[kTypeOffset]);
  if (type_ > kPageRawData) return false;
  prev_ = static_cast<std::int32_t>(DecodeFixed32(&in[kPrevOffset]));
  next_ = static_cast<std::int32_t>(DecodeFixed32(&in[kNextOffset]));
  const int count = DecodeFixed16(&in[kCountOffset]);
  if (type_ == kPageRawData || count == 0) return true;
  const int k = format_.key_size;
  const bool compressed_leaf = IsLeaf() && format_.Compressed();
  if (!compressed_leaf && count > Capacity()) return false;
  entries_.assign(static_cast<size_t>(count * Stride()), 0);
  count_ = count;
  ByteReader r(in.subspan(kPageHeaderSize));
  const int zero_end = ZeroRunEnd();
  for (int i = 1; i <= count; ++i) {
    std::uint8_t* e = Slot(i);
    if (!IsLeaf()) {
      std::memcpy(e, r.Bytes(static_cast<size_t>(format_.BranchEntrySize())).data(),
                  static_cast<size_t>(format_.BranchEntrySize()));
      continue;
    }
    if (!compressed_leaf) {
      std::memcpy(e, r.Bytes(static_cast<size_t>(k + 4)).data(), static_cast<size_t>(k + 4));
      continue;
    }
    const int pc = HasPrefixCount(format_.compression) ? r.U8() : 0;
    const int tc = HasTrailingCount(format_.compression) ? r.U8() : 0;
    if (!r.ok() || pc > k || (i == 1 && pc != 0)) return false;
    if (tc > std::max(0, zero_end - pc)) return false;
    if (pc) std::memcpy(e, Slot(i - 1), static_cast<size_t>(pc));
    const int head_end = tc ? zero_end - tc : k;
    const auto head = r.Bytes(static_cast<size_t>(head_end - pc));
    if (!r.ok()) return false;
    std::memcpy(e + pc, head.data(), head.size());
    if (tc) {
      const auto tail = r.Bytes(static_cast<size_t>(k - zero_end));
      if (!r.ok()) return false;
      std::memcpy(e + zero_end, tail.data(), tail.size());
    }
    const auto recno = r.Bytes(4);
    if (!r.ok()) return false;
    std::memcpy(e + k, recno.data(), 4);
  }
  if (!r.ok()) return false;
  RecountAll();
  if (compressed_leaf) {
    if (static_cast<int>(r.offset()) != DecodeFixed16(&in[kEncodedSizeOffset])) return false;
  }
  return true;
}

}  // namespace kura
