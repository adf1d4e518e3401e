#include "db/storage/index/key_codec.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "db/storage/coding.h"
#include "db/storage/index/key_collation.h"

namespace kura {

namespace {

void PutBigEndian(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    p[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

// Encodes the value of one non-null field at `value` into `out` (the segment
// without its has-value byte).
void EncodeValue(const KeyField& f, const std::uint8_t* value, const KeyLayout& layout,
                 const KeyCaseMapper* mapper, std::uint8_t* out) {
  const int n = f.SegmentSize() - 1;
  switch (f.type) {
    case kFieldString: {
      std::memset(out, 0, static_cast<std::size_t>(n));
      const auto* end = static_cast<const std::uint8_t*>(std::memchr(value, 0, n - 1));
      const std::size_t len = end ? static_cast<std::size_t>(end - value) : n - 1;
      std::string_view text(reinterpret_cast<const char*>(value), len);
      if (layout.case_insensitive && mapper) {
        const std::string upper = mapper->Upper(text, static_cast<std::size_t>(n - 1));
        std::memcpy(out, upper.data(), upper.size());
      } else {
        std::memcpy(out, text.data(), text.size());
      }
      return;
    }
    case kFieldDate:
    case kFieldInteger:
    case kFieldTime:
      EncodeKeyInt32(out, static_cast<std::int32_t>(DecodeFixed32(value)));
      return;
    case kFieldSmallInt:
      EncodeKeyInt16(out, static_cast<std::int16_t>(DecodeFixed16(value)));
      return;
    case kFieldBoolean:
    case kFieldWord:
      EncodeKeyUInt16(out, DecodeFixed16(value));
      return;
    case kFieldFloat:
    case kFieldTimestamp:
      EncodeKeyDouble(out, DecodeDouble(value));
      return;
    case kFieldBcd:
      EncodeKeyInt64(out, BcdToUnits({value, static_cast<std::size_t>(f.storage_size)}));
      return;
    case kFieldLargeInt:
      EncodeKeyInt64(out, static_cast<std::int64_t>(DecodeFixed64(value)));
      return;
    default:
      std::memcpy(out, value, static_cast<std::size_t>(n));
      return;
  }
}

}  // namespace

int KeyLayout::SegmentBytes() const {
  int total = 0;
  for (const KeyField& f : fields)
    total += f.SegmentSize();
  return total;
}

void EncodeKeyInt16(std::uint8_t* p, std::int16_t v) {
  PutBigEndian(p, static_cast<std::uint16_t>(v) ^ 0x8000u, 2);
}
void EncodeKeyInt32(std::uint8_t* p, std::int32_t v) {
  PutBigEndian(p, static_cast<std::uint32_t>(v) ^ 0x80000000u, 4);
}
void EncodeKeyInt64(std::uint8_t* p, std::int64_t v) {
  PutBigEndian(p, static_cast<std::uint64_t>(v) ^ 0x8000000000000000ull, 8);
}
void EncodeKeyUInt16(std::uint8_t* p, std::uint16_t v) {
  PutBigEndian(p, v, 2);
}
void EncodeKeyDouble(std::uint8_t* p, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits = v >= 0 ? bits | 0x8000000000000000ull : ~bits;
  PutBigEndian(p, bits, 8);
}
std::int32_t DecodeKeyInt32(const std::uint8_t* p) {
  const std::uint32_t v =
      (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  return static_cast<std::int32_t>(v ^ 0x80000000u);
}

std::int64_t BcdToUnits(std::span<const std::uint8_t> bcd) {
  if (bcd.size() < 2) return 0;
  const int precision = std::min<int>(bcd[0], 64);
  if (precision == 0) return 0;
  const bool negative = (bcd[1] & 0x80) != 0;
  const int scale = std::min<int>(bcd[1] & 0x3F, precision);
  const std::size_t digit_bytes = bcd.size() - 2;
  // Whole units of 1/10000: the digits up to 4 places behind the point.
  const int used = precision - scale + std::min(scale, 4);
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
  std::uint64_t v = 0;
  bool saturated = false;
  for (int i = 0; i < used; ++i) {
    const std::size_t byte = 2 + static_cast<std::size_t>(i / 2);
    const int digit = byte - 2 < digit_bytes ? (i % 2 == 0 ? bcd[byte] >> 4 : bcd[byte] & 0x0F) : 0;
    if (v > (kLimit - static_cast<std::uint64_t>(std::min(digit, 9))) / 10) {
      saturated = true;
      break;
    }
    v = v * 10 + static_cast<std::uint64_t>(std::min(digit, 9));
  }
  for (int i = std::min(scale, 4); i < 4 && !saturated; ++i) {
    if (v > kLimit / 10)
      saturated = true;
    else
      v *= 10;
  }
  if (saturated) v = kLimit;
  return negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
}

int RecordBytesNeeded(const KeyLayout& layout) {
  int need = kRecordIdentifierOffset + kKeySuffixSize;
  for (const KeyField& f : layout.fields) {
    need = std::max(need, f.IsAutoIncrement() ? kRecordIdentifierOffset + 4
                                              : f.record_offset + 1 + f.storage_size);
  }
  return need;
}

void BuildKey(const KeyLayout& layout, std::span<const std::uint8_t> record,
              const KeyCaseMapper* mapper, std::uint8_t* key) {
  std::uint8_t* out = key;
  const bool complement_allowed = layout.locale == 0 && !layout.descending;
  for (const KeyField& f : layout.fields) {
    const int size = f.SegmentSize();
    std::memset(out, 0, static_cast<std::size_t>(size));
    const std::uint8_t* value;
    bool has_value;
    if (f.IsAutoIncrement()) {
      value = record.data() + kRecordIdentifierOffset;
      has_value = true;
    } else {
      value = record.data() + f.record_offset + 1;
      has_value = record[static_cast<std::size_t>(f.record_offset)] != 0;
    }
    if (has_value) {
      out[0] = 1;
      EncodeValue(f, value, layout, mapper, out + 1);
    }
    if (f.descending && complement_allowed) {
      const int flip = f.type == kFieldString ? f.storage_size : size;
      for (int i = 0; i < flip; ++i)
        out[i] = static_cast<std::uint8_t>(~out[i]);
    }
    out += size;
  }
  if (!layout.unique) {
    EncodeKeyInt32(
        out, static_cast<std::int32_t>(DecodeFixed32(record.data() + kRecordIdentifierOffset)));
  }
}

std::vector<std::uint8_t> BuildKey(const KeyLayout& layout, std::span<const std::uint8_t> record,
                                   const KeyCaseMapper* mapper) {
  std::vector<std::uint8_t> key(static_cast<std::size_t>(layout.KeySize()));
  BuildKey(layout, record, mapper, key.data());
  return key;
}

}  // namespace kura
