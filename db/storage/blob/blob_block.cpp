#include "db/storage/blob/blob_block.h"

#include <algorithm>

#include "db/storage/blob/blob_format.h"
#include "db/storage/coding.h"

namespace kura {

void TBlock::Reset(std::size_t data_size) {
  data_.assign(data_size, 0);
  previous = next = 0;
  used = 0;
  stamp = total_length = 0;
  ResetState();
}

void TBlock::Clear() {
  std::fill(data_.begin(), data_.end(), 0);
  previous = next = 0;
  used = 0;
  stamp = total_length = 0;
}

void TBlock::Encode(std::uint8_t* out) const {
  EncodeFixed32(out + block_header::kPrevious, static_cast<std::uint32_t>(previous));
  EncodeFixed32(out + block_header::kNext, static_cast<std::uint32_t>(next));
  EncodeFixed16(out + block_header::kUsed, used);
  EncodeFixed32(out + block_header::kStamp, static_cast<std::uint32_t>(stamp));
  EncodeFixed32(out + block_header::kTotalLength, static_cast<std::uint32_t>(total_length));
  std::copy(data_.begin(), data_.end(), out + kBlockHeaderSize);
}

void TBlock::Decode(const std::uint8_t* in) {
  previous = static_cast<std::int32_t>(DecodeFixed32(in + block_header::kPrevious));
  next = static_cast<std::int32_t>(DecodeFixed32(in + block_header::kNext));
  used = DecodeFixed16(in + block_header::kUsed);
  stamp = static_cast<std::int32_t>(DecodeFixed32(in + block_header::kStamp));
  total_length = static_cast<std::int32_t>(DecodeFixed32(in + block_header::kTotalLength));
  std::copy_n(in + kBlockHeaderSize, data_.size(), data_.begin());
}

}  // namespace kura
