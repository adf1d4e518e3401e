#include "db/storage/data/record.h"

#include <algorithm>

namespace kura {

void TRecord::Reset(std::size_t size) {
  const std::size_t capacity = (size + 63) / 64 * 64;
  if (buffer_.size() < capacity) buffer_.resize(capacity);
  if (work_.size() < capacity) work_.resize(capacity);
  std::fill(buffer_.begin(), buffer_.end(), 0);
  size_ = size;
  ResetState();
}

}  // namespace kura
