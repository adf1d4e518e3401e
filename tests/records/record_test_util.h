// Helpers of the reader tests: reading texts into fresh records, the entries
// as a list, checking that a record holds only what the board can place, and
// scratch directories.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board/game_state.h"
#include "db/common/code_page.h"
#include "records/record_file.h"

namespace kirobaku::test {

// The entries 1..n in use, as a list.
inline std::vector<MoveEntry> EntriesOf(const Record& record) {
  return std::vector<MoveEntry>(record.begin() + 1, record.begin() + 1 + CountEntries(record));
}

// The record a reader filled must be sound: entries 1..n placeable, everything
// after entry n empty, and entry 0 untouched. With setupFirst, the move numbers
// are also 0 for a leading run of setup stones and then rising (the SGF reader
// puts every setup stone first; a UGF data section may hold setup lines later).
inline void ExpectSoundRecord(const Record& record, bool setupFirst = true) {
  EXPECT_EQ(record[0], MoveEntry{});
  const std::int32_t n = CountEntries(record);
  std::int32_t last = 0;
  for (std::int32_t i = 1; i <= n; ++i) {
    const MoveEntry& e = record[i];
    EXPECT_TRUE(e.IsPlaceable()) << "entry " << i;
    if (!setupFirst) continue;
    EXPECT_GE(e.move, last) << "entry " << i;
    EXPECT_TRUE(e.move > 0 || last == 0) << "setup stone after a move at entry " << i;
    last = e.move;
  }
  for (std::int32_t i = n + 1; i <= kRecordSize; ++i) {
    EXPECT_EQ(record[i], MoveEntry{}) << "entry " << i;
  }
}

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/kirobaku-records-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes bytes to the file name in the directory and returns its path.
  std::filesystem::path Write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

 private:
  std::filesystem::path path_;
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The CP932 bytes of a UTF-8 literal, for texts the readers write.
inline std::string Sjis(const std::string& utf8) {
  return kura::Utf8ToCp932(utf8);
}

}  // namespace kirobaku::test
