#include "tests/soak/shared_folder.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>

#include "db/engine/session/kura_session.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"
#include "tests/storage/storage_test_support.h"

namespace soak {

namespace {

constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";

// Gives this process a mount namespace of its own with another boot
// identifier bound over the kernel's; false where the machine does not allow
// it.
bool BindOtherBootId(std::mt19937& random) {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  char path[] = "/tmp/crash-soak-boot-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return false;
  unsigned part[6];
  for (unsigned& p : part)
    p = static_cast<unsigned>(random());
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%04x%08x\n", part[0], part[1] & 0xffff,
                part[2] & 0xffff, part[3] & 0xffff, part[4] & 0xffff, part[5]);
  const bool written = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  ::close(fd);
  const bool bound = written && ::mount(path, kBootIdPath, nullptr, MS_BIND, nullptr) == 0;
  ::unlink(path);  // the bind keeps the file's contents
  return bound;
}

// A computer sharing the folder (see the header): its run of the machine,
// and the writes it has not yet sent to the server, taken back at its power
// loss.
class TComputer : public kura::TPosixFileSystem {
 public:
  TComputer(bool from_kernel, std::mt19937& random, std::int64_t loss_at, int survival)
      : from_kernel_(from_kernel), loss_at_(loss_at), survival_(survival), random_(random()) {
    for (int i = 0; i < 16; ++i)
      boot_.push_back(static_cast<char>(random()));
  }
  bool Lost() const { return lost_; }
  std::string BootId() override { return from_kernel_ ? kura::KernelBootId() : boot_; }

  int Open(const std::string& path, bool writable, bool create, int* fd) override {
    if (create && Count()) return EIO;
    const int err = TPosixFileSystem::Open(path, writable, create, fd);
    if (err == 0) paths_[*fd] = path;
    return err;
  }
  void Close(int fd) override {
    // A close lets go of the file's locks: the computer sends its writes.
    Sent();
    paths_.erase(fd);
    TPosixFileSystem::Close(fd);
  }
  int WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
              std::size_t* done) override {
    if (Count()) return EIO;
    Remember(fd, offset, n);
    return TPosixFileSystem::WriteAt(fd, offset, buffer, n, done);
  }
  int Truncate(int fd, std::int64_t size) override {
    if (Count()) return EIO;
    std::int64_t old = 0;
    TPosixFileSystem::Size(fd, &old);
    if (size < old) Remember(fd, size, static_cast<std::size_t>(old - size));
    else pending_.push_back({Path(fd), old, {}, old});
    return TPosixFileSystem::Truncate(fd, size);
  }
  int Sync(int fd) override {
    if (Count()) return EIO;
    const int err = TPosixFileSystem::Sync(fd);
    if (err == 0) {
      const std::string path = Path(fd);
      pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                    [&](const TUndo& u) { return u.path == path; }),
                     pending_.end());
    }
    return err;
  }
  int Lock(int fd, std::int64_t start, std::int64_t length, kura::TOsLockKind kind) override {
    if (kind == kura::TOsLockKind::kUnlock) Sent();
    return TPosixFileSystem::Lock(fd, start, length, kind);
  }
  int Rename(const std::string& from, const std::string& to) override {
    if (Count()) return EIO;
    const int err = TPosixFileSystem::Rename(from, to);
    if (err == 0)
      for (TUndo& u : pending_)
        if (u.path == from) u.path = to;
    return err;
  }
  int Unlink(const std::string& path) override {
    if (Count()) return EIO;
    const int err = TPosixFileSystem::Unlink(path);
    if (err == 0)
      pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                    [&](const TUndo& u) { return u.path == path; }),
                     pending_.end());
    return err;
  }
 private:
  // A write as it can be taken back: the bytes it covered, the length before.
  struct TUndo {
    std::string path;
    std::int64_t offset;
    std::vector<std::uint8_t> old;
    std::int64_t old_size;
  };
  std::string Path(int fd) const {
    const auto it = paths_.find(fd);
    return it == paths_.end() ? std::string() : it->second;
  }
  void Remember(int fd, std::int64_t offset, std::size_t n) {
    TUndo u{Path(fd), offset, std::vector<std::uint8_t>(n), 0};
    TPosixFileSystem::Size(fd, &u.old_size);
    std::size_t done = 0;
    TPosixFileSystem::ReadAt(fd, offset, u.old.data(), n, &done);
    u.old.resize(done);
    pending_.push_back(std::move(u));
  }
  // Everything written so far is the server's now.
  void Sent() {
    if (!lost_) pending_.clear();
  }
  // Counts a changing call; at the loss takes back what was not sent.
  bool Count() {
    if (lost_) return true;
    if (loss_at_ <= 0 || ++calls_ < loss_at_) return false;
    lost_ = true;
    std::size_t keep = 0;
    if (survival_ == 1) keep = pending_.size();
    if (survival_ == 2) keep = pending_.empty() ? 0 : random_() % (pending_.size() + 1);
    for (std::size_t i = pending_.size(); i > keep; --i) {
      const TUndo& u = pending_[i - 1];
      int fd = -1;
      if (u.path.empty() || TPosixFileSystem::Open(u.path, true, false, &fd) != 0) continue;
      std::size_t done = 0;
      if (!u.old.empty()) TPosixFileSystem::WriteAt(fd, u.offset, u.old.data(), u.old.size(), &done);
      std::int64_t size = 0;
      TPosixFileSystem::Size(fd, &size);
      if (size > u.old_size || u.offset + static_cast<std::int64_t>(u.old.size()) > size)
        TPosixFileSystem::Truncate(fd, u.old_size);
      TPosixFileSystem::Close(fd);
    }
    pending_.clear();
    return true;
  }

  bool from_kernel_;
  std::int64_t loss_at_;
  int survival_;
  std::mt19937 random_;
  std::string boot_;
  std::int64_t calls_ = 0;
  bool lost_ = false;
  std::map<int, std::string> paths_;
  std::vector<TUndo> pending_;
};

// One of the spellings a user might give a table's name.
std::string Spelling(const std::string& name, std::mt19937& random) {
  std::string out = name;
  for (char& c : out)
    if (random() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

void Insert(kura::TDataTable& t, std::int32_t w, std::int32_t s) {
  kura::TWriteLockGuard lock(t);
  std::vector<std::uint8_t> rec = t.BlankRecord();
  std::uint8_t bytes[4];
  kura::EncodeFixed32(bytes, static_cast<std::uint32_t>(w));
  t.Data().PutField(rec.data(), *t.Data().FieldByName("W"), bytes);
  kura::EncodeFixed32(bytes, static_cast<std::uint32_t>(s));
  t.Data().PutField(rec.data(), *t.Data().FieldByName("S"), bytes);
  t.InsertRecord(rec.data());
}

// The table's rows under a read lock; a number held twice is a fault (said
// in `twice`).
TSequences Read(kura::TDataTable& t, std::string* twice = nullptr) {
  kura::TReadLockGuard lock(t);
  TSequences out;
  kura::TDataFile& d = t.Data();
  const kura::TFieldDescriptor& wf = *d.FieldByName("W");
  const kura::TFieldDescriptor& sf = *d.FieldByName("S");
  for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
    kura::TRecordPin r = d.GetRecord(n);
    if (r->Deleted()) continue;
    std::uint8_t w[4], s[4];
    if (!d.GetField(r->Data(), wf, w) || !d.GetField(r->Data(), sf, s)) continue;
    const auto wv = static_cast<std::int32_t>(kura::DecodeFixed32(w));
    const auto sv = static_cast<std::int32_t>(kura::DecodeFixed32(s));
    if (!out[wv].insert(sv).second && twice)
      *twice = "writer " + std::to_string(wv) + " number " + std::to_string(sv) + " twice";
  }
  return out;
}

std::int32_t Last(const TSequences& t, std::int32_t w) {
  const auto it = t.find(w);
  return it == t.end() || it->second.empty() ? 0 : *it->second.rbegin();
}

// What is wrong with a read (empty when it is a state a commit leaves).
std::string Gaps(const TSequences& t, const char* name) {
  for (const auto& [w, s] : t)
    if (!s.empty() && (*s.begin() != 1 || static_cast<std::int32_t>(s.size()) != *s.rbegin()))
      return std::string(name) + ": writer " + std::to_string(w) + " holds " +
             std::to_string(s.size()) + " numbers up to " + std::to_string(*s.rbegin());
  return "";
}

// A session with one database on the folder.
struct TSession {
  explicit TSession(const std::string& dir) : session("soak"), database(nullptr, "soak") {
    database.SetDatabaseName("db");
    database.SetDirectory(dir);
    database.Open();
  }
  kura::TDataDirectory& Dir() { return database.DataDirectory(); }
  kura::TKuraSession session;
  kura::TKuraDatabase database;
};

class TWriterReport {
 public:
  explicit TWriterReport(int fd) : fd_(fd) {}
  void Say(const std::string& line) {
    std::string l = line.substr(0, 400);
    std::replace(l.begin(), l.end(), '\n', ' ');
    l += "\n";
    if (::write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) ::_exit(4);
  }

 private:
  int fd_;
};

// The scratch table of writer w: made, dropped and renamed between commits.
void ScratchStep(const std::string& folder, std::int32_t w, std::mt19937& random) {
  const kura::TStorageSettings settings = kura::DefaultStorageSettings();
  const std::string name = "sc" + std::to_string(w);
  kura::TDataTable table(folder, Spelling(name, random), settings);
  const std::vector<kura::TFieldDefinition> fields = {
      kura::test::Field("W", kura::kFieldInteger), kura::test::Field("S", kura::kFieldInteger)};
  if (!table.Exists()) {
    table.Create(fields, kura::TTableOptions{});
    table.Close();
    return;
  }
  switch (random() % 2) {
    case 0:  // DROP TABLE
      table.Delete();
      break;
    default: {  // ALTER TABLE: rebuilt beside, the old one dropped, the new one renamed
      const std::string beside = name + "_new";
      kura::TDataTable fresh(folder, Spelling(beside, random), settings);
      if (fresh.Exists()) fresh.Delete();
      fresh.Create(fields, kura::TTableOptions{});
      fresh.Close();
      table.Delete();
      kura::TDataTable(folder, beside, settings).Rename(Spelling(name, random));
      break;
    }
  }
}

// Closes the reader's tables after a failed round; they are opened again.
void CloseQuietly(kura::TDataDirectory& d, kura::TSharedTable*& pa, kura::TSharedTable*& pb) {
  for (kura::TSharedTable** t : {&pa, &pb}) {
    try {
      if (*t) d.CloseTable(**t);
    } catch (const std::exception&) {
    }
    *t = nullptr;
  }
}

}  // namespace

void CreateSharedTables(const std::string& dir) {
  for (const char* name : {"pa", "pb"}) {
    kura::TDataTable t(dir, name, kura::DefaultStorageSettings());
    t.Create({kura::test::Field("W", kura::kFieldInteger),
              kura::test::Field("S", kura::kFieldInteger)},
             kura::TTableOptions{});
    kura::TIndexDefinition ws;
    ws.name = "WS";
    ws.fields = {1, 2};
    ws.unique = true;
    dynamic_cast<kura::TIndexFile&>(t.Index()).AddSecondaryIndex(t.Data(), ws);
    t.Flush();
    t.Close();
  }
}

bool NamespacesWork() {
  const pid_t child = ::fork();
  if (child == 0) {
    std::mt19937 random(7);
    const std::string before = kura::KernelBootId();
    ::_exit(BindOtherBootId(random) && kura::KernelBootId() != before ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

int SharedWriter(const std::string& dir, int fd, std::int32_t w, unsigned seed,
                 std::int64_t loss_at, int survival, bool use_namespace) {
  std::mt19937 random(seed);
  const bool bound = use_namespace && BindOtherBootId(random);
  TComputer computer(bound, random, loss_at, survival);
  kura::SetFileSystemForTesting(&computer);
  TWriterReport say(fd);
  int status = 0;
  try {
    TSession session(dir);
    kura::TDataDirectory& d = session.Dir();
    kura::TSharedTable* pa = nullptr;
    kura::TSharedTable* pb = nullptr;
    auto reopen = [&] {
      if (pa) d.CloseTable(*pa);
      if (pb) d.CloseTable(*pb);
      pa = pb = nullptr;
      pa = &d.OpenTable(Spelling("pa", random), false, false);
      pb = &d.OpenTable(Spelling("pb", random), false, false);
    };
    reopen();
    std::int32_t s = Last(Read(pa->Table()), w);
    for (int commits = 0; !computer.Lost(); ++commits) {
      if (commits % 5 == 4) reopen();
      kura::TSharedTable* scratch = nullptr;
      const std::string sc = "sc" + std::to_string(w);
      if (random() % 3 == 0 && kura::TDataTable(dir, sc, kura::DefaultStorageSettings()).Exists())
        scratch = &d.OpenTable(Spelling(sc, random), false, false);
      ++s;
      say.Say("B " + std::to_string(s));
      try {
        d.StartTransaction();
        Insert(pa->Table(), w, s);
        Insert(pb->Table(), w, s);
        if (scratch) Insert(scratch->Table(), w, s);
        d.Commit(true);
        say.Say("C " + std::to_string(s));
      } catch (const std::exception& e) {
        if (computer.Lost()) break;
        say.Say("A " + std::to_string(s) + " " + e.what());
        try {
          d.Rollback();
        } catch (const std::exception&) {
        }
        // A commit that failed after its journal was whole is finished by
        // the next read: the number goes on from what the table holds.
        s = Last(Read(pa->Table()), w);
      }
      if (scratch) d.CloseTable(*scratch);
      if (random() % 4 == 0) {
        try {
          ScratchStep(dir, w, random);
        } catch (const std::exception& e) {
          if (computer.Lost()) break;
          say.Say(std::string("E scratch table: ") + e.what());
        }
      }
    }
  } catch (const std::exception& e) {
    if (!computer.Lost()) {
      say.Say(std::string("E ") + e.what());
      status = 3;
    }
  }
  if (computer.Lost()) say.Say("L");
  // A lost computer's engine may not shut down cleanly: its file system
  // refuses every change now.
  ::_exit(status);
}

int SharedReader(const std::string& dir, int fd, unsigned seed, bool use_namespace) {
  std::mt19937 random(seed);
  const bool bound = use_namespace && BindOtherBootId(random);
  TComputer computer(bound, random, 0, 0);
  kura::SetFileSystemForTesting(&computer);
  TWriterReport say(fd);
  TSession session(dir);
  kura::TDataDirectory& d = session.Dir();
  kura::TSharedTable* pa = nullptr;
  kura::TSharedTable* pb = nullptr;
  std::map<std::int32_t, std::int32_t> seen;
  for (long round = 1;; ++round) {
    try {
      if (!pa || round % 10 == 0) {
        if (pa) d.CloseTable(*pa);
        if (pb) d.CloseTable(*pb);
        pa = pb = nullptr;
        pa = &d.OpenTable(Spelling("pa", random), true, false);
        pb = &d.OpenTable(Spelling("pb", random), true, false);
      }
      std::string twice;
      const TSequences a1 = Read(pa->Table(), &twice);
      const TSequences b = Read(pb->Table(), &twice);
      const TSequences a2 = Read(pa->Table(), &twice);
      std::string fault = twice;
      if (fault.empty()) fault = Gaps(a1, "pa");
      if (fault.empty()) fault = Gaps(b, "pb");
      if (fault.empty()) fault = Gaps(a2, "pa read again");
      for (std::int32_t w : {1, 2}) {
        if (!fault.empty()) break;
        const std::int32_t k1 = Last(a1, w), kb = Last(b, w), k2 = Last(a2, w);
        if (k1 > kb || kb > k2)
          fault = "half a commit: writer " + std::to_string(w) + " pa " + std::to_string(k1) +
                  ", then pb " + std::to_string(kb) + ", then pa " + std::to_string(k2);
        else if (k1 < seen[w])
          fault = "an older state: writer " + std::to_string(w) + " up to " + std::to_string(k1) +
                  " after " + std::to_string(seen[w]) + " was read";
        seen[w] = k2;
      }
      if (!fault.empty()) say.Say("F " + fault);
    } catch (const kura::EKuraEngineError& e) {
      say.Say(e.Code() == kura::kErrLockFailure ? std::string("W")
                                                : std::string("F read error: ") + e.what());
      CloseQuietly(d, pa, pb);
    } catch (const std::exception& e) {
      say.Say(std::string("F read error: ") + e.what());
      CloseQuietly(d, pa, pb);
    }
    if (round % 20 == 0) say.Say("R " + std::to_string(round));
  }
}

void ReadShared(const std::string& dir, TSequences* pa, TSequences* pb) {
  TSession session(dir);
  kura::TSharedTable& a = session.Dir().OpenTable("pa", true, false);
  kura::TSharedTable& b = session.Dir().OpenTable("pb", true, false);
  std::string twice;
  *pa = Read(a.Table(), &twice);
  *pb = Read(b.Table(), &twice);
  session.Dir().CloseTable(a);
  session.Dir().CloseTable(b);
  if (!twice.empty()) throw std::runtime_error(twice);
}

}  // namespace soak
