// Corruption run: a small table (data, index and BLOB files: a secondary
// index, BLOB values of several blocks, deleted slots on the free chain) is
// built once; then every header field, record-slot header, field-descriptor
// key byte, index page and BLOB block header, one at a time, is set to
// boundary values (0, 1, -1, the largest and smallest of its width) and
// random ones, and a child process opens the damaged table, verifies it as
// `kura verify` does, reads every record and BLOB value, and on an engine
// error mends it with the repair of `kura repair` and checks the result.
// The child's outcome is one of:
//   no effect        opened sound, every record and value as written
//   engine error, repaired     a clear engine error, then a repair after which
//                    the table verifies and holds only records as written (a
//                    BLOB value may be emptied)
//   engine error, repair refused  a clear engine error, and the repair gave up
//                    with one (the files are as they were)
//   silent wrong data          opened and verified sound, data not as written
//   unsound repair   the repair reported success, the result does not verify
//                    or holds data never written
//   crash / hang     killed by a signal or another exception / no end in 20 s
// The last four are faults. Prints the table of outcomes by site kind and the
// faulty cases. Usage: corruption_soak [--random N] [--seed S]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/storage/blob/blob_buffer.h"
#include "db/storage/blob/blob_format.h"
#include "db/storage/coding.h"
#include "db/storage/data/data_format.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "db/storage/index/index_format.h"
#include "db/storage/table/data_table.h"
#include "db/storage/table/table_repair.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char* const kExt[] = {".DAT", ".IDX", ".BLB"};

enum Outcome {
  kNoEffect = 10,
  kRepaired = 11,
  kRefused = 12,
  kSilentWrong = 13,
  kUnsoundRepair = 14,
  kCrash = 100,
  kHang = 101,
};

const char* OutcomeName(int o) {
  switch (o) {
    case kNoEffect:
      return "no effect";
    case kRepaired:
      return "error, repaired";
    case kRefused:
      return "error, refused";
    case kSilentWrong:
      return "silent wrong";
    case kUnsoundRepair:
      return "unsound repair";
    case kHang:
      return "hang";
    default:
      return "crash";
  }
}

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void WriteAll(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

kura::TFieldDefinition Field(const char* name, std::uint8_t type, int length = 0,
                             std::uint8_t subtype = 0) {
  kura::TFieldDefinition f;
  f.name = name;
  f.type = type;
  f.length = length;
  f.subtype = subtype;
  return f;
}

// A record as the checks compare it: the image without its slot header and
// the BLOB reference, and the BLOB value.
struct Row {
  Bytes image;
  Bytes memo;
  bool operator==(const Row& o) const { return image == o.image && memo == o.memo; }
  bool operator<(const Row& o) const {
    if (image != o.image) return Less(image, o.image);
    return Less(memo, o.memo);
  }
  // Size first, then bytes (a plain order for the multiset; GCC 12 warns
  // falsely on std::vector's three-way comparison when optimising).
  static bool Less(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) return a[i] < b[i];
    return false;
  }
};

constexpr int kMemoField = 4;

void Build(const fs::path& dir) {
  kura::TStorageSettings settings;
  kura::TDataTable table(dir.string(), "T", settings);
  kura::TTableOptions options;
  options.blob_block_size = 64;
  table.Create(
      {Field("ID", kura::kFieldInteger), Field("NAME", kura::kFieldString, 12),
       Field("N", kura::kFieldSmallInt), Field("MEMO", kura::kFieldBlob, 0, kura::kSubtypeMemo)},
      options, kura::TIndexCreateOptions{true});
  auto& index = dynamic_cast<kura::TIndexFile&>(table.Index());
  kura::TIndexDefinition def;
  def.name = "ByName";
  def.fields = {2, 1};
  index.AddSecondaryIndex(table.Data(), def);
  kura::TDataFile& data = table.Data();
  std::vector<std::int32_t> numbers;
  for (int i = 0; i < 24; ++i) {
    Bytes rec = table.BlankRecord();
    const kura::TFieldDescriptor& id = data.Field(1);
    Bytes v(4);
    kura::EncodeFixed32(v.data(), static_cast<std::uint32_t>(i * 7));
    data.PutField(rec.data(), id, v);
    data.PutString(rec.data(), data.Field(2), "name" + std::to_string(i % 9));
    if (i % 3 != 0) {
      const std::string memo(static_cast<std::size_t>(10 + i * 9), static_cast<char>('a' + i));
      kura::WriteBlobField(
          *table.Blobs(), data, rec.data(), data.Field(kMemoField),
          std::span(reinterpret_cast<const std::uint8_t*>(memo.data()), memo.size()));
    }
    numbers.push_back(table.InsertRecord(rec.data()));
  }
  for (int k : {3, 10, 17})
    table.DeleteRecord(numbers[static_cast<std::size_t>(k)]);
  table.Close();
}

// The checks of `kura verify`; throws the engine error of the first problem.
void VerifyAll(kura::TDataTable& table) {
  table.Verify();
  table.Data().CheckConsistency();
  if (auto* index = dynamic_cast<kura::TIndexFile*>(&table.Index())) {
    const auto problems = index->CheckTrees(table.Data());
    if (!problems.empty()) throw std::runtime_error("index: " + problems.front());
  }
  if (kura::TBlobFile* blobs = table.Blobs()) kura::VerifyBlobChains(table.Data(), *blobs);
}

std::multiset<Row> ReadRows(kura::TDataTable& table) {
  std::multiset<Row> rows;
  kura::TDataFile& data = table.Data();
  const kura::TFieldDescriptor& memo = data.Field(kMemoField);
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    kura::TRecordPin r = data.GetRecord(n);
    if (r->Deleted()) continue;
    Row row;
    row.image.assign(r->Data(), r->Data() + data.RecordSize());
    if (table.Blobs()) row.memo = kura::ReadBlobField(*table.Blobs(), data, r->Data(), memo);
    // The reference (has-value byte and 8 bytes) is where the value lies,
    // not the value.
    std::fill_n(row.image.begin() + static_cast<std::ptrdiff_t>(memo.Offset()), 9, 0);
    // The own record number and the auto-increment identifier in the slot
    // header are where and which the record is, not what it holds.
    std::fill_n(row.image.begin() + 1, 8, 0);
    rows.insert(row);
  }
  return rows;
}

std::multiset<Row> OpenAndRead(const fs::path& dir) {
  kura::TStorageSettings settings;
  settings.low_level_retries = 0;
  kura::TDataTable table(dir.string(), "T", settings);
  table.Open(true);
  VerifyAll(table);
  auto rows = ReadRows(table);
  table.Close();
  return rows;
}

// Every row read after a repair was written, its value possibly emptied.
bool AllWritten(const std::multiset<Row>& rows, const std::multiset<Row>& written) {
  for (const Row& r : rows) {
    if (written.count(r)) continue;
    bool emptied = false;
    for (const Row& w : written)
      emptied = emptied || (w.image == r.image && r.memo.empty());
    if (!emptied) return false;
  }
  return true;
}

int Child(const fs::path& dir, const std::multiset<Row>& written) {
  try {
    const auto rows = OpenAndRead(dir);
    return rows == written ? kNoEffect : kSilentWrong;
  } catch (const kura::EKuraEngineError&) {
  } catch (const std::runtime_error&) {  // a problem VerifyAll found
  }
  try {
    kura::RepairTableFiles(dir.string(), "T", kura::TStorageSettings{});
  } catch (const kura::EKuraEngineError&) {
    return kRefused;
  }
  try {
    return AllWritten(OpenAndRead(dir), written) ? kRepaired : kUnsoundRepair;
  } catch (const kura::EKuraEngineError&) {
    return kUnsoundRepair;
  } catch (const std::runtime_error&) {
    return kUnsoundRepair;
  }
}

int RunCase(const fs::path& dir, const std::multiset<Row>& written) {
  const pid_t pid = fork();
  if (pid == 0) {
    int rc = kCrash;
    try {
      rc = Child(dir, written);
    } catch (...) {
    }
    std::fflush(nullptr);
    _exit(rc);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return kHang;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) >= kNoEffect &&
      WEXITSTATUS(status) <= kUnsoundRepair)
    return WEXITSTATUS(status);
  return kCrash;
}

// One place to damage: `width` bytes at `offset` of file `file` (0 .DAT,
// 1 .IDX, 2 .BLB), or a whole span (width > 8) filled with zeros or noise.
struct Site {
  std::string kind;
  int file;
  std::size_t offset;
  std::size_t width;
};

std::vector<Site> Sites(const std::vector<Bytes>& files) {
  std::vector<Site> s;
  // Data header fields and the key bytes of every field descriptor.
  const std::pair<std::size_t, std::size_t> header[] = {
      {0, 4},  {4, 4},  {8, 1},  {9, 4},   {13, 4},  {17, 4},  {21, 2},  {23, 2},
      {25, 2}, {27, 8}, {86, 1}, {103, 2}, {105, 2}, {107, 2}, {112, 4}, {116, 8}};
  for (auto [off, w] : header)
    s.push_back({"data header", 0, off, w});
  const int fields = 4;
  for (int f = 0; f < fields; ++f) {
    const std::size_t base =
        kura::kDataHeaderSize + static_cast<std::size_t>(f) * kura::kDescriptorSize;
    for (auto [off, w] : {std::pair<std::size_t, std::size_t>{0, 2},
                          {84, 1},
                          {85, 1},
                          {86, 1},
                          {88, 1},
                          {90, 2},
                          {247, 1}})
      s.push_back({"field descriptor", 0, base + off, w});
  }
  // Record-slot headers: deleted flag, own number or free-chain link,
  // auto-increment value; the BLOB reference of every slot (has-value byte,
  // first block, stamp).
  const std::size_t slots_at = kura::kDataHeaderSize + fields * kura::kDescriptorSize;
  const std::size_t record_size = kura::DecodeFixed16(files[0].data() + 21);
  const std::size_t memo_at =
      kura::DecodeFixed16(files[0].data() + slots_at - kura::kDescriptorSize + 90);
  for (std::size_t at = slots_at; at + record_size <= files[0].size(); at += record_size) {
    s.push_back({"slot header", 0, at, 1});
    s.push_back({"slot chain link", 0, at + 1, 4});
    s.push_back({"slot header", 0, at + 5, 4});
    s.push_back({"BLOB reference", 0, at + memo_at, 1});
    s.push_back({"BLOB reference", 0, at + memo_at + 1, 4});
    s.push_back({"BLOB reference", 0, at + memo_at + 5, 4});
  }
  // Index header and descriptors, then every page: its first words and the
  // whole page.
  for (auto [off, w] :
       {std::pair<std::size_t, std::size_t>{0, 4}, {8, 1}, {9, 4}, {13, 1}, {3974, 4}, {3978, 1}})
    s.push_back({"index header", 1, off, w});
  for (int d : {0, 1, 31}) {
    const std::size_t base = 14 + static_cast<std::size_t>(d) * 120;
    for (auto [off, w] : {std::pair<std::size_t, std::size_t>{31, 2},
                          {33, 1},
                          {35, 1},
                          {36, 1},
                          {37, 1},
                          {54, 2},
                          {86, 4},
                          {90, 4}})
      s.push_back({"index descriptor", 1, base + off, w});
  }
  for (std::size_t at = kura::kIndexPageSize; at + kura::kIndexPageSize <= files[1].size();
       at += kura::kIndexPageSize) {
    for (std::size_t w = 0; w < 16; w += 4)
      s.push_back({"index page", 1, at + w, 4});
    s.push_back({"index page", 1, at, kura::kIndexPageSize});
  }
  // BLOB header and every block header.
  for (auto [off, w] : {std::pair<std::size_t, std::size_t>{0, 4}, {8, 1}, {9, 4}, {13, 4}})
    s.push_back({"BLOB header", 2, off, w});
  const std::size_t block = 64;
  for (std::size_t at = kura::kBlobHeaderSize; at + block <= files[2].size(); at += block) {
    s.push_back({"BLOB chain link", 2, at, 4});
    s.push_back({"BLOB chain link", 2, at + 4, 4});
    s.push_back({"BLOB block header", 2, at + 8, 2});
    s.push_back({"BLOB block header", 2, at + 10, 4});
    s.push_back({"BLOB block header", 2, at + 14, 4});
    s.push_back({"BLOB block", 2, at, block});
  }
  return s;
}

// The values a site takes: boundaries of its width and random ones.
std::vector<Bytes> Values(const Site& site, std::mt19937& rng, int randoms) {
  std::vector<Bytes> out;
  if (site.width > 8) {
    out.push_back(Bytes(site.width, 0));
    Bytes noise(site.width);
    for (auto& b : noise)
      b = static_cast<std::uint8_t>(rng());
    out.push_back(noise);
    return out;
  }
  auto le = [&](std::uint64_t v) {
    Bytes b(site.width);
    for (std::size_t i = 0; i < site.width; ++i)
      b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
  };
  const unsigned bits = static_cast<unsigned>(site.width * 8);
  const std::uint64_t ones = bits == 64 ? ~0ull : (1ull << bits) - 1;
  for (std::uint64_t v : {std::uint64_t{0}, std::uint64_t{1}, ones, ones >> 1, (ones >> 1) + 1})
    out.push_back(le(v));
  for (int i = 0; i < randoms; ++i)
    out.push_back(le((static_cast<std::uint64_t>(rng()) << 32 | rng()) & ones));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int randoms = 3;
  unsigned seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--random") randoms = std::atoi(argv[i + 1]);
    if (a == "--seed") seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
  }
  std::mt19937 rng(seed);
  char pattern[] = "/tmp/kura-corruption-XXXXXX";
  const fs::path top = mkdtemp(pattern);
  const fs::path pristine = top / "pristine", work = top / "case";
  fs::create_directories(pristine);
  fs::create_directories(work);
  Build(pristine);
  const std::multiset<Row> written = OpenAndRead(pristine);
  std::vector<Bytes> files;
  for (const char* ext : kExt)
    files.push_back(ReadAll(pristine / (std::string("T") + ext)));
  std::printf("corruption run: files of %zu, %zu and %zu bytes, %zu live records, seed %u\n",
              files[0].size(), files[1].size(), files[2].size(), written.size(), seed);
  std::fflush(stdout);  // the children must not inherit buffered output

  const std::vector<Site> sites = Sites(files);
  std::map<std::string, std::map<int, long>> table;
  std::vector<std::string> faults;
  long cases = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const Site& site : sites) {
    if (site.offset + site.width > files[static_cast<std::size_t>(site.file)].size()) continue;
    for (const Bytes& value : Values(site, rng, randoms)) {
      for (std::size_t f = 0; f < 3; ++f) {
        Bytes b = files[f];
        if (static_cast<int>(f) == site.file)
          std::copy(value.begin(), value.end(),
                    b.begin() + static_cast<std::ptrdiff_t>(site.offset));
        WriteAll(work / (std::string("T") + kExt[f]), b);
      }
      for (const char* ext : {".DBK", ".IBK", ".BBK"})
        fs::remove(work / (std::string("T") + ext));
      const int outcome = RunCase(work, written);
      ++cases;
      table[site.kind][outcome] += 1;
      if (outcome == kSilentWrong || outcome == kUnsoundRepair || outcome == kCrash ||
          outcome == kHang) {
        std::string v;
        for (std::size_t i = 0; i < std::min<std::size_t>(value.size(), 8); ++i)
          v += std::to_string(value[i]) +
               (i + 1 < std::min<std::size_t>(value.size(), 8) ? "," : "");
        faults.push_back(std::string(OutcomeName(outcome)) + ": " + site.kind + " " +
                         kExt[site.file] + " offset " + std::to_string(site.offset) + " width " +
                         std::to_string(site.width) + " bytes " + v);
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const int columns[] = {kNoEffect,      kRepaired, kRefused, kSilentWrong,
                         kUnsoundRepair, kCrash,    kHang};
  std::printf("%-18s", "site");
  for (int c : columns)
    std::printf(" %15s", OutcomeName(c));
  std::printf("\n");
  std::map<int, long> total;
  for (const auto& [kind, counts] : table) {
    std::printf("%-18s", kind.c_str());
    for (int c : columns) {
      const auto it = counts.find(c);
      const long n = it == counts.end() ? 0 : it->second;
      total[c] += n;
      std::printf(" %15ld", n);
    }
    std::printf("\n");
  }
  std::printf("%-18s", "all");
  for (int c : columns)
    std::printf(" %15ld", total[c]);
  std::printf("\n%ld cases in %.0f s; %zu faults\n", cases, seconds, faults.size());
  for (const std::string& f : faults)
    std::printf("  %s\n", f.c_str());
  std::error_code ec;
  fs::remove_all(top, ec);
  return faults.empty() ? 0 : 1;
}
