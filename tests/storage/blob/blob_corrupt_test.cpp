// Corrupt BLOB files built on purpose: bad links, cycles, wrong stamps,
// impossible lengths, bad headers. Each gives its engine error; none hangs
// or reads out of bounds, and a refused store leaves the old value whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_file.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

using kura::test::CodeOf;
using kura::test::PatchU32;
using kura::test::ValueBytes;

constexpr std::int64_t BlockAt(int n) {
  return 512 + (n - 1) * 512;
}

class BlobCorruptTest : public ::testing::Test {
 protected:
  // Writes a 3-block value (blocks 1..3, stamp 7) and a 1-block value
  // (block 4, stamp 8), then frees nothing.
  void SetUp() override {
    TBlobFile f("T", false, settings_);
    f.SetFormat(0, false);
    f.CreateBlobFile(Path());
    ASSERT_EQ(f.StoreValue({}, 7, ValueBytes(1000, 7)), 1);
    ASSERT_EQ(f.StoreValue({}, 8, ValueBytes(300, 8)), 4);
    f.FlushBlocks();
    f.WriteHeader(false);
  }
  std::string Path() const { return dir_.File("T.BLB"); }
  std::unique_ptr<TBlobFile> Open() {
    auto f = std::make_unique<TBlobFile>("T", false, settings_);
    f->SetFormat(0, false);
    f->Open(Path(), true);
    return f;
  }
  int LoadCode(TBlobRef ref) {
    auto f = Open();
    return CodeOf([&] { f->LoadValue(ref); });
  }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
};

TEST_F(BlobCorruptTest, BlockZeroAndBlocksPastTheEndAreRefused) {
  auto f = Open();
  EXPECT_EQ(CodeOf([&] { f->GetBlock(0); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { f->GetBlock(6); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { f->LoadValue({9, 7}); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { f->LoadValue({-3, 7}); }), kErrBlobBuffersCorrupt);
}

TEST_F(BlobCorruptTest, CycleInAChainIsAnErrorNotAHang) {
  PatchU32(Path(), BlockAt(2) + 4, 1);  // block 2 links back to block 1
  EXPECT_EQ(LoadCode({1, 7}), kErrBlobBuffersCorrupt);
  auto f = Open();
  EXPECT_EQ(CodeOf([&] { f->FreeChain({1, 7}); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { f->StoreValue({1, 7}, 9, ValueBytes(2000, 9)); }), kErrBlobBuffersCorrupt);
}

TEST_F(BlobCorruptTest, LinkOutOfRangeIsRefused) {
  PatchU32(Path(), BlockAt(2) + 4, 5000);
  EXPECT_EQ(LoadCode({1, 7}), kErrBlobBuffersCorrupt);
  PatchU32(Path(), BlockAt(2) + 4, 0xFFFFFFF0u);
  EXPECT_EQ(LoadCode({1, 7}), kErrBlobBuffersCorrupt);
}

TEST_F(BlobCorruptTest, ChainEndingBeforeItsLengthIsPremature) {
  PatchU32(Path(), BlockAt(2) + 4, 0);
  EXPECT_EQ(LoadCode({1, 7}), kErrEndOfBlob);
}

TEST_F(BlobCorruptTest, LengthNoChainCouldHoldIsPremature) {
  PatchU32(Path(), BlockAt(1) + 14, 0x7FFFFFFF);
  EXPECT_EQ(LoadCode({1, 7}), kErrEndOfBlob);
  PatchU32(Path(), BlockAt(1) + 14, 0x80000000u);
  EXPECT_EQ(LoadCode({1, 7}), kErrEndOfBlob);
}

TEST_F(BlobCorruptTest, WrongStampAnywhereInTheChainIsAChangedRecord) {
  EXPECT_EQ(LoadCode({1, 6}), kErrRecordChanged);
  EXPECT_EQ(LoadCode({1, 0}), kErrRecordChanged);
  PatchU32(Path(), BlockAt(3) + 10, 8);
  EXPECT_EQ(LoadCode({1, 7}), kErrRecordChanged);
  // Freeing checks the stamps too; tolerant freeing claims the blocks.
  auto f = Open();
  EXPECT_EQ(CodeOf([&] { f->FreeChain({1, 7}); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(f->FreeHead(), 0);
  f->FreeChain({1, 7}, true);
  EXPECT_EQ(f->FreeBlocks(), (std::vector<std::int32_t>{3, 2, 1}));
  EXPECT_EQ(f->LoadValue({4, 8}), ValueBytes(300, 8));
}

TEST_F(BlobCorruptTest, StoreThroughAStaleReferenceChangesNothing) {
  auto f = Open();
  EXPECT_EQ(CodeOf([&] { f->StoreValue({1, 6}, 9, ValueBytes(50, 9)); }), kErrRecordChanged);
  EXPECT_EQ(CodeOf([&] { f->StoreValue({4, 7}, 9, ValueBytes(50, 9)); }), kErrRecordChanged);
  EXPECT_EQ(f->LoadValue({1, 7}), ValueBytes(1000, 7));
  EXPECT_EQ(f->LoadValue({4, 8}), ValueBytes(300, 8));
  EXPECT_EQ(f->NextBlockNumber(), 5);
  // A deferred free through a stale reference frees nothing either.
  f->DeferFreeChain({4, 7});
  f->ApplyDeferredFrees();
  EXPECT_EQ(f->FreeHead(), 0);
}

TEST_F(BlobCorruptTest, BrokenFreeChainNeverHandsOutABlockTwice) {
  {
    auto f = Open();
    f->FreeChain({4, 8});
    f->FlushBlocks();
    f->WriteHeader(false);
  }
  PatchU32(Path(), BlockAt(4) + 4, 4);  // the free block links to itself
  auto f = Open();
  EXPECT_EQ(CodeOf([&] { f->FreeBlocks(); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { f->AllocateBlock(); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { f->StoreValue({}, 9, ValueBytes(10, 9)); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(f->LoadValue({1, 7}), ValueBytes(1000, 7));
}

TEST_F(BlobCorruptTest, WrongVersionIsRefusedAndLeavesTheFileClosed) {
  kura::test::PatchFile(Path(), 8, {4});
  TBlobFile f("T", false, settings_);
  EXPECT_EQ(CodeOf([&] { f.Open(Path(), true); }), kErrVersion);
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(BlobCorruptTest, HeaderNumbersOutOfRangeAreCorrupt) {
  PatchU32(Path(), 9, 99);  // free head beyond the blocks
  TBlobFile f("T", false, settings_);
  EXPECT_EQ(CodeOf([&] { f.Open(Path(), true); }), kErrHeaderCorrupt);
  PatchU32(Path(), 9, 0);
  PatchU32(Path(), 13, 0);  // next block 0
  EXPECT_EQ(CodeOf([&] { f.Open(Path(), true); }), kErrHeaderCorrupt);
}

TEST_F(BlobCorruptTest, VerifyFindsBlocksMissingFromTheFile) {
  PatchU32(Path(), 13, 9);  // claims 8 blocks, the file holds 4
  auto f = Open();
  EXPECT_EQ(CodeOf([&] { f->Verify(); }), kErrHeaderCorrupt);
  // A shared reader that meets the missing block reads short: 9217.
  f->Close();
  TBlobFile g("T", false, settings_);
  g.SetFormat(0, false);
  g.Open(Path(), false);
  EXPECT_EQ(CodeOf([&] { g.GetBlock(7); }), kErrReading);
}

TEST_F(BlobCorruptTest, TruncatedHeaderIsAReadError) {
  std::filesystem::resize_file(Path(), 100);
  TBlobFile f("T", false, settings_);
  EXPECT_EQ(CodeOf([&] { f.Open(Path(), true); }), kErrReading);
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(BlobCorruptTest, ValueTooLongForTheFormatIsRefused) {
  auto f = Open();
  // A span that claims more than 2^31 - 1 bytes never gets near the disk.
  const std::uint8_t byte = 0;
  std::span<const std::uint8_t> huge(&byte, std::size_t{1} << 31);
  EXPECT_EQ(CodeOf([&] { f->StoreValue({}, 9, huge); }), kErrBlobLength);
}

}  // namespace
}  // namespace kura
