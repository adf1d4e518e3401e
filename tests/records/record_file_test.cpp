#include "records/record_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "records/record_test_util.h"
#include "records/sgf_reader.h"
#include "records/ugf_reader.h"

namespace kirobaku {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using test::ScratchDir;

// Runs the read, expects a RecordFileError, and returns its message.
template <typename F>
std::string ErrorOf(F read) {
  try {
    read();
  } catch (const RecordFileError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no RecordFileError";
  return {};
}

TEST(RecordFileTest, UnreadableFilesNameTheFileAndTheReason) {
  ScratchDir dir;
  Record record{};
  const std::string missing = (dir.path() / "missing.sgf").string();
  EXPECT_THAT(ErrorOf([&] { ReadSgfFile(missing, record); }),
              AllOf(HasSubstr(missing), HasSubstr("No such file or directory")));
  EXPECT_THAT(ErrorOf([&] { ReadUgfFile(dir.path(), record); }),
              AllOf(HasSubstr(dir.path().string()), HasSubstr("Is a directory")));
  EXPECT_EQ(record, Record{});
}

TEST(RecordFileTest, OversizedFileIsRefusedWithoutReadingIt) {
  ScratchDir dir;
  const auto file = dir.Write("huge.sgf", "(;B[aa];W[bb])");
  ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(kMaxRecordFileBytes + 1)), 0);
  Record record{};
  EXPECT_THAT(ErrorOf([&] { ReadSgfFile(file, record); }), HasSubstr("too large"));
  EXPECT_EQ(record, Record{});
}

TEST(RecordFileTest, ReadsBytesAsTheyAre) {
  ScratchDir dir;
  const std::string bytes("a\0b\r\n\xFF\x81", 7);
  EXPECT_EQ(ReadRecordFile(dir.Write("x.sgf", bytes)), bytes);
  EXPECT_EQ(ReadRecordFile(dir.Write("empty.sgf", "")), "");
}

TEST(RecordFileTest, ChoosesTheReaderByExtensionIgnoringCase) {
  EXPECT_EQ(FormatOfFileName("a.sgf"), RecordFormat::kSgf);
  EXPECT_EQ(FormatOfFileName("dir.ugf/A.SGF"), RecordFormat::kSgf);
  EXPECT_EQ(FormatOfFileName("b.Ugf"), RecordFormat::kUgf);
  EXPECT_EQ(FormatOfFileName(".sgf"), RecordFormat::kSgf);
  EXPECT_EQ(FormatOfFileName("sgf"), RecordFormat::kUnknown);
  EXPECT_EQ(FormatOfFileName("a.sgf/"), RecordFormat::kUnknown);
  EXPECT_EQ(FormatOfFileName("c.sgf.txt"), RecordFormat::kUnknown);

  ScratchDir dir;
  Record sgf{};
  EXPECT_EQ(ReadGameRecord(dir.Write("g.SGF", "(;EV[E];B[aa];W[bb])"), sgf), "E");
  EXPECT_EQ(sgf[1], (MoveEntry{1, kBlack, 1}));
  Record ugf{};
  EXPECT_EQ(ReadGameRecord(dir.Write("g.uGF", "Title=U\n[Data]\nAS,B1,1,0\n"), ugf), "U   ");
  EXPECT_EQ(ugf[1], (MoveEntry{1, kBlack, 1}));
  Record other{};
  EXPECT_THROW(ReadGameRecord(dir.Write("g.txt", "(;B[aa])"), other), std::invalid_argument);
  EXPECT_EQ(other, Record{});
}

TEST(RecordFileTest, EntryWriterStopsAtTheLastEntry) {
  Record record{};
  EntryWriter writer(record);
  for (int i = 1; i <= kRecordSize + 5; ++i)
    writer.Add(i, kWhite, 5);
  EXPECT_TRUE(writer.Full());
  EXPECT_EQ(writer.Count(), kRecordSize);
  EXPECT_EQ(record[kRecordSize], (MoveEntry{kRecordSize, kWhite, 5}));
  EXPECT_EQ(CountEntries(record), kRecordSize);
  EXPECT_EQ(record[0], MoveEntry{});
}

}  // namespace
}  // namespace kirobaku
