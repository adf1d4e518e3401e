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

#include "db/storage/coding.h"
#include "db/storage/data_format.h"

namespace kura {

class TDataFile;

class TRecord {
 public:
  explicit TRecord(TDataFile* file) : file_(file) {}

  // Makes the buffer `size` bytes of zeros (grown in 64-byte steps).
  void Reset(std::size_t size);

  TDataFile* File() const { return file_; }
  std::int32_t Number() const { return number_; }
  void SetNumber(std::int32_t n) { number_ = n; }
  bool Dirty() const { return dirty_; }
  void SetDirty(bool d) { dirty_ = d; }
  int Pins() const { return pins_; }
  void Pin() { ++pins_; }
  void Unpin() {
    if (pins_ > 0) --pins_;
  }

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

  // Links of the most-recently-used list (owned by the data file's cache).
  TRecord* mru_prev = nullptr;
  TRecord* mru_next = nullptr;

 private:
  TDataFile* file_;
  bool dirty_ = false;
  int pins_ = 0;
  std::int32_t number_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::size_t size_ = 0;
  std::vector<std::uint8_t> work_;
};

// Up to 64 spare records; a released record beyond that is destroyed.
class TRecordStack {
 public:
  static constexpr std::size_t kCapacity = 64;
  std::unique_ptr<TRecord> Pop(TDataFile* file);
  void Push(std::unique_ptr<TRecord> r);
  std::size_t Count() const { return spare_.size(); }

 private:
  std::vector<std::unique_ptr<TRecord>> spare_;
};

// Holds one pin on a record and releases it on scope exit.
class TRecordPin {
 public:
  TRecordPin() = default;
  explicit TRecordPin(TRecord* r) : record_(r) {}
  ~TRecordPin() { Release(); }
  TRecordPin(TRecordPin&& o) noexcept : record_(o.record_) { o.record_ = nullptr; }
  TRecordPin& operator=(TRecordPin&& o) noexcept {
    if (this != &o) {
      Release();
      record_ = o.record_;
      o.record_ = nullptr;
    }
    return *this;
  }
  TRecordPin(const TRecordPin&) = delete;
  TRecordPin& operator=(const TRecordPin&) = delete;

  TRecord* get() const { return record_; }
  TRecord* operator->() const { return record_; }
  TRecord& operator*() const { return *record_; }
  explicit operator bool() const { return record_ != nullptr; }
  void Release() {
    if (record_) record_->Unpin();
    record_ = nullptr;
  }

 private:
  TRecord* record_ = nullptr;
};

}  // namespace kura
