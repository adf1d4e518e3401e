// Index pages: the 4096-byte units of an index file's B-trees.
//
// Page n (n >= 1) occupies bytes n * 4096 .. n * 4096 + 4095 of the index file.
// Integers are little-endian.
//
//   Offset  Size  Type    Meaning
//   0       1     uint8   page type: 0 root (branch), 1 branch, 2 leaf,
//                         3 root that is also the only leaf, 4 raw data
//   1       2     uint16  number of entries (0 for a freed page)
//   3       4     int32   previous page on the same level (0 = none)
//   7       4     int32   next page on the same level (0 = none); of a freed
//                         page, the next page of its index's free chain
//   11      2     uint16  encoded size of the entries (compressed leaves; 0
//                         on every other page)
//   13      4083  -       entries (raw bytes for type 4), zero padded
//
// Entries, K = key size:
//   branch                    key (K), child page (int32), keys in the
//                             child's subtree (int32); without the count for
//                             temporary and text indexes
//   leaf, compression 0       key (K), record number (int32)
//   leaf, compression 1       p (1), key[p..K), record number
//   leaf, compression 2       t (1), key without its last t zero bytes,
//                             record number
//   leaf, compression 3       p (1), t (1), key[p..K-t), record number
// p is the number of leading bytes shared with the previous entry's key (0
// for a page's first entry), at most 254. t is the number of zero bytes at
// the end of the key, at most 254, never reaching into the shared prefix. In
// a non-unique key the zero run is the one in front of the 4-byte identifier
// suffix, which is always stored; with compression 3 it is taken only when
// K - p >= 5.
//
// Invariants of a B-tree: every level is one chain in key order through the
// previous/next links; a branch entry's key is its child's first key and its
// count the number of leaf entries below it; all leaves are at one depth.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "db/storage/index/index_format.h"

namespace kura {

constexpr int kPageHeaderSize = 13;
constexpr int kPageEntryBytes = static_cast<int>(kIndexPageSize) - kPageHeaderSize;  // 4083
constexpr int kMaxPrefixCount = 254;
constexpr int kMaxTrailingCount = 254;

// Page types (DO NOT CHANGE: stored in the page header).
enum PageType : std::uint8_t {
  kPageRoot = 0,
  kPageBranch = 1,
  kPageLeaf = 2,
  kPageRootLeaf = 3,
  kPageRawData = 4,
};

// Key compression modes of an index (DO NOT CHANGE: stored in the descriptor).
enum KeyCompression : std::uint8_t {
  kCompressNone = 0,
  kCompressDuplicate = 1,
  kCompressTrailing = 2,
  kCompressFull = 3,
};

// What a page needs to know about its index to encode its entries.
struct PageFormat {
  int key_size = 4;
  bool unique = true;
  std::uint8_t compression = kCompressNone;
  bool with_counts = true;  // branch entries carry subtree counts

  bool Compressed() const { return compression != kCompressNone; }
  int BranchEntrySize() const { return key_size + (with_counts ? 8 : 4); }
  int BranchCapacity() const { return kPageEntryBytes / BranchEntrySize(); }
  int LeafCapacity() const { return kPageEntryBytes / (key_size + 4); }
};

// One cached page of one index: header fields and the entries with their
// keys expanded. Entries are numbered from 1.
class TPage {
 public:
  TPage() = default;

  // Binds the page to an index and clears it (no entries, no links).
  void Reset(std::int32_t number, int slot, const PageFormat& format, std::uint8_t type);

  std::int32_t number() const { return number_; }
  int slot() const { return slot_; }
  const PageFormat& format() const { return format_; }
  int key_size() const { return format_.key_size; }

  std::uint8_t type() const { return type_; }
  void set_type(std::uint8_t t) {
    if (t != type_) image_valid_ = false;  // the type decides the entry layout
    type_ = t;
  }
  bool IsLeaf() const { return type_ == kPageLeaf || type_ == kPageRootLeaf; }
  bool IsRoot() const { return type_ == kPageRoot || type_ == kPageRootLeaf; }

  std::int32_t prev() const { return prev_; }
  std::int32_t next() const { return next_; }
  void set_prev(std::int32_t p);
  void set_next(std::int32_t n);

  bool freed() const { return freed_; }
  void set_freed(bool f) {
    if (f != freed_) image_valid_ = false;
    freed_ = f;
  }

  int count() const { return count_; }
  const std::uint8_t* Key(int i) const { return Slot(i); }
  std::int32_t Pointer(int i) const;
  std::int32_t SubtreeCount(int i) const;
  int PrefixCount(int i) const { return Slot(i)[format_.key_size + 8]; }
  int TrailingCount(int i) const { return Slot(i)[format_.key_size + 9]; }

  void SetKey(int i, const std::uint8_t* key);
  void SetPointer(int i, std::int32_t p);
  void SetSubtreeCount(int i, std::int32_t c);

  // Inserts an entry at position i (1..count+1).
  void Insert(int i, const std::uint8_t* key, std::int32_t pointer, std::int32_t subtree_count);
  void Remove(int i);
  // Moves entries [from, count] of this page in front of the entries of `to`
  // (this page precedes `to` in key order).
  void MoveTailToFront(int from, TPage& to);
  // Moves entries [1, n] of this page behind the entries of `to` (`to`
  // precedes this page in key order).
  void MoveFrontToBack(int n, TPage& to);

  // Keys below this page: the entry count of a leaf, the sum of the subtree
  // counts of a branch.
  std::int64_t KeysBelow() const;

  // Bytes the entries take when encoded.
  int EncodedSize() const { return encoded_size_; }
  // Whether the entries no longer fit one page.
  bool Overflows() const;
  // Entry capacity of a fixed-size page (branches, uncompressed leaves).
  int Capacity() const { return IsLeaf() ? format_.LeafCapacity() : format_.BranchCapacity(); }
  // Bytes entry i takes when encoded.
  int EntrySize(int i) const;

  // Bytes the entries take in the page image, counted entry by entry.
  int ImageBytes() const;
  // Whether the entries fit one page image.
  bool Fits() const { return ImageBytes() <= kPageEntryBytes; }

  // The 4096-byte image of the page; error 8965 when the entries do not fit
  // (nothing is written past the page). The image is kept: a page written
  // again after changes that patch it in place (subtree counts, pointers,
  // links, entries of fixed-size pages) is copied, not encoded again.
  void Encode(std::span<std::uint8_t, kIndexPageSize> out) const;
  // Reads a page image; false when the image is not a well-formed page of
  // this format (the caller raises the corruption error).
  bool Decode(std::int32_t number, int slot, const PageFormat& format,
              std::span<const std::uint8_t, kIndexPageSize> in);

  // Drops the kept image (a page going back to the spare stack).
  void ForgetImage() {
    image_valid_ = false;
    image_.clear();
    image_.shrink_to_fit();
  }

  // Cache bookkeeping, owned by the file that hands the page out.
  bool dirty = false;
  int pins = 0;
  TPage* mru_prev = nullptr;
  TPage* mru_next = nullptr;

 private:
  int Stride() const { return format_.key_size + 10; }
  std::uint8_t* Slot(int i) { return entries_.data() + static_cast<size_t>((i - 1) * Stride()); }
  const std::uint8_t* Slot(int i) const {
    return entries_.data() + static_cast<size_t>((i - 1) * Stride());
  }
  // Recomputes the prefix and trailing counts of entry i and the encoded size.
  void Recount(int i);
  void RecountAll();
  int ZeroRunEnd() const;  // where a key's trailing-zero run must end
  // Entries of branches and uncompressed leaves have one size in the image,
  // so a change to one entry can be patched into a kept image.
  bool FixedLayout() const { return !freed_ && !(IsLeaf() && format_.Compressed()); }
  int ImageEntrySize() const { return IsLeaf() ? format_.key_size + 4 : format_.BranchEntrySize(); }
  std::uint8_t* ImageEntry(int i) const {
    return image_.data() + kPageHeaderSize + static_cast<size_t>((i - 1) * ImageEntrySize());
  }
  // Whether the kept image can take a patch; drops it when it cannot.
  bool Patchable() const;
  void EncodeFresh(std::span<std::uint8_t, kIndexPageSize> out) const;

  std::int32_t number_ = 0;
  int slot_ = 0;
  PageFormat format_;
  std::uint8_t type_ = kPageLeaf;
  std::int32_t prev_ = 0;
  std::int32_t next_ = 0;
  bool freed_ = false;
  int count_ = 0;
  int encoded_size_ = 0;
  // count_ entries of K + 10 bytes: key, pointer, subtree count, prefix count,
  // trailing count.
  std::vector<std::uint8_t> entries_;
  // The page's image as last encoded, valid while every change since was
  // patched into it (allocated at the first Encode: pages only read keep none).
  mutable std::vector<std::uint8_t> image_;
  mutable bool image_valid_ = false;
};

// Spare TPage objects of an index file, recycled instead of freed.
class TPageStack {
 public:
  static constexpr std::size_t kLimit = 64;

  // A spare page, or a new one when there is none.
  TPage* Pop() {
    if (spare_.empty()) return new TPage();
    TPage* page = spare_.back().release();
    spare_.pop_back();
    return page;
  }
  // Keeps `page` for reuse, or deletes it when the stack is full.
  void Push(TPage* page) {
    page->pins = 0;
    page->dirty = false;
    page->ForgetImage();
    page->mru_prev = page->mru_next = nullptr;
    if (spare_.size() < kLimit) {
      spare_.emplace_back(page);
    } else {
      delete page;
    }
  }

 private:
  std::vector<std::unique_ptr<TPage>> spare_;
};

}  // namespace kura
