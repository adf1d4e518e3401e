#include "db/storage/record.h"

#include <algorithm>

namespace kura {

void TRecord::Reset(std::size_t size) {
  const std::size_t capacity = (size + 63) / 64 * 64;
  if (buffer_.size() < capacity) buffer_.resize(capacity);
  if (work_.size() < capacity) work_.resize(capacity);
  std::fill(buffer_.begin(), buffer_.end(), 0);
  size_ = size;
  dirty_ = false;
  pins_ = 0;
  number_ = 0;
  mru_prev = mru_next = nullptr;
}

std::unique_ptr<TRecord> TRecordStack::Pop(TDataFile* file) {
  if (spare_.empty()) return std::make_unique<TRecord>(file);
  std::unique_ptr<TRecord> r = std::move(spare_.back());
  spare_.pop_back();
  return r;
}

void TRecordStack::Push(std::unique_ptr<TRecord> r) {
  if (spare_.size() < kCapacity) spare_.push_back(std::move(r));
}

}  // namespace kura
