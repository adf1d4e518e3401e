// Repair of the states a killed writer or a damaged file leaves: an append
// whose header never reached the disk, a value rewritten whose record was
// not, a broken chain, leftover blocks, a broken free chain of the data file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/storage/blob/blob_format_reader.h"
#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/table/table_repair.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

using kura::test::CodeOf;
using kura::test::ValueBytes;

class BlobRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto t = Table();
    std::vector<TFieldDefinition> fields(2);
    fields[0].name = "ID";
    fields[0].type = kFieldInteger;
    fields[1].name = "NOTE";
    fields[1].type = kFieldBlob;
    fields[1].subtype = kSubtypeMemo;
    t->Create(fields, {}, TIndexCreateOptions{true});
    for (std::int32_t id = 1; id <= 4; ++id) {
      std::vector<std::uint8_t> image = t->BlankRecord();
      std::uint8_t bytes[4];
      EncodeFixed32(bytes, static_cast<std::uint32_t>(id));
      t->Data().PutField(image.data(), *t->Data().FieldByName("ID"), bytes);
      WriteBlobField(*t->Blobs(), t->Data(), image.data(), Note(*t), ValueBytes(700 * id, id));
      t->InsertRecord(image.data());
    }
    t->Close();
  }
  std::unique_ptr<TDataTable> Table() {
    return std::make_unique<TDataTable>(dir_.Path(), "T", settings_);
  }
  std::unique_ptr<TDataTable> Opened() {
    auto t = Table();
    t->Open(true);
    return t;
  }
  static const TFieldDescriptor& Note(TDataTable& t) { return *t.Data().FieldByName("NOTE"); }
  static TBlobRef RefOf(TDataTable& t, std::int32_t n) {
    TRecordPin r = t.Data().GetRecord(n);
    return GetBlobRef(r->Data(), Note(t));
  }
  static std::vector<std::uint8_t> Value(TDataTable& t, std::int32_t n) {
    TRecordPin r = t.Data().GetRecord(n);
    return ReadBlobField(*t.Blobs(), t.Data(), r->Data(), Note(t));
  }
  // Verifies the way `kura verify` does; 0 when sound.
  static int VerifyCode(TDataTable& t) {
    return CodeOf([&] {
      t.Verify();
      t.Data().CheckConsistency();
      VerifyBlobChains(t.Data(), *t.Blobs());
    });
  }
  void ExpectAllBlocksAccounted(TDataTable& t) {
    const TBlobCheckReport report = CheckBlobChains(t.Data(), *t.Blobs());
    EXPECT_TRUE(report.problems.empty());
    EXPECT_EQ(report.unowned_blocks, 0);
  }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
};

TEST_F(BlobRepairTest, SoundTableIsLeftAsItWas) {
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), 0);
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.values_kept, 4);
  EXPECT_EQ(report.values_lost + report.slots_cut, 0);
  EXPECT_EQ(report.records_indexed, 4);
  EXPECT_FALSE(report.free_chain_rebuilt);
  EXPECT_TRUE(std::filesystem::exists(dir_.File("T.IBK")));
  for (std::int32_t n = 1; n <= 4; ++n)
    EXPECT_EQ(Value(*t, n), ValueBytes(700 * n, n));
}

TEST_F(BlobRepairTest, AppendWhoseHeaderNeverReachedTheDiskIsCut) {
  {
    auto t = Opened();
    const std::int64_t end = t->Data().Size();
    t->Close();
    // A whole slot and a piece of another past the header's count.
    kura::test::PatchFile(dir_.File("T.DAT"), end, std::vector<std::uint8_t>(30, 0));
  }
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), kErrHeaderCorrupt);
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.slots_cut, 1);
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_EQ(t->Data().SlotCount(), 4);
}

TEST_F(BlobRepairTest, ChainUnderAnotherStampIsEmptiedNeverAdopted) {
  {
    auto t = Opened();
    const TBlobRef ref = RefOf(*t, 2);
    // The chain is rewritten in place under a new stamp and reaches the
    // disk; the record keeps the old stamp. Nothing proves the chain holds
    // this record's value (freed blocks are reused by other records).
    t->Blobs()->StoreValue(ref, 99, ValueBytes(900, 99));
    t->Blobs()->FlushBlocks();
    t->Blobs()->WriteHeader(false);
    t->DiscardBuffers();
    t->Close(true);
  }
  auto t = Opened();
  EXPECT_EQ(CodeOf([&] { Value(*t, 2); }), kErrRecordChanged);
  EXPECT_EQ(VerifyCode(*t), kErrRecordChanged);
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.values_lost, 1);
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_TRUE(Value(*t, 2).empty());
  ExpectAllBlocksAccounted(*t);
}

TEST_F(BlobRepairTest, BrokenChainIsEmptiedAndItsBlocksFreed) {
  std::int32_t first = 0;
  {
    auto t = Opened();
    first = RefOf(*t, 3).first_block;
  }
  kura::test::PatchU32(dir_.File("T.BLB"), 512 + (first - 1) * 512 + 4, 7777);
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), kErrBlobBuffersCorrupt);
  const TBlobCheckReport check = CheckBlobChains(t->Data(), *t->Blobs());
  ASSERT_EQ(check.problems.size(), 1u);
  EXPECT_EQ(check.problems[0].record, 3);
  EXPECT_EQ(check.problems[0].field, "NOTE");
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.values_lost, 1);
  ASSERT_EQ(report.notes.size(), 1u);
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_TRUE(Value(*t, 3).empty());
  EXPECT_EQ(Value(*t, 4), ValueBytes(2800, 4));
  ExpectAllBlocksAccounted(*t);
  // Freed blocks are used again before the file grows.
  const std::int32_t blocks = t->Blobs()->BlockCount();
  t->Blobs()->StoreValue({}, 500, ValueBytes(494 * 5, 5));
  EXPECT_EQ(t->Blobs()->BlockCount(), blocks);
}

// A BLOB reference whose has-value byte and first block disagree was damaged
// on disk (no write leaves them so): a value without a chain must not read as
// empty, nor a chain without a value as null.
TEST_F(BlobRepairTest, ReferenceDisagreeingWithItsHasValueByteIsCaughtAndMended) {
  std::int64_t ref_at[5] = {};
  {
    auto t = Opened();
    for (std::int32_t n = 1; n <= 4; ++n)
      ref_at[n] = t->Data().DataStart() + (n - 1) * std::int64_t{t->Data().RecordSize()} +
                  static_cast<std::int64_t>(Note(*t).Offset());
  }
  kura::test::PatchU32(dir_.File("T.DAT"), ref_at[2] + 1, 0);  // value, no chain
  kura::test::PatchFile(dir_.File("T.DAT"), ref_at[3], std::vector<std::uint8_t>{0});  // chain, null
  auto t = Opened();
  EXPECT_EQ(CodeOf([&] { Value(*t, 2); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { Value(*t, 3); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(VerifyCode(*t), kErrBlobBuffersCorrupt);
  const TBlobCheckReport check = CheckBlobChains(t->Data(), *t->Blobs());
  ASSERT_EQ(check.problems.size(), 2u);
  EXPECT_EQ(check.problems[0].record, 2);
  EXPECT_EQ(check.problems[1].record, 3);
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.values_lost, 1);
  EXPECT_EQ(report.values_kept, 3);
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_TRUE(Value(*t, 2).empty());
  EXPECT_EQ(Value(*t, 3), ValueBytes(2100, 3));
  ExpectAllBlocksAccounted(*t);
}

// A writer that dies after writing new blocks but before the BLOB header:
// the file still verifies, whether the blocks came from the free chain or
// from the end of the file.
TEST_F(BlobRepairTest, BlocksWrittenWithoutTheirHeaderLeaveAConsistentFile) {
  {
    auto t = Opened();
    t->DeleteRecord(4);  // 6 blocks on the free chain
  }
  for (std::size_t size : {494u * 4, 494u * 9}) {
    {
      auto t = Opened();
      t->Blobs()->StoreValue({}, 88, ValueBytes(size, 88));
      t->Blobs()->FlushBlocks();  // and the process dies here
      t->DiscardBuffers();
      t->Close(true);
    }
    auto t = Opened();
    EXPECT_EQ(VerifyCode(*t), 0) << size;
    for (std::int32_t n = 1; n <= 3; ++n)
      EXPECT_EQ(Value(*t, n), ValueBytes(700 * n, n));
    t->Blobs()->StoreValue({}, 89, ValueBytes(size, 89));
    t->Flush();
    EXPECT_EQ(VerifyCode(*t), 0) << size;
  }
}

TEST_F(BlobRepairTest, LeftoverBlocksAreHarmlessAndRepairFreesThem) {
  {
    auto t = Opened();
    t->Blobs()->StoreValue({}, 77, ValueBytes(2000, 77));  // never referred to
    t->Flush();
  }
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_EQ(CheckBlobChains(t->Data(), *t->Blobs()).unowned_blocks, 5);
  EXPECT_EQ(RepairTable(*t).blocks_freed, 5);
  ExpectAllBlocksAccounted(*t);
}

TEST_F(BlobRepairTest, BrokenDataFreeChainIsRebuilt) {
  {
    auto t = Opened();
    t->DeleteRecord(2);
    t->DeleteRecord(4);
    t->Close();
  }
  kura::test::PatchU32(dir_.File("T.DAT"), 9, 1);  // the head names a live slot
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), kErrHeaderCorrupt);
  const TRepairReport report = RepairTable(*t);
  EXPECT_TRUE(report.free_chain_rebuilt);
  EXPECT_EQ(report.records_indexed, 2);
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_EQ(t->Data().FreeHead(), 4);
  EXPECT_EQ(Value(*t, 3), ValueBytes(2100, 3));
}

// The BLOB header lost its last write while the blocks and the record that
// refers to them reached the disk: the blocks past the count are adopted and
// the value kept. A header counting blocks the file lacks is cut back, and
// the value that used them is reported lost.
TEST_F(BlobRepairTest, BlockCountIsFittedToTheFile) {
  std::vector<std::uint8_t> header(512);
  std::ifstream(dir_.File("T.BLB"), std::ios::binary)
      .read(reinterpret_cast<char*>(header.data()), 512);
  {
    auto t = Opened();
    std::vector<std::uint8_t> image;
    {
      TRecordPin r = t->Data().GetRecord(1);
      image.assign(r->Data(), r->Data() + r->Size());
    }
    const std::int32_t first = t->Blobs()->StoreValue({}, 88, ValueBytes(494 * 3, 88));
    PutBlobRef(t->Data(), image.data(), Note(*t), {first, 88});
    t->UpdateRecord(1, image.data());
    t->Close();
  }
  // Back to the old BLOB header: three blocks past its count.
  kura::test::PatchFile(dir_.File("T.BLB"), 0, header);
  TRepairReport report = RepairTableFiles(dir_.Path(), "T", settings_);
  EXPECT_EQ(report.blocks_adopted, 3);
  EXPECT_EQ(report.values_lost, 0);
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_EQ(Value(*t, 1), ValueBytes(494 * 3, 88));
  ExpectAllBlocksAccounted(*t);
  const std::int64_t end = t->Blobs()->Size();
  t->Close();
  std::filesystem::resize_file(dir_.File("T.BLB"), static_cast<std::uintmax_t>(end - 512 - 100));
  report = RepairTableFiles(dir_.Path(), "T", settings_);
  EXPECT_EQ(report.blocks_missing, 2);
  EXPECT_EQ(report.values_lost, 1);
  t = Opened();
  EXPECT_EQ(VerifyCode(*t), 0);
  ExpectAllBlocksAccounted(*t);
}

// Writes lost before a later one grew the file leave zeroed slots inside
// the counted area; a torn write leaves a slot marked live without its own
// number as link. Neither is a record: repair drops them (reported), gives
// each a deleted-slot key of its own and frees their values' blocks.
TEST_F(BlobRepairTest, SlotsHoldingNoWholeRecordAreDropped) {
  std::int64_t start = 0;
  int size = 0;
  {
    auto t = Opened();
    start = t->Data().DataStart();
    size = t->Data().RecordSize();
  }
  kura::test::PatchFile(dir_.File("T.DAT"), start + size,
                       std::vector<std::uint8_t>(static_cast<std::size_t>(size), 0));
  kura::test::PatchU32(dir_.File("T.DAT"), start + 2 * size + 1, 0);  // record 3's link
  auto t = Opened();
  EXPECT_EQ(VerifyCode(*t), kErrHeaderCorrupt);
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.records_dropped, 2);
  EXPECT_EQ(report.records_indexed, 2);
  ASSERT_EQ(report.notes.size(), 2u);
  EXPECT_NE(report.notes[0].find("record 2 dropped"), std::string::npos) << report.notes[0];
  EXPECT_EQ(VerifyCode(*t), 0);
  EXPECT_TRUE(t->Data().GetRecord(2)->Deleted());
  EXPECT_TRUE(t->Data().GetRecord(3)->Deleted());
  EXPECT_EQ(Value(*t, 4), ValueBytes(2800, 4));
  ExpectAllBlocksAccounted(*t);
  // Both slots are on the free chain, each with a deleted-slot key of its own.
  EXPECT_EQ(t->Data().FreeHead(), 3);
  EXPECT_EQ(t->Data().GetRecord(3)->Link(), 2);
  EXPECT_NE(t->Data().GetRecord(2)->AutoInc(), t->Data().GetRecord(3)->AutoInc());
}

// A BLOB header counting far more blocks than the file holds is reported by
// the chain check, which sizes nothing by that count.
TEST_F(BlobRepairTest, BlockCountBeyondTheFileIsReportedNotTrusted) {
  kura::test::PatchU32(dir_.File("T.BLB"), 13, 2'000'000'001);
  auto t = Opened();
  const TBlobCheckReport check = CheckBlobChains(t->Data(), *t->Blobs());
  ASSERT_FALSE(check.problems.empty());
  EXPECT_EQ(check.problems[0].code, kErrHeaderCorrupt);
  EXPECT_EQ(check.values, 4);
  const TRepairReport report = RepairTable(*t);
  EXPECT_EQ(report.values_kept, 4);
  EXPECT_EQ(VerifyCode(*t), 0);
  ExpectAllBlocksAccounted(*t);
}

}  // namespace
}  // namespace kura
