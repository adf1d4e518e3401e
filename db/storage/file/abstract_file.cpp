#include "db/storage/file/abstract_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"

namespace kura {
namespace {

constexpr std::int64_t kMemoryStep = 4096;
// A memory file never grows beyond what a table file may hold.
constexpr std::int64_t kMemoryFileLimit = 4'000'000'000LL;

}  // namespace

TFileStatus TFileStatus::FromErrno(int err) {
  TFileStatus s;
  if (err != 0) {
    s.code = MapOsError(err);
    s.os_error = err;
  }
  return s;
}

int TAbstractFile::HandleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}

bool TAbstractFile::FindHandle(std::int32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Entry(id) != nullptr;
}

TFileHandleEntry* TAbstractFile::Entry(std::int32_t id) {
  for (auto& h : handles_)
    if (h.id == id) return &h;
  return nullptr;
}

std::int32_t TAbstractFile::AddHandle() {
  const std::int32_t id = next_handle_id_++;
  handles_.push_back({id, 0});
  return id;
}

void TAbstractFile::RemoveHandle(std::int32_t id) {
  std::erase_if(handles_, [id](const TFileHandleEntry& h) { return h.id == id; });
}

std::int64_t TAbstractFile::Seek(std::int32_t handle, std::int64_t offset, TSeekOrigin origin) {
  TFileHandleEntry* h = Entry(handle);
  if (h == nullptr) return -1;
  std::int64_t base = 0;
  if (origin == TSeekOrigin::kCurrent) base = h->position;
  if (origin == TSeekOrigin::kEnd) base = Size();
  h->position = std::max<std::int64_t>(0, base + offset);
  return h->position;
}

bool TAbstractFile::ListAllows(std::int64_t start, std::int64_t length) const {
  const std::int64_t end = start + length - 1;
  return std::none_of(locks_.begin(), locks_.end(),
                      [&](const TByteRangeLock& l) { return start <= l.end && l.start <= end; });
}

bool TAbstractFile::LockRange(std::int64_t start, std::int64_t length) {
  if (length <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ListAllows(start, length)) return false;
  locks_.push_back({start, start + length - 1, length});
  return true;
}

bool TAbstractFile::UnlockRange(std::int64_t start, std::int64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(locks_.begin(), locks_.end(), [&](const TByteRangeLock& l) {
    return l.start == start && l.length == length;
  });
  if (it == locks_.end()) return false;
  locks_.erase(it);
  return true;
}

// ---- TPhysicalFile ----

TPhysicalFile::~TPhysicalFile() {
  CloseOs();
}

TFileStatus TPhysicalFile::OpenOs(bool create) {
  TFileSystem& fs = FileSystem();
  if (!create) {
    bool exists = false, ro_attr = false;
    if (int err = fs.Stat(name_, &exists, &ro_attr)) return TFileStatus::FromErrno(err);
    if (!exists) return TFileStatus::FromErrno(ENOENT);
    read_only_attribute_ = ro_attr;
    read_only_ = ro_attr;
  } else {
    read_only_attribute_ = read_only_ = false;
  }
  int fd = -1;
  int err = fs.Open(name_, !read_only_, create, &fd);
  if (err != 0 && !read_only_ && !create) {
    // A file we may not write is still opened, read-only.
    if (fs.Open(name_, false, false, &fd) == 0) {
      err = 0;
      read_only_ = true;
    }
  }
  if (err != 0) return TFileStatus::FromErrno(err);
  // The sharing mode: a shared lock for every open, an exclusive one for an
  // exclusive open. A read-only descriptor cannot hold a write lock, so an
  // exclusive open of a read-only file is denied like any other conflict.
  const TOsLockKind share = exclusive_ ? TOsLockKind::kExclusive : TOsLockKind::kShared;
  if (int lerr = fs.Lock(fd, kSharingSentinel, 2, share)) {
    fs.Close(fd);
    return TFileStatus::FromErrno(lerr == EBADF ? EACCES : lerr);
  }
  fs.AdviseSequential(fd);
  fd_ = fd;
  locks_.clear();
  return {};
}

void TPhysicalFile::CloseOs() {
  if (fd_ < 0) return;
  TFileSystem::UnmapHead(head_.exchange(nullptr));
  FileSystem().Close(fd_);  // closing the description drops its OFD locks
  fd_ = -1;
  locks_.clear();
  if (temporary_) FileSystem().Unlink(name_);  // delete-on-close
}

std::int64_t TPhysicalFile::Size() {
  std::int64_t size = 0;
  if (fd_ < 0 || FileSystem().Size(fd_, &size) != 0) return 0;
  return size;
}

TFileStatus TPhysicalFile::Create(std::int32_t* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handles_.empty()) return TFileStatus::FromErrno(EACCES);
  if (fd_ < 0) {
    TFileStatus s = OpenOs(true);
    if (!s.ok()) return s;
  }
  *handle = AddHandle();
  return {};
}

TFileStatus TPhysicalFile::Open(std::int32_t* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0) {
    TFileStatus s = OpenOs(false);
    if (!s.ok()) return s;
  }
  *handle = AddHandle();
  return {};
}

void TPhysicalFile::CloseHandle(std::int32_t handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveHandle(handle);
  if (handles_.empty()) CloseOs();
}

TFileStatus TPhysicalFile::Rename(const std::string& new_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handles_.empty()) return TFileStatus::FromErrno(EACCES);
  if (int err = FileSystem().Rename(name_, new_name)) return TFileStatus::FromErrno(err);
  name_ = new_name;
  return {};
}

TFileStatus TPhysicalFile::Delete() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handles_.empty()) return TFileStatus::FromErrno(EACCES);
  return TFileStatus::FromErrno(FileSystem().Unlink(name_));
}

TFileStatus TPhysicalFile::Read(std::int32_t handle, void* buffer, std::size_t n,
                                std::size_t* done) {
  *done = 0;
  TFileHandleEntry* h = Entry(handle);
  if (h == nullptr || fd_ < 0) return TFileStatus::FromErrno(EBADF);
  const int err = FileSystem().ReadAt(fd_, h->position, buffer, n, done);
  h->position += static_cast<std::int64_t>(*done);
  return TFileStatus::FromErrno(err);
}

bool TPhysicalFile::ReadHead(std::int64_t offset, void* buffer, std::size_t n) {
  if (offset < 0 || offset + static_cast<std::int64_t>(n) >
                        static_cast<std::int64_t>(TFileSystem::kHeadBytes))
    return false;
  const std::uint8_t* head = head_.load(std::memory_order_acquire);
  if (head == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) return false;
    head = head_.load(std::memory_order_relaxed);
    if (head == nullptr) {
      head = FileSystem().MapHead(fd_, static_cast<std::size_t>(offset) + n);
      if (head == nullptr) return false;
      head_.store(head, std::memory_order_release);
    }
  }
  return TFileSystem::CopyFromHead(head + offset, buffer, n);
}

TFileStatus TPhysicalFile::Write(std::int32_t handle, const void* buffer, std::size_t n,
                                 std::size_t* done) {
  *done = 0;
  TFileHandleEntry* h = Entry(handle);
  if (h == nullptr || fd_ < 0) return TFileStatus::FromErrno(EBADF);
  if (read_only_) return TFileStatus::FromErrno(EACCES);
  const int err = FileSystem().WriteAt(fd_, h->position, buffer, n, done);
  h->position += static_cast<std::int64_t>(*done);
  return TFileStatus::FromErrno(err);
}

TFileStatus TPhysicalFile::Flush() {
  if (fd_ < 0) return TFileStatus::FromErrno(EBADF);
  return TFileStatus::FromErrno(FileSystem().Sync(fd_));
}

TFileStatus TPhysicalFile::SetSize(std::int64_t size) {
  if (fd_ < 0) return TFileStatus::FromErrno(EBADF);
  if (read_only_) return TFileStatus::FromErrno(EACCES);
  return TFileStatus::FromErrno(FileSystem().Truncate(fd_, size));
}

bool TPhysicalFile::LockRange(std::int64_t start, std::int64_t length) {
  if (length <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || !ListAllows(start, length)) return false;
  if (FileSystem().Lock(fd_, start, length, TOsLockKind::kExclusive) != 0) return false;
  locks_.push_back({start, start + length - 1, length});
  return true;
}

bool TPhysicalFile::UnlockRange(std::int64_t start, std::int64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(locks_.begin(), locks_.end(), [&](const TByteRangeLock& l) {
    return l.start == start && l.length == length;
  });
  if (it == locks_.end() || fd_ < 0) return false;
  locks_.erase(it);
  return FileSystem().Lock(fd_, start, length, TOsLockKind::kUnlock) == 0;
}

// ---- TMemoryFile ----

std::int64_t TMemoryFile::Size() {
  return size_;
}

void TMemoryFile::Resize(std::int64_t size) {
  const std::int64_t capacity = (size + kMemoryStep - 1) / kMemoryStep * kMemoryStep;
  if (size < size_) std::fill(block_.begin() + size, block_.begin() + size_, 0);
  block_.resize(static_cast<std::size_t>(capacity), 0);
  size_ = size;
}

TFileStatus TMemoryFile::Create(std::int32_t* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handles_.empty()) return TFileStatus::FromErrno(EACCES);
  block_.clear();
  size_ = 0;
  locks_.clear();
  *handle = AddHandle();
  return {};
}

TFileStatus TMemoryFile::Open(std::int32_t* handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  *handle = AddHandle();
  return {};
}

void TMemoryFile::CloseHandle(std::int32_t handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveHandle(handle);
  if (handles_.empty() && temporary_) {
    block_.clear();
    block_.shrink_to_fit();
    size_ = 0;
  }
}

TFileStatus TMemoryFile::Rename(const std::string& new_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handles_.empty()) return TFileStatus::FromErrno(EACCES);
  name_ = new_name;
  return {};
}

TFileStatus TMemoryFile::Delete() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!handles_.empty()) return TFileStatus::FromErrno(EACCES);
  block_.clear();
  size_ = 0;
  return {};
}

TFileStatus TMemoryFile::Read(std::int32_t handle, void* buffer, std::size_t n, std::size_t* done) {
  *done = 0;
  TFileHandleEntry* h = Entry(handle);
  if (h == nullptr) return TFileStatus::FromErrno(EBADF);
  if (h->position >= size_) return {};
  const std::size_t avail = static_cast<std::size_t>(size_ - h->position);
  *done = std::min(n, avail);
  if (*done > 0) std::memcpy(buffer, block_.data() + h->position, *done);
  h->position += static_cast<std::int64_t>(*done);
  return {};
}

TFileStatus TMemoryFile::Write(std::int32_t handle, const void* buffer, std::size_t n,
                               std::size_t* done) {
  *done = 0;
  TFileHandleEntry* h = Entry(handle);
  if (h == nullptr) return TFileStatus::FromErrno(EBADF);
  if (n == 0) {
    Resize(h->position);
    return {};
  }
  const std::int64_t end = h->position + static_cast<std::int64_t>(n);
  if (end > kMemoryFileLimit) return TFileStatus{kErrMemoryTableLength, 0};
  if (end > size_) Resize(end);
  std::memcpy(block_.data() + h->position, buffer, n);
  h->position = end;
  *done = n;
  return {};
}

TFileStatus TMemoryFile::SetSize(std::int64_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (size < 0 || size > kMemoryFileLimit) return TFileStatus{kErrMemoryTableLength, 0};
  Resize(size);
  return {};
}

}  // namespace kura
