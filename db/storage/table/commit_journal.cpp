#include "db/storage/table/commit_journal.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <span>
#include <thread>

#include "db/common/undo_on_throw.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/file/lock_map.h"
#include "db/storage/table/data_table.h"

namespace kura {

namespace {

constexpr char kMagic[8] = {'K', 'U', 'R', 'A', 'J', 'N', 'L', '2'};
// The single-commit journal of the older form: "KURAJNL1", file count,
// write count, body length, the files and writes, CRC-32.
constexpr char kMagicSingle[8] = {'K', 'U', 'R', 'A', 'J', 'N', 'L', '1'};
constexpr std::size_t kHeaderBytes = 24;  // of the older form
constexpr std::size_t kMagicBytes = TCommitJournal::kCutBytes;
constexpr std::int64_t kRecordAlign = 512;
constexpr std::size_t kBootBytes = 16;
constexpr std::size_t kSaltBytes = 8;
// Where a record's fields lie, from its start.
constexpr std::size_t kBootAt = 4;
constexpr std::size_t kSaltAt = kBootAt + kBootBytes;
constexpr std::size_t kFileCountAt = kSaltAt + kSaltBytes;
constexpr std::size_t kRecordHeadBytes = kFileCountAt + 4 + 4;
// A replay waits this long for a file's writer lock: readers let go within
// milliseconds; a holder that keeps it longer is taken for a live writer.
constexpr int kReplayLockRetries = 1000;

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), p, static_cast<uInt>(n)));
}

// One descriptor of the file system, closed (and so unlocked) on every path.
class TOsFile {
 public:
  TOsFile() = default;
  ~TOsFile() { Close(); }
  TOsFile(const TOsFile&) = delete;
  TOsFile& operator=(const TOsFile&) = delete;
  TOsFile(TOsFile&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }

  int Open(const std::string& path, bool create) {
    return FileSystem().Open(path, true, create, &fd_);
  }
  // Opens an existing file, or creates it when there is none.
  int OpenOrCreate(const std::string& path) {
    const int err = Open(path, false);
    return err == ENOENT ? Open(path, true) : err;
  }
  void Close() {
    if (fd_ >= 0) FileSystem().Close(fd_);
    fd_ = -1;
  }
  // A non-waiting exclusive lock tried `retries` more times, `sleep_ms` apart.
  bool Lock(std::int64_t start, std::int64_t length, int retries, int sleep_ms) {
    for (int attempt = 0;; ++attempt) {
      if (FileSystem().Lock(fd_, start, length, TOsLockKind::kExclusive) == 0) return true;
      if (attempt >= retries) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    }
  }
  int WriteAll(std::int64_t offset, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      std::size_t done = 0;
      if (const int err = FileSystem().WriteAt(fd_, offset, p, n, &done)) return err;
      if (done == 0) return EIO;
      offset += static_cast<std::int64_t>(done);
      p += done;
      n -= done;
    }
    return 0;
  }
  int ReadAll(std::vector<std::uint8_t>* out) {
    std::int64_t size = 0;
    if (const int err = FileSystem().Size(fd_, &size)) return err;
    out->assign(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)), 0);
    std::size_t at = 0;
    while (at < out->size()) {
      std::size_t done = 0;
      if (const int err = FileSystem().ReadAt(fd_, static_cast<std::int64_t>(at),
                                               out->data() + at, out->size() - at, &done))
        return err;
      if (done == 0) break;
      at += done;
    }
    out->resize(at);
    return 0;
  }
  int ReadAt(std::int64_t offset, std::uint8_t* p, std::size_t n, std::size_t* done) {
    return FileSystem().ReadAt(fd_, offset, p, n, done);
  }
  int Truncate(std::int64_t size) { return FileSystem().Truncate(fd_, size); }
  int Sync() { return FileSystem().Sync(fd_); }
  std::int64_t Size() {
    std::int64_t size = 0;
    return FileSystem().Size(fd_, &size) == 0 ? size : -1;
  }

 private:
  int fd_ = -1;
};

// The name of a table file as it is on the disk (the registry found it
// ignoring case), which is what the journal records and compares.
std::string OnDiskName(const TFileHandler& handler) {
  return handler.SharedFile() != nullptr ? handler.SharedFile()->Name() : handler.FileName();
}

// Errors name the journal: it is what a user finds in the directory.
[[noreturn]] void RaiseJournal(std::uint16_t code, int os_error = 0) {
  RaiseTableError(code, "COMMIT.JNL", os_error);
}

void CheckOs(int err, std::uint16_t code) {
  if (err != 0) RaiseJournal(code, err);
}

// A journal of this length holds settled records only (or none).
bool Settled(std::int64_t size) {
  return size >= static_cast<std::int64_t>(kMagicBytes) &&
         (size - static_cast<std::int64_t>(kMagicBytes)) % kRecordAlign == 0;
}

// Where the record after one ending at `end` begins.
std::int64_t RecordBoundary(std::int64_t end) {
  const std::int64_t past = end - static_cast<std::int64_t>(kMagicBytes);
  return static_cast<std::int64_t>(kMagicBytes) + (past + kRecordAlign - 1) / kRecordAlign * kRecordAlign;
}

struct TJournalFile {
  std::string path;
  std::int64_t lock_start;
  std::int64_t lock_length;
};
struct TJournalWrite {
  std::size_t file;
  std::int64_t offset;
  const std::uint8_t* bytes;
  std::size_t length;
};
// A journal's records, their files merged.
struct TJournalContent {
  std::vector<TJournalFile> files;
  std::vector<TJournalWrite> writes;
  // Every record was written in this run of the machine (its writes are in
  // the page cache then, if the journal is settled).
  bool this_run = false;
};

// Reads `count` files from j[*at, end) into `files`; false when they do not
// fit.
bool DecodeFiles(const std::string& directory, const std::vector<std::uint8_t>& j,
                 std::size_t* at, std::size_t end, std::uint32_t count,
                 std::vector<TJournalFile>* files) {
  auto have = [&](std::size_t n) { return n <= end - *at; };
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!have(2)) return false;
    const std::size_t name = DecodeFixed16(&j[*at]);
    *at += 2;
    if (name == 0 || !have(name + 16)) return false;
    std::string path(reinterpret_cast<const char*>(&j[*at]), name);
    *at += name;
    if (path.find('/') == std::string::npos) path = directory + path;
    // The file as the engine finds it (ignoring case): a program that named
    // the table in other letters wrote the same files (rule J1).
    path = ResolveFileName(path);
    files->push_back({path, static_cast<std::int64_t>(DecodeFixed64(&j[*at])),
                      static_cast<std::int64_t>(DecodeFixed64(&j[*at + 8]))});
    *at += 16;
  }
  return true;
}

// Reads `count` writes from j[*at, end) into `writes`, their file indexes
// mapped through `file_index`; false when they do not fit.
bool DecodeWrites(const std::vector<std::uint8_t>& j, std::size_t* at, std::size_t end,
                  std::uint32_t count, const std::vector<std::size_t>& file_index,
                  std::vector<TJournalWrite>* writes) {
  auto have = [&](std::size_t n) { return n <= end - *at; };
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!have(14)) return false;
    const std::size_t file = DecodeFixed16(&j[*at]);
    const auto offset = static_cast<std::int64_t>(DecodeFixed64(&j[*at + 2]));
    const std::size_t length = DecodeFixed32(&j[*at + 10]);
    *at += 14;
    if (file >= file_index.size() || offset < 0 || !have(length)) return false;
    writes->push_back({file_index[file], offset, &j[*at], length});
    *at += length;
  }
  return true;
}

// Reads a journal of records: every whole record up to the first that is
// not. False when it is no such journal.
bool DecodeRecords(const std::string& directory, const std::vector<std::uint8_t>& j,
                   const std::string& boot, TJournalContent* out) {
  if (j.size() < kMagicBytes || std::memcmp(j.data(), kMagic, sizeof kMagic) != 0) return false;
  out->this_run = boot.size() == kBootBytes;
  const std::size_t first = kMagicBytes;
  std::size_t at = first;
  while (j.size() - at >= kRecordHeadBytes + 4) {
    const std::size_t length = DecodeFixed32(&j[at]);
    if (length < kRecordHeadBytes + 4 || length > j.size() - at) break;
    const std::size_t end = at + length - 4;
    if (Crc(&j[at], length - 4) != DecodeFixed32(&j[end])) break;
    // Every record carries the salt of the journal's first: a record of an
    // earlier journal that a lost cut left behind ours is not one of them.
    if (at != first && std::memcmp(&j[at + kSaltAt], &j[first + kSaltAt], kSaltBytes) != 0)
      break;
    std::vector<TJournalFile> files;
    std::vector<TJournalWrite> writes;
    std::size_t p = at + kRecordHeadBytes;
    if (!DecodeFiles(directory, j, &p, end, DecodeFixed32(&j[at + kFileCountAt]), &files)) break;
    // The record's files in the merged list (a file named by several
    // records appears once).
    std::vector<std::size_t> index;
    for (const TJournalFile& f : files) {
      std::size_t k = 0;
      while (k < out->files.size() &&
             !(out->files[k].path == f.path && out->files[k].lock_start == f.lock_start &&
               out->files[k].lock_length == f.lock_length))
        ++k;
      index.push_back(k);
      if (k == out->files.size()) out->files.push_back(f);
    }
    if (!DecodeWrites(j, &p, end, DecodeFixed32(&j[at + kFileCountAt + 4]), index, &writes) || end - p > 4)
      break;
    if (out->this_run && std::memcmp(&j[at + kBootAt], boot.data(), kBootBytes) != 0)
      out->this_run = false;
    out->writes.insert(out->writes.end(), writes.begin(), writes.end());
    at = static_cast<std::size_t>(RecordBoundary(static_cast<std::int64_t>(at + length)));
    if (at > j.size()) break;
  }
  return true;
}

// Reads a journal's files and writes: its records, or the one commit of a
// journal of the older form. False when it is neither (nothing of it
// reached the tables).
bool Decode(const std::string& directory, const std::vector<std::uint8_t>& j,
            const std::string& boot, TJournalContent* content) {
  if (DecodeRecords(directory, j, boot, content)) return true;
  if (j.size() < kHeaderBytes + 4 ||
      std::memcmp(j.data(), kMagicSingle, sizeof kMagicSingle) != 0)
    return false;
  const std::uint32_t file_count = DecodeFixed32(&j[8]);
  const std::uint32_t write_count = DecodeFixed32(&j[12]);
  const std::uint64_t body = DecodeFixed64(&j[16]);
  if (body != j.size() - kHeaderBytes - 4) return false;
  const std::size_t end = j.size() - 4;
  if (Crc(j.data(), end) != DecodeFixed32(&j[end])) return false;
  std::size_t at = kHeaderBytes;
  if (!DecodeFiles(directory, j, &at, end, file_count, &content->files)) return false;
  std::vector<std::size_t> index(content->files.size());
  for (std::size_t i = 0; i < index.size(); ++i)
    index[i] = i;
  return DecodeWrites(j, &at, end, write_count, index, &content->writes) && at == end;
}

// Whether the journal's first record was written in this run of the
// machine: then its records are all of this run (a commit that finds one of
// an earlier run replays it before it appends).
bool FirstRecordOfThisRun(TOsFile& journal, const std::string& boot,
                          std::uint64_t* salt = nullptr) {
  if (boot.size() != kBootBytes) return false;
  std::uint8_t head[kMagicBytes + kRecordHeadBytes];
  std::size_t done = 0;
  if (journal.ReadAt(0, head, sizeof head, &done) != 0 || done != sizeof head) return false;
  const std::uint8_t* record = head + kMagicBytes;
  if (salt) *salt = DecodeFixed64(record + kSaltAt);
  return std::memcmp(head, kMagic, sizeof kMagic) == 0 &&
         std::memcmp(record + kBootAt, boot.data(), kBootBytes) == 0;
}

// A salt for a journal started afresh: no earlier journal of the directory
// is likely to have had it.
std::uint64_t NewSalt() {
  static std::atomic<std::uint64_t> counter{0};
  std::random_device device;
  const std::uint64_t r = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return r ^ (now * 0x9E3779B97F4A7C15ull) ^ (static_cast<std::uint64_t>(::getpid()) << 48) ^
         ++counter;
}

// The bytes a file holds once every write of a journal has been made, as
// disjoint runs keyed by offset: later writes over earlier ones.
using TFinalImage = std::map<std::int64_t, std::vector<std::uint8_t>>;

void Overlay(TFinalImage& image, std::int64_t offset, const std::uint8_t* bytes, std::size_t n) {
  if (n == 0) return;
  const std::int64_t end = offset + static_cast<std::int64_t>(n);
  auto it = image.upper_bound(offset);
  if (it != image.begin()) {
    auto before = std::prev(it);
    if (before->first + static_cast<std::int64_t>(before->second.size()) > offset) it = before;
  }
  std::int64_t start = offset;
  std::vector<std::uint8_t> left, right;
  while (it != image.end() && it->first < end) {
    const std::int64_t s = it->first;
    const std::int64_t e = s + static_cast<std::int64_t>(it->second.size());
    if (s < offset) {
      start = s;
      left.assign(it->second.begin(), it->second.begin() + (offset - s));
    }
    if (e > end) right.assign(it->second.begin() + (end - s), it->second.end());
    it = image.erase(it);
  }
  std::vector<std::uint8_t> run = std::move(left);
  run.insert(run.end(), bytes, bytes + n);
  run.insert(run.end(), right.begin(), right.end());
  image.emplace(start, std::move(run));
}

// Whether `file` holds every byte of `image` (false on a read error too).
bool Holds(TOsFile& file, const TFinalImage& image) {
  std::vector<std::uint8_t> found;
  for (const auto& [offset, bytes] : image) {
    found.assign(bytes.size(), 0);
    std::size_t at = 0;
    while (at < found.size()) {
      std::size_t done = 0;
      if (file.ReadAt(offset + static_cast<std::int64_t>(at), found.data() + at,
                      found.size() - at, &done) != 0 ||
          done == 0)
        return false;
      at += done;
    }
    if (found != bytes) return false;
  }
  return true;
}

// Finishes the journal's records and empties it (the caller holds the
// journal lock): a settled journal of this run only has its files made
// durable; any other has each file compared with the bytes the records
// leave, and only a file that differs is written, under its writer lock,
// with those final bytes (rules J3 to J5). See TCommitJournal::Recover for
// `held`, `must` and `durable`.
bool ReplayLocked(const std::string& directory, TOsFile& journal,
                  const std::vector<std::string>& held, const TStorageSettings& settings,
                  bool must, bool durable, bool* rewrote = nullptr) {
  std::vector<std::uint8_t> bytes;
  CheckOs(journal.ReadAll(&bytes), kErrReading);
  if (bytes.empty()) return true;
  if (bytes.size() == TCommitJournal::kCutBytes && !durable) return true;
  TJournalContent content;
  if (Decode(directory, bytes, FileSystem().BootId(), &content)) {
    // Settled in this run: every write is in the tables already.
    const bool compare =
        !(Settled(static_cast<std::int64_t>(bytes.size())) && content.this_run);
    if (!compare && !durable) return true;
    std::vector<TOsFile> open(content.files.size());
    std::vector<bool> present(content.files.size(), false);
    for (std::size_t i = 0; i < content.files.size(); ++i) {
      const int err = open[i].Open(content.files[i].path, false);
      if (err == ENOENT) continue;  // the table was deleted since
      CheckOs(err, MapOsError(err));
      present[i] = true;
    }
    std::vector<bool> differs(content.files.size(), false);
    std::vector<TFinalImage> images(content.files.size());
    if (compare) {
      for (const TJournalWrite& w : content.writes)
        Overlay(images[w.file], w.offset, w.bytes, w.length);
      for (std::size_t i = 0; i < content.files.size(); ++i)
        differs[i] = present[i] && !Holds(open[i], images[i]);
    }
    // A file that differs is written under its writer lock, taken on every
    // such file before any is written: no reader is inside one while it
    // changes, and none sees one written and another not yet (J4).
    const bool any = std::find(differs.begin(), differs.end(), true) != differs.end();
    for (std::size_t i = 0; i < content.files.size(); ++i) {
      const TJournalFile& f = content.files[i];
      if (!differs[i] || std::find(held.begin(), held.end(), f.path) != held.end()) continue;
      if (!open[i].Lock(f.lock_start, f.lock_length, kReplayLockRetries,
                        settings.low_level_sleep_ms)) {
        if (must) RaiseJournal(kErrLockFailure);
        return false;
      }
    }
    // A write cut short leaves files between two states, so a settled
    // journal is durably marked as not settled first: whoever finds it
    // after this replay was cut short replays it too.
    if (any && Settled(static_cast<std::int64_t>(bytes.size())) &&
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0) {
      CheckOs(journal.Truncate(static_cast<std::int64_t>(bytes.size()) + 1), kErrWriting);
      CheckOs(journal.Sync(), kErrWriting);
    }
    if (any && rewrote) *rewrote = true;
    for (std::size_t i = 0; i < content.files.size(); ++i)
      if (differs[i])
        for (const auto& [offset, run] : images[i])
          CheckOs(open[i].WriteAll(offset, run.data(), run.size()), kErrWriting);
    for (std::size_t i = 0; i < content.files.size(); ++i)
      if (present[i]) CheckOs(open[i].Sync(), kErrWriting);
  }
  CheckOs(journal.Truncate(0), kErrWriting);
  CheckOs(journal.Sync(), kErrWriting);
  return true;
}

}  // namespace

TCommitJournal::TCommitJournal(std::string directory, const TStorageSettings& settings)
    : directory_(std::move(directory)), settings_(settings) {}

TCommitJournal::~TCommitJournal() {
  Release();
}

std::string TCommitJournal::JournalPath(const std::string& directory) {
  return directory + "COMMIT.JNL";
}

std::string TCommitJournal::LockPath(const std::string& directory) {
  return directory + "COMMIT.LCK";
}

void TCommitJournal::CaptureFile(const TDataTable& table, TFileHandler& handler,
                                 std::int64_t lock_start, std::int64_t lock_length) {
  files_.push_back(
      {&table, &handler, lock_start, lock_length, std::make_unique<TWriteCapture>()});
  handler.StartCapture(files_.back().capture.get());
}

void TCommitJournal::Capture(TDataTable& table) {
  CaptureFile(table, table.Data(), kTableLockOffset, 1);
  CaptureFile(table, table.Index().Handler(), kWriteLockOffset, kWriteLockLength);
  if (table.Blobs() != nullptr)
    CaptureFile(table, *table.Blobs(), kWriteLockOffset, kWriteLockLength);
}

void TCommitJournal::Release() {
  for (TCaptured& f : files_)
    f.handler->StopCapture();
}

// One record of the journal (see the header for its form), after `lead`
// (the journal's magic when the record is its first, else empty). The whole
// size is reserved first: a bulk commit's record may be hundreds of MB.
std::vector<std::uint8_t> TCommitJournal::EncodeRecord(const std::string& boot, std::uint64_t salt,
                                                    std::span<const std::uint8_t> lead) const {
  std::size_t total = lead.size() + kRecordHeadBytes + 8;
  for (const TCaptured& f : files_) {
    total += 2 + OnDiskName(*f.handler).size() + 16;
    for (const TWriteCapture::TWrite& w : f.capture->writes)
      total += 14 + w.bytes.size();
  }
  std::vector<std::uint8_t> j;
  j.reserve(total);
  j.assign(lead.begin(), lead.end());
  const std::size_t at = j.size();
  j.resize(at + kRecordHeadBytes, 0);
  if (boot.size() == kBootBytes) std::memcpy(&j[at + kBootAt], boot.data(), kBootBytes);
  EncodeFixed64(&j[at + kSaltAt], salt);
  std::uint32_t write_count = 0;
  auto put16 = [&j](std::uint16_t v) {
    j.resize(j.size() + 2);
    EncodeFixed16(&j[j.size() - 2], v);
  };
  auto put32 = [&j](std::uint32_t v) {
    j.resize(j.size() + 4);
    EncodeFixed32(&j[j.size() - 4], v);
  };
  auto put64 = [&j](std::int64_t v) {
    j.resize(j.size() + 8);
    EncodeFixed64(&j[j.size() - 8], static_cast<std::uint64_t>(v));
  };
  for (const TCaptured& f : files_) {
    std::string name = OnDiskName(*f.handler);
    if (name.compare(0, directory_.size(), directory_) == 0 &&
        name.find('/', directory_.size()) == std::string::npos)
      name.erase(0, directory_.size());
    if (name.empty() || name.size() > 0xFFFF) RaiseJournal(kErrWriting);
    put16(static_cast<std::uint16_t>(name.size()));
    j.insert(j.end(), name.begin(), name.end());
    put64(f.lock_start);
    put64(f.lock_length);
  }
  for (std::size_t i = 0; i < files_.size(); ++i) {
    for (const TWriteCapture::TWrite& w : files_[i].capture->writes) {
      if (w.bytes.size() > 0xFFFFFFFFu) RaiseJournal(kErrWriting);
      put16(static_cast<std::uint16_t>(i));
      put64(w.offset);
      put32(static_cast<std::uint32_t>(w.bytes.size()));
      j.insert(j.end(), w.bytes.begin(), w.bytes.end());
      ++write_count;
    }
  }
  // A record whose length is a multiple of the boundary would leave the
  // journal looking settled before it is.
  if ((j.size() - at + 4) % kRecordAlign == 0) j.resize(j.size() + 4, 0);
  if (j.size() - at + 4 > 0xFFFFFFFFu) RaiseJournal(kErrWriting);
  EncodeFixed32(&j[at], static_cast<std::uint32_t>(j.size() - at + 4));
  EncodeFixed32(&j[at + kFileCountAt], static_cast<std::uint32_t>(files_.size()));
  EncodeFixed32(&j[at + kFileCountAt + 4], write_count);
  put32(Crc(j.data() + at, j.size() - at));
  return j;
}

// The change counter of a file with writes, as the commit leaves it: the
// first four bytes of its last header write (the counter leads the header
// of every table file, stored as the file stores it).
bool TCommitJournal::FinalCounter(const TCaptured& f, std::uint8_t* counter) {
  for (auto w = f.capture->writes.rbegin(); w != f.capture->writes.rend(); ++w) {
    if (w->offset == 0 && w->bytes.size() >= kCounterBytes) {
      std::memcpy(counter, w->bytes.data(), kCounterBytes);
      return true;
    }
  }
  return false;
}

// Writes each file's final change counter over its current one, changing
// nothing else: the tables stay as they were, but every handle that read
// them before now sees them changed, and so looks at the journal at its
// next lock. A writer therefore need not look for a dead commit's journal
// while its counters stand still. A table whose files have writes but no
// header write could not announce the journal, and is refused before
// anything is written.
void TCommitJournal::BumpCounters() {
  std::vector<std::pair<TFileHandler*, std::array<std::uint8_t, kCounterBytes>>> bumps;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i].capture->writes.empty()) continue;
    std::array<std::uint8_t, kCounterBytes> counter;
    if (FinalCounter(files_[i], counter.data()))
      bumps.emplace_back(files_[i].handler, counter);
    else if (!TableBumped(i))
      RaiseJournal(kErrWriting);
  }
  for (const auto& [handler, counter] : bumps)
    handler->WriteThrough(0, counter.data(), counter.size());
}

// Whether another file of the table of files_[i] has a header write.
bool TCommitJournal::TableBumped(std::size_t i) const {
  std::uint8_t unused[kCounterBytes];
  for (std::size_t k = 0; k < files_.size(); ++k)
    if (files_[k].table == files_[i].table && !files_[k].capture->writes.empty() &&
        FinalCounter(files_[k], unused))
      return true;
  return false;
}

void TCommitJournal::Apply(bool flush) {
  Release();
  bool any = false;
  for (const TCaptured& f : files_)
    any = any || !f.capture->writes.empty();
  if (!any) return;
  std::vector<TFileHandler*> written;
  for (TCaptured& f : files_)
    if (!f.capture->writes.empty()) written.push_back(f.handler);
  auto write_files = [&] {
    for (TCaptured& f : files_)
      for (const TWriteCapture::TWrite& w : f.capture->writes)
        f.handler->WriteThrough(w.offset, w.bytes.data(), w.bytes.size());
  };
  if (files_.size() > 0xFFFF) RaiseJournal(kErrWriting);
  const std::string boot = FileSystem().BootId();

  TOsFile lock;
  // A directory where the journal cannot be made (no write permission)
  // commits as it did before there was one: table after table.
  if (const int err = lock.Open(LockPath(directory_), true)) {
    if (err != EACCES && err != EPERM && err != EROFS) RaiseJournal(MapOsError(err), err);
    write_files();
    if (flush) TFileHandler::FlushTogether(written);
    return;
  }
  if (!lock.Lock(0, 1, settings_.low_level_retries, settings_.low_level_sleep_ms))
    RaiseJournal(kErrLockFailure);
  TOsFile journal;
  CheckOs(journal.OpenOrCreate(JournalPath(directory_)), kErrWriting);
  // A commit that died on other tables of the directory is finished first:
  // its record must not be followed by ours. So are records of an earlier
  // run of the machine: a record appended to them would be taken for one of
  // that run too.
  std::int64_t at = journal.Size();
  if (at < 0) RaiseJournal(kErrReading);
  std::uint64_t salt = 0;
  if (at > static_cast<std::int64_t>(kCutBytes) &&
      !(Settled(at) && FirstRecordOfThisRun(journal, boot, &salt))) {
    std::vector<std::string> held;
    for (const TCaptured& f : files_)
      held.push_back(OnDiskName(*f.handler));
    ReplayLocked(directory_, journal, held, settings_, true, false);
    at = journal.Size();
    if (at < 0 || (at > static_cast<std::int64_t>(kCutBytes) &&
                   !FirstRecordOfThisRun(journal, boot, &salt)))
      RaiseJournal(kErrReading);
  }
  // A cut journal is written over from its start (its magic may be of the
  // older form).
  if (at <= static_cast<std::int64_t>(kCutBytes)) at = 0;
  const std::span<const std::uint8_t> magic(reinterpret_cast<const std::uint8_t*>(kMagic),
                                            at == 0 ? kMagicBytes : 0);
  std::vector<std::uint8_t> bytes = EncodeRecord(boot, at == 0 ? NewSalt() : salt, magic);
  // Every file is bumped before the record exists; see BumpCounters.
  BumpCounters();
  {
    // Until the record is whole nothing was written to the tables: a
    // failure takes the journal back to the settled records before it (or
    // cuts it, not emptied: the journal it replaced may still be on the
    // disk).
    const std::int64_t before = std::max<std::int64_t>(at, kCutBytes);
    TUndoOnThrow undo([&journal, before] { journal.Truncate(before); });
    CheckOs(journal.WriteAll(at, bytes.data(), bytes.size()), kErrWriting);
    if (flush) CheckOs(journal.Sync(), kErrWriting);
  }
  write_files();
  const std::int64_t end = at + static_cast<std::int64_t>(bytes.size());
  // A table open exclusively takes no lock and so never looks at the
  // journal: with one among them the commit checkpoints and empties the
  // journal durably itself. Without the run's identity a settled journal
  // could not be told from one of an earlier run: every commit checkpoints.
  const bool exclusive = std::any_of(files_.begin(), files_.end(),
                                     [](const TCaptured& f) { return f.table->Exclusive(); });
  if (!exclusive && boot.size() == kBootBytes && end < settings_.journal_checkpoint_bytes) {
    CheckOs(journal.Truncate(RecordBoundary(end)), kErrWriting);
    return;
  }
  // Checkpoint: the tables of the earlier records and of this one are made
  // durable, then the journal is cut. A commit without the OS flush
  // promises nothing of its own, but the earlier records' commits may have.
  const bool earlier = at > static_cast<std::int64_t>(kCutBytes);
  if (earlier) {
    std::vector<std::uint8_t> journaled;
    CheckOs(journal.ReadAll(&journaled), kErrReading);
    journaled.resize(static_cast<std::size_t>(at));
    TJournalContent content;
    Decode(directory_, journaled, boot, &content);
    for (const TJournalFile& f : content.files) {
      if (std::any_of(written.begin(), written.end(),
                      [&f](const TFileHandler* h) { return OnDiskName(*h) == f.path; }))
        continue;
      TOsFile file;
      const int err = file.Open(f.path, false);
      if (err == ENOENT) continue;
      CheckOs(err, MapOsError(err));
      CheckOs(file.Sync(), kErrWriting);
    }
  }
  if (flush || earlier) TFileHandler::FlushTogether(written);
  // Cut, not emptied durably: the tables are durable now, and whoever
  // writes to them outside a commit empties the journal durably first.
  CheckOs(journal.Truncate(exclusive ? 0 : kCutBytes), kErrWriting);
  if (exclusive && (flush || earlier)) CheckOs(journal.Sync(), kErrWriting);
}

TCommitJournal::TState TCommitJournal::State(const std::string& directory) {
  std::int64_t size = -1;
  if (FileSystem().FileSize(JournalPath(directory), &size) != 0 || size <= 0)
    return TState::kEmpty;
  return Settled(size) ? TState::kCut : TState::kPending;
}

bool TCommitJournal::Pending(const std::string& directory) {
  return State(directory) == TState::kPending;
}

bool TCommitJournal::Replayable(const std::string& directory) {
  TOsFile lock;
  return lock.Open(LockPath(directory), true) == 0;
}

bool TCommitJournal::NeedsReplay(const std::string& directory) {
  const std::string path = JournalPath(directory);
  std::int64_t size = -1;
  if (FileSystem().FileSize(path, &size) != 0 || size <= 0) return false;
  if (!Settled(size)) return true;
  if (size == static_cast<std::int64_t>(kCutBytes)) return false;
  TOsFile journal;
  return !(journal.Open(path, false) == 0 && FirstRecordOfThisRun(journal, FileSystem().BootId()));
}

bool TCommitJournal::Recover(const std::string& directory, const std::vector<std::string>& held,
                             const TStorageSettings& settings, bool must, bool durable,
                             bool* rewrote) {
  const std::string path = JournalPath(directory);
  std::int64_t size = -1;
  if (FileSystem().FileSize(path, &size) != 0 || size <= 0) return true;
  if (Settled(size) && !durable) {
    // Settled records of this run are in the tables; of an earlier run
    // they are written again before anything is read.
    if (size == static_cast<std::int64_t>(kCutBytes)) return true;
    TOsFile journal;
    if (journal.Open(path, false) == 0 && FirstRecordOfThisRun(journal, FileSystem().BootId()))
      return true;
  }
  TOsFile lock;
  if (lock.Open(LockPath(directory), true) != 0) {
    if (must) RaiseJournal(kErrLockFailure);
    return false;
  }
  // A commit or replay in progress holds the lock for as long as it runs:
  // everyone waits for it, since what it is writing is not to be read or
  // written over until it is done (J6).
  if (!lock.Lock(0, 1, settings.low_level_retries, settings.low_level_sleep_ms)) {
    if (must) RaiseJournal(kErrLockFailure);
    return false;
  }
  TOsFile journal;
  const int err = journal.Open(path, false);
  if (err == ENOENT) return true;
  CheckOs(err, MapOsError(err));
  std::vector<std::string> resolved;
  for (const std::string& h : held)
    resolved.push_back(ResolveFileName(h));
  return ReplayLocked(directory, journal, resolved, settings, must, durable, rewrote);
}

void TCommitJournal::EmptyDurably(const std::string& directory, const TStorageSettings& settings) {
  // A journal that is not settled is a dead commit's: it is finished first,
  // so that its records are never written into files that take the names
  // of its tables afterwards (J7).
  if (State(directory) == TState::kEmpty) return;
  TOsFile lock;
  if (lock.Open(LockPath(directory), true) != 0 ||
      !lock.Lock(0, 1, settings.low_level_retries, settings.low_level_sleep_ms))
    RaiseJournal(kErrLockFailure);
  TOsFile journal;
  const int err = journal.Open(JournalPath(directory), false);
  if (err == ENOENT) return;
  CheckOs(err, MapOsError(err));
  ReplayLocked(directory, journal, {}, settings, true, true);
}

}  // namespace kura
