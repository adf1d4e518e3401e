// TBlobFile: one open BLOB file of a table (layout in blob_format.h). It
// keeps the 512-byte header image, hands out pinned blocks from a bounded
// cache with read-ahead, allocates and frees blocks through the free chain,
// stores, loads and frees whole value chains, and writes dirty blocks back in
// runs of consecutive blocks.
//
// Block cache: a list of TBlock sorted by block number (binary search) and a
// most-recently-used list (head = most recent). Its capacity is
// min(BLOB memory / block size, BLOB count) from the settings (at least one
// read-ahead's worth); it grows by 64 only when every cached block is dirty
// or pinned. Reads bring in up to 16384 bytes of consecutive blocks.
//
// Invariants:
//  1. Every cached block is in both lists exactly once; the sorted list is
//     strictly increasing; every number is 1..next block - 1.
//  2. Blocks are kept decoded and unscrambled; scrambling happens at transfer.
//  3. A chain walk never takes more steps than the file has blocks, and never
//     visits a block twice: a corrupt link or a cycle is an error, not a hang.
//  4. Every number read from disk (links, lengths, counts) is range-checked
//     before it is used.
//
// Crash safety. A value is rewritten copy-on-write by RewriteValue: the new
// value goes into freshly allocated blocks and the old chain is only queued
// (DeferFreeChain); the table writes the BLOB file first, then the data and
// index files, and only then applies the queued frees (ApplyDeferredFrees) and
// writes the BLOB file again. Whatever moment a writer dies at, a record on
// disk refers either to its old, intact chain or to its new, complete one;
// the worst outcome is blocks that no chain and no free list holds, which
// RebuildFreeChain (table_repair.h) takes back.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "db/storage/blob/blob_block.h"
#include "db/storage/blob/blob_format.h"
#include "db/storage/buffer_list.h"
#include "db/storage/file/file_handler.h"
#include "db/storage/storage_settings.h"

namespace kura {

// A value's reference as held in a record.
struct TBlobRef {
  std::int32_t first_block = 0;
  std::int32_t stamp = 0;
};

class TBlobFile : public TFileHandler, public TCachedFileState {
 public:
  TBlobFile(std::string table_name, bool in_memory, const TStorageSettings& settings);
  ~TBlobFile() override;

  // ---- open, create, header ----
  // The block size (0 means 512) and encryption come from the data header;
  // set them before Open or CreateBlobFile. 9498 for a block size that
  // cannot hold a block header and data.
  void SetFormat(int block_size, bool encrypted);
  // Opens and reads the header (12035 for a version other than 5); any
  // failure closes the file again.
  void Open(const std::string& file_name, bool exclusive, bool temporary = false) override;
  void Close() override;
  // Creates the file (exclusive) and writes a fresh header: version 5, free
  // head 0, next block 1.
  void CreateBlobFile(const std::string& file_name, bool temporary = false);
  void ReadHeader();
  // Re-reads the header; when the change counter on disk differs, adopts it,
  // drops every cached block and returns true.
  bool ReReadHeaderIfChanged();
  // Writes the header when forced or changed (counter + 1).
  void WriteHeader(bool force);
  // Counts a change in memory without writing (writes deferred).
  void MarkChanged();
  // Truncates to the header; free head 0, next block 1; header changed.
  void Empty(bool flush_os);
  // Header checks: version 5 (12035); free head 0 or a block number, and the
  // file long enough for every counted block (8961).
  void Verify();

  // ---- blocks ----
  // Block n, pinned. n = next block number appends a new zeroed block.
  // `needed` is how many consecutive blocks the caller will still read
  // (read-ahead is min(blocks per read, needed, next block - n)).
  TBlockPin GetBlock(std::int32_t n, std::int32_t needed = 1);
  // A cleared block: the free-chain head, else a new one at the end.
  TBlockPin AllocateBlock();
  // A new zeroed block at the end of the file.
  TBlockPin AppendBlock();
  // Pushes the block on the free chain.
  void FreeBlock(TBlock& block);
  // Writes dirty unpinned blocks in runs; returns whether anything was written.
  bool FlushBlocks();
  // Forgets every unpinned cached block (dirty ones are lost).
  void DropBlocks();
  // Shrinks the cache back to its bound.
  void TrimCache();

  // ---- value chains (blob_chain.cpp) ----
  // Loads the value of `ref`: 8708 when a block carries another stamp, 8963
  // for a bad link, a cycle or a block pinned by someone else, 8711 when the
  // chain ends before the value's length.
  std::vector<std::uint8_t> LoadValue(TBlobRef ref);
  // Stores `value` with `stamp` into the chain starting at `ref` (reusing its
  // blocks, taking more from the free chain when it holds all that are
  // missing and from the end of the file otherwise, freeing the surplus,
  // most recently freed first taken next) and returns the new first
  // block (0 for an empty value, whose old chain is freed). The old chain is
  // checked whole before anything changes: its first block must carry
  // ref.stamp (8708), the rest ref.stamp too, with valid links (8963).
  std::int32_t StoreValue(TBlobRef ref, std::int32_t stamp, std::span<const std::uint8_t> value);
  // Stores `value` into new blocks and queues the old chain of `old` for a
  // deferred free; the crash-safe rewrite used for records.
  std::int32_t RewriteValue(TBlobRef old, std::int32_t stamp, std::span<const std::uint8_t> value);
  // Frees the chain of `ref`: every block must carry ref.stamp (8963) unless
  // `tolerant`, which overwrites the stamp instead, and none may be pinned.
  void FreeChain(TBlobRef ref, bool tolerant = false);
  // Blocks of the chain of `ref`, checked like LoadValue (plus used-bytes and
  // back links), without copying the data.
  std::vector<std::int32_t> ChainBlocks(TBlobRef ref);
  // The free chain from the head, capped and checked (8963 on a bad link or
  // a cycle).
  std::vector<std::int32_t> FreeBlocks();

  // Puts every block for which `owned` is false (indexed by block number)
  // on a new free chain, lowest block first; returns the free block count.
  // Used by repair: whatever the old free chain held is replaced.
  std::int32_t RebuildFreeChain(const std::vector<bool>& owned);

  // Makes the header count the whole blocks the file holds (repair): blocks
  // it counts beyond the end are gone, blocks written past its count are
  // adopted (repair keeps those that sound chains use and frees the rest);
  // a partial block at the end is cut off and a free head beyond the new
  // count cleared. Returns the new count minus the old one.
  std::int32_t FitBlockCountToFile();

  // Chains to free once the records that referred to them are on disk.
  void DeferFreeChain(TBlobRef ref);
  // Frees the queued chains; a queued chain that no longer checks out is left
  // alone (its blocks belong to no one; repair reclaims them).
  void ApplyDeferredFrees();
  bool HasDeferredFrees() const { return !deferred_.empty(); }
  void DiscardDeferredFrees() { deferred_.clear(); }

  // ---- locks (lock_map.h); false when the range is held elsewhere ----
  // Locks a random free read slot (retrying with new slots); 0 on failure.
  std::int32_t ReadLock();
  bool ReleaseReadLock(std::int32_t slot);
  bool WriteLock();
  bool ReleaseWriteLock();

  // ---- header queries ----
  int BlockSize() const { return block_size_; }
  int BlockDataSize() const { return block_size_ - static_cast<int>(kBlockHeaderSize); }
  bool Encrypted() const { return encrypted_; }
  std::int32_t ChangeCounter() const;
  std::int32_t FreeHead() const;
  std::int32_t NextBlockNumber() const;
  std::int32_t BlockCount() const { return NextBlockNumber() - 1; }
  bool HeaderChanged() const { return header_changed_; }
  std::array<std::uint8_t, kBlobHeaderSize> HeaderCopy() const { return header_; }

  // ---- counters (the table state and the others: TCachedFileState) ----
  // Flushes look at every cached block; nothing to note.
  void BufferDirtied(std::int32_t) {}
  std::size_t CachedCount() const { return cache_.sorted.size(); }
  std::size_t CacheCapacity() const { return capacity_; }
  int BlocksPerRead() const { return blocks_per_read_; }

 private:
  void InitHeader();
  void SizeCache();
  void SetHeader32(std::size_t off, std::int32_t v);
  std::int32_t Header32(std::size_t off) const;
  std::int64_t BlockOffset(std::int32_t n) const;
  TBlock* TakeBuffer(std::int32_t n);
  // Gives the least recently used clean, unpinned block outside the last
  // read back to the spare stack; false when no block qualifies.
  bool TakeUnusedLru();
  void InsertPending();
  void ReadBlocks(std::int32_t n, std::int32_t needed);
  void CheckLength(std::size_t length) const;
  // Walks the chain of `ref` by its length, checking links (8963), cycles
  // (8963), stamps (`stamp_error`) and, when `strict`, used bytes and back
  // links (8963). Copies the data into `out` when given.
  std::vector<std::int32_t> WalkChain(TBlobRef ref, std::uint16_t stamp_error, bool strict,
                                      std::vector<std::uint8_t>* out);
  void FreeBlocksOf(const std::vector<std::int32_t>& blocks);
  // Whether the free chain holds at least `count` blocks (8963 when broken).
  bool FreeChainHolds(std::size_t count);

  TStorageSettings settings_;
  std::array<std::uint8_t, kBlobHeaderSize> header_{};
  int block_size_ = kDefaultBlobBlockSize;
  bool encrypted_ = false;
  bool header_changed_ = false;
  int blocks_per_read_ = 1;
  std::vector<std::uint8_t> io_buffer_;

  TBufferList<TBlock> cache_;
  std::size_t capacity_ = 1;
  TBlockStack stack_;
  // Blocks of the run being read (excluded from write-back and reuse).
  std::int32_t read_first_ = 0;
  std::int32_t read_last_ = -1;

  std::vector<TBlobRef> deferred_;
};

}  // namespace kura
