// BLOB and memo values of records: the reference in the record, the data
// header's stamp counter, copy-on-write rewrites, and a reader in another
// process that holds an old stamp.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

using kura::test::CodeOf;
using kura::test::ValueBytes;

class BlobRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TDataFile data("T", false, settings_);
    std::vector<TFieldDefinition> fields(3);
    fields[0].name = "ID";
    fields[0].type = kFieldInteger;
    fields[1].name = "NOTE";
    fields[1].type = kFieldBlob;
    fields[1].subtype = kSubtypeMemo;
    fields[2].name = "PIC";
    fields[2].type = kFieldBlob;
    fields[2].subtype = kSubtypeBinary;
    data.CreateTable(dir_.File("T.DAT"), fields, {});
    data.WriteHeader(true);
    data.WriteDescriptorsIfChanged();
    TBlobFile blobs("T", false, settings_);
    blobs.CreateBlobFile(dir_.File("T.BLB"));
  }
  void Open(bool exclusive = true) {
    data_ = std::make_unique<TDataFile>("T", false, settings_);
    data_->Open(dir_.File("T.DAT"), exclusive);
    blobs_ = std::make_unique<TBlobFile>("T", false, settings_);
    blobs_->SetFormat(data_->BlobBlockSize(), data_->Encrypted());
    blobs_->Open(dir_.File("T.BLB"), exclusive);
  }
  // The table's write order: BLOB file, data file, then the queued frees.
  void Flush() {
    blobs_->FlushBlocks();
    blobs_->WriteHeader(false);
    data_->FlushRecords();
    data_->WriteHeader(false);
    blobs_->ApplyDeferredFrees();
    blobs_->FlushBlocks();
    blobs_->WriteHeader(false);
  }
  const TFieldDescriptor& Note() { return *data_->FieldByName("NOTE"); }
  const TFieldDescriptor& Pic() { return *data_->FieldByName("PIC"); }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
  std::unique_ptr<TDataFile> data_;
  std::unique_ptr<TBlobFile> blobs_;
};

TEST_F(BlobRecordTest, ValuesLiveInChainsAndStampsComeFromTheDataHeader) {
  Open();
  const auto text = ValueBytes(1200, 1);
  const auto picture = ValueBytes(40, 2);
  {
    TRecordPin r = data_->GetRecord(1);
    WriteBlobField(*blobs_, *data_, r->Data(), Note(), text);
    WriteBlobField(*blobs_, *data_, r->Data(), Pic(), picture);
    r->SetDirty(true);
    EXPECT_EQ(GetBlobRef(r->Data(), Note()).first_block, 1);
    EXPECT_EQ(GetBlobRef(r->Data(), Note()).stamp, 1);
    EXPECT_EQ(GetBlobRef(r->Data(), Pic()).first_block, 4);
    EXPECT_EQ(GetBlobRef(r->Data(), Pic()).stamp, 2);
  }
  EXPECT_EQ(data_->LastBlobStamp(), 2);
  Flush();
  Open();
  EXPECT_EQ(data_->LastBlobStamp(), 2);
  TRecordPin r = data_->GetRecord(1);
  EXPECT_FALSE(data_->IsNull(r->Data(), Note()));
  EXPECT_EQ(ReadBlobField(*blobs_, *data_, r->Data(), Note()), text);
  EXPECT_EQ(ReadBlobField(*blobs_, *data_, r->Data(), Pic()), picture);
  // GetField gives the first block number only.
  std::uint8_t out[8] = {};
  ASSERT_TRUE(data_->GetField(r->Data(), Note(), out));
  EXPECT_EQ(DecodeFixed32(out), 1u);
}

TEST_F(BlobRecordTest, EmptyValueIsANullFieldWithoutBlocks) {
  Open();
  TRecordPin r = data_->GetRecord(1);
  WriteBlobField(*blobs_, *data_, r->Data(), Note(), ValueBytes(600, 1));
  blobs_->DeferFreeChain(WriteBlobField(*blobs_, *data_, r->Data(), Note(), {}));
  EXPECT_TRUE(data_->IsNull(r->Data(), Note()));
  EXPECT_TRUE(ReadBlobField(*blobs_, *data_, r->Data(), Note()).empty());
  r.Release();
  Flush();
  EXPECT_EQ(blobs_->FreeBlocks().size(), 2u);
}

TEST_F(BlobRecordTest, ARewriteFreesTheOldChainOnlyAfterTheRecordIsWritten) {
  Open();
  {
    TRecordPin r = data_->GetRecord(1);
    WriteBlobField(*blobs_, *data_, r->Data(), Note(), ValueBytes(1000, 1));
    r->SetDirty(true);
  }
  Flush();
  {
    TRecordPin r = data_->GetRecord(1);
    blobs_->DeferFreeChain(WriteBlobField(*blobs_, *data_, r->Data(), Note(), ValueBytes(2000, 2)));
    r->SetDirty(true);
  }
  // The BLOB file reaches the disk first: a copy of the record as it is on
  // disk still reads its old value.
  blobs_->FlushBlocks();
  blobs_->WriteHeader(false);
  EXPECT_EQ(blobs_->LoadValue({1, 1}), ValueBytes(1000, 1));
  Flush();
  EXPECT_EQ(CodeOf([&] { blobs_->LoadValue({1, 1}); }), kErrRecordChanged);
  TRecordPin r = data_->GetRecord(1);
  EXPECT_EQ(ReadBlobField(*blobs_, *data_, r->Data(), Note()), ValueBytes(2000, 2));
}

TEST_F(BlobRecordTest, ReleasingADeletedRecordsValuesFreesTheirChains) {
  Open();
  {
    TRecordPin r = data_->GetRecord(1);
    WriteBlobField(*blobs_, *data_, r->Data(), Note(), ValueBytes(1000, 1));
    WriteBlobField(*blobs_, *data_, r->Data(), Pic(), ValueBytes(10, 2));
    r->SetDirty(true);
  }
  Flush();
  {
    TRecordPin r = data_->GetRecord(1);
    ReleaseBlobFields(*blobs_, *data_, r->Data());
  }
  data_->DeleteRecord(1);
  Flush();
  EXPECT_EQ(blobs_->FreeBlocks().size(), 4u);
}

TEST_F(BlobRecordTest, NonBlobFieldIsRefused) {
  Open();
  TRecordPin r = data_->GetRecord(1);
  const TFieldDescriptor& id = *data_->FieldByName("ID");
  EXPECT_EQ(CodeOf([&] { ReadBlobField(*blobs_, *data_, r->Data(), id); }), kErrBlobField);
  EXPECT_EQ(CodeOf([&] { WriteBlobField(*blobs_, *data_, r->Data(), id, ValueBytes(5, 1)); }),
            kErrBlobField);
}

TEST_F(BlobRecordTest, BlobBufferKeepsAValueAndItsSavedCopy) {
  Open();
  TRecordPin r = data_->GetRecord(1);
  TBlobBuffer buffer(this);
  buffer.SetBytes(ValueBytes(800, 3));
  EXPECT_TRUE(buffer.Modified());
  buffer.Store(*blobs_, *data_, r->Data(), Note());
  EXPECT_FALSE(buffer.Modified());
  EXPECT_EQ(buffer.FirstBlock(), 1);
  TBlobBuffer reader(this);
  reader.Load(*blobs_, *data_, r->Data(), Note());
  EXPECT_EQ(reader.Bytes(), ValueBytes(800, 3));
  EXPECT_EQ(reader.Stamp(), buffer.Stamp());
  reader.SaveCopy();
  reader.SetBytes(ValueBytes(5, 4));
  reader.RestoreCopy();
  EXPECT_EQ(reader.Bytes(), ValueBytes(800, 3));
}

// Another process rewrites the value while this one holds the record with
// the old stamp: this one's next load is refused with 8708.
TEST_F(BlobRecordTest, ReaderWithAnOldStampGets8708AfterAnotherProcessRewrote) {
  Open(false);
  {
    TRecordPin r = data_->GetRecord(1);
    WriteBlobField(*blobs_, *data_, r->Data(), Note(), ValueBytes(1000, 1));
    r->SetDirty(true);
  }
  Flush();
  std::vector<std::uint8_t> held;
  {
    TRecordPin r = data_->GetRecord(1);
    held.assign(r->Data(), r->Data() + r->Size());
  }
  EXPECT_EQ(ReadBlobField(*blobs_, *data_, held.data(), Note()), ValueBytes(1000, 1));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 1;
    try {
      data_.reset();
      blobs_.reset();
      Open(false);
      TRecordPin r = data_->GetRecord(1);
      blobs_->DeferFreeChain(
          WriteBlobField(*blobs_, *data_, r->Data(), Note(), ValueBytes(300, 2)));
      r->SetDirty(true);
      r.Release();
      Flush();
      status = 0;
    } catch (...) {
    }
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(blobs_->ReReadHeaderIfChanged());
  EXPECT_EQ(CodeOf([&] { ReadBlobField(*blobs_, *data_, held.data(), Note()); }),
            kErrRecordChanged);
  EXPECT_TRUE(data_->ReReadHeaderIfChanged());
  TRecordPin r = data_->GetRecord(1);
  EXPECT_EQ(ReadBlobField(*blobs_, *data_, r->Data(), Note()), ValueBytes(300, 2));
}

}  // namespace
}  // namespace kura
