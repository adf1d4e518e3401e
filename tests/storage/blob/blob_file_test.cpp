// The BLOB file on its own: header and block layout byte for byte (checked
// with the independent reader), chain storing and reuse, the free chain,
// read-ahead, write-back in runs, and random values through a reopen.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "tests/storage/blob/blob_format_reader.h"
#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_file.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

using kura::test::CheckBlobFile;
using kura::test::CodeOf;
using kura::test::ReadBlobImage;
using kura::test::ReadChain;
using kura::test::ValueBytes;

class BlobFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.File("T.BLB"); }

  std::unique_ptr<TBlobFile> Create(int block_size = 0, bool encrypted = false) {
    block_size_ = block_size;
    encrypted_ = encrypted;
    auto f = std::make_unique<TBlobFile>("T", false, settings_);
    f->SetFormat(block_size, encrypted);
    f->CreateBlobFile(Path());
    return f;
  }
  std::unique_ptr<TBlobFile> Open(bool exclusive = true) {
    auto f = std::make_unique<TBlobFile>("T", false, settings_);
    f->SetFormat(block_size_, encrypted_);
    f->Open(Path(), exclusive);
    return f;
  }
  static void Save(TBlobFile& f) {
    f.FlushBlocks();
    f.WriteHeader(false);
  }
  kura::test::BlobImage Image() {
    std::vector<std::string> problems;
    kura::test::BlobImage image = ReadBlobImage(Path(), block_size_, encrypted_, problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    return image;
  }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
  int block_size_ = 0;
  bool encrypted_ = false;
};

TEST_F(BlobFileTest, NewFileIsJustTheHeader) {
  auto f = Create();
  f->Close();
  EXPECT_EQ(kura::test::FileSize(Path()), 512);
  const auto image = Image();
  EXPECT_EQ(image.version, 5);
  EXPECT_EQ(image.free_head, 0);
  EXPECT_EQ(image.next_block, 1);
  auto g = Open();
  EXPECT_EQ(g->BlockCount(), 0);
  EXPECT_EQ(g->BlockDataSize(), 494);
  g->Verify();
}

TEST_F(BlobFileTest, ThousandBytesTakeThreeBlocksOf494) {
  auto f = Create();
  const auto value = ValueBytes(1000, 1);
  const std::int32_t first = f->StoreValue({}, 7, value);
  Save(*f);
  f->Close();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(kura::test::FileSize(Path()), 512 + 3 * 512);
  const auto image = Image();
  EXPECT_EQ(image.next_block, 4);
  EXPECT_EQ(image.Used(1), 494);
  EXPECT_EQ(image.Used(2), 494);
  EXPECT_EQ(image.Used(3), 12);
  EXPECT_EQ(image.TotalLength(1), 1000);
  EXPECT_EQ(image.TotalLength(2), 0);
  EXPECT_EQ(image.Previous(1), 0);
  EXPECT_EQ(image.Next(1), 2);
  EXPECT_EQ(image.Previous(3), 2);
  EXPECT_EQ(image.Next(3), 0);
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(image.Stamp(n), 7);
  const auto chain = ReadChain(image, 1, 7);
  EXPECT_EQ(chain.problem, "");
  EXPECT_EQ(chain.value, value);
  EXPECT_EQ(Open()->LoadValue({1, 7}), value);
}

TEST_F(BlobFileTest, ValuesOnBlockBoundariesUseNoExtraBlock) {
  auto f = Create();
  EXPECT_EQ(f->StoreValue({}, 1, ValueBytes(494, 1)), 1);
  EXPECT_EQ(f->StoreValue({}, 2, ValueBytes(988, 2)), 2);
  EXPECT_EQ(f->StoreValue({}, 3, ValueBytes(495, 3)), 4);
  EXPECT_EQ(f->NextBlockNumber(), 6);
  EXPECT_EQ(f->LoadValue({2, 2}), ValueBytes(988, 2));
  EXPECT_EQ(f->LoadValue({4, 3}), ValueBytes(495, 3));
}

TEST_F(BlobFileTest, ShorterRewriteReusesFirstBlockAndFreesTheRest) {
  auto f = Create();
  ASSERT_EQ(f->StoreValue({}, 7, ValueBytes(1000, 1)), 1);
  const auto shorter = ValueBytes(100, 2);
  EXPECT_EQ(f->StoreValue({1, 7}, 8, shorter), 1);
  // Freed in chain order: 2 then 3, so 3 is the head and links to 2.
  EXPECT_EQ(f->FreeHead(), 3);
  EXPECT_EQ(f->FreeBlocks(), (std::vector<std::int32_t>{3, 2}));
  Save(*f);
  const auto image = Image();
  EXPECT_EQ(ReadChain(image, 1, 8).value, shorter);
  EXPECT_EQ(ReadChain(image, 1, 8).problem, "");
  int unowned = -1;
  EXPECT_TRUE(CheckBlobFile(image, {{1, 8}}, &unowned).empty());
  EXPECT_EQ(unowned, 0);
  // The most recently freed block is handed out first, then the next one,
  // then the file grows.
  EXPECT_EQ(f->AllocateBlock()->Number(), 3);
  EXPECT_EQ(f->AllocateBlock()->Number(), 2);
  EXPECT_EQ(f->AllocateBlock()->Number(), 4);
  EXPECT_EQ(f->FreeHead(), 0);
}

TEST_F(BlobFileTest, LongerRewriteKeepsTheChainAndExtendsIt) {
  auto f = Create();
  ASSERT_EQ(f->StoreValue({}, 7, ValueBytes(600, 1)), 1);
  ASSERT_EQ(f->StoreValue({}, 9, ValueBytes(10, 9)), 3);
  const auto longer = ValueBytes(1500, 2);
  EXPECT_EQ(f->StoreValue({1, 7}, 8, longer), 1);
  Save(*f);
  const auto chain = ReadChain(Image(), 1, 8);
  EXPECT_EQ(chain.blocks, (std::vector<std::int32_t>{1, 2, 4, 5}));
  EXPECT_EQ(chain.value, longer);
  EXPECT_EQ(f->LoadValue({3, 9}), ValueBytes(10, 9));
}

TEST_F(BlobFileTest, NewBlocksComeAllFromTheFreeChainOrAllFromTheEnd) {
  auto f = Create();
  ASSERT_EQ(f->StoreValue({}, 1, ValueBytes(494 * 2, 1)), 1);  // blocks 1, 2
  ASSERT_EQ(f->StoreValue({}, 2, ValueBytes(10, 2)), 3);
  f->FreeChain({1, 1});
  ASSERT_EQ(f->FreeBlocks(), (std::vector<std::int32_t>{2, 1}));
  // Three blocks needed, two free: all three are appended.
  EXPECT_EQ(f->StoreValue({}, 3, ValueBytes(494 * 3, 3)), 4);
  EXPECT_EQ(f->FreeBlocks(), (std::vector<std::int32_t>{2, 1}));
  // Two needed, two free: the free chain provides both, in its order.
  EXPECT_EQ(f->StoreValue({}, 4, ValueBytes(494 * 2, 4)), 2);
  EXPECT_EQ(f->FreeHead(), 0);
  Save(*f);
  EXPECT_EQ(ReadChain(Image(), 2, 4).blocks, (std::vector<std::int32_t>{2, 1}));
  EXPECT_EQ(f->LoadValue({4, 3}), ValueBytes(494 * 3, 3));
}

TEST_F(BlobFileTest, EmptyValueHasNoBlocksAndFreesAnOldChain) {
  auto f = Create();
  EXPECT_EQ(f->StoreValue({}, 3, {}), 0);
  EXPECT_EQ(f->NextBlockNumber(), 1);
  EXPECT_TRUE(f->LoadValue({0, 3}).empty());
  ASSERT_EQ(f->StoreValue({}, 4, ValueBytes(700, 4)), 1);
  EXPECT_EQ(f->StoreValue({1, 4}, 5, {}), 0);
  EXPECT_EQ(f->FreeBlocks().size(), 2u);
  EXPECT_EQ(CodeOf([&] { f->LoadValue({1, 4}); }), kErrRecordChanged);
}

TEST_F(BlobFileTest, RewriteGoesToNewBlocksAndFreesTheOldChainOnlyWhenApplied) {
  auto f = Create();
  ASSERT_EQ(f->StoreValue({}, 1, ValueBytes(1000, 1)), 1);
  const std::int32_t first = f->RewriteValue({1, 1}, 2, ValueBytes(600, 2));
  EXPECT_EQ(first, 4);
  // Until the record is written the old value stays whole.
  EXPECT_EQ(f->LoadValue({1, 1}), ValueBytes(1000, 1));
  EXPECT_EQ(f->FreeHead(), 0);
  f->ApplyDeferredFrees();
  EXPECT_EQ(f->FreeBlocks().size(), 3u);
  EXPECT_EQ(CodeOf([&] { f->LoadValue({1, 1}); }), kErrRecordChanged);
  EXPECT_EQ(f->LoadValue({4, 2}), ValueBytes(600, 2));
}

TEST_F(BlobFileTest, AChainQueuedTwiceIsFreedOnce) {
  auto f = Create();
  ASSERT_EQ(f->StoreValue({}, 1, ValueBytes(1000, 1)), 1);
  f->DeferFreeChain({1, 1});
  f->DeferFreeChain({1, 1});
  f->ApplyDeferredFrees();
  f->DeferFreeChain({1, 1});  // stale: its blocks are free by now
  f->ApplyDeferredFrees();
  auto free_blocks = f->FreeBlocks();
  std::sort(free_blocks.begin(), free_blocks.end());
  EXPECT_EQ(free_blocks, (std::vector<std::int32_t>{1, 2, 3}));
}

TEST_F(BlobFileTest, DirtyBlocksGoOutInRunsOfConsecutiveBlocks) {
  auto f = Create();
  f->StoreValue({}, 1, ValueBytes(494 * 5, 1));
  EXPECT_TRUE(f->FlushBlocks());
  EXPECT_EQ(f->Writes(), 1);
  EXPECT_FALSE(f->FlushBlocks());
  // Blocks 2 and 4 changed: two runs.
  f->StoreValue({}, 2, ValueBytes(10, 2));  // block 6
  {
    TBlockPin b = f->GetBlock(2);
    b->SetDirty(true);
  }
  {
    TBlockPin b = f->GetBlock(4);
    b->SetDirty(true);
  }
  f->FlushBlocks();
  EXPECT_EQ(f->Writes(), 1 + 3);
}

TEST_F(BlobFileTest, ReadAheadFetchesTheBlocksTheCallerStillNeeds) {
  auto f = Create();
  f->StoreValue({}, 1, ValueBytes(494 * 32, 1));  // blocks 1..32
  f->StoreValue({}, 2, ValueBytes(494 * 8, 2));   // blocks 33..40
  Save(*f);
  f->Close();
  auto g = Open();
  EXPECT_EQ(g->BlocksPerRead(), 32);
  // The first block tells the length; one more read brings the rest.
  EXPECT_EQ(g->LoadValue({1, 1}), ValueBytes(494 * 32, 1));
  EXPECT_EQ(g->BlockReads(), 2);
  EXPECT_EQ(g->LoadValue({33, 2}), ValueBytes(494 * 8, 2));
  EXPECT_EQ(g->BlockReads(), 4);
  EXPECT_EQ(g->LoadValue({1, 1}).size(), 494u * 32);
  EXPECT_EQ(g->BlockReads(), 4);  // all cached now
}

TEST_F(BlobFileTest, CacheStaysWithinItsBoundWhileLoadingLargeValues) {
  settings_.blob_buffer_memory = 8192;  // 16 blocks, raised to one read-ahead (32)
  auto f = Create();
  const auto big = ValueBytes(300000, 5);
  const std::int32_t first = f->StoreValue({}, 5, big);
  Save(*f);
  f->DropBlocks();
  EXPECT_EQ(f->LoadValue({first, 5}), big);
  EXPECT_LE(f->CachedCount(), f->CacheCapacity());
  EXPECT_EQ(f->CacheCapacity(), 32u);
}

TEST_F(BlobFileTest, ChangeCounterTellsAnotherHandleToDropItsBlocks) {
  auto f = Create();
  f->StoreValue({}, 1, ValueBytes(100, 1));
  Save(*f);
  f->Close();
  auto reader = Open(false);
  auto writer = Open(false);
  EXPECT_EQ(reader->LoadValue({1, 1}), ValueBytes(100, 1));
  EXPECT_FALSE(reader->ReReadHeaderIfChanged());
  writer->StoreValue({1, 1}, 2, ValueBytes(50, 2));
  Save(*writer);
  EXPECT_TRUE(reader->ReReadHeaderIfChanged());
  EXPECT_EQ(reader->CachedCount(), 0u);
  EXPECT_EQ(CodeOf([&] { reader->LoadValue({1, 1}); }), kErrRecordChanged);
  EXPECT_EQ(reader->LoadValue({1, 2}), ValueBytes(50, 2));
}

TEST_F(BlobFileTest, EmptyTruncatesToTheHeader) {
  auto f = Create();
  f->StoreValue({}, 1, ValueBytes(5000, 1));
  Save(*f);
  f->Empty(false);
  Save(*f);
  EXPECT_EQ(kura::test::FileSize(Path()), 512);
  EXPECT_EQ(f->NextBlockNumber(), 1);
  EXPECT_EQ(f->FreeHead(), 0);
}

// Random values from empty to several megabytes, rewritten and deleted at
// random, survive a reopen byte for byte; afterwards every block belongs to
// exactly one value or to the free chain.
class BlobRandomTest : public BlobFileTest,
                       public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(BlobRandomTest, RandomValuesRoundTripThroughReopen) {
  const auto [block_size, encrypted] = GetParam();
  auto f = Create(block_size, encrypted);
  std::mt19937 random(block_size * 2 + encrypted);
  struct Held {
    TBlobRef ref;
    std::uint32_t seed;
    std::size_t size;
  };
  std::vector<Held> values;
  std::int32_t stamp = 0;
  // Small blocks make long chains: their largest values stay smaller.
  const std::uint32_t large = block_size == 0 || block_size >= 512 ? 3'000'000 : 200'000;
  auto random_size = [&] {
    switch (random() % 8) {
      case 0:
        return std::size_t{0};
      case 1:
        return static_cast<std::size_t>(random() % large);
      case 2:
        return static_cast<std::size_t>(random() % 60'000);
      default:
        return static_cast<std::size_t>(random() % 3000);
    }
  };
  for (int step = 0; step < 60; ++step) {
    const int action = values.empty() ? 0 : static_cast<int>(random() % 4);
    if (action <= 1) {
      const std::size_t size = random_size();
      const std::uint32_t seed = static_cast<std::uint32_t>(random());
      ++stamp;
      values.push_back({{f->StoreValue({}, stamp, ValueBytes(size, seed)), stamp}, seed, size});
    } else {
      Held& h = values[random() % values.size()];
      h.size = random_size();
      h.seed = static_cast<std::uint32_t>(random());
      ++stamp;
      if (action == 2) {
        h.ref = {f->StoreValue(h.ref, stamp, ValueBytes(h.size, h.seed)), stamp};
      } else {
        h.ref = {f->RewriteValue(h.ref, stamp, ValueBytes(h.size, h.seed)), stamp};
        f->ApplyDeferredFrees();
      }
    }
    if (step % 17 == 0) Save(*f);
  }
  Save(*f);
  f->Close();
  auto g = Open();
  g->Verify();
  std::vector<std::pair<std::int32_t, std::int32_t>> refs;
  for (const Held& h : values) {
    ASSERT_EQ(g->LoadValue(h.ref), ValueBytes(h.size, h.seed));
    if (h.ref.first_block != 0) refs.push_back({h.ref.first_block, h.ref.stamp});
  }
  int unowned = -1;
  const auto problems = CheckBlobFile(Image(), refs, &unowned);
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(unowned, 0);
}

INSTANTIATE_TEST_SUITE_P(BlockSizesAndEncryption, BlobRandomTest,
                         ::testing::Values(std::make_tuple(0, false), std::make_tuple(0, true),
                                           std::make_tuple(4096, false),
                                           std::make_tuple(100, true)));

TEST_F(BlobFileTest, EncryptedFileShowsNoPlainBytes) {
  auto f = Create(0, true);
  std::vector<std::uint8_t> text(3000, 'A');
  f->StoreValue({}, 1, text);
  Save(*f);
  f->Close();
  std::vector<std::string> problems;
  // Read without unscrambling: neither the version byte nor the text shows.
  const auto raw = ReadBlobImage(Path(), 0, false, problems);
  EXPECT_NE(raw.version, 5);
  const std::vector<std::uint8_t> run(64, 'A');
  EXPECT_EQ(std::search(raw.bytes.begin(), raw.bytes.end(), run.begin(), run.end()),
            raw.bytes.end());
  EXPECT_EQ(ReadChain(Image(), 1, 1).value, text);
  EXPECT_EQ(Open()->LoadValue({1, 1}), text);
}

}  // namespace
}  // namespace kura
