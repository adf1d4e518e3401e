// libFuzzer target: opening, verifying and using a table whose files are
// arbitrary bytes. Input layout: uint32 little-endian d, uint32 little-endian
// i, then d bytes of the data file (.DAT), i bytes of the index file (.IDX)
// and the rest as the BLOB file (.BLB; none when the rest is empty). The files
// are real files in a scratch directory of this process (emptied before every
// run, removed at exit), so the run takes the same paths as the kura tool.
//
// A run verifies the table as `kura verify` does (headers, record chain, the
// deep check of every B-tree and free chain, the BLOB chains), reads every
// record, its BLOB values and every index in key order, and when the table is
// sound it inserts and deletes records. Every failure must be an engine
// error; a crash, a hang, a sanitizer report, running out of memory or any
// other exception is a bug.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "db/storage/blob/blob_buffer.h"
#include "db/storage/table/table_repair.h"
#include "db/storage/coding.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kMaxSlotsRead = 2000;
constexpr int kMaxKeysWalked = 5000;

fs::path& ScratchDir() {
  static fs::path dir;
  return dir;
}

void RemoveScratch() {
  std::error_code ec;
  fs::remove_all(ScratchDir(), ec);
}

void EmptyScratch() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(ScratchDir(), ec))
    fs::remove_all(entry.path(), ec);
}

void Put(const fs::path& path, const std::uint8_t* bytes, std::size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
}

// Runs one step; an engine error ends only that step. Returns whether it
// completed.
template <typename F>
bool Step(F&& f) {
  try {
    f();
    return true;
  } catch (const kura::EKuraEngineError&) {
    return false;
  }
}

void ReadRecords(kura::TDataTable& table) {
  kura::TDataFile& data = table.Data();
  const std::int32_t slots = std::min<std::int32_t>(data.SlotCount(), kMaxSlotsRead);
  std::vector<std::uint8_t> value(600);
  for (std::int32_t n = 1; n <= slots; ++n) {
    Step([&] {
      kura::TRecordPin r = data.GetRecord(n, n % 2 == 0);
      for (int f = 1; f <= data.FieldCount(); ++f) {
        const kura::TFieldDescriptor& field = data.Field(f);
        if (field.Type() == kura::kFieldBlob) {
          if (table.Blobs() && !r->Deleted()) {
            Step([&] { kura::ReadBlobField(*table.Blobs(), data, r->Data(), field); });
          }
          continue;
        }
        data.GetField(r->Data(), field, value.data());
      }
    });
  }
}

void WalkIndexes(kura::TDataTable& table, kura::TIndexFile& index) {
  std::vector<int> slots = {0, kura::kSysDeletedSlot};
  for (int s = 1; s <= index.SecondaryCount(); ++s)
    slots.push_back(s);
  for (int slot : slots) {
    Step([&] {
      kura::TIndexTree tree = index.Tree(table.Data(), slot);
      kura::TIndexEntry e;
      for (bool more = tree.First(e); more && e.ordinal < kMaxKeysWalked; more = tree.Next(e)) {
      }
      const std::int64_t count = tree.Count();
      if (tree.AtOrdinal(count / 2, e)) {
        tree.Prior(e);
        tree.Seek(e.key.data(), static_cast<int>(e.key.size()) / 2, e);
      }
    });
  }
}

// The checks of `kura verify`; whether they found the table sound.
bool VerifyAll(kura::TDataTable& table) {
  kura::TIndexFile* index = dynamic_cast<kura::TIndexFile*>(&table.Index());
  bool sound = Step([&] {
    table.Verify();
    table.Data().CheckConsistency();
  });
  if (!sound) return false;
  if (index != nullptr && !index->CheckTrees(table.Data()).empty()) sound = false;
  if (kura::TBlobFile* blobs = table.Blobs()) {
    if (!kura::CheckBlobChains(table.Data(), *blobs).problems.empty()) sound = false;
  }
  return sound;
}

void Exercise(kura::TDataTable& table) {
  const bool sound = VerifyAll(table);
  ReadRecords(table);
  if (auto* index = dynamic_cast<kura::TIndexFile*>(&table.Index())) WalkIndexes(table, *index);
  if (!sound) return;
  // A sound table stays sound through inserts and deletes.
  kura::TDataFile& data = table.Data();
  Step([&] {
    std::vector<std::uint8_t> record = table.BlankRecord();
    const std::int32_t n = table.InsertRecord(record.data());
    table.DeleteRecord(n);
  });
  Step([&] {
    // A copy of the first live record (a duplicate key is refused), then the
    // first live record goes.
    for (std::int32_t n = 1; n <= std::min<std::int32_t>(data.SlotCount(), kMaxSlotsRead); ++n) {
      std::vector<std::uint8_t> record;
      {
        kura::TRecordPin r = data.GetRecord(n);
        if (r->Deleted()) continue;
        record.assign(r->Data(), r->Data() + data.RecordSize());
      }
      if (data.BlobFieldCount() == 0) Step([&] { table.InsertRecord(record.data()); });
      table.DeleteRecord(n);
      break;
    }
  });
  Step([&] { table.Flush(); });
  if (!VerifyAll(table)) {
    // Changes made through the engine must never break a sound table.
    std::abort();
  }
}

// Removes the scratch directories of earlier runs that ended in a finding
// (libFuzzer then exits without running exit handlers).
void RemoveStaleScratch() {
  std::error_code ec;
  const std::string prefix = "kura-fuzz-";
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      fs::remove_all(entry.path(), ec);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RemoveStaleScratch();
  ScratchDir() = fs::temp_directory_path() / ("kura-fuzz-" + std::to_string(getpid()));
  RemoveScratch();
  fs::create_directories(ScratchDir());
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::size_t rest = size - 8;
  const std::size_t dat = std::min<std::size_t>(kura::DecodeFixed32(data), rest);
  const std::size_t idx = std::min<std::size_t>(kura::DecodeFixed32(data + 4), rest - dat);
  const std::size_t blb = rest - dat - idx;
  EmptyScratch();
  const fs::path dir = ScratchDir();
  Put(dir / "FUZZ.DAT", data + 8, dat);
  Put(dir / "FUZZ.IDX", data + 8 + dat, idx);
  if (blb > 0) Put(dir / "FUZZ.BLB", data + 8 + dat + idx, blb);
  kura::TStorageSettings settings;
  settings.low_level_retries = 0;
  {
    kura::TDataTable table(dir.string(), "FUZZ", settings);
    if (Step([&] { table.Open(true); })) {
      Step([&] { Exercise(table); });
      Step([&] { table.Close(); });
    }
  }
  EmptyScratch();
  return 0;
}
