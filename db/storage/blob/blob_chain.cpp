// Value chains of a BLOB file: load, store, rewrite and free. A value of
// length L occupies max(1, ceil(L / (block size - 18))) blocks linked through
// their next (and previous) fields; every block carries the value's stamp,
// the first also L. Chains are walked by the value's length, never by
// following links alone, and every step is checked, so a corrupt file yields
// an engine error, never a hang or a read out of bounds.
#include <algorithm>
#include <limits>
#include <unordered_set>

#include "db/common/undo_on_throw.h"
#include "db/storage/blob/blob_file.h"
#include "db/storage/engine_error.h"

namespace kura {

void TBlobFile::CheckLength(std::size_t length) const {
  if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    Raise(kErrBlobLength);
}

std::vector<std::int32_t> TBlobFile::WalkChain(TBlobRef ref, std::uint16_t stamp_error, bool strict,
                                               std::vector<std::uint8_t>* out) {
  const std::int32_t count = BlockCount();
  const std::int64_t ds = BlockDataSize();
  if (ref.first_block <= 0 || ref.first_block > count) Raise(kErrBlobBuffersCorrupt);
  if (ref.stamp == 0) Raise(stamp_error);  // 0 marks free blocks, never a value
  std::vector<std::int32_t> blocks;
  std::unordered_set<std::int32_t> seen;
  std::int64_t length = 0;
  std::int64_t remaining = 0;
  std::int32_t needed = 1;
  std::int32_t n = ref.first_block;
  for (std::int32_t i = 0; i < needed; ++i) {
    if (n == 0) Raise(kErrEndOfBlob);
    if (n < 0 || n > count || !seen.insert(n).second) Raise(kErrBlobBuffersCorrupt);
    TBlockPin b = GetBlock(n, needed - i);
    if (b->stamp != ref.stamp) Raise(stamp_error);
    if (b->Pins() > 1) Raise(kErrBlobBuffersCorrupt);
    if (i == 0) {
      length = b->total_length;
      // A length no chain of this file could hold is a chain that ends early.
      if (length < 0 || length > static_cast<std::int64_t>(count) * ds) Raise(kErrEndOfBlob);
      needed = static_cast<std::int32_t>(std::max<std::int64_t>(1, (length + ds - 1) / ds));
      remaining = length;
      // The header's block count may lie: reserve no more than the file holds.
      if (out) out->reserve(static_cast<std::size_t>(std::min<std::int64_t>(length, Size())));
    }
    const std::int64_t piece = std::min(ds, remaining);
    if (strict) {
      const std::int32_t expected_previous = i == 0 ? 0 : blocks.back();
      if (b->used != piece || b->previous != expected_previous || (i > 0 && b->total_length != 0) ||
          (i + 1 == needed && b->next != 0))
        Raise(kErrBlobBuffersCorrupt);
    }
    if (out) out->insert(out->end(), b->Data(), b->Data() + piece);
    remaining -= piece;
    blocks.push_back(n);
    n = b->next;
  }
  return blocks;
}

std::vector<std::uint8_t> TBlobFile::LoadValue(TBlobRef ref) {
  std::vector<std::uint8_t> value;
  if (ref.first_block == 0) return value;
  WalkChain(ref, kErrRecordChanged, false, &value);
  return value;
}

std::vector<std::int32_t> TBlobFile::ChainBlocks(TBlobRef ref) {
  if (ref.first_block == 0) return {};
  return WalkChain(ref, kErrRecordChanged, true, nullptr);
}

std::vector<std::int32_t> TBlobFile::FreeBlocks() {
  const std::int32_t count = BlockCount();
  std::vector<std::int32_t> blocks;
  std::unordered_set<std::int32_t> seen;
  for (std::int32_t n = FreeHead(); n != 0;) {
    if (n < 0 || n > count || !seen.insert(n).second) Raise(kErrBlobBuffersCorrupt);
    blocks.push_back(n);
    TBlockPin b = GetBlock(n);
    n = b->next;
  }
  return blocks;
}

void TBlobFile::FreeBlocksOf(const std::vector<std::int32_t>& blocks) {
  for (std::int32_t n : blocks) {
    TBlockPin b = GetBlock(n);
    FreeBlock(*b);
  }
}

bool TBlobFile::FreeChainHolds(std::size_t count) {
  const std::int32_t blocks = BlockCount();
  std::unordered_set<std::int32_t> seen;
  std::int32_t n = FreeHead();
  for (std::size_t i = 0; i < count; ++i) {
    if (n == 0) return false;
    if (n < 0 || n > blocks || !seen.insert(n).second) Raise(kErrBlobBuffersCorrupt);
    TBlockPin b = GetBlock(n);
    n = b->next;
  }
  return true;
}

std::int32_t TBlobFile::StoreValue(TBlobRef ref, std::int32_t stamp,
                                   std::span<const std::uint8_t> value) {
  CheckLength(value.size());
  // The old chain is checked whole before anything changes: a stale record
  // (8708) or a corrupt chain (8963) must not overwrite another value.
  std::vector<std::int32_t> old;
  if (ref.first_block != 0) old = WalkChain(ref, kErrRecordChanged, false, nullptr);
  if (value.empty()) {
    FreeBlocksOf(old);
    return 0;
  }
  const std::size_t ds = static_cast<std::size_t>(BlockDataSize());
  const std::size_t needed = (value.size() + ds - 1) / ds;
  std::vector<std::int32_t> blocks(old.begin(), old.begin() + std::min(needed, old.size()));
  const std::size_t reused = blocks.size();
  // New blocks come either all from the free chain or all from the end of
  // the file, never both: a block taken from the free chain would otherwise
  // link to an appended one, and a writer dying before the header reached the
  // disk would leave a free chain pointing past the file's block count.
  // Taken all from the free chain, the blocks keep the chain's order on
  // disk; appended, they lie beyond the header's count; either way a dead
  // writer leaves a consistent (at worst shorter) free chain.
  const bool from_free_chain = FreeChainHolds(needed - reused);
  {
    // Give back what was taken; the old value stays as it was.
    TUndoOnThrow give_back([&] {
      std::vector<std::int32_t> taken(blocks.begin() + static_cast<std::ptrdiff_t>(reused),
                                      blocks.end());
      FreeBlocksOf(taken);
    });
    while (blocks.size() < needed)
      blocks.push_back((from_free_chain ? AllocateBlock() : AppendBlock())->Number());
  }
  for (std::size_t k = 0; k < needed; ++k) {
    TBlockPin b = GetBlock(blocks[k]);
    const std::size_t offset = k * ds;
    const std::size_t piece = std::min(ds, value.size() - offset);
    b->Clear();
    b->previous = k == 0 ? 0 : blocks[k - 1];
    b->next = k + 1 < needed ? blocks[k + 1] : 0;
    b->used = static_cast<std::uint16_t>(piece);
    b->stamp = stamp;
    b->total_length = k == 0 ? static_cast<std::int32_t>(value.size()) : 0;
    std::copy_n(value.data() + offset, piece, b->Data());
    b->SetDirty(true);
  }
  // Blocks changed even when none was allocated or freed: the header's
  // counter must move so that other handles drop their cached copies.
  header_changed_ = true;
  // The old value was longer: the rest of its chain goes to the free chain.
  if (old.size() > needed)
    FreeBlocksOf(
        std::vector<std::int32_t>(old.begin() + static_cast<std::ptrdiff_t>(needed), old.end()));
  return blocks.front();
}

std::int32_t TBlobFile::RewriteValue(TBlobRef old, std::int32_t stamp,
                                     std::span<const std::uint8_t> value) {
  const std::int32_t first = value.empty() ? 0 : StoreValue(TBlobRef{}, stamp, value);
  if (old.first_block != 0) DeferFreeChain(old);
  return first;
}

void TBlobFile::FreeChain(TBlobRef ref, bool tolerant) {
  if (ref.first_block == 0) return;
  if (!tolerant) {
    FreeBlocksOf(WalkChain(ref, kErrBlobBuffersCorrupt, false, nullptr));
    return;
  }
  // Tolerant: follow the links as far as they stay valid, claiming each
  // block for the value by overwriting its stamp.
  const std::int32_t count = BlockCount();
  std::vector<std::int32_t> blocks;
  std::unordered_set<std::int32_t> seen;
  for (std::int32_t n = ref.first_block; n > 0 && n <= count && seen.insert(n).second;) {
    TBlockPin b = GetBlock(n);
    if (b->Pins() > 1) Raise(kErrBlobBuffersCorrupt);
    b->stamp = ref.stamp;
    blocks.push_back(n);
    n = b->next;
  }
  FreeBlocksOf(blocks);
}

std::int32_t TBlobFile::FitBlockCountToFile() {
  DropBlocks();
  const std::int64_t header = static_cast<std::int64_t>(kBlobHeaderSize);
  const std::int64_t size = std::max(Size(), header);
  const std::int64_t whole = std::min<std::int64_t>((size - header) / block_size_, kMaxBlockNumber);
  const std::int32_t counted = BlockCount();
  if (size != BlockOffset(static_cast<std::int32_t>(whole) + 1))
    SetSize(BlockOffset(static_cast<std::int32_t>(whole) + 1));
  if (whole == counted) return 0;
  SetHeader32(blob_header::kNextBlock, static_cast<std::int32_t>(whole) + 1);
  if (FreeHead() > whole) SetHeader32(blob_header::kFreeHead, 0);
  header_changed_ = true;
  return static_cast<std::int32_t>(whole) - counted;
}

std::int32_t TBlobFile::RebuildFreeChain(const std::vector<bool>& owned) {
  SetHeader32(blob_header::kFreeHead, 0);
  header_changed_ = true;
  std::int32_t freed = 0;
  for (std::int32_t n = BlockCount(); n >= 1; --n) {
    if (static_cast<std::size_t>(n) < owned.size() && owned[static_cast<std::size_t>(n)]) continue;
    TBlockPin b = GetBlock(n);
    FreeBlock(*b);
    ++freed;
  }
  return freed;
}

void TBlobFile::DeferFreeChain(TBlobRef ref) {
  if (ref.first_block != 0) deferred_.push_back(ref);
}

void TBlobFile::ApplyDeferredFrees() {
  std::vector<TBlobRef> queued;
  queued.swap(deferred_);
  // A chain queued twice (or overlapping one freed here) must not be freed
  // again: its blocks already sit on the free chain.
  std::unordered_set<std::int32_t> freed;
  for (const TBlobRef& ref : queued) {
    std::vector<std::int32_t> blocks;
    try {
      blocks = WalkChain(ref, kErrBlobBuffersCorrupt, false, nullptr);
    } catch (const EKuraEngineError&) {
      continue;  // no longer the chain it was: its blocks are not ours to free
    }
    if (std::any_of(blocks.begin(), blocks.end(),
                    [&](std::int32_t n) { return freed.count(n) != 0; }))
      continue;
    freed.insert(blocks.begin(), blocks.end());
    FreeBlocksOf(blocks);
  }
}

}  // namespace kura
