#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "db/storage/coding.h"
#include "db/storage/index/key_codec.h"
#include "db/storage/index/key_collation.h"

namespace kura {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A record with the 9-byte header and one slot per field, laid out in order.
struct RecordBuilder {
  explicit RecordBuilder(const KeyLayout& layout)
      : bytes(static_cast<size_t>(RecordBytesNeeded(layout)), 0) {}
  RecordBuilder& Id(std::int32_t id) {
    EncodeFixed32(bytes.data() + 5, static_cast<std::uint32_t>(id));
    return *this;
  }
  RecordBuilder& Int32(int offset, std::int32_t v) {
    bytes[offset] = 1;
    EncodeFixed32(bytes.data() + offset + 1, static_cast<std::uint32_t>(v));
    return *this;
  }
  RecordBuilder& Double(int offset, double v) {
    bytes[offset] = 1;
    EncodeDouble(bytes.data() + offset + 1, v);
    return *this;
  }
  RecordBuilder& Text(int offset, const std::string& s) {
    bytes[offset] = 1;
    std::memcpy(bytes.data() + offset + 1, s.data(), s.size());
    bytes[offset + 1 + s.size()] = 0;
    return *this;
  }
  Bytes bytes;
};

KeyLayout OneField(std::uint8_t type, int storage, bool unique = true) {
  KeyLayout layout;
  layout.unique = unique;
  layout.fields.push_back({type, 0, storage, 9, false});
  return layout;
}

int ByteOrder(const Bytes& a, const Bytes& b) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return (c > 0) - (c < 0);
}

TEST(KeyEncoding, IntegersAndFloatsSortNumericallyAsBytes) {
  const std::vector<std::int32_t> ints = {INT32_MIN, -100000, -2,  -1,    0,        1,
                                          2,         255,     256, 70000, INT32_MAX};
  const KeyLayout i32 = OneField(kFieldInteger, 4);
  std::vector<Bytes> keys;
  for (std::int32_t v : ints)
    keys.push_back(BuildKey(i32, RecordBuilder(i32).Int32(9, v).bytes, nullptr));
  for (size_t i = 1; i < keys.size(); ++i)
    EXPECT_LT(ByteOrder(keys[i - 1], keys[i]), 0) << ints[i];
  EXPECT_EQ(DecodeKeyInt32(keys[0].data() + 1), INT32_MIN);

  const std::vector<double> doubles = {-std::numeric_limits<double>::infinity(),
                                       -1e300,
                                       -2.5,
                                       -1.0,
                                       -1e-300,
                                       0.0,
                                       1e-300,
                                       0.5,
                                       1.0,
                                       3.75,
                                       1e300};
  const KeyLayout f64 = OneField(kFieldFloat, 8);
  keys.clear();
  for (double v : doubles)
    keys.push_back(BuildKey(f64, RecordBuilder(f64).Double(9, v).bytes, nullptr));
  for (size_t i = 1; i < keys.size(); ++i)
    EXPECT_LT(ByteOrder(keys[i - 1], keys[i]), 0) << doubles[i];
  // Negative zero and zero are one key.
  EXPECT_EQ(BuildKey(f64, RecordBuilder(f64).Double(9, -0.0).bytes, nullptr),
            BuildKey(f64, RecordBuilder(f64).Double(9, 0.0).bytes, nullptr));

  std::uint8_t a[8], b[8];
  EncodeKeyInt64(a, -1);
  EncodeKeyInt64(b, 0);
  EXPECT_LT(std::memcmp(a, b, 8), 0);
  EncodeKeyInt16(a, -32768);
  EncodeKeyInt16(b, 32767);
  EXPECT_LT(std::memcmp(a, b, 2), 0);
}

TEST(KeyEncoding, BcdBecomesTenThousandthsInNumericOrder) {
  auto bcd = [](bool negative, int scale, const std::string& digits) {
    Bytes v(34, 0);
    v[0] = 32;
    v[1] = static_cast<std::uint8_t>((negative ? 0x80 : 0) | scale);
    // Right-align the digits in the 32-digit field.
    const std::string all = std::string(32 - digits.size(), '0') + digits;
    for (int i = 0; i < 32; ++i) {
      const int d = all[static_cast<size_t>(i)] - '0';
      v[static_cast<size_t>(2 + i / 2)] |= static_cast<std::uint8_t>(i % 2 == 0 ? d << 4 : d);
    }
    return v;
  };
  EXPECT_EQ(BcdToUnits(bcd(false, 2, "12345")), 1234500);  // 123.45
  EXPECT_EQ(BcdToUnits(bcd(true, 6, "1234567")), -12345);  // -1.234567, cut to 4 places
  EXPECT_EQ(BcdToUnits(bcd(false, 0, "7")), 70000);
  Bytes zero_precision = bcd(false, 0, "7");
  zero_precision[0] = 0;
  EXPECT_EQ(BcdToUnits(zero_precision), 0);
  EXPECT_EQ(BcdToUnits(bcd(false, 0, std::string(32, '9'))), INT64_MAX);  // saturates
}

TEST(KeyEncoding, StringSegmentsNullsDescendingAndSuffix) {
  KeyLayout layout = OneField(kFieldString, 21);
  ASSERT_EQ(layout.KeySize(), 22);
  Bytes key = BuildKey(layout, RecordBuilder(layout).Text(9, "ab").bytes, nullptr);
  EXPECT_EQ(key[0], 1);
  EXPECT_EQ(key[1], 'a');
  EXPECT_EQ(key[2], 'b');
  EXPECT_TRUE(std::all_of(key.begin() + 3, key.end(), [](std::uint8_t b) { return b == 0; }));

  // NULL: has-value byte 0 and zeros, whatever the slot holds.
  RecordBuilder null_record(layout);
  null_record.bytes[10] = 'x';
  key = BuildKey(layout, null_record.bytes, nullptr);
  EXPECT_TRUE(std::all_of(key.begin(), key.end(), [](std::uint8_t b) { return b == 0; }));

  // Per-field descending complements the first storage-size bytes.
  layout.fields[0].descending = true;
  key = BuildKey(layout, RecordBuilder(layout).Text(9, "ab").bytes, nullptr);
  EXPECT_EQ(key[0], 0xFE);
  EXPECT_EQ(key[1], static_cast<std::uint8_t>(~'a'));
  EXPECT_EQ(key[20], 0xFF);
  EXPECT_EQ(key[21], 0x00);
  const Bytes abc = BuildKey(layout, RecordBuilder(layout).Text(9, "abc").bytes, nullptr);
  EXPECT_GT(ByteOrder(key, abc), 0);  // "ab" after "abc" when descending
  // A descending index or a locale leaves the bytes alone.
  layout.descending = true;
  EXPECT_EQ(BuildKey(layout, RecordBuilder(layout).Text(9, "ab").bytes, nullptr)[1], 'a');

  // A non-unique index appends the identifier, big-endian with the sign inverted.
  KeyLayout multi = OneField(kFieldInteger, 4, /*unique=*/false);
  key = BuildKey(multi, RecordBuilder(multi).Int32(9, 5).Id(0x01020304).bytes, nullptr);
  ASSERT_EQ(key.size(), 9u);
  EXPECT_EQ(Bytes(key.begin() + 5, key.end()), (Bytes{0x81, 0x02, 0x03, 0x04}));
}

TEST(KeyEncoding, AutoIncrementFieldReadsTheRecordHeader) {
  KeyLayout layout;
  layout.fields.push_back({kFieldInteger, kSubtypeAutoInc, 4, 5, false});
  const Bytes key = BuildKey(layout, RecordBuilder(layout).Id(-1).bytes, nullptr);
  EXPECT_EQ(key, (Bytes{1, 0x7F, 0xFF, 0xFF, 0xFF}));
}

TEST(KeyEncoding, CaseInsensitiveKeysAreUpperCased) {
  KeyLayout layout = OneField(kFieldString, 11);
  layout.case_insensitive = true;
  KeyCaseMapper mapper(0);
  const Bytes lower = BuildKey(layout, RecordBuilder(layout).Text(9, "go-ban").bytes, &mapper);
  const Bytes upper = BuildKey(layout, RecordBuilder(layout).Text(9, "GO-BAN").bytes, &mapper);
  EXPECT_EQ(lower, upper);
  EXPECT_EQ(lower[1], 'G');
  // Full-width Latin letters in CP932 are upper-cased too: "ａ" 82 81 -> "Ａ" 82 60.
  EXPECT_EQ(mapper.Upper("\x82\x81", 10), "\x82\x60");
  // Never cuts a double-byte character in half.
  EXPECT_EQ(mapper.Upper("a\x82\x81", 2), "A");
}

TEST(KeyComparison, LocaleComparesStringsByCollationAndReversesOnce) {
  KeyLayout layout = OneField(kFieldString, 11);
  layout.locale = 1033;
  const Bytes lower = BuildKey(layout, RecordBuilder(layout).Text(9, "apple").bytes, nullptr);
  const Bytes upper = BuildKey(layout, RecordBuilder(layout).Text(9, "Banana").bytes, nullptr);
  EXPECT_GT(ByteOrder(lower, upper), 0);  // bytes put "B" first
  const int k = layout.KeySize();
  EXPECT_LT(KeyComparator(layout).Compare(lower.data(), upper.data(), k), 0);
  // Case is not ignored: "a" and "A" differ.
  const Bytes a = BuildKey(layout, RecordBuilder(layout).Text(9, "a").bytes, nullptr);
  const Bytes big_a = BuildKey(layout, RecordBuilder(layout).Text(9, "A").bytes, nullptr);
  EXPECT_NE(KeyComparator(layout).Compare(a.data(), big_a.data(), k), 0);

  layout.fields[0].descending = true;
  EXPECT_GT(KeyComparator(layout).Compare(lower.data(), upper.data(), k), 0);
  layout.descending = true;  // both descending: still reversed once
  EXPECT_GT(KeyComparator(layout).Compare(lower.data(), upper.data(), k), 0);

  // A NULL string sorts first under the locale as well.
  KeyLayout plain = OneField(kFieldString, 11);
  plain.locale = 1033;
  const Bytes null_key(static_cast<size_t>(k), 0);
  EXPECT_LT(KeyComparator(plain).Compare(null_key.data(), lower.data(), k), 0);
}

TEST(KeyComparison, PartialKeysCompareTheirLengthOnly) {
  KeyLayout layout;
  layout.fields.push_back({kFieldInteger, 0, 4, 9, false});
  layout.fields.push_back({kFieldInteger, 0, 4, 14, false});
  const Bytes k1 = BuildKey(layout, RecordBuilder(layout).Int32(9, 7).Int32(14, 1).bytes, nullptr);
  const Bytes k2 = BuildKey(layout, RecordBuilder(layout).Int32(9, 7).Int32(14, 2).bytes, nullptr);
  KeyComparator bytes_order;
  EXPECT_EQ(bytes_order.Compare(k1.data(), k2.data(), 5), 0);
  EXPECT_LT(bytes_order.Compare(k1.data(), k2.data(), 10), 0);
  layout.locale = 1041;
  KeyComparator locale_order(layout);
  EXPECT_EQ(locale_order.Compare(k1.data(), k2.data(), 5), 0);
  EXPECT_LT(locale_order.Compare(k1.data(), k2.data(), 10), 0);
  EXPECT_GT(KeyComparator(true).Compare(k1.data(), k2.data(), 10), 0);
}

}  // namespace
}  // namespace kura
