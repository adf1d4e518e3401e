// A table with memo and BLOB fields across its three files: create, open,
// close, rename and delete move all three; inserts, updates and deletes keep
// every block owned by exactly one value or by the free chain; transactions
// roll BLOB changes back; encrypted tables round-trip.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include <map>
#include <memory>
#include <random>

#include "tests/storage/blob/blob_format_reader.h"
#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

using kura::test::CodeOf;
using kura::test::ValueBytes;

class BlobTableTest : public ::testing::Test {
 protected:
  std::vector<TFieldDefinition> Fields(bool with_blobs = true) {
    std::vector<TFieldDefinition> fields(with_blobs ? 3 : 1);
    fields[0].name = "ID";
    fields[0].type = kFieldInteger;
    if (with_blobs) {
      fields[1].name = "NOTE";
      fields[1].type = kFieldBlob;
      fields[1].subtype = kSubtypeMemo;
      fields[2].name = "PIC";
      fields[2].type = kFieldBlob;
      fields[2].subtype = kSubtypeBinary;
    }
    return fields;
  }
  std::unique_ptr<TDataTable> Table(const std::string& name = "T") {
    return std::make_unique<TDataTable>(dir_.Path(), name, settings_);
  }
  std::unique_ptr<TDataTable> Created(TTableOptions options = {}) {
    auto t = Table();
    t->Create(Fields(), options, TIndexCreateOptions{true});
    return t;
  }
  // Inserts a record with the two values; returns its number.
  static std::int32_t Insert(TDataTable& t, std::int32_t id, const std::vector<std::uint8_t>& note,
                             const std::vector<std::uint8_t>& pic) {
    TDataFile& d = t.Data();
    std::vector<std::uint8_t> image = t.BlankRecord();
    d.PutField(image.data(), *d.FieldByName("ID"),
               std::span(reinterpret_cast<const std::uint8_t*>(&id), 4));
    TWriteLockGuard lock(t);
    WriteBlobField(*t.Blobs(), d, image.data(), *d.FieldByName("NOTE"), note);
    WriteBlobField(*t.Blobs(), d, image.data(), *d.FieldByName("PIC"), pic);
    return t.InsertRecord(image.data());
  }
  static void UpdateNote(TDataTable& t, std::int32_t n, const std::vector<std::uint8_t>& note) {
    TDataFile& d = t.Data();
    TWriteLockGuard lock(t);
    std::vector<std::uint8_t> image;
    {
      TRecordPin r = d.GetRecord(n);
      image.assign(r->Data(), r->Data() + r->Size());
    }
    WriteBlobField(*t.Blobs(), d, image.data(), *d.FieldByName("NOTE"), note);
    t.UpdateRecord(n, image.data());
  }
  static std::vector<std::uint8_t> Read(TDataTable& t, std::int32_t n, const char* field) {
    TReadLockGuard lock(t);
    TRecordPin r = t.Data().GetRecord(n);
    return ReadBlobField(*t.Blobs(), t.Data(), r->Data(), *t.Data().FieldByName(field));
  }
  // Every block of the BLOB file belongs to one live value or the free chain.
  void ExpectSoundBlobFile(TDataTable& t, bool encrypted = false) {
    const auto refs = kura::test::LiveBlobRefs(t.Data());
    std::vector<std::string> problems;
    const auto image = kura::test::ReadBlobImage(dir_.File("T.BLB"), 0, encrypted, problems);
    int unowned = -1;
    const auto more = kura::test::CheckBlobFile(image, refs, &unowned);
    problems.insert(problems.end(), more.begin(), more.end());
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(unowned, 0);
  }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
};

TEST_F(BlobTableTest, BlobFileComesWithBlobFieldsOnly) {
  Created()->Close();
  EXPECT_EQ(kura::test::FileSize(dir_.File("T.BLB")), 512);
  auto plain = Table("P");
  plain->Create(Fields(false), {}, TIndexCreateOptions{true});
  EXPECT_EQ(plain->Blobs(), nullptr);
  plain->Close();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("P.BLB")));
}

TEST_F(BlobTableTest, ValuesSurviveCloseAndReopen) {
  auto t = Created();
  const std::int32_t a = Insert(*t, 1, ValueBytes(1000, 1), ValueBytes(70000, 2));
  const std::int32_t b = Insert(*t, 2, {}, ValueBytes(10, 3));
  t->Close();
  auto u = Table();
  u->Open(false);
  u->Verify();
  EXPECT_EQ(Read(*u, a, "NOTE"), ValueBytes(1000, 1));
  EXPECT_EQ(Read(*u, a, "PIC"), ValueBytes(70000, 2));
  EXPECT_TRUE(Read(*u, b, "NOTE").empty());
  EXPECT_EQ(Read(*u, b, "PIC"), ValueBytes(10, 3));
  ExpectSoundBlobFile(*u);
}

TEST_F(BlobTableTest, UpdatesAndDeletesReturnBlocksToTheFreeChain) {
  auto t = Created();
  const std::int32_t a = Insert(*t, 1, ValueBytes(3000, 1), ValueBytes(100, 2));
  const std::int32_t b = Insert(*t, 2, ValueBytes(500, 3), {});
  const std::int32_t blocks = t->Blobs()->BlockCount();
  UpdateNote(*t, a, ValueBytes(20, 4));
  EXPECT_EQ(Read(*t, a, "NOTE"), ValueBytes(20, 4));
  ExpectSoundBlobFile(*t);
  // The new value went to a new block; the 7 blocks of the old one are free
  // once the record that referred to them is written.
  EXPECT_EQ(t->Blobs()->BlockCount(), blocks + 1);
  EXPECT_EQ(t->Blobs()->FreeBlocks().size(), 7u);
  {
    TWriteLockGuard lock(*t);
    t->DeleteRecord(b);
  }
  ExpectSoundBlobFile(*t);
  EXPECT_EQ(t->Blobs()->FreeBlocks().size(), 9u);
  // New values take the freed blocks before the file grows.
  Insert(*t, 3, ValueBytes(494 * 9, 5), {});
  EXPECT_EQ(t->Blobs()->BlockCount(), blocks + 1);
  ExpectSoundBlobFile(*t);
}

TEST_F(BlobTableTest, RollbackForgetsBlobChanges) {
  auto t = Created();
  const std::int32_t a = Insert(*t, 1, ValueBytes(1000, 1), {});
  t->Close();
  t = Table();
  t->Open(false);
  const std::int32_t next_block = t->Blobs()->NextBlockNumber();
  t->StartTransaction();
  UpdateNote(*t, a, ValueBytes(4000, 2));
  Insert(*t, 2, ValueBytes(800, 3), {});
  t->Rollback();
  EXPECT_EQ(t->Blobs()->NextBlockNumber(), next_block);
  EXPECT_EQ(Read(*t, a, "NOTE"), ValueBytes(1000, 1));
  ExpectSoundBlobFile(*t);
  t->StartTransaction();
  UpdateNote(*t, a, ValueBytes(4000, 2));
  t->Commit();
  t->EndTransaction();
  EXPECT_EQ(Read(*t, a, "NOTE"), ValueBytes(4000, 2));
  ExpectSoundBlobFile(*t);
}

// Inside a transaction the handle reads its own BLOB values under read
// locks; the commit moves the BLOB counter (unsigned, wrapping past the top
// of the signed range) so that another handle sees the new values.
TEST_F(BlobTableTest, TransactionReadsItsOwnValuesAndItsCommitIsSeenElsewhere) {
  auto t = Created();
  const std::int32_t a = Insert(*t, 1, ValueBytes(1000, 1), {});
  const std::int32_t b = Insert(*t, 2, ValueBytes(600, 2), {});
  t->Close();
  kura::test::PatchU32(dir_.File("T.BLB"), blob_header::kChangeCounter, 0x7FFFFFFF);
  t = Table();
  t->Open(false);
  auto other = Table();
  other->Open(false);
  EXPECT_EQ(Read(*other, a, "NOTE"), ValueBytes(1000, 1));
  t->StartTransaction();
  UpdateNote(*t, a, ValueBytes(4000, 3));
  const std::int32_t c = Insert(*t, 3, ValueBytes(800, 4), ValueBytes(300, 5));
  EXPECT_EQ(Read(*t, b, "NOTE"), ValueBytes(600, 2));
  EXPECT_EQ(Read(*t, a, "NOTE"), ValueBytes(4000, 3));
  EXPECT_EQ(Read(*t, c, "PIC"), ValueBytes(300, 5));
  EXPECT_EQ(Read(*other, a, "NOTE"), ValueBytes(1000, 1));
  t->Commit();
  t->EndTransaction();
  const auto counter = static_cast<std::uint32_t>(t->Blobs()->ChangeCounter());
  EXPECT_GT(counter, 0x7FFFFFFFu);
  EXPECT_LT(counter, 0x80000010u);
  EXPECT_EQ(Read(*other, a, "NOTE"), ValueBytes(4000, 3));
  EXPECT_EQ(Read(*other, c, "NOTE"), ValueBytes(800, 4));
  ExpectSoundBlobFile(*t);
}

TEST_F(BlobTableTest, EncryptedTableRoundTrips) {
  TTableOptions options;
  options.encrypted = true;
  options.password = "secret";
  auto t = Created(options);
  const std::int32_t a = Insert(*t, 1, ValueBytes(5000, 1), ValueBytes(3, 2));
  t->Close();
  auto u = Table();
  u->Open(false);
  u->Verify();
  EXPECT_EQ(Read(*u, a, "NOTE"), ValueBytes(5000, 1));
  EXPECT_EQ(Read(*u, a, "PIC"), ValueBytes(3, 2));
  ExpectSoundBlobFile(*u, true);
}

// Change detection reads only the counters from disk (descrambled in place
// for encrypted tables): another handle's check must report exactly the
// steps in which this one wrote, and then read what was written.
TEST_F(BlobTableTest, SecondHandleDetectsExactlyTheOtherHandlesWrites) {
  for (const bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted);
    TTableOptions options;
    options.encrypted = encrypted;
    Created(options)->Close();
    auto writer = Table();
    auto reader = Table();
    writer->Open(false);
    reader->Open(false);
    std::mt19937 rng(encrypted ? 7 : 3);
    std::vector<std::int32_t> records;
    std::map<std::int32_t, std::vector<std::uint8_t>> notes;
    for (int step = 0; step < 120; ++step) {
      const unsigned op = records.empty() ? 1 : rng() % 3;
      const auto note = ValueBytes(rng() % 3000, static_cast<std::uint32_t>(step));
      if (op == 1) {
        records.push_back(Insert(*writer, step, note, {}));
        notes[records.back()] = note;
      } else if (op == 2) {
        const std::int32_t n = records[rng() % records.size()];
        UpdateNote(*writer, n, note);
        notes[n] = note;
      }
      EXPECT_EQ(reader->CheckForChanges(), op != 0) << "step " << step;
      EXPECT_FALSE(reader->CheckForChanges());
      const std::int32_t n = records[rng() % records.size()];
      EXPECT_EQ(Read(*reader, n, "NOTE"), notes[n]);
    }
    reader->Close();
    writer->Close();
    Table()->Delete();
  }
}

TEST_F(BlobTableTest, RenameAndDeleteTakeTheBlobFileAlong) {
  auto t = Created();
  Insert(*t, 1, ValueBytes(100, 1), {});
  t->Close();
  t->Rename("U");
  EXPECT_TRUE(std::filesystem::exists(dir_.File("U.BLB")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("T.BLB")));
  auto u = Table("U");
  u->Open(false);
  EXPECT_EQ(Read(*u, 1, "NOTE"), ValueBytes(100, 1));
  u->Close();
  u->Delete();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("U.BLB")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("U.DAT")));
}

TEST_F(BlobTableTest, MissingOrBadBlobFileFailsTheOpenAndClosesEverything) {
  Created()->Close();
  std::filesystem::rename(dir_.File("T.BLB"), dir_.File("T.SAVE"));
  auto t = Table();
  EXPECT_EQ(CodeOf([&] { t->Open(true); }), kErrTableMissing);
  EXPECT_FALSE(t->IsOpen());
  std::filesystem::rename(dir_.File("T.SAVE"), dir_.File("T.BLB"));
  kura::test::PatchFile(dir_.File("T.BLB"), 8, {4});
  EXPECT_EQ(CodeOf([&] { t->Open(true); }), kErrVersion);
  kura::test::PatchFile(dir_.File("T.BLB"), 8, {5});
  t->Open(true);  // nothing was left open exclusively by the failures
  t->Verify();
}

TEST_F(BlobTableTest, OldStampGets8708AndARereadSeesTheOtherProcesssValue) {
  auto t = Created();
  const std::int32_t a = Insert(*t, 1, ValueBytes(1000, 1), {});
  t->Close();
  t = Table();
  t->Open(false);
  EXPECT_EQ(Read(*t, a, "NOTE"), ValueBytes(1000, 1));
  std::vector<std::uint8_t> held;  // the record as this process last read it
  {
    TRecordPin r = t->Data().GetRecord(a);
    held.assign(r->Data(), r->Data() + r->Size());
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 1;
    try {
      TDataTable w(dir_.Path(), "T", settings_);
      w.Open(false);
      UpdateNote(w, a, ValueBytes(2500, 2));
      w.Close();
      status = 0;
    } catch (...) {
    }
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  {
    TReadLockGuard lock(*t);
    EXPECT_EQ(kura::test::CodeOf([&] {
                ReadBlobField(*t->Blobs(), t->Data(), held.data(), *t->Data().FieldByName("NOTE"));
              }),
              kErrRecordChanged);
  }
  EXPECT_EQ(Read(*t, a, "NOTE"), ValueBytes(2500, 2));
}

}  // namespace
}  // namespace kura
