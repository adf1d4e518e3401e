// TPowerLossFileSystem: power loss, simulated below the engine. Every call
// goes through to the real files (the engine sees an ordinary page cache);
// per file it keeps the bytes an OS flush made durable plus the writes and
// truncations issued since. From the loss_at-th changing call on (write,
// truncation, flush, creation, rename, removal) that call and every later
// change fail with EIO. Materialize then replays onto the durable bytes none,
// all or a random part of the pending changes (whole writes, or 512-byte
// sectors that survive or vanish one by one) and writes that disk to the
// real files, which the engine, the repair and the independent readers then
// open. Its machine run is not the real one (BootId), as the run after a
// power loss is not.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "db/storage/file/file_system.h"

namespace kura::test {

class TPowerLossFileSystem : public TPosixFileSystem {
 public:
  // How much of what was not flushed reaches the disk.
  enum class TSurvival { kNothing, kEverything, kSomeSectors, kSomeWrites };

  // The loss happens at the `loss_at`-th changing call (1-based).
  explicit TPowerLossFileSystem(std::int64_t loss_at) : loss_at_(loss_at) {}

  bool Lost() const { return lost_; }
  std::int64_t Calls() const { return calls_; }

  int Open(const std::string& path, bool writable, bool create, int* fd) override;
  void Close(int fd) override;
  int WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
              std::size_t* done) override;
  int Truncate(int fd, std::int64_t size) override;
  int Sync(int fd) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  // A run of the machine of its own: the engine that opens the files after
  // the loss runs on the real file system, as after a restart.
  std::string BootId() override { return std::string(16, '\x5a'); }

  // The disk after the loss, written to the real files (call with no file
  // open). Returns a line per file saying what survived.
  std::string Materialize(TSurvival survival, std::mt19937& random);

 private:
  struct TChange {
    std::int64_t offset;  // the new size for a truncation
    std::vector<std::uint8_t> bytes;
    bool truncate;
  };
  struct TFile {
    std::vector<std::uint8_t> durable;
    std::vector<TChange> pending;
  };

  static void Apply(const TChange& c, std::vector<std::uint8_t>& disk);
  // Counts a changing call; true when power is (now) lost.
  bool Count();
  TFile& Of(int fd) { return files_[fd_path_.at(fd)]; }

  std::int64_t loss_at_;
  std::int64_t calls_ = 0;
  bool lost_ = false;
  std::map<std::string, TFile> files_;
  std::map<int, std::string> fd_path_;
};

}  // namespace kura::test
