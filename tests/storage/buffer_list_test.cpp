// The cache's sorted list and MRU list over buffers of a minimal kind.
#include "db/storage/buffer_list.h"

#include <gtest/gtest.h>

#include <memory>

namespace kura {
namespace {

struct TFakeBuffer {
  explicit TFakeBuffer(std::int32_t n) : number(n) {}
  std::int32_t Number() const { return number; }
  std::int32_t number;
  TFakeBuffer* mru_prev = nullptr;
  TFakeBuffer* mru_next = nullptr;
};

// A buffer refused because its number is cached already leaves the MRU
// list before it is freed: the list never points at freed memory.
TEST(BufferList, RefusedDuplicateLeavesTheMruList) {
  TBufferList<TFakeBuffer> list;
  auto first = std::make_unique<TFakeBuffer>(7);
  list.PushFront(first.get());
  ASSERT_TRUE(list.Insert(std::move(first)));
  auto again = std::make_unique<TFakeBuffer>(7);
  list.PushFront(again.get());
  EXPECT_FALSE(list.Insert(std::move(again)));
  ASSERT_NE(list.head, nullptr);
  EXPECT_EQ(list.head, list.tail);
  EXPECT_EQ(list.head->Number(), 7);
  EXPECT_EQ(list.head->mru_prev, nullptr);
  EXPECT_EQ(list.head->mru_next, nullptr);
  list.Unlink(list.head);
  delete list.sorted.front();
  list.sorted.clear();
}

}  // namespace
}  // namespace kura
