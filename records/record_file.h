// Game-record files (SGF, UGF) as the readers see them: the whole file as
// bytes, read in one go and closed again, and the record entries they fill.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "board/game_state.h"

namespace kirobaku {

// A game-record file that cannot be opened or read. The message names the file
// and the system's reason, e.g. `cannot read "/x/a.sgf": No such file or directory`.
class RecordFileError : public std::runtime_error {
 public:
  // error: the system's error number, 0 when the file is refused for its size.
  RecordFileError(const std::string& message, std::filesystem::path path, int error)
      : std::runtime_error(message), path_(std::move(path)), error_(error) {}
  const std::filesystem::path& Path() const { return path_; }
  int Error() const { return error_; }

 private:
  std::filesystem::path path_;
  int error_;
};

// Files above this size are refused as unreadable: real game records are a few
// kilobytes, and the readers hold the whole text (and a copy) in memory.
inline constexpr std::uintmax_t kMaxRecordFileBytes = 64u << 20;

// The bytes of the file at path. Throws RecordFileError.
std::string ReadRecordFile(const std::filesystem::path& path);

// Appends entries to a MoveRecord from entry 1 upward and never past entry 400.
// The record must be empty when the writer starts (the caller empties it).
class EntryWriter {
 public:
  explicit EntryWriter(Record& record) : record_(&record) {}

  // Whether all 400 entries are in use; a reader stops reading then.
  bool Full() const { return count_ >= kRecordSize; }
  // Stores {move, colour, point} in the next entry. Precondition: !Full(),
  // point on the board, colour black or white.
  void Add(std::int32_t move, StoneColour colour, PointIndex point);
  std::int32_t Count() const { return count_; }

 private:
  Record* record_;
  std::int32_t count_ = 0;
};

// The number of entries in use: those before the first entry with colour 0.
std::int32_t CountEntries(const Record& record);

// Which reader a file name asks for: its extension, letter case ignored.
enum class RecordFormat { kSgf, kUgf, kUnknown };
RecordFormat FormatOfFileName(const std::filesystem::path& path);

// Reads the file with the reader its name asks for, filling entries 1..n of
// record (which the caller has emptied), and returns the comment as CP932
// bytes. Throws RecordFileError when the file cannot be read and
// std::invalid_argument when its name ends in neither .sgf nor .ugf.
// `unkept` receives the characters the comment could not keep (see
// ReadSgfText; a UGF file is CP932 and keeps all).
std::string ReadGameRecord(const std::filesystem::path& path, Record& record,
                           std::string* unkept = nullptr);

}  // namespace kirobaku
