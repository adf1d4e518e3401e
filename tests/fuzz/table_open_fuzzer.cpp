// libFuzzer target: opening, verifying and using a table whose files are
// arbitrary bytes. Input layout: uint32 little-endian n, then n bytes of the
// data file (.DAT), then the rest as the index file (.IDX). The files are
// memory files, so a run touches no disk. Every failure must be an engine
// error; a crash, a hang, a sanitizer report or any other exception is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "db/storage/coding.h"
#include "db/storage/data_table.h"
#include "db/storage/engine_error.h"
#include "db/storage/file_handler.h"

namespace {

void Put(const std::string& name, const std::uint8_t* bytes, std::size_t n) {
  kura::TFileHandler file(name, true);
  file.Create(name);
  if (n > 0) file.Write(0, bytes, n);
  file.Close();
}

void Exercise(kura::TDataTable& table) {
  table.Verify();
  kura::TDataFile& data = table.Data();
  const std::int32_t slots = std::min<std::int32_t>(data.SlotCount(), 2000);
  for (std::int32_t n = 1; n <= slots; ++n) {
    kura::TRecordPin r = data.GetRecord(n, n % 2 == 0);
    std::uint8_t value[300];
    for (int f = 1; f <= data.FieldCount(); ++f)
      data.GetField(r->Data(), data.Field(f), value);
  }
  data.CheckConsistency();
  std::vector<std::uint8_t> record = table.BlankRecord();
  const std::int32_t n = table.InsertRecord(record.data());
  table.DeleteRecord(n);
  table.Verify();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t dat = std::min<std::size_t>(kura::DecodeFixed32(data), size - 4);
  Put("fuzz.DAT", data + 4, dat);
  Put("fuzz.IDX", data + 4 + dat, size - 4 - dat);
  kura::TStorageSettings settings;
  settings.low_level_retries = 0;
  {
    kura::TDataTable table("", "fuzz", settings, true);
    try {
      table.Open(true);
      Exercise(table);
    } catch (const kura::EKuraEngineError&) {
      // Bad input is expected to end here.
    }
  }
  kura::TFileList::Global().Delete("fuzz.DAT", kura::TFileKind::kMemory);
  kura::TFileList::Global().Delete("fuzz.IDX", kura::TFileKind::kMemory);
  return 0;
}
