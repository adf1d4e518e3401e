// Byte encoding of everything the engine writes to disk: little-endian
// integers and floats, and length-prefixed strings of fixed capacity. Nobody
// copies a struct to disk; every on-disk field goes through these helpers.
//
// Readers take (p, limit) or a span and never read past it: ByteReader fails
// by returning false / throwing through its owner's error helper, so a
// truncated or corrupt file cannot make the engine read out of bounds.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace kura {

inline void EncodeFixed16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void EncodeFixed32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void EncodeFixed64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t DecodeFixed16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t DecodeFixed32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline std::uint64_t DecodeFixed64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline void EncodeDouble(std::uint8_t* p, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  EncodeFixed64(p, bits);
}
inline double DecodeDouble(const std::uint8_t* p) {
  const std::uint64_t bits = DecodeFixed64(p);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// A length-prefixed string of fixed capacity: one length byte, then `capacity`
// bytes of text (the unused rest zeroed). Occupies capacity + 1 bytes.
inline void EncodeShortString(std::uint8_t* p, std::size_t capacity, std::string_view s) {
  const std::size_t n = s.size() < capacity ? s.size() : capacity;
  p[0] = static_cast<std::uint8_t>(n);
  std::memcpy(p + 1, s.data(), n);
  std::memset(p + 1 + n, 0, capacity - n);
}
// Reads a length-prefixed string; a length byte above the capacity is clamped
// to it (the caller's verification decides whether that is corruption).
inline std::string DecodeShortString(const std::uint8_t* p, std::size_t capacity) {
  std::size_t n = p[0];
  if (n > capacity) n = capacity;
  return std::string(reinterpret_cast<const char*>(p + 1), n);
}

// Bounded sequential reader over a byte span. Every read checks the bounds;
// after a failed read ok() is false and further reads return zeros.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return bytes_.size() - offset_; }

  bool Skip(std::size_t n) { return Take(n) != nullptr; }
  std::uint8_t U8() {
    const std::uint8_t* p = Take(1);
    return p ? p[0] : 0;
  }
  std::uint16_t U16() {
    const std::uint8_t* p = Take(2);
    return p ? DecodeFixed16(p) : 0;
  }
  std::uint32_t U32() {
    const std::uint8_t* p = Take(4);
    return p ? DecodeFixed32(p) : 0;
  }
  std::uint64_t U64() {
    const std::uint8_t* p = Take(8);
    return p ? DecodeFixed64(p) : 0;
  }
  std::string ShortString(std::size_t capacity) {
    const std::uint8_t* p = Take(capacity + 1);
    return p ? DecodeShortString(p, capacity) : std::string();
  }
  std::span<const std::uint8_t> Bytes(std::size_t n) {
    const std::uint8_t* p = Take(n);
    return p ? std::span<const std::uint8_t>(p, n) : std::span<const std::uint8_t>();
  }

 private:
  const std::uint8_t* Take(std::size_t n) {
    if (!ok_ || n > bytes_.size() - offset_) {
      ok_ = false;
      return nullptr;
    }
    const std::uint8_t* p = bytes_.data() + offset_;
    offset_ += n;
    return p;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
  bool ok_ = true;
};

}  // namespace kura
