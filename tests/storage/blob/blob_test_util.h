// Helpers of the BLOB tests: a private scratch directory, raw patches of a
// file's bytes, deterministic value bytes, and the engine error code of a
// call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "db/storage/storage_settings.h"

namespace kura {
class TDataFile;
class TDataTable;
}

namespace kura::test {

// The table's BLOB file `path` held by the independent reader against the
// values the live records of `data` refer to in the NOTE and PIC fields of
// the crash tests' table: what is wrong with the file or a chain (empty
// when sound). Blocks that belong to no value (left by a write that died)
// are allowed.
std::vector<std::string> CheckCrashTableBlobs(TDataFile& data, const std::string& path);
// The (first block, stamp) of every non-empty NOTE and PIC value of the live
// records of `data`: what the independent reader checks the chains against.
std::vector<std::pair<std::int32_t, std::int32_t>> LiveBlobRefs(TDataFile& data);

// The engine's own checks of a table in turn (verification, data
// consistency, BLOB chains, index trees): "" when it passes them all, else
// the failing check's name, ": " and what it found.
std::string FirstTableProblem(TDataTable& t);

// A fresh directory under /tmp, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Bytes of a value that depend on its seed and position, so that a block
// from the wrong value or the wrong place never matches.
std::vector<std::uint8_t> ValueBytes(std::size_t length, std::uint32_t seed);

// Overwrites bytes of a file at an offset / reads them.
void PatchFile(const std::string& path, std::int64_t offset,
               const std::vector<std::uint8_t>& bytes);
void PatchU32(const std::string& path, std::int64_t offset, std::uint32_t v);
std::int64_t FileSize(const std::string& path);

// Creates table `name` of the crash tests in `dir`: ID integer, NOTE memo,
// PIC BLOB, a unique secondary index BYID on ID; `force_os` flushes the OS
// buffers when it is written.
void CreateIdNotePicTable(const std::string& dir, const kura::TStorageSettings& settings,
                          bool force_os);

// The engine error code `f` raised, or 0 when it returned.
int CodeOf(const std::function<void()>& f);

}  // namespace kura::test
