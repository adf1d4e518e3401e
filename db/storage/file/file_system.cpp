#include "db/storage/file/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <typeinfo>

#include "db/storage/engine_error.h"

namespace kura {
namespace {

TPosixFileSystem& PosixFileSystem() {
  static TPosixFileSystem fs;
  return fs;
}

TFileSystem* g_file_system = nullptr;

// A read from a mapped head faults (SIGBUS) when another program has cut
// the file below the mapped page since. The copy runs under a guard: the
// handler returns to the copy's set-up point while one is armed on this
// thread, and otherwise passes the signal on to what was installed before.
thread_local sigjmp_buf* t_head_guard = nullptr;
struct sigaction g_previous_bus;

void OnBusError(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = t_head_guard) {
    t_head_guard = nullptr;
    siglongjmp(*guard, 1);
  }
  if ((g_previous_bus.sa_flags & SA_SIGINFO) && g_previous_bus.sa_sigaction) {
    g_previous_bus.sa_sigaction(sig, info, context);
    return;
  }
  if (!(g_previous_bus.sa_flags & SA_SIGINFO) && g_previous_bus.sa_handler != SIG_DFL &&
      g_previous_bus.sa_handler != SIG_IGN) {
    g_previous_bus.sa_handler(sig);
    return;
  }
  // The default action: returning repeats the faulting access, which now
  // meets it.
  ::signal(SIGBUS, SIG_DFL);
}

// False when the handler cannot be installed (the caller then reads
// without mapping).
bool InstallBusGuard() {
  static const bool installed = [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    // Not blocked while handled: the jump back leaves the mask as it was.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &g_previous_bus) == 0;
  }();
  return installed;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

int TPosixFileSystem::Open(const std::string& path, bool writable, bool create, int* fd) {
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  if (create) flags |= O_CREAT | O_TRUNC;
  int r;
  do {
    r = ::open(path.c_str(), flags, 0666);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  *fd = r;
  return 0;
}

void TPosixFileSystem::Close(int fd) {
  ::close(fd);
}

int TPosixFileSystem::ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t n,
                             std::size_t* done) {
  *done = 0;
  auto* p = static_cast<char*>(buffer);
  while (*done < n) {
    const ssize_t r = ::pread(fd, p + *done, n - *done, offset + static_cast<off_t>(*done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) break;
    *done += static_cast<std::size_t>(r);
  }
  return 0;
}

int TPosixFileSystem::WriteAt(int fd, std::int64_t offset, const void* buffer, std::size_t n,
                              std::size_t* done) {
  *done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (*done < n) {
    const ssize_t r = ::pwrite(fd, p + *done, n - *done, offset + static_cast<off_t>(*done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) break;
    *done += static_cast<std::size_t>(r);
  }
  return 0;
}

int TPosixFileSystem::Truncate(int fd, std::int64_t size) {
  return ::ftruncate(fd, size) == 0 ? 0 : errno;
}

std::string KernelBootId() {
  std::string out;
  const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char text[64];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  std::uint8_t byte = 0;
  int digits = 0;
  for (ssize_t i = 0; i < n; ++i) {
    const char c = text[i];
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    byte = static_cast<std::uint8_t>(byte << 4 | v);
    if (++digits % 2 == 0) out.push_back(static_cast<char>(byte));
  }
  if (out.size() != 16) out.clear();
  return out;
}

// Read once: the run of the machine does not change while a program runs.
std::string TFileSystem::BootId() {
  static const std::string id = KernelBootId();
  return id;
}

int TPosixFileSystem::Sync(int fd) {
  return ::fdatasync(fd) == 0 ? 0 : errno;
}

void TFileSystem::SyncEach(const std::vector<int>& fds, std::vector<int>* errors) {
  errors->clear();
  for (int fd : fds)
    errors->push_back(Sync(fd));
}

// The write-back of every file is started before the first flush waits, so
// that the disk works on all of them at once and each flush then mostly
// waits for writes already under way. Only fdatasync promises anything; the
// hint's own failure is of no account.
void TPosixFileSystem::SyncEach(const std::vector<int>& fds, std::vector<int>* errors) {
  if (typeid(*this) == typeid(TPosixFileSystem) && fds.size() > 1)
    for (int fd : fds)
      ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  TFileSystem::SyncEach(fds, errors);
}

int TPosixFileSystem::Size(int fd, std::int64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  *size = st.st_size;
  return 0;
}

int TPosixFileSystem::Lock(int fd, std::int64_t start, std::int64_t length, TOsLockKind kind) {
  struct flock fl = {};
  fl.l_type = kind == TOsLockKind::kShared      ? F_RDLCK
              : kind == TOsLockKind::kExclusive ? F_WRLCK
                                                : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  fl.l_pid = 0;
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
  return (errno == EACCES) ? EAGAIN : errno;
}

int TPosixFileSystem::Stat(const std::string& path, bool* exists, bool* read_only) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *exists = false;
    *read_only = false;
    return (errno == ENOENT || errno == ENOTDIR) ? 0 : errno;
  }
  *exists = S_ISREG(st.st_mode);
  *read_only = (st.st_mode & 0222) == 0;
  return 0;
}

int TPosixFileSystem::FileSize(const std::string& path, std::int64_t* size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *size = -1;
    return (errno == ENOENT || errno == ENOTDIR) ? 0 : errno;
  }
  *size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
  return 0;
}

int TPosixFileSystem::Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int TPosixFileSystem::Unlink(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int TPosixFileSystem::ListDirectory(const std::string& dir, std::vector<std::string>* names) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return errno;
  while (const dirent* e = ::readdir(d))
    names->emplace_back(e->d_name);
  ::closedir(d);
  return 0;
}

void TPosixFileSystem::AdviseSequential(int fd) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

const std::uint8_t* TFileSystem::MapHead(int, std::size_t) {
  return nullptr;
}

void TFileSystem::UnmapHead(const std::uint8_t* head) {
  if (head) ::munmap(const_cast<std::uint8_t*>(head), kHeadBytes);
}

bool TFileSystem::CopyFromHead(const std::uint8_t* from, void* to, std::size_t n) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return false;
  t_head_guard = &guard;
  // Byte by byte through a volatile pointer: the faulting access is this
  // loop's own, never inside a library call.
  const volatile std::uint8_t* in = from;
  auto* out = static_cast<std::uint8_t*>(to);
  for (std::size_t i = 0; i < n; ++i)
    out[i] = in[i];
  t_head_guard = nullptr;
  return true;
}

const std::uint8_t* TPosixFileSystem::MapHead(int fd, std::size_t needed) {
  std::int64_t size = 0;
  if (needed > kHeadBytes || Size(fd, &size) != 0 || size < static_cast<std::int64_t>(needed) ||
      !InstallBusGuard())
    return nullptr;
  void* at = ::mmap(nullptr, kHeadBytes, PROT_READ, MAP_SHARED, fd, 0);
  return at == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(at);
}

TFileSystem& FileSystem() {
  return g_file_system ? *g_file_system : PosixFileSystem();
}

void SetFileSystemForTesting(TFileSystem* fs) {
  g_file_system = fs;
}

std::uint16_t MapOsError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kErrTableMissing;
    case EMFILE:
    case ENFILE:
      return kErrTooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY:
    case EAGAIN:
      return kErrAccessDenied;
    case EBADF:
      return kErrInvalidHandle;
    case ENOMEM:
      return kErrOutOfMemory;
    case ENODEV:
    case ENXIO:
      return kErrDeviceDenied;
    case ESTALE:
      return kErrTableMoved;
    default:
      return kErrUnknownOs;
  }
}

std::string NormalizePath(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

std::string NormalizeDirectory(std::string_view dir) {
  std::string out = NormalizePath(dir);
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

bool IsPath(std::string_view name) {
  return name.find_first_of("/\\:") != std::string_view::npos;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

std::string ResolveFileName(std::string_view path) {
  const std::string full = NormalizePath(path);
  bool exists = false, read_only = false;
  if (FileSystem().Stat(full, &exists, &read_only) == 0 && exists) return full;
  const std::size_t slash = full.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
  std::vector<std::string> names;
  if (FileSystem().ListDirectory(dir, &names) != 0) return full;
  for (const std::string& n : names) {
    if (SameTextIgnoringCase(n, base)) {
      if (FileSystem().Stat(dir + n, &exists, &read_only) == 0 && exists) return dir + n;
    }
  }
  return full;
}

}  // namespace kura
