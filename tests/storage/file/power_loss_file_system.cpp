#include "tests/storage/file/power_loss_file_system.h"

#include <cerrno>
#include <fstream>
#include <iterator>

namespace kura::test {

namespace {

constexpr std::size_t kSector = 512;

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

}  // namespace

int TPowerLossFileSystem::Open(const std::string& path, bool writable, bool create, int* fd) {
  if (lost_ && (writable || create)) return EIO;
  // What exists before is on the disk.
  if (!files_.count(path)) files_[path].durable = ReadWholeFile(path);
  if (create && Count()) return EIO;
  const int err = TPosixFileSystem::Open(path, writable, create, fd);
  if (err == 0) {
    fd_path_[*fd] = path;
    if (create) files_[path].pending.push_back({0, {}, true});
  }
  return err;
}

void TPowerLossFileSystem::Close(int fd) {
  fd_path_.erase(fd);
  TPosixFileSystem::Close(fd);
}

int TPowerLossFileSystem::WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
                                  std::size_t* done) {
  *done = 0;
  if (Count()) return EIO;
  const int err = TPosixFileSystem::WriteAt(fd, offset, buffer, n, done);
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  Of(fd).pending.push_back({offset, std::vector<std::uint8_t>(p, p + *done), false});
  return err;
}

int TPowerLossFileSystem::Truncate(int fd, std::int64_t size) {
  if (Count()) return EIO;
  const int err = TPosixFileSystem::Truncate(fd, size);
  if (err == 0) Of(fd).pending.push_back({size, {}, true});
  return err;
}

int TPowerLossFileSystem::Sync(int fd) {
  if (Count()) return EIO;
  // The durable bytes are the ones kept here; the real files need no flush
  // of their own (and the runs go at memory speed).
  TFile& f = Of(fd);
  for (const TChange& c : f.pending)
    Apply(c, f.durable);
  f.pending.clear();
  return 0;
}

int TPowerLossFileSystem::Rename(const std::string& from, const std::string& to) {
  if (Count()) return EIO;
  const int err = TPosixFileSystem::Rename(from, to);
  if (err == 0) {
    files_[to] = std::move(files_[from]);
    files_.erase(from);
  }
  return err;
}

int TPowerLossFileSystem::Unlink(const std::string& path) {
  if (Count()) return EIO;
  const int err = TPosixFileSystem::Unlink(path);
  if (err == 0) files_.erase(path);
  return err;
}

std::string TPowerLossFileSystem::Materialize(TSurvival survival, std::mt19937& random) {
  std::string said;
  for (auto& [path, f] : files_) {
    std::vector<std::uint8_t> disk = f.durable;
    int kept = 0, total = 0;
    const int keep_percent = static_cast<int>(random() % 101);
    auto keep = [&] {
      ++total;
      const bool k =
          survival == TSurvival::kEverything ||
          (survival != TSurvival::kNothing && static_cast<int>(random() % 100) < keep_percent);
      kept += k;
      return k;
    };
    for (const TChange& c : f.pending) {
      if (c.truncate || survival != TSurvival::kSomeSectors) {
        if (keep()) Apply(c, disk);
        continue;
      }
      // A torn write: sector-aligned pieces, each kept or lost.
      for (std::size_t at = 0; at < c.bytes.size();) {
        const auto start = static_cast<std::size_t>(c.offset) + at;
        const std::size_t end = std::min(
            c.bytes.size(), (start / kSector + 1) * kSector - static_cast<std::size_t>(c.offset));
        if (keep()) {
          Apply({static_cast<std::int64_t>(start),
                 std::vector<std::uint8_t>(c.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                           c.bytes.begin() + static_cast<std::ptrdiff_t>(end)),
                 false},
                disk);
        }
        at = end;
      }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(disk.data()),
               static_cast<std::streamsize>(disk.size()));
    said += "  " + path.substr(path.rfind('/') + 1) + ": " + std::to_string(kept) + " of " +
            std::to_string(total) + " unflushed changes kept, " + std::to_string(disk.size()) +
            " bytes\n";
  }
  return said;
}

void TPowerLossFileSystem::Apply(const TChange& c, std::vector<std::uint8_t>& disk) {
  const auto offset = static_cast<std::size_t>(c.offset);
  if (c.truncate) {
    disk.resize(offset);
    return;
  }
  if (disk.size() < offset + c.bytes.size()) disk.resize(offset + c.bytes.size());
  std::copy(c.bytes.begin(), c.bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool TPowerLossFileSystem::Count() {
  if (!lost_ && ++calls_ >= loss_at_) lost_ = true;
  return lost_;
}

}  // namespace kura::test
