#include "db/storage/blob/blob_file.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "db/common/undo_on_throw.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/lock_map.h"
#include "db/storage/file/scramble.h"

namespace kura {
namespace {

constexpr int kMruProbe = 4;
constexpr int kMinBlockSize = 64;
constexpr int kMaxBlockSize = 65535;

}  // namespace

TBlobFile::TBlobFile(std::string table_name, bool in_memory, const TStorageSettings& settings)
    : TFileHandler(std::move(table_name), in_memory), settings_(settings) {
  SetFormat(0, false);
}

TBlobFile::~TBlobFile() {
  // Blocks hold raw pointers to this file; drop them before the handle.
  cache_.Clear();
}

// ---- header ----

std::int32_t TBlobFile::Header32(std::size_t off) const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[off]));
}
void TBlobFile::SetHeader32(std::size_t off, std::int32_t v) {
  EncodeFixed32(&header_[off], static_cast<std::uint32_t>(v));
}
std::int32_t TBlobFile::ChangeCounter() const {
  return Header32(blob_header::kChangeCounter);
}
std::int32_t TBlobFile::FreeHead() const {
  return Header32(blob_header::kFreeHead);
}
std::int32_t TBlobFile::NextBlockNumber() const {
  return Header32(blob_header::kNextBlock);
}

void TBlobFile::SetFormat(int block_size, bool encrypted) {
  if (block_size == 0) block_size = kDefaultBlobBlockSize;
  if (block_size < kMinBlockSize || block_size > kMaxBlockSize) Raise(kErrBlobFields);
  block_size_ = block_size;
  encrypted_ = encrypted;
  blocks_per_read_ = std::max(1, kBlobReadBytes / block_size_);
  io_buffer_.assign(static_cast<std::size_t>(block_size_) * blocks_per_read_, 0);
  SizeCache();
}

void TBlobFile::SizeCache() {
  const std::size_t by_memory =
      static_cast<std::size_t>(settings_.blob_buffer_memory / block_size_);
  const std::size_t bound =
      std::min(by_memory, static_cast<std::size_t>(std::max(0, settings_.blob_buffer_count)));
  capacity_ = std::max<std::size_t>({bound, 1, static_cast<std::size_t>(blocks_per_read_)});
}

void TBlobFile::InitHeader() {
  header_.fill(0);
  header_[blob_header::kVersion] = kBlobFileVersion;
  SetHeader32(blob_header::kFreeHead, 0);
  SetHeader32(blob_header::kNextBlock, 1);
}

void TBlobFile::Open(const std::string& file_name, bool exclusive, bool temporary) {
  TFileHandler::Open(file_name, exclusive, temporary);
  TUndoOnThrow close([this] { Close(); });
  ReadHeader();
  written_ = false;
}

void TBlobFile::Close() {
  DropBlocks();
  deferred_.clear();
  header_changed_ = false;
  TFileHandler::Close();
}

void TBlobFile::CreateBlobFile(const std::string& file_name, bool temporary) {
  TFileHandler::Create(file_name, temporary);
  DropBlocks();
  deferred_.clear();
  InitHeader();
  header_changed_ = true;
  WriteHeader(true);
}

void TBlobFile::ReadHeader() {
  std::array<std::uint8_t, kBlobHeaderSize> h;
  ReadFull(0, h.data(), h.size());
  if (encrypted_) Scramble(h.data(), h.size(), kRecordKey);
  if (h[blob_header::kVersion] != kBlobFileVersion) Raise(kErrVersion);
  const auto next = static_cast<std::int32_t>(DecodeFixed32(&h[blob_header::kNextBlock]));
  const auto head = static_cast<std::int32_t>(DecodeFixed32(&h[blob_header::kFreeHead]));
  if (next < 1 || next > kMaxBlockNumber + 1 || head < 0 || head >= next) Raise(kErrHeaderCorrupt);
  header_ = h;
  header_[blob_header::kHeaderChanged] = 0;
  header_changed_ = false;
}

// Only the counter's four bytes are read unless it moved.
bool TBlobFile::ReReadHeaderIfChanged() {
  std::uint8_t counter[4];
  ReadHeadFull(blob_header::kChangeCounter, counter, sizeof counter);
  if (encrypted_)
    Scramble(counter, sizeof counter, ScrambleKeyAt(kRecordKey, blob_header::kChangeCounter));
  if (DecodeFixed32(counter) == DecodeFixed32(&header_[blob_header::kChangeCounter])) return false;
  ReadHeader();
  DropBlocks();
  return true;
}

void TBlobFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return;
  EncodeFixed32(&header_[blob_header::kChangeCounter],
                DecodeFixed32(&header_[blob_header::kChangeCounter]) + 1u);
  std::array<std::uint8_t, kBlobHeaderSize> h = header_;
  h[blob_header::kHeaderChanged] = header_changed_ ? 1 : 0;
  if (encrypted_) Scramble(h.data(), h.size(), kRecordKey);
  Write(0, h.data(), h.size());
  written_ = true;
  header_changed_ = false;
}

void TBlobFile::MarkChanged() {
  EncodeFixed32(&header_[blob_header::kChangeCounter],
                DecodeFixed32(&header_[blob_header::kChangeCounter]) + 1u);
  header_changed_ = true;
}

void TBlobFile::Empty(bool flush_os) {
  DropBlocks();
  deferred_.clear();
  SetSize(static_cast<std::int64_t>(kBlobHeaderSize));
  if (flush_os) Flush();
  SetHeader32(blob_header::kFreeHead, 0);
  SetHeader32(blob_header::kNextBlock, 1);
  header_changed_ = true;
  written_ = true;
}

void TBlobFile::Verify() {
  if (header_[blob_header::kVersion] != kBlobFileVersion) Raise(kErrVersion);
  const std::int32_t next = NextBlockNumber();
  const std::int32_t head = FreeHead();
  if (next < 1 || head < 0 || head >= next) Raise(kErrHeaderCorrupt);
  // Every counted block must be on disk, unless it was appended in memory and
  // is still waiting in the cache to be written.
  const bool pending_writes = std::any_of(cache_.sorted.begin(), cache_.sorted.end(),
                                          [](const auto& b) { return b->Dirty(); });
  if (!pending_writes && Size() < BlockOffset(next)) Raise(kErrHeaderCorrupt);
}

std::int64_t TBlobFile::BlockOffset(std::int32_t n) const {
  return static_cast<std::int64_t>(kBlobHeaderSize) +
         static_cast<std::int64_t>(n - 1) * block_size_;
}

// ---- block cache ----

void TBlobFile::InsertPending() {
  if (!cache_.InsertPending()) Raise(kErrBlobBuffersCorrupt);
}

bool TBlobFile::TakeUnusedLru() {
  for (TBlock* b = cache_.tail; b != nullptr; b = b->mru_prev) {
    if (b->Dirty() || b->Pins() > 0) continue;
    if (b->Number() >= read_first_ && b->Number() <= read_last_) continue;
    const std::size_t i = cache_.LowerBound(b->Number());
    if (i >= cache_.sorted.size() || cache_.sorted[i] != b) Raise(kErrBlobBuffersCorrupt);
    cache_.GiveBack(i, stack_);  // the spare stack may free it: b is gone
    return true;
  }
  return false;
}

// A fresh zeroed block numbered n at the head of the MRU list, the cache's
// pending one until the caller hands it to InsertPending.
TBlock* TBlobFile::TakeBuffer(std::int32_t n) {
  if (cache_.sorted.size() >= capacity_ && !TakeUnusedLru()) {
    if (!table_lock_held_ && !defer_writes_) FlushBlocks();
    if (!TakeUnusedLru()) capacity_ += 64;
  }
  return cache_.TakeFresh(stack_, this, static_cast<std::size_t>(BlockDataSize()), n);
}

void TBlobFile::ReadBlocks(std::int32_t n, std::int32_t needed) {
  const std::int32_t count =
      std::max<std::int32_t>(1, std::min({blocks_per_read_, needed, NextBlockNumber() - n}));
  const std::size_t bs = static_cast<std::size_t>(block_size_);
  const std::size_t bytes = static_cast<std::size_t>(count) * bs;
  const std::size_t got = Read(BlockOffset(n), io_buffer_.data(), bytes);
  ++block_reads_;
  if (got < bytes) {
    // Blocks past the end of the file are the ones this handle appended and
    // still holds in the cache, dirty or pinned (a transaction defers their
    // writes); those are not read. Any other missing block is a read error.
    if (!MayReadShort(Exclusive()) &&
        !cache_.AllDirtyOrPinned(n + static_cast<std::int32_t>(got / bs), n + count))
      Raise(kErrReading);
    std::fill(io_buffer_.begin() + static_cast<std::ptrdiff_t>(got),
              io_buffer_.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
  }
  read_first_ = n;
  read_last_ = n + count - 1;
  try {
    for (std::int32_t i = 0; i < count; ++i) {
      std::uint8_t* src = io_buffer_.data() + static_cast<std::size_t>(i) * bs;
      if (encrypted_) {
        Scramble(src, kBlockHeaderSize, kRecordKey);
        Scramble(src + kBlockHeaderSize, bs - kBlockHeaderSize, kRecordKey);
      }
      if (TBlock* cached = cache_.Find(n + i)) {
        if (!cached->Dirty() && cached->Pins() == 0) cached->Decode(src);
        continue;
      }
      TBlock* b = TakeBuffer(n + i);
      b->Decode(src);
      InsertPending();
    }
  } catch (...) {
    read_first_ = 0;
    read_last_ = -1;
    throw;
  }
  read_first_ = 0;
  read_last_ = -1;
}

TBlockPin TBlobFile::GetBlock(std::int32_t n, std::int32_t needed) {
  const std::int32_t next = NextBlockNumber();
  if (n <= 0 || n > next) Raise(kErrBlobBuffersCorrupt);
  if (n == next) {
    if (n > kMaxBlockNumber || BlockOffset(n + 1) > kMaxBlobFileBytes) Raise(kErrTableFull);
    TBlock* b = TakeBuffer(n);
    b->Pin();
    InsertPending();
    SetHeader32(blob_header::kNextBlock, next + 1);
    header_changed_ = true;
    return TBlockPin(b);
  }
  if (TBlockPin b = PinCached(cache_, n, kMruProbe)) return b;
  ++misses_;
  ReadBlocks(n, needed);
  TBlock* b = cache_.Find(n);
  if (b == nullptr || b->Number() != n) Raise(kErrBlobBuffersCorrupt);
  cache_.Touch(b);
  b->Pin();
  return TBlockPin(b);
}

TBlockPin TBlobFile::AppendBlock() {
  TBlockPin b = GetBlock(NextBlockNumber());
  b->SetDirty(true);
  return b;
}

TBlockPin TBlobFile::AllocateBlock() {
  const std::int32_t head = FreeHead();
  if (head == 0) return AppendBlock();
  if (head < 0 || head >= NextBlockNumber()) Raise(kErrBlobBuffersCorrupt);
  TBlockPin b = GetBlock(head);
  if (b->Pins() > 1) Raise(kErrBlobBuffersCorrupt);
  const std::int32_t new_head = b->next;
  // A corrupt free link must never hand out a block twice or leave the file.
  if (new_head < 0 || new_head >= NextBlockNumber() || new_head == head)
    Raise(kErrBlobBuffersCorrupt);
  SetHeader32(blob_header::kFreeHead, new_head);
  header_changed_ = true;
  b->Clear();
  b->SetDirty(true);
  return b;
}

void TBlobFile::FreeBlock(TBlock& block) {
  // Stamps handed out are never 0, so a freed block matches no value: a
  // reader with the old stamp gets 8708 and the chain cannot be freed twice.
  block.stamp = 0;
  block.next = FreeHead();
  block.SetDirty(true);
  SetHeader32(blob_header::kFreeHead, block.Number());
  header_changed_ = true;
}

bool TBlobFile::FlushBlocks() {
  const std::size_t bs = static_cast<std::size_t>(block_size_);
  auto writable = [&](const TBlock& b) {
    return b.Dirty() && b.Pins() == 0 && !(b.Number() >= read_first_ && b.Number() <= read_last_);
  };
  std::vector<std::uint8_t> run;
  return cache_.ForEachRun(writable, [&](std::size_t first, std::size_t count) {
    run.resize(count * bs);
    for (std::size_t k = 0; k < count; ++k) {
      std::uint8_t* dst = run.data() + k * bs;
      cache_.sorted[first + k]->Encode(dst);
      if (encrypted_) {
        Scramble(dst, kBlockHeaderSize, kRecordKey);
        Scramble(dst + kBlockHeaderSize, bs - kBlockHeaderSize, kRecordKey);
      }
    }
    Write(BlockOffset(cache_.sorted[first]->Number()), run.data(), run.size());
    for (std::size_t k = 0; k < count; ++k)
      cache_.sorted[first + k]->SetDirty(false);
    written_ = true;
    ++writes_;
  });
}

void TBlobFile::DropBlocks() {
  cache_.DropUnpinned(stack_);
}

void TBlobFile::TrimCache() {
  SizeCache();
  while (cache_.sorted.size() > capacity_ && TakeUnusedLru()) {
  }
}

// ---- locks ----

std::int32_t TBlobFile::ReadLock() {
  static thread_local std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<std::int32_t> slots(1, kReadSlotCount);
  for (int attempt = 0;; ++attempt) {
    const std::int32_t slot = slots(random);
    if (LockRange(ReadSlotOffset(slot), 1)) return slot;
    if (attempt >= settings_.low_level_retries) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.low_level_sleep_ms));
  }
}

bool TBlobFile::ReleaseReadLock(std::int32_t slot) {
  return slot >= 1 && slot <= kReadSlotCount && UnlockRange(ReadSlotOffset(slot), 1);
}

bool TBlobFile::WriteLock() {
  return LockRangeRetrying(kWriteLockOffset, kWriteLockLength, settings_.low_level_retries,
                           settings_.low_level_sleep_ms);
}

bool TBlobFile::ReleaseWriteLock() {
  return UnlockRange(kWriteLockOffset, kWriteLockLength);
}

}  // namespace kura
