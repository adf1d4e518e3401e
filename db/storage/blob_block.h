// TBlock: one cached block of a BLOB file, and TBlockStack, the free list of
// spare TBlock objects a BLOB file recycles instead of freeing.
//
// A block is kept decoded and unscrambled in memory: the five header fields
// and the data area (block size - 18 bytes). It is pinned while a caller
// holds it (TBlockPin releases on scope exit, so a throw never leaks a pin);
// only unpinned blocks are written back or reused.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kura {

class TBlobFile;

class TBlock {
 public:
  explicit TBlock(TBlobFile* file) : file_(file) {}

  // Zeroes the header fields and makes the data area `data_size` zero bytes.
  void Reset(std::size_t data_size);
  // Clears header and data of a block being handed out again (number kept).
  void Clear();

  TBlobFile* File() const { return file_; }
  std::int32_t Number() const { return number_; }
  void SetNumber(std::int32_t n) { number_ = n; }
  bool Dirty() const { return dirty_; }
  void SetDirty(bool d) { dirty_ = d; }
  int Pins() const { return pins_; }
  void Pin() { ++pins_; }
  void Unpin() {
    if (pins_ > 0) --pins_;
  }

  // Block header fields.
  std::int32_t previous = 0;
  std::int32_t next = 0;
  std::uint16_t used = 0;
  std::int32_t stamp = 0;
  std::int32_t total_length = 0;

  std::uint8_t* Data() { return data_.data(); }
  const std::uint8_t* Data() const { return data_.data(); }
  std::size_t DataSize() const { return data_.size(); }

  // Disk image (header + data, unscrambled) of DataSize() + 18 bytes.
  void Encode(std::uint8_t* out) const;
  void Decode(const std::uint8_t* in);

  // Links of the most-recently-used list (owned by the BLOB file's cache).
  TBlock* mru_prev = nullptr;
  TBlock* mru_next = nullptr;

 private:
  TBlobFile* file_;
  bool dirty_ = false;
  int pins_ = 0;
  std::int32_t number_ = 0;
  std::vector<std::uint8_t> data_;
};

// Up to 32 spare blocks; a released block beyond that is destroyed.
class TBlockStack {
 public:
  static constexpr std::size_t kCapacity = 32;
  std::unique_ptr<TBlock> Pop(TBlobFile* file);
  void Push(std::unique_ptr<TBlock> b);
  std::size_t Count() const { return spare_.size(); }

 private:
  std::vector<std::unique_ptr<TBlock>> spare_;
};

// Holds one pin on a block and releases it on scope exit.
class TBlockPin {
 public:
  TBlockPin() = default;
  explicit TBlockPin(TBlock* b) : block_(b) {}
  ~TBlockPin() { Release(); }
  TBlockPin(TBlockPin&& o) noexcept : block_(o.block_) { o.block_ = nullptr; }
  TBlockPin& operator=(TBlockPin&& o) noexcept {
    if (this != &o) {
      Release();
      block_ = o.block_;
      o.block_ = nullptr;
    }
    return *this;
  }
  TBlockPin(const TBlockPin&) = delete;
  TBlockPin& operator=(const TBlockPin&) = delete;

  TBlock* get() const { return block_; }
  TBlock* operator->() const { return block_; }
  TBlock& operator*() const { return *block_; }
  explicit operator bool() const { return block_ != nullptr; }
  void Release() {
    if (block_) block_->Unpin();
    block_ = nullptr;
  }

 private:
  TBlock* block_ = nullptr;
};

}  // namespace kura
