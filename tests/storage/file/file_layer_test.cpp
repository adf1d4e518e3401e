#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "db/storage/engine_error.h"
#include "db/storage/file/file_handler.h"
#include "db/storage/file/file_list.h"
#include "db/storage/file/file_system.h"
#include "db/storage/file/scramble.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using test::CodeOf;

TEST(FileLayerTest, MemoryFileKeepsItsDataAcrossCloseAndReopen) {
  TFileHandler a("mem", true);
  a.Create("memtable-keep.DAT");
  const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
  a.Write(4094, bytes, sizeof bytes);  // crosses a 4096-byte step
  a.Close();
  TFileHandler b("mem", true);
  b.Open("MEMTABLE-KEEP.dat", false);
  std::uint8_t back[5] = {};
  b.ReadFull(4094, back, 5);
  EXPECT_EQ(0, std::memcmp(bytes, back, 5));
  EXPECT_EQ(b.Size(), 4099);
  EXPECT_EQ(b.Read(0, nullptr, 0), 0u);  // an empty read touches no buffer
  EXPECT_EQ(b.Read(5000, back, 5), 0u);  // past the end: nothing, no error
  std::uint8_t zero[4] = {9, 9, 9, 9};
  b.ReadFull(0, zero, 4);
  EXPECT_EQ(zero[0] | zero[1] | zero[2] | zero[3], 0);
  b.Close();
  b.Delete("memtable-keep.DAT");
  EXPECT_EQ(CodeOf([&] { b.Open("memtable-keep.DAT", false); }), kErrTableMissing);
}

TEST(FileLayerTest, TemporaryMemoryFileDropsItsContentsAtLastClose) {
  TFileHandler a("mem", true);
  a.Create("memtable-temp.DAT", true);
  const std::uint8_t b = 7;
  a.Write(0, &b, 1);
  a.Close();
  TFileHandler c("mem", true);
  c.Open("memtable-temp.DAT", false);
  EXPECT_EQ(c.Size(), 0);
}

TEST(FileLayerTest, MemoryLocksConflictOnOverlapAndUnlockByExactRange) {
  TFileHandler a("mem", true), b("mem", true);
  a.Create("memtable-locks.DAT");
  a.Close();
  a.Open("memtable-locks.DAT", false);
  b.Open("memtable-locks.DAT", false);
  EXPECT_TRUE(a.LockRange(100, 10));
  EXPECT_FALSE(b.LockRange(109, 1));
  EXPECT_FALSE(b.LockRange(95, 6));
  EXPECT_TRUE(b.LockRange(110, 1));
  EXPECT_FALSE(a.UnlockRange(100, 5));
  EXPECT_TRUE(a.UnlockRange(100, 10));
  EXPECT_TRUE(b.LockRange(100, 10));
}

TEST(FileLayerTest, ScramblingUndoesItself) {
  std::vector<std::uint8_t> data(1000);
  std::iota(data.begin(), data.end(), 0);
  const auto original = data;
  Scramble(data.data(), data.size(), kRecordKey);
  EXPECT_NE(data, original);
  Scramble(data.data(), data.size(), kRecordKey);
  EXPECT_EQ(data, original);
  std::uint8_t one[3] = {0, 0, 0};
  Scramble(one, 3, TScrambleKey{0x01, 0x10});
  EXPECT_EQ(one[0], 0x01 ^ 0x10);
  EXPECT_EQ(one[1], 0x02 ^ 0x0F);
  EXPECT_EQ(one[2], 0x03 ^ 0x0E);
}

TEST(FileLayerTest, OneSharedFileAndExclusiveConflictsInsideTheProcess) {
  TempDir dir;
  WriteFileBytes(dir / "t.DAT", {1, 2, 3});
  TFileHandler a("t", false), b("t", false), c("t", false);
  a.Open(dir / "t.DAT", false);
  b.Open(dir / "T.dat", false);  // letter case ignored
  EXPECT_EQ(a.SharedFile(), b.SharedFile());
  EXPECT_EQ(CodeOf([&] { c.Open(dir / "t.DAT", true); }), kErrAccessDenied);
  a.Close();
  b.Close();
  c.Open(dir / "t.DAT", true);
  EXPECT_EQ(CodeOf([&] { a.Open(dir / "t.DAT", false); }), kErrAccessDenied);
  EXPECT_EQ(CodeOf([&] { a.Delete(dir / "t.DAT"); }), kErrAccessDenied);
}

TEST(FileLayerTest, BackslashPathsAndCaseInsensitiveLookup) {
  TempDir dir;
  WriteFileBytes(dir / "Kifu.DAT", {42});
  std::string windows_style = dir.path() + "\\KIFU.dat";
  TFileHandler a("kifu", false);
  ASSERT_TRUE(a.Exists(windows_style));
  a.Open(windows_style, false);
  std::uint8_t b = 0;
  a.ReadFull(0, &b, 1);
  EXPECT_EQ(b, 42);
  EXPECT_EQ(NormalizeDirectory("a\\b"), "a/b/");
  EXPECT_TRUE(IsPath("c:kifu"));
  EXPECT_FALSE(IsPath("kifu"));
}

TEST(FileLayerTest, ReadOnlyAttributeOpensReadOnly) {
  TempDir dir;
  WriteFileBytes(dir / "ro.DAT", {1, 2});
  ASSERT_EQ(::chmod((dir / "ro.DAT").c_str(), 0444), 0);
  TFileHandler a("ro", false);
  a.Open(dir / "ro.DAT", false);
  EXPECT_TRUE(a.ReadOnly());
  EXPECT_TRUE(a.ReadOnlyAttribute());
  const std::uint8_t b = 0;
  EXPECT_EQ(CodeOf([&] { a.Write(0, &b, 1); }), kErrWriting);
  EXPECT_EQ(ReadFileBytes(dir / "ro.DAT"), (std::vector<std::uint8_t>{1, 2}));
}

TEST(FileLayerTest, OsErrorsMapToEngineCodes) {
  EXPECT_EQ(MapOsError(ENOENT), 11010);
  EXPECT_EQ(MapOsError(ENOTDIR), 11010);
  EXPECT_EQ(MapOsError(EMFILE), 11012);
  EXPECT_EQ(MapOsError(EACCES), 11013);
  EXPECT_EQ(MapOsError(EAGAIN), 11013);
  EXPECT_EQ(MapOsError(EROFS), 11013);
  EXPECT_EQ(MapOsError(EBADF), 11014);
  EXPECT_EQ(MapOsError(ENOMEM), 11016);
  EXPECT_EQ(MapOsError(ENXIO), 11023);
  EXPECT_EQ(MapOsError(ESTALE), 11025);
  EXPECT_EQ(MapOsError(EIO), 11047);
  TempDir dir;
  TFileHandler a("nodir", false);
  EXPECT_EQ(CodeOf([&] { a.Create(dir / "missing/x.DAT"); }), kErrTableMissing);
}

TEST(FileLayerTest, CompressedCopyRoundTripsAndCorruptionIs15002) {
  TempDir dir;
  std::vector<std::uint8_t> bytes(200'000);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i % 251 / 7);
  WriteFileBytes(dir / "t.IDX", bytes);
  TFileHandler a("t", false);
  a.Open(dir / "t.IDX", true);
  std::vector<int> progress;
  a.CopyTo(
      dir / "t.IBK", true, [&](int p) { progress.push_back(p); }, 25);
  EXPECT_LT(ReadFileBytes(dir / "t.IBK").size(), bytes.size() / 4);
  EXPECT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
  a.SetSize(10);
  a.CopyFrom(dir / "t.IBK", true);
  a.Close();
  EXPECT_EQ(ReadFileBytes(dir / "t.IDX"), bytes);

  auto packed = ReadFileBytes(dir / "t.IBK");
  packed[20] ^= 0xFF;
  WriteFileBytes(dir / "bad.IBK", packed);
  packed.resize(30);
  WriteFileBytes(dir / "short.IBK", packed);
  a.Open(dir / "t.IDX", true);
  EXPECT_EQ(CodeOf([&] { a.CopyFrom(dir / "bad.IBK", true); }), kErrUncompress);
  EXPECT_EQ(CodeOf([&] { a.CopyFrom(dir / "short.IBK", true); }), kErrUncompress);
  a.CopyTo(dir / "plain.IBK", false);
  EXPECT_EQ(ReadFileBytes(dir / "plain.IBK").size(), a.Size());
}

// Writes at most `limit` bytes per call, then fails with EIO.
class TShortWriteFileSystem : public TPosixFileSystem {
 public:
  int WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
              std::size_t* done) override {
    if (fail_io) {
      *done = 0;
      return EIO;
    }
    return TPosixFileSystem::WriteAt(fd, offset, buffer, std::min<std::size_t>(n, 3), done);
  }
  bool fail_io = false;
};

TEST(FileLayerTest, ShortWritesAndIoErrorsAreWriteErrors) {
  TempDir dir;
  TShortWriteFileSystem fs;
  SetFileSystemForTesting(&fs);
  TFileHandler a("t", false);
  a.Create(dir / "t.DAT");
  const std::uint8_t bytes[8] = {};
  EXPECT_EQ(CodeOf([&] { a.Write(0, bytes, 8); }), kErrWriting);
  fs.fail_io = true;
  try {
    a.Write(0, bytes, 1);
    ADD_FAILURE();
  } catch (const EKuraEngineError& e) {
    EXPECT_EQ(e.Code(), kErrWriting);
    EXPECT_EQ(e.OsCode(), EIO);
  }
  a.Close();
  SetFileSystemForTesting(nullptr);
}

// The head of a file is read through a mapping where one can be made (the
// change counters at every lock). It must read what another program wrote
// there a moment before, as a positioned read does, and a file cut to
// nothing under the mapping must be a read error, never a crash.
TEST(FileLayerTest, MappedHeadReadsWhatOthersWriteAndSurvivesACut) {
  TempDir dir;
  const std::string path = dir / "head.IDX";
  TFileHandler h("t", false);
  h.Create(path);
  std::vector<std::uint8_t> zeros(8192, 0);
  h.Write(0, zeros.data(), zeros.size());
  // Another program's descriptor, outside the process's file registry.
  const int other = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::uint8_t bytes[16];
    const std::size_t n = 1 + random() % sizeof bytes;
    const std::int64_t at = static_cast<std::int64_t>(random() % (4096 - n + 1));
    for (std::size_t i = 0; i < n; ++i)
      bytes[i] = static_cast<std::uint8_t>(random());
    ASSERT_EQ(::pwrite(other, bytes, n, at), static_cast<ssize_t>(n));
    std::uint8_t mapped[16] = {}, read[16] = {};
    const std::size_t m = 1 + random() % sizeof mapped;
    const std::int64_t from = random() % 2 ? at : static_cast<std::int64_t>(random() % (4096 - m));
    h.ReadHeadFull(from, mapped, m);
    h.ReadFull(from, read, m);
    ASSERT_EQ(0, std::memcmp(mapped, read, m)) << "round " << round;
  }
  ASSERT_EQ(::ftruncate(other, 0), 0);
  std::uint8_t counter[4];
  EXPECT_EQ(CodeOf([&] { h.ReadHeadFull(0, counter, sizeof counter); }), kErrReading);
  // Grown again, the head reads as before.
  const std::uint8_t four[4] = {1, 2, 3, 4};
  ASSERT_EQ(::pwrite(other, four, 4, 0), 4);
  h.ReadHeadFull(0, counter, sizeof counter);
  EXPECT_EQ(0, std::memcmp(counter, four, 4));
  ::close(other);
  h.Close();
}

// Fails the OS flush of one descriptor with EIO and records every flush.
class TFailingSyncFileSystem : public TPosixFileSystem {
 public:
  int Sync(int fd) override {
    synced.push_back(fd);
    return fd == fail_fd ? EIO : TPosixFileSystem::Sync(fd);
  }
  int fail_fd = -1;
  std::vector<int> synced;
};

// Flushing several files together: the POSIX file system reports each one's
// result in its place; a file system of a test sees each flush through its
// own Sync; the first failure is raised with the failing file's OS code,
// after every file was flushed.
TEST(FileLayerTest, FilesFlushedTogetherReportEachResult) {
  TempDir dir;
  std::vector<int> fds(4, -1);
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (i == 1) continue;  // a descriptor that is not open
    ASSERT_EQ(FileSystem().Open(dir / ("f" + std::to_string(i)), true, true, &fds[i]), 0);
  }
  std::vector<int> errors;
  FileSystem().SyncEach(fds, &errors);
  EXPECT_EQ(errors, (std::vector<int>{0, EBADF, 0, 0}));
  for (int fd : fds)
    if (fd >= 0) FileSystem().Close(fd);

  TFailingSyncFileSystem fs;
  SetFileSystemForTesting(&fs);
  {
    TFileHandler a("t", false), b("t", false), m("t", true);
    a.Create(dir / "a.DAT");
    b.Create(dir / "b.DAT");
    m.Create("m.DAT");
    TFileHandler::FlushTogether({&a, &m, &b});
    EXPECT_EQ(fs.synced.size(), 2u);
    fs.fail_fd = fs.synced[0];
    fs.synced.clear();
    try {
      TFileHandler::FlushTogether({&a, &m, &b});
      ADD_FAILURE();
    } catch (const EKuraEngineError& e) {
      EXPECT_EQ(e.Code(), kErrWriting);
      EXPECT_EQ(e.OsCode(), EIO);
    }
    EXPECT_EQ(fs.synced.size(), 2u);
    a.Close();
    b.Close();
    m.Close();
  }
  SetFileSystemForTesting(nullptr);
}

}  // namespace
}  // namespace kura
