#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_format.h"
#include "db/storage/table/data_table.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::Field;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

std::int32_t I32(const std::vector<std::uint8_t>& b, std::size_t off) {
  return static_cast<std::int32_t>(DecodeFixed32(&b[off]));
}
int U16(const std::vector<std::uint8_t>& b, std::size_t off) {
  return DecodeFixed16(&b[off]);
}

class DataFileTest : public ::testing::Test {
 protected:
  std::string Path(const char* ext) const { return dir_ / (std::string("moves") + ext); }
  void CreateMoves() {
    TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
    t.Create({Field("NB", kFieldInteger), Field("MNO", kFieldInteger), Field("CLR", kFieldInteger),
              Field("PNT", kFieldInteger)},
             TTableOptions{});
    t.Close();
  }
  TempDir dir_;
};

TEST_F(DataFileTest, NewTableIsHeaderPlusDescriptorsAndIndexHeaderPage) {
  TTableOptions options;
  options.description = "game records";
  options.user_major = 3;
  options.blob_block_size = 1024;
  TDataTable t(dir_.path(), "kifulist", DefaultStorageSettings());
  TFieldDefinition cmt = Field("CMT", kFieldString, 250);
  cmt.description = "comment";
  cmt.default_value = "none";
  TFieldDefinition nb = Field("NB", kFieldInteger);
  nb.required = true;
  t.Create({nb, cmt}, options);
  t.Close();

  const auto d = ReadFileBytes(dir_ / "kifulist.DAT");
  ASSERT_EQ(d.size(), 127u + 2 * 768);
  EXPECT_EQ(I32(d, 0), 1);  // one header write since creation
  EXPECT_EQ(I32(d, 4), 1024);
  EXPECT_EQ(d[8], 5);
  EXPECT_EQ(I32(d, 9), 0);
  EXPECT_EQ(I32(d, 13), 1);
  EXPECT_EQ(I32(d, 17), 0);
  EXPECT_EQ(U16(d, 21), 9 + 5 + 252);
  EXPECT_EQ(U16(d, 23), 2);
  EXPECT_EQ(U16(d, 25), 0);
  EXPECT_EQ(DecodeShortString(&d[35], 50), "game records");
  EXPECT_EQ(d[86], 0);
  EXPECT_EQ(d[87], 0);
  EXPECT_EQ(U16(d, 107), 3);
  EXPECT_EQ(U16(d, 109), 0);
  EXPECT_EQ(DecodeFixed64(&d[116]), 33000u);
  EXPECT_EQ(d[124] | d[125] | d[126], 0);
  // Descriptor 1 (NB) and 2 (CMT).
  const std::size_t f1 = 127, f2 = 127 + 768;
  EXPECT_EQ(U16(d, f1), 1);
  EXPECT_EQ(DecodeShortString(&d[f1 + 2], 30), "NB");
  EXPECT_EQ(d[f1 + 84], 6);
  EXPECT_EQ(d[f1 + 86], 0);
  EXPECT_EQ(d[f1 + 88], 4);
  EXPECT_EQ(U16(d, f1 + 90), 9);
  EXPECT_EQ(d[f1 + 92], 1);
  EXPECT_EQ(U16(d, f2), 2);
  EXPECT_EQ(DecodeShortString(&d[f2 + 33], 50), "comment");
  EXPECT_EQ(d[f2 + 84], 1);
  EXPECT_EQ(d[f2 + 86], 250);
  EXPECT_EQ(d[f2 + 88], 251);
  EXPECT_EQ(U16(d, f2 + 90), 14);
  EXPECT_EQ(DecodeShortString(&d[f2 + 196], 50), "none");

  const auto x = ReadFileBytes(dir_ / "kifulist.IDX");
  ASSERT_EQ(x.size(), 4096u);
  EXPECT_EQ(x[8], 5);
  EXPECT_EQ(I32(x, 9), 1);
  EXPECT_EQ(DecodeShortString(&x[14 + 31 * 120], 30), "Sys Deleted");
  EXPECT_EQ(U16(x, 14 + 31 * 120 + 31), 5);
  EXPECT_EQ(DecodeShortString(&x[14 + 32 * 120], 30), "Sys Text");
  EXPECT_EQ(U16(x, 14 + 32 * 120 + 31), 68);
  EXPECT_EQ(x[14 + 32 * 120 + 36], 3);
  EXPECT_EQ(I32(x, 3974), 0);
  EXPECT_EQ(x[3978], 1);
}

TEST_F(DataFileTest, RecordLayoutOfEveryTypeAndAutoIncrementHasNoSlot) {
  TDataTable t(dir_.path(), "types", DefaultStorageSettings());
  std::vector<TFieldDefinition> fields = {
      Field("S", kFieldString, 3),   Field("D", kFieldDate),
      Field("B", kFieldBlob, 0, 22), Field("L", kFieldBoolean),
      Field("I16", kFieldSmallInt),  Field("ID", kFieldInteger, 0, kSubtypeAutoInc),
      Field("I32", kFieldInteger),   Field("F", kFieldFloat),
      Field("N", kFieldBcd),         Field("BY", kFieldBytes, 2),
      Field("T", kFieldTime),        Field("TS", kFieldTimestamp),
      Field("W", kFieldWord),        Field("U", kFieldUnsigned),
      Field("X", kFieldExtended),    Field("VB", kFieldVarBytes, 3),
      Field("I64", kFieldLargeInt)};
  fields[8].scale = 2;
  t.Create(fields, TTableOptions{});
  TDataFile& data = t.Data();
  // Offsets follow each other from 9; the auto-increment field sits at 5.
  const int sizes[] = {4, 4, 8, 2, 2, 0, 4, 8, 34, 2, 4, 8, 2, 4, 10, 3, 8};
  int offset = 9;
  for (int i = 0; i < 17; ++i) {
    const TFieldDescriptor& f = data.Field(i + 1);
    if (f.IsAutoInc()) {
      EXPECT_EQ(f.Offset(), 5);
      continue;
    }
    EXPECT_EQ(f.Offset(), offset) << f.Name();
    EXPECT_EQ(f.StorageSize(), sizes[i]) << f.Name();
    offset += sizes[i] + 1;
  }
  EXPECT_EQ(data.RecordSize(), offset);
  EXPECT_EQ(data.BlobFieldCount(), 1);

  auto rec = t.BlankRecord();
  auto put = [&](const char* name, std::string_view text) {
    const TFieldDescriptor* f = data.FieldByName(name);
    std::string err;
    auto v = ParseValueText(f->Shape(), text, &err);
    ASSERT_TRUE(v) << name << ": " << err;
    data.PutField(rec.data(), *f, *v);
  };
  put("S", "ab ");
  put("D", "0001-01-02");
  put("L", "true");
  put("I16", "-2");
  put("I32", "-7");
  put("F", "1.5");
  put("N", "-12.3");
  put("BY", "0x0102");
  put("T", "01:00:00.5");
  put("TS", "0001-01-02T00:00:01");
  put("W", "65535");
  put("U", "4294967295");
  put("X", "1");
  put("VB", "z");
  put("I64", "-1");
  const std::int32_t n = t.InsertRecord(rec.data());
  t.Close();

  const auto d = ReadFileBytes(dir_ / "types.DAT");
  const std::size_t r = 127 + 17 * 768 + static_cast<std::size_t>(n - 1) * offset;
  ASSERT_EQ(d.size(), r + offset);
  EXPECT_EQ(d[r], 0);
  EXPECT_EQ(I32(d, r + 1), 1);
  EXPECT_EQ(I32(d, r + 5), 1);
  std::size_t p = r + 9;
  EXPECT_EQ(d[p], 1);
  EXPECT_EQ(std::memcmp(&d[p + 1], "ab\0\0", 4), 0);  // trailing blank removed
  p += 5;
  EXPECT_EQ(I32(d, p + 1), 2);
  p += 5;
  EXPECT_EQ(d[p], 0);  // empty BLOB is null
  p += 9;
  EXPECT_EQ(U16(d, p + 1), 1);
  p += 3;
  EXPECT_EQ(U16(d, p + 1), 0xFFFE);
  p += 3;
  EXPECT_EQ(I32(d, p + 1), -7);
  p += 5;
  EXPECT_EQ(DecodeDouble(&d[p + 1]), 1.5);
  p += 9;
  EXPECT_EQ(d[p + 1], 32);
  EXPECT_EQ(d[p + 2], 0x80 | 2);
  EXPECT_EQ(d[p + 3 + 14], 0x12);  // 32 digits ...0001230, the last two the fraction
  EXPECT_EQ(d[p + 3 + 15], 0x30);
  p += 35;
  EXPECT_EQ(d[p + 1], 1);
  EXPECT_EQ(d[p + 2], 2);
  p += 3;
  EXPECT_EQ(I32(d, p + 1), 3600500);
  p += 5;
  EXPECT_EQ(DecodeDouble(&d[p + 1]), 86401000.0);
  p += 9;
  EXPECT_EQ(U16(d, p + 1), 65535);
  p += 3;
  EXPECT_EQ(DecodeFixed32(&d[p + 1]), 4294967295u);
  p += 5;
  EXPECT_EQ(d[p + 1 + 7], 0x80);  // 1.0L: explicit integer bit, biased exponent 0x3FFF
  EXPECT_EQ(d[p + 1 + 8], 0xFF);
  EXPECT_EQ(d[p + 1 + 9], 0x3F);
  p += 11;
  EXPECT_EQ(std::memcmp(&d[p + 1], "z\0\0", 3), 0);
  p += 4;
  EXPECT_EQ(DecodeFixed64(&d[p + 1]), ~0ull);
}

TEST_F(DataFileTest, RecordSizeLimitIs65535) {
  // 9 + 259 x 252 = 65277; a bytes field and an int64 bring it to exactly 65535.
  std::vector<TFieldDefinition> fields;
  for (int i = 0; i < 259; ++i)
    fields.push_back(Field("F" + std::to_string(i), kFieldString, 250));
  fields.push_back(Field("Y", kFieldBytes, 65535 - 65277 - 1 - 9));
  fields.push_back(Field("Z", kFieldLargeInt));
  TDataTable ok(dir_.path(), "big", DefaultStorageSettings());
  ok.Create(fields, TTableOptions{});
  EXPECT_EQ(ok.Data().RecordSize(), 65535);
  fields.back() = Field("Z", kFieldExtended);
  TDataTable too_big(dir_.path(), "bigger", DefaultStorageSettings());
  EXPECT_EQ(CodeOf([&] { too_big.Create(fields, TTableOptions{}); }), kErrMaxRecordSize);
  EXPECT_FALSE(too_big.Exists());
}

TEST_F(DataFileTest, InvalidDefinitionsAreRefused) {
  TDataTable t(dir_.path(), "bad", DefaultStorageSettings());
  EXPECT_EQ(CodeOf([&] { t.Create({Field("1X", kFieldInteger)}, {}); }), kErrFieldName);
  EXPECT_EQ(CodeOf([&] {
              t.Create({Field("A", kFieldInteger), Field("a", kFieldDate)}, {});
            }),
            kErrFieldName);
  EXPECT_EQ(CodeOf([&] { t.Create({Field("A", kFieldString, 251)}, {}); }), kErrFieldDefinition);
  EXPECT_EQ(CodeOf([&] { t.Create({Field("A", 16)}, {}); }), kErrFieldDefinition);
  TFieldDefinition bad_min = Field("A", kFieldDate);
  bad_min.minimum = "yesterday";
  EXPECT_EQ(CodeOf([&] { t.Create({bad_min}, {}); }), kErrValidityCheck);
  std::vector<TFieldDefinition> blobs;
  for (int i = 0; i < 129; ++i)
    blobs.push_back(Field("B" + std::to_string(i), kFieldBlob));
  EXPECT_EQ(CodeOf([&] { t.Create(blobs, {}); }), kErrBlobFields);
  EXPECT_FALSE(t.Exists());
}

TEST_F(DataFileTest, WrongVersionIsRefusedAndTheFileIsClosed) {
  CreateMoves();
  auto d = ReadFileBytes(Path(".DAT"));
  d[8] = 4;
  WriteFileBytes(Path(".DAT"), d);
  TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
  EXPECT_EQ(CodeOf([&] { t.Open(false); }), kErrVersion);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_EQ(TFileList::Global().Find(Path(".DAT"), TFileKind::kPhysical), nullptr);
}

TEST_F(DataFileTest, CorruptHeadersGiveEngineErrors) {
  CreateMoves();
  const auto good = ReadFileBytes(Path(".DAT"));
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::uint16_t code;
  };
  const Case cases[] = {
      {"absurd field count", [](auto& d) { EncodeFixed16(&d[23], 5000); }, kErrHeaderCorrupt},
      {"field count beyond the file", [](auto& d) { EncodeFixed16(&d[23], 900); }, kErrReading},
      {"record size too small", [](auto& d) { EncodeFixed16(&d[21], 4); }, kErrHeaderCorrupt},
      {"slot outside the record", [](auto& d) { EncodeFixed16(&d[127 + 3 * 768 + 90], 60000); },
       kErrHeaderCorrupt},
      {"storage size lies", [](auto& d) { d[127 + 88] = 200; }, kErrHeaderCorrupt},
      {"unknown type", [](auto& d) { d[127 + 84] = 99; }, kErrHeaderCorrupt},
      {"negative next record", [](auto& d) { EncodeFixed32(&d[13], 0xFFFFFFF0u); },
       kErrHeaderCorrupt},
      {"next record beyond the file's slots", [](auto& d) { EncodeFixed32(&d[13], 100000000); },
       kErrHeaderCorrupt},
      {"free head beyond the slots", [](auto& d) { EncodeFixed32(&d[9], 7); }, kErrHeaderCorrupt},
      {"truncated header", [](auto& d) { d.resize(100); }, kErrReading},
      {"empty file", [](auto& d) { d.clear(); }, kErrReading},
  };
  for (const Case& c : cases) {
    auto d = good;
    c.damage(d);
    WriteFileBytes(Path(".DAT"), d);
    TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
    EXPECT_EQ(CodeOf([&] { t.Open(false); }), c.code) << c.what;
    EXPECT_FALSE(t.IsOpen()) << c.what;
  }
}

TEST_F(DataFileTest, VerifyFindsInconsistentFiles) {
  CreateMoves();
  {
    TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
    t.Open(true);
    auto rec = t.BlankRecord();
    for (int i = 0; i < 5; ++i)
      t.InsertRecord(rec.data());
    t.Verify();
    t.Data().CheckConsistency();
  }
  const auto good = ReadFileBytes(Path(".DAT"));
  const std::size_t rs = 9 + 4 * 5, start = 127 + 4 * 768;
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"length not a multiple of the record size", [](auto& d) { d.push_back(0); }},
      {"next record disagrees with the length", [](auto& d) { EncodeFixed32(&d[13], 4); }},
      {"duplicate field name",
       [](auto& d) {
         d[127 + 768 + 2] = 2;  // field 2 "MNO" becomes "NB"
         d[127 + 768 + 3] = 'N';
         d[127 + 768 + 4] = 'B';
       }},
      {"offsets not consecutive", [](auto& d) { EncodeFixed16(&d[127 + 768 + 90], 15); }},
      {"live slot holds another number", [&](auto& d) { EncodeFixed32(&d[start + rs + 1], 9); }},
      {"free chain through a live slot", [&](auto& d) { EncodeFixed32(&d[9], 2); }},
  };
  for (const Case& c : cases) {
    auto d = good;
    c.damage(d);
    WriteFileBytes(Path(".DAT"), d);
    TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
    const std::uint16_t code = CodeOf([&] {
      t.Open(false);
      t.Verify();
      t.Data().CheckConsistency();
    });
    EXPECT_EQ(code, kErrHeaderCorrupt) << c.what;
  }
}

TEST_F(DataFileTest, FileShorterThanItsHeaderIsRefusedOrAReadError) {
  CreateMoves();
  {
    TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
    t.Open(true);
    auto rec = t.BlankRecord();
    for (int i = 0; i < 5; ++i)
      t.InsertRecord(rec.data());
  }
  const auto full = ReadFileBytes(Path(".DAT"));
  auto cut = full;
  cut.resize(cut.size() - 40);
  WriteFileBytes(Path(".DAT"), cut);
  TDataTable t(dir_.path(), "moves", DefaultStorageSettings());
  EXPECT_EQ(CodeOf([&] { t.Open(false); }), kErrHeaderCorrupt);
  // Cut under an open table: the read of the missing slots fails, nothing
  // else is read or written.
  WriteFileBytes(Path(".DAT"), full);
  t.Open(false);
  std::filesystem::resize_file(Path(".DAT"), cut.size());
  EXPECT_EQ(CodeOf([&] { t.Data().GetRecord(3); }), kErrReading);
  EXPECT_EQ(CodeOf([&] { t.Data().GetRecord(0); }), kErrRecordBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { t.Data().GetRecord(99); }), kErrRecordBuffersCorrupt);
  EXPECT_EQ(CodeOf([&] { t.Verify(); }), kErrHeaderCorrupt);
  t.Close();
  EXPECT_EQ(ReadFileBytes(Path(".DAT")), cut);
}

TEST_F(DataFileTest, CacheHitsReadAheadAndWriteRuns) {
  CreateMoves();
  TStorageSettings settings;
  TDataTable t(dir_.path(), "moves", settings);
  t.Open(true);
  TDataFile& data = t.Data();
  const int per_block = data.RecordsPerBlock();
  EXPECT_EQ(per_block, 8192 / 29);
  EXPECT_EQ(data.CacheCapacity(), static_cast<std::size_t>(16384 / 29));
  auto rec = t.BlankRecord();
  t.StartTransaction();  // keep the records dirty so they are written as one run
  for (int i = 0; i < 1000; ++i)
    t.InsertRecord(rec.data());
  EXPECT_GT(data.CacheCapacity(), static_cast<std::size_t>(16384 / 29));  // grew: all dirty
  const auto writes_before = data.Writes();
  t.Commit();
  t.EndTransaction();
  EXPECT_EQ(data.Writes() - writes_before, 1);  // 1000 consecutive slots, one write
  data.DropRecords();
  data.TrimCache();
  const auto reads = data.BlockReads();
  for (int n = 1; n <= per_block; ++n)
    data.GetRecord(n);
  EXPECT_EQ(data.BlockReads() - reads, 1);  // one read-ahead block served them all
  const auto hits = data.Hits();
  data.GetRecord(per_block);
  EXPECT_EQ(data.Hits() - hits, 1);
  data.GetRecord(1000, true);  // backwards: the block ending at 1000
  for (int n = 1000 - per_block + 1; n <= 1000; ++n)
    data.GetRecord(n);
  EXPECT_EQ(data.BlockReads() - reads, 2);
  EXPECT_LE(data.CachedCount(), data.CacheCapacity());
}

// Random reads (forwards and backwards), updates, deletes, appends, drops
// and trims through a cache far smaller than a read block, held against a
// map of what every slot holds; then the file read afresh must agree too.
TEST_F(DataFileTest, RandomWorkThroughASmallCacheMatchesAModel) {
  CreateMoves();
  TStorageSettings settings;
  // The smallest cache there is: one block's worth of records (282).
  settings.record_buffer_memory = 29 * 40;
  TDataTable t(dir_.path(), "moves", settings);
  t.Open(true);
  TDataFile& data = t.Data();
  std::map<std::int32_t, std::int32_t> live;  // record number -> NB
  std::vector<std::uint8_t> row = t.BlankRecord();
  auto put = [&](std::int32_t nb) {
    std::uint8_t b[4];
    EncodeFixed32(b, static_cast<std::uint32_t>(nb));
    data.PutField(row.data(), data.Field(1), {b, 4});
  };
  auto nb_of = [&](const TRecord& r) {
    std::uint8_t b[4];
    EXPECT_TRUE(data.GetField(r.Data(), data.Field(1), b));
    return static_cast<std::int32_t>(DecodeFixed32(b));
  };
  for (std::int32_t i = 1; i <= 1500; ++i) {
    put(i);
    live[t.InsertRecord(row.data())] = i;
  }
  std::mt19937 rng(11);
  std::int32_t next_nb = 100000;
  std::int32_t window = 1;
  for (int step = 0; step < 2500; ++step) {
    // Windows of 100 slots, each first read forwards from its start: the
    // block read then covers the window, and records leave the cache while
    // their block is still the last one read.
    if (step % 300 == 0) {
      window = 1 + static_cast<std::int32_t>(rng() % 1400);
      data.GetRecord(window);
    }
    const std::int32_t n = window + static_cast<std::int32_t>(rng() % 100);
    const unsigned op = rng() % 21;
    const bool is_live = live.count(n) != 0;
    if (op < 6) {
      TRecordPin r = data.GetRecord(n, rng() % 2 == 0);
      ASSERT_EQ(r->Deleted(), !is_live) << step;
      if (is_live) {
        ASSERT_EQ(nb_of(*r), live[n]) << step;
      }
    } else if (op < 9) {
      // A scan's view: the same record, its own number in the link, and
      // the cache as it was.
      const std::size_t cached = data.CachedCount();
      const std::uint8_t* p = data.PeekRecord(n);
      ASSERT_EQ(p[0] != 0, !is_live) << step;
      EXPECT_EQ(data.CachedCount(), cached) << step;
      if (is_live) {
        std::uint8_t b[4];
        ASSERT_TRUE(data.GetField(p, data.Field(1), b));
        ASSERT_EQ(static_cast<std::int32_t>(DecodeFixed32(b)), live[n]) << step;
        ASSERT_EQ(static_cast<std::int32_t>(DecodeFixed32(p + 1)), n) << step;
      }
    } else if (op < 14 && is_live) {
      put(++next_nb);
      t.UpdateRecord(n, row.data());
      live[n] = next_nb;
    } else if (op < 16 && is_live) {
      t.DeleteRecord(n);
      live.erase(n);
    } else if (op < 18) {
      put(++next_nb);
      live[t.InsertRecord(row.data())] = next_nb;
    } else if (op == 18) {
      data.DropRecords();
      data.GetRecord(window);
      EXPECT_EQ(data.CachedCount(), 1u);  // a lookup caches its record, not its block
    } else if (op == 19) {
      // Appends alone push the window's records out of the cache.
      for (int k = 0; k < 300; ++k) {
        put(++next_nb);
        live[t.InsertRecord(row.data())] = next_nb;
      }
    } else {
      t.Flush(false, true);
      EXPECT_LE(data.CachedCount(), data.CacheCapacity());
    }
  }
  t.Close();
  t.Open(true);
  for (std::int32_t n = 1; n <= t.Data().SlotCount(); ++n) {
    TRecordPin r = t.Data().GetRecord(n);
    ASSERT_EQ(r->Deleted(), live.count(n) == 0) << n;
    if (!r->Deleted()) {
      ASSERT_EQ(nb_of(*r), live[n]) << n;
    }
  }
}

}  // namespace
}  // namespace kura
