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

#include "db/storage/buffer_list.h"

namespace kura {

class TBlobFile;

class TBlock : public TCachedBuffer<TBlock, TBlobFile> {
 public:
  explicit TBlock(TBlobFile* file) : TCachedBuffer(file) {}

  // Zeroes the header fields and makes the data area `data_size` zero bytes.
  void Reset(std::size_t data_size);
  // Clears header and data of a block being handed out again (number kept).
  void Clear();

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

 private:
  std::vector<std::uint8_t> data_;
};

// Up to 32 spare blocks.
using TBlockStack = TSpareStack<TBlock, TBlobFile, 32>;
using TBlockPin = TBufferPin<TBlock>;

}  // namespace kura
