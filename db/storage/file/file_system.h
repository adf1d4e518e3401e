// The operating system as the storage layer sees it: one small interface over
// POSIX files and open-file-description locks. Physical files reach the OS
// only through TFileSystem, so tests can replace it (SetFileSystemForTesting)
// to inject short writes, I/O errors and lock conflicts.
//
// Every call returns 0 or a positive errno; the caller maps errno to an engine
// code with MapOsError().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kura {

enum class TOsLockKind { kShared, kExclusive, kUnlock };

class TFileSystem {
 public:
  virtual ~TFileSystem() = default;

  // Opens `path` read-write or read-only; `create` creates or truncates it.
  virtual int Open(const std::string& path, bool writable, bool create, int* fd) = 0;
  virtual void Close(int fd) = 0;
  // Positioned transfers; *done receives the byte count (short at end of file).
  virtual int ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t n,
                     std::size_t* done) = 0;
  virtual int WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
                      std::size_t* done) = 0;
  virtual int Truncate(int fd, std::int64_t size) = 0;
  virtual int Sync(int fd) = 0;
  // OS-flushes every file of `fds`, the result of each in `errors`; here one
  // after another through Sync.
  virtual void SyncEach(const std::vector<int>& fds, std::vector<int>* errors);
  virtual int Size(int fd, std::int64_t* size) = 0;
  // A non-waiting OFD byte-range lock; a conflict is EAGAIN.
  virtual int Lock(int fd, std::int64_t start, std::int64_t length, TOsLockKind kind) = 0;
  // Existence and the read-only attribute (no write bit in the mode).
  virtual int Stat(const std::string& path, bool* exists, bool* read_only) = 0;
  // The length of the file at `path`, -1 when there is none.
  virtual int FileSize(const std::string& path, std::int64_t* size) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Unlink(const std::string& path) = 0;
  virtual int ListDirectory(const std::string& dir, std::vector<std::string>* names) = 0;
  virtual void AdviseSequential(int fd) = 0;
  // The identity of this run of the machine, 16 bytes, the same for every
  // program until the machine starts again (a power loss included); empty
  // when it cannot be known. Writes in the page cache are seen by every
  // program of one run and may be lost only with it.
  virtual std::string BootId();

  // The first kHeadBytes of a file, mapped for reading: a change another
  // program writes shows in the mapping at once (one page cache), so a
  // header's change counter can be compared without a system call. Null
  // when the file is shorter than `needed` bytes or cannot be mapped (and
  // always here: a file system that is not the OS's own reads through
  // ReadAt). UnmapHead gives a mapping back.
  static constexpr std::size_t kHeadBytes = 4096;
  virtual const std::uint8_t* MapHead(int fd, std::size_t needed);
  static void UnmapHead(const std::uint8_t* head);
  // Copies n bytes of a mapping made by MapHead; false when the file has
  // shrunk under the mapping since (another program cut it short), and then
  // the caller reads through ReadAt, which reports it as an error.
  static bool CopyFromHead(const std::uint8_t* from, void* to, std::size_t n);
};

// The POSIX implementation; tests derive from it to inject faults.
class TPosixFileSystem : public TFileSystem {
 public:
  int Open(const std::string& path, bool writable, bool create, int* fd) override;
  void Close(int fd) override;
  int ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t n, std::size_t* done) override;
  int WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
              std::size_t* done) override;
  int Truncate(int fd, std::int64_t size) override;
  int Sync(int fd) override;
  // Starts the write-back of every file before the flushes wait one after
  // another, so that their writes reach the disk together. A derived file
  // system (a test's) gets only the flushes, through its own Sync.
  void SyncEach(const std::vector<int>& fds, std::vector<int>* errors) override;
  int Size(int fd, std::int64_t* size) override;
  int Lock(int fd, std::int64_t start, std::int64_t length, TOsLockKind kind) override;
  int Stat(const std::string& path, bool* exists, bool* read_only) override;
  int FileSize(const std::string& path, std::int64_t* size) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  int ListDirectory(const std::string& dir, std::vector<std::string>* names) override;
  void AdviseSequential(int fd) override;
  const std::uint8_t* MapHead(int fd, std::size_t needed) override;
};

// The kernel's boot identifier (/proc/sys/kernel/random/boot_id) as 16
// bytes, read afresh at every call; empty when it cannot be read.
std::string KernelBootId();

// The file system in use (the POSIX one unless a test installed another).
TFileSystem& FileSystem();
// Installs `fs` (nullptr restores POSIX). The caller keeps ownership and must
// restore before `fs` dies; only tests call this, with no file open.
void SetFileSystemForTesting(TFileSystem* fs);

// errno -> engine code: ENOENT, ENOTDIR 11010; EMFILE, ENFILE 11012; EACCES,
// EPERM, EROFS, EBUSY, ETXTBSY, EAGAIN 11013; EBADF 11014; ENOMEM 11016;
// ENODEV, ENXIO 11023; ESTALE 11025; anything else 11047.
std::uint16_t MapOsError(int err);

// Path handling. "\" and "/" are both separators; the normalised directory
// form uses "/" and ends in "/".
std::string NormalizeDirectory(std::string_view dir);
std::string NormalizePath(std::string_view path);
// A name containing "/", "\" or ":" is a path rather than a bare name.
bool IsPath(std::string_view name);
// The existing file whose name matches the last component of `path` ignoring
// ASCII case (the exact name wins), or the normalised path itself when none
// exists. The directory part is taken as given.
std::string ResolveFileName(std::string_view path);
// ASCII case-insensitive equality.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace kura
