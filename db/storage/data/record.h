// TRecord: one cached record of a data file, and TRecordStack, the free list
// of spare TRecord objects a data file recycles instead of freeing.
//
// A record is pinned while a caller holds it (TRecordPin releases on scope
// exit, so a throw never leaks a pin); only unpinned records are written back
// or reused. Dirty records are written back in runs by TDataFile.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "db/storage/buffer_list.h"
#include "db/storage/coding.h"
#include "db/storage/data/data_format.h"

namespace kura {

class TDataFile;

class TRecord : public TCachedBuffer<TRecord, TDataFile> {
 public:
  explicit TRecord(TDataFile* file) : TCachedBuffer(file) {}

  // Makes the buffer `size` bytes of zeros (grown in 64-byte steps).
  void Reset(std::size_t size);

  std::uint8_t* Data() { return buffer_.data(); }
  const std::uint8_t* Data() const { return buffer_.data(); }
  std::size_t Size() const { return size_; }
  // A second buffer of the record's size for callers' work copies.
  std::uint8_t* WorkBuffer() { return work_.data(); }

  bool Deleted() const { return buffer_[record::kDeleted] != 0; }
  std::int32_t Link() const {
    return static_cast<std::int32_t>(DecodeFixed32(&buffer_[record::kLink]));
  }
  std::int32_t AutoInc() const {
    return static_cast<std::int32_t>(DecodeFixed32(&buffer_[record::kAutoInc]));
  }
  void SetDeleted(bool d) { buffer_[record::kDeleted] = d ? 1 : 0; }
  void SetLink(std::int32_t v) {
    EncodeFixed32(&buffer_[record::kLink], static_cast<std::uint32_t>(v));
  }
  void SetAutoInc(std::int32_t v) {
    EncodeFixed32(&buffer_[record::kAutoInc], static_cast<std::uint32_t>(v));
  }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t size_ = 0;
  std::vector<std::uint8_t> work_;
};

// Up to 64 spare records.
using TRecordStack = TSpareStack<TRecord, TDataFile, 64>;
using TRecordPin = TBufferPin<TRecord>;

}  // namespace kura
