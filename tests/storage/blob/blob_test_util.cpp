#include "tests/storage/blob/blob_test_util.h"

#include "db/storage/table/data_table.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/table_repair.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "db/storage/blob/blob_buffer.h"
#include "db/storage/engine_error.h"
#include "tests/storage/blob/blob_format_reader.h"

namespace kura::test {

ScratchDir::ScratchDir() {
  char templ[] = "/tmp/kura-blob-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> ValueBytes(std::size_t length, std::uint32_t seed) {
  std::vector<std::uint8_t> v(length);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = static_cast<std::uint8_t>(x ^ (i >> 8));
  }
  return v;
}

void PatchFile(const std::string& path, std::int64_t offset,
               const std::vector<std::uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
  ::close(fd);
  if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("short patch");
}

void PatchU32(const std::string& path, std::int64_t offset, std::uint32_t v) {
  PatchFile(path, offset,
            {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
             static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

std::int64_t FileSize(const std::string& path) {
  return static_cast<std::int64_t>(std::filesystem::file_size(path));
}

int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const kura::EKuraEngineError& e) {
    return e.Code();
  }
  return 0;
}

void CreateIdNotePicTable(const std::string& dir, const kura::TStorageSettings& settings,
                          bool force_os) {
  using namespace kura;
  TDataTable t(dir, "T", settings);
  std::vector<TFieldDefinition> fields(3);
  fields[0].name = "ID";
  fields[0].type = kFieldInteger;
  fields[1].name = "NOTE";
  fields[1].type = kFieldBlob;
  fields[1].subtype = kSubtypeMemo;
  fields[2].name = "PIC";
  fields[2].type = kFieldBlob;
  t.Create(fields, {}, TIndexCreateOptions{true});
  TIndexDefinition by_id;
  by_id.name = "BYID";
  by_id.fields = {1};
  by_id.unique = true;
  static_cast<TIndexFile&>(t.Index()).AddSecondaryIndex(t.Data(), by_id);
  t.Flush(force_os);
  t.Close();
}

std::string FirstTableProblem(TDataTable& t) {
  std::string step;
  try {
    step = "verify";
    t.Verify();
    step = "data consistency";
    t.Data().CheckConsistency();
    step = "blob chains";
    VerifyBlobChains(t.Data(), *t.Blobs());
    step = "index trees";
    const auto problems = static_cast<TIndexFile&>(t.Index()).CheckTrees(t.Data());
    if (!problems.empty()) return step + ": " + problems.front();
  } catch (const EKuraEngineError& e) {
    return step + ": " + e.what();
  }
  return {};
}

std::vector<std::pair<std::int32_t, std::int32_t>> LiveBlobRefs(TDataFile& data) {
  std::vector<std::pair<std::int32_t, std::int32_t>> refs;
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (r->Deleted()) continue;
    for (const char* field : {"NOTE", "PIC"}) {
      const TBlobRef ref = GetBlobRef(r->Data(), *data.FieldByName(field));
      if (ref.first_block != 0) refs.push_back({ref.first_block, ref.stamp});
    }
  }
  return refs;
}

std::vector<std::string> CheckCrashTableBlobs(TDataFile& data, const std::string& path) {
  std::vector<std::string> problems;
  const BlobImage image = ReadBlobImage(path, 0, false, problems);
  const std::vector<std::string> more = CheckBlobFile(image, LiveBlobRefs(data), nullptr);
  problems.insert(problems.end(), more.begin(), more.end());
  return problems;
}

}  // namespace kura::test
