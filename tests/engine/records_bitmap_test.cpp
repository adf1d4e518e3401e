// TRecordsBitmap against a std::vector<bool> model under random operations,
// and the spare-bitmap pool.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "db/engine/expression/records_bitmap_pool.h"

namespace kura {
namespace {

using Model = std::vector<bool>;  // index n-1 is record n

void Resize(Model& m, std::int32_t n) {
  m.resize(static_cast<std::size_t>(n), false);
}

std::int32_t ModelFind(const Model& m, std::int32_t from, std::int32_t k, bool forward) {
  const auto size = static_cast<std::int32_t>(m.size());
  for (std::int32_t n = forward ? from + 1 : from - 1; n >= 1 && n <= size; n += forward ? 1 : -1)
    if (m[static_cast<std::size_t>(n - 1)] && --k == 0) return n;
  return 0;
}

void ExpectSame(const TRecordsBitmap& b, const Model& m, std::mt19937& rng) {
  const auto size = static_cast<std::int32_t>(m.size());
  ASSERT_EQ(b.Size(), size);
  ASSERT_EQ(b.WordCount(), static_cast<std::size_t>((size + 31) / 32));
  ASSERT_EQ(b.AllocatedBytes() % TRecordsBitmap::kGrowBytes, 0u);
  std::int32_t count = 0;
  for (std::int32_t n = 1; n <= size; ++n) {
    ASSERT_EQ(b.Test(n), m[static_cast<std::size_t>(n - 1)]) << n;
    if (rng() % 8 == 0) {
      ASSERT_EQ(b.CountBelow(n), count) << n;
    }
    count += m[static_cast<std::size_t>(n - 1)];
  }
  ASSERT_FALSE(b.Test(0));
  ASSERT_FALSE(b.Test(size + 1));
  ASSERT_EQ(b.Count(), count);
  ASSERT_EQ(b.CountBelow(size + 1), count);
  for (int i = 0; i < 20; ++i) {
    const std::int32_t from = static_cast<std::int32_t>(rng() % static_cast<unsigned>(size + 2));
    const std::int32_t k = 1 + static_cast<std::int32_t>(rng() % 40);
    ASSERT_EQ(b.FindNext(from, k, true), ModelFind(m, from, k, true)) << from << " " << k;
    ASSERT_EQ(b.FindNext(from, k, false), ModelFind(m, from, k, false)) << from << " " << k;
  }
}

TEST(RecordsBitmap, RandomOperationsMatchModel) {
  std::mt19937 rng(7);
  TRecordsBitmap a, b;
  Model ma, mb;
  for (int step = 0; step < 4000; ++step) {
    auto pick = [&](std::int32_t size) {
      return 1 + static_cast<std::int32_t>(rng() % static_cast<unsigned>(std::max(size, 1)));
    };
    const bool on_a = rng() % 2;
    TRecordsBitmap& x = on_a ? a : b;
    Model& mx = on_a ? ma : mb;
    const TRecordsBitmap& y = on_a ? b : a;
    const Model& my = on_a ? mb : ma;
    const auto size = static_cast<std::int32_t>(mx.size());
    switch (rng() % 14) {
      case 0: {  // sizes across word and growth-step boundaries
        static const std::int32_t kSizes[] = {0, 1, 31, 32, 33, 64, 65, 2047, 2048, 2049, 5000};
        const std::int32_t n =
            kSizes[rng() % std::size(kSizes)] + static_cast<std::int32_t>(rng() % 3);
        x.SetSize(n);
        Resize(mx, n);
        break;
      }
      case 1:
      case 2:
      case 3: {
        const std::int32_t n = pick(size + 40);  // may grow N
        x.Set(n);
        if (n > size) Resize(mx, n);
        mx[static_cast<std::size_t>(n - 1)] = true;
        break;
      }
      case 4: {
        const std::int32_t n = pick(size);
        x.Clear(n);
        if (n <= size) mx[static_cast<std::size_t>(n - 1)] = false;
        break;
      }
      case 5:
        x.SetAll();
        mx.assign(mx.size(), true);
        break;
      case 6:
        if (rng() % 4 == 0) {
          x.ClearAll();
          mx.assign(mx.size(), false);
        }
        break;
      case 7:
        x.Not();
        mx.flip();
        break;
      case 8:
        x.And(y);
        for (std::size_t i = 0; i < mx.size(); ++i)
          mx[i] = mx[i] && i < my.size() && my[i];
        break;
      case 9:
        x.Or(y);
        for (std::size_t i = 0; i < mx.size() && i < my.size(); ++i)
          mx[i] = mx[i] || my[i];
        break;
      case 10:
        x.AndNot(y);
        for (std::size_t i = 0; i < mx.size() && i < my.size(); ++i)
          mx[i] = mx[i] && !my[i];
        break;
      case 12:  // appends and removals at the end keep a set-all bitmap a bare run
        if (rng() % 2) {
          x.Set(size + 1);
          Resize(mx, size + 1);
          mx[static_cast<std::size_t>(size)] = true;
        } else if (size > 0) {
          x.Clear(size);
          mx[static_cast<std::size_t>(size - 1)] = false;
        }
        break;
      default:
        if (rng() % 4 == 0) {
          x.CopyFrom(y);
          mx = my;
        }
        break;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSame(a, ma, rng)) << "step " << step;
    ASSERT_NO_FATAL_FAILURE(ExpectSame(b, mb, rng)) << "step " << step;
    ASSERT_EQ(a == b, ma == mb) << "step " << step;
  }
}

TEST(RecordsBitmap, PoolHandsOutClearedBitmapsAndKeepsAtMost64) {
  TRecordsBitmapStack& pool = TRecordsBitmapStack::Instance();
  {
    std::vector<TPooledBitmap> held(70);
    for (auto& b : held) {
      b->SetSize(100);
      b->SetAll();
    }
  }
  EXPECT_EQ(pool.SpareCount(), TRecordsBitmapStack::kCapacity);
  auto again = pool.Take();
  EXPECT_EQ(again->Size(), 0);
  again->SetSize(100);
  EXPECT_EQ(again->Count(), 0);
  pool.Give(std::move(again));
  // Threads share the pool under its lock.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) {
        TPooledBitmap b;
        b->Set(i + 1);
        ASSERT_EQ(b->Count(), 1);
      }
    });
  for (auto& t : threads)
    t.join();
  EXPECT_LE(pool.SpareCount(), TRecordsBitmapStack::kCapacity);
}

}  // namespace
}  // namespace kura
