#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/page.h"

namespace kura {
namespace {

using Image = std::array<std::uint8_t, kIndexPageSize>;
using Bytes = std::vector<std::uint8_t>;

Bytes Key(int size, const std::string& text, std::uint32_t suffix = 0, bool with_suffix = false) {
  Bytes k(static_cast<size_t>(size), 0);
  k[0] = 1;
  std::memcpy(k.data() + 1, text.data(), text.size());
  if (with_suffix) {
    for (int i = 0; i < 4; ++i)
      k[static_cast<size_t>(size - 4 + i)] = static_cast<std::uint8_t>(suffix >> (24 - 8 * i));
  }
  return k;
}

TPage Leaf(const PageFormat& f) {
  TPage page;
  page.Reset(7, 1, f, kPageLeaf);
  return page;
}

TEST(PageFormat, CapacitiesFollowTheKeySize) {
  PageFormat f{20, true, kCompressNone, true};
  EXPECT_EQ(f.LeafCapacity(), 170);
  EXPECT_EQ(f.BranchCapacity(), 4083 / 28);
  f.with_counts = false;
  EXPECT_EQ(f.BranchCapacity(), 4083 / 24);
}

TEST(PageEncoding, HeaderAndUncompressedEntriesAreByteExact) {
  TPage page = Leaf({5, true, kCompressNone, true});
  page.set_prev(3);
  page.set_next(9);
  const Bytes k = {1, 0x80, 0, 0, 2};
  page.Insert(1, k.data(), 42, 0);
  Image img;
  page.Encode(img);
  EXPECT_EQ(img[0], kPageLeaf);
  EXPECT_EQ(DecodeFixed16(&img[1]), 1);
  EXPECT_EQ(DecodeFixed32(&img[3]), 3u);
  EXPECT_EQ(DecodeFixed32(&img[7]), 9u);
  EXPECT_EQ(DecodeFixed16(&img[11]), 0);  // encoded size only on compressed leaves
  EXPECT_EQ(Bytes(img.begin() + 13, img.begin() + 18), k);
  EXPECT_EQ(DecodeFixed32(&img[18]), 42u);
  for (size_t i = 22; i < img.size(); ++i)
    ASSERT_EQ(img[i], 0) << i;

  TPage branch;
  branch.Reset(2, 0, {5, true, kCompressNone, true}, kPageRoot);
  branch.Insert(1, k.data(), 7, 300);
  branch.Encode(img);
  EXPECT_EQ(DecodeFixed32(&img[18]), 7u);
  EXPECT_EQ(DecodeFixed32(&img[22]), 300u);
  TPage no_counts;
  no_counts.Reset(2, 0, {5, true, kCompressNone, false}, kPageRoot);
  no_counts.Insert(1, k.data(), 7, 300);
  no_counts.Insert(2, k.data(), 8, 0);
  no_counts.Encode(img);
  // Without counts the next entry's key follows the child number at once.
  EXPECT_EQ(Bytes(img.begin() + 22, img.begin() + 27), k);
  EXPECT_EQ(DecodeFixed32(&img[27]), 8u);
}

TEST(PageEncoding, TrailingCompressionDropsZeroPadding) {
  // A two-character string in a unique 21-byte key: 18 zero bytes dropped.
  TPage page = Leaf({21, true, kCompressTrailing, true});
  const Bytes k = Key(21, "go");
  page.Insert(1, k.data(), 5, 0);
  EXPECT_EQ(page.TrailingCount(1), 18);
  EXPECT_EQ(page.EncodedSize(), 21 - 18 + 5);
  Image img;
  page.Encode(img);
  EXPECT_EQ(DecodeFixed16(&img[11]), 8);
  EXPECT_EQ(img[13], 18);
  EXPECT_EQ(Bytes(img.begin() + 14, img.begin() + 17), (Bytes{1, 'g', 'o'}));
  EXPECT_EQ(DecodeFixed32(&img[17]), 5u);
}

TEST(PageEncoding, FullCompressionSharesPrefixesAndKeepsTheSuffix) {
  // Non-unique 12-byte keys: 8 bytes of segment, 4 of identifier.
  const PageFormat f{12, false, kCompressFull, true};
  TPage page = Leaf(f);
  const Bytes a = Key(12, "abc", 0x80000001u, true);
  const Bytes b = Key(12, "abd", 0x80000002u, true);
  const Bytes c = Key(12, "abd", 0x80000003u, true);
  page.Insert(1, a.data(), 1, 0);
  page.Insert(2, c.data(), 3, 0);
  page.Insert(2, b.data(), 2, 0);  // recounts its successor
  EXPECT_EQ(page.PrefixCount(1), 0);
  EXPECT_EQ(page.TrailingCount(1), 4);  // zeros in front of the suffix
  EXPECT_EQ(page.PrefixCount(2), 3);
  EXPECT_EQ(page.TrailingCount(2), 4);
  EXPECT_EQ(page.PrefixCount(3), 11);   // shares everything but the last byte
  EXPECT_EQ(page.TrailingCount(3), 0);  // K - p < 5: no trailing run
  Image img;
  page.Encode(img);
  TPage back;
  ASSERT_TRUE(back.Decode(7, 1, f, img));
  ASSERT_EQ(back.count(), 3);
  EXPECT_EQ(Bytes(back.Key(2), back.Key(2) + 12), b);
  EXPECT_EQ(Bytes(back.Key(3), back.Key(3) + 12), c);
  EXPECT_EQ(back.Pointer(3), 3);
  EXPECT_EQ(back.EncodedSize(), page.EncodedSize());

  page.Remove(2);  // c now follows a directly
  EXPECT_EQ(page.PrefixCount(2), 3);
  page.Remove(1);
  EXPECT_EQ(page.PrefixCount(1), 0);
  EXPECT_EQ(page.EncodedSize(), page.EntrySize(1));
}

TEST(PageEncoding, EveryCompressionRoundTrips) {
  for (std::uint8_t c = 0; c <= 3; ++c) {
    for (bool unique : {true, false}) {
      const PageFormat f{16, unique, c, true};
      TPage page = Leaf(f);
      for (int i = 0; i < 60; ++i) {
        Bytes k = Key(16, std::string(static_cast<size_t>(i % 7), 'x') + char('a' + i / 7),
                      static_cast<std::uint32_t>(i), !unique);
        if (unique) k[14] = static_cast<std::uint8_t>(i);
        page.Insert(page.count() + 1, k.data(), i + 1, 0);
      }
      // Keep the entries in order for the test's own sake: a sorted copy.
      Image img;
      page.Encode(img);
      TPage back;
      ASSERT_TRUE(back.Decode(7, 1, f, img)) << int(c) << unique;
      ASSERT_EQ(back.count(), 60);
      for (int i = 1; i <= 60; ++i) {
        ASSERT_EQ(std::memcmp(back.Key(i), page.Key(i), 16), 0) << int(c) << " " << i;
        ASSERT_EQ(back.Pointer(i), i);
      }
      Image again;
      back.Encode(again);
      EXPECT_EQ(img, again);
    }
  }
}

TEST(PageDecoding, RefusesMalformedImages) {
  const PageFormat f{21, true, kCompressFull, true};
  TPage page = Leaf(f);
  const Bytes a = Key(21, "go");
  const Bytes b = Key(21, "gp");
  page.Insert(1, a.data(), 1, 0);
  page.Insert(2, b.data(), 2, 0);
  Image good;
  page.Encode(good);
  TPage out;
  ASSERT_TRUE(out.Decode(7, 1, f, good));

  Image bad = good;
  bad[13] = 3;  // the first entry claims a shared prefix
  EXPECT_FALSE(out.Decode(7, 1, f, bad));
  bad = good;
  bad[14] = 30;  // trailing run longer than the key
  EXPECT_FALSE(out.Decode(7, 1, f, bad));
  bad = good;
  EncodeFixed16(&bad[11], 99);  // encoded size disagrees
  EXPECT_FALSE(out.Decode(7, 1, f, bad));
  bad = good;
  EncodeFixed16(&bad[1], 4000);  // more entries than bytes
  EXPECT_FALSE(out.Decode(7, 1, f, bad));
  bad = good;
  bad[0] = 9;
  EXPECT_FALSE(out.Decode(7, 1, f, bad));

  const PageFormat plain{21, true, kCompressNone, true};
  Image too_many{};
  too_many[0] = kPageLeaf;
  EncodeFixed16(&too_many[1], 171);  // 4083 / 25 = 163 fit
  EXPECT_FALSE(out.Decode(7, 1, plain, too_many));
}

TEST(PageEncoding, EntriesThatOutgrowThePageAreRefusedNotWritten) {
  // Uncompressed keys of 259 bytes fill 15 entries (3945 bytes); the 16th
  // would take 4208 bytes, compressed ones as soon as they stop sharing.
  for (const PageFormat f :
       {PageFormat{259, true, kCompressNone, true}, PageFormat{259, true, kCompressFull, true}}) {
    TPage page = Leaf(f);
    for (int i = 0; !page.Overflows(); ++i) {
      const Bytes k = Key(259, std::string(250, static_cast<char>('A' + i)));
      page.Insert(i + 1, k.data(), i + 1, 0);
    }
    EXPECT_FALSE(page.Fits());
    // The image is the last bytes of its allocation: a write past it shows.
    std::vector<std::uint8_t> heap(kIndexPageSize, 0xee);
    std::span<std::uint8_t, kIndexPageSize> out(heap.data(), kIndexPageSize);
    try {
      page.Encode(out);
      ADD_FAILURE() << "an oversized page was encoded";
    } catch (const EKuraEngineError& e) {
      EXPECT_EQ(e.Code(), kErrPageBuffersCorrupt);
    }
    page.Remove(page.count());
    EXPECT_TRUE(page.Fits());
    page.Encode(out);
    TPage back;
    ASSERT_TRUE(back.Decode(7, 1, f, out));
    EXPECT_EQ(back.count(), page.count());
  }
}

// A page keeps its last image and patches later changes into it; the same
// random changes applied to a page that always encodes afresh must give the
// same bytes after every step, for every layout (leaves of each compression,
// branches with and without counts).
TEST(PageEncoding, KeptImageFollowsEveryChangeLikeAFreshEncoding) {
  std::mt19937 rng(20261209);
  for (std::uint8_t type : {kPageLeaf, kPageBranch}) {
    for (std::uint8_t compression :
         {kCompressNone, kCompressDuplicate, kCompressTrailing, kCompressFull}) {
      for (bool with_counts : {true, false}) {
        SCOPED_TRACE(testing::Message()
                     << int(type) << "/" << int(compression) << "/" << with_counts);
        const PageFormat f{12, false, compression, with_counts};
        TPage kept, fresh;
        kept.Reset(9, 1, f, type);
        fresh.Reset(9, 1, f, type);
        auto key = [&] {
          Bytes k(12, 0);
          k[0] = 1;
          for (int i = 1; i < 1 + static_cast<int>(rng() % 7); ++i)
            k[static_cast<size_t>(i)] = static_cast<std::uint8_t>('a' + rng() % 3);
          for (int i = 8; i < 12; ++i)
            k[static_cast<size_t>(i)] = static_cast<std::uint8_t>(rng());
          return k;
        };
        for (int step = 0; step < 1500; ++step) {
          const int count = kept.count();
          const unsigned op = rng() % 8;
          const int i = count ? 1 + static_cast<int>(rng() % static_cast<unsigned>(count)) : 0;
          auto both = [&](auto change) {
            change(kept);
            change(fresh);
          };
          if ((op <= 2 || count == 0) && count < 200) {
            const Bytes k = key();
            const int at = 1 + static_cast<int>(rng() % static_cast<unsigned>(count + 1));
            const auto p = static_cast<std::int32_t>(rng()), c = static_cast<std::int32_t>(rng());
            both([&](TPage& pg) { pg.Insert(at, k.data(), p, c); });
          } else if (op == 3 && count > 0) {
            both([&](TPage& pg) { pg.Remove(i); });
          } else if (op == 4 && count > 0) {
            const auto p = static_cast<std::int32_t>(rng());
            both([&](TPage& pg) { pg.SetPointer(i, p); });
          } else if (op == 5 && count > 0) {
            const auto c = static_cast<std::int32_t>(rng());
            both([&](TPage& pg) { pg.SetSubtreeCount(i, c); });
          } else if (op == 6 && count > 0) {
            const Bytes k = key();
            both([&](TPage& pg) { pg.SetKey(i, k.data()); });
          } else {
            const auto p = static_cast<std::int32_t>(rng() % 100),
                       n = static_cast<std::int32_t>(rng() % 100);
            both([&](TPage& pg) {
              pg.set_prev(p);
              pg.set_next(n);
            });
          }
          if (kept.Overflows() || !kept.Fits()) {
            both([&](TPage& pg) { pg.Remove(pg.count()); });
            continue;
          }
          if (rng() % 3 != 0) continue;  // several changes between writes
          Image a{}, b{};
          kept.Encode(a);
          fresh.ForgetImage();
          fresh.Encode(b);
          ASSERT_EQ(a, b) << "step " << step;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kura
