// One file as shared by the whole process: TAbstractFile and its two kinds,
// TPhysicalFile (an OS file, one descriptor per process) and TMemoryFile (a
// growable memory block for in-memory tables). Every table handle that opens
// the file gets its own handle id and position in the file's handle list.
//
// Byte-range locks. The lock list holds every range locked through this file
// by any handle of the process; a range is granted only when it overlaps no
// listed range (start and inclusive end compared) and, for a physical file,
// when the OS also grants a non-waiting OFD write lock on it. The list is
// needed because this process shares one descriptor per file, so the OS
// cannot see conflicts between our own handles. Unlock removes the entry
// whose start and length match exactly.
//
// Sharing modes (physical files): Linux has none, so they are emulated with
// OFD locks on the sentinel range [kSharingSentinel, kSharingSentinel + 2),
// far above every lock offset of the engine. Every open takes a shared lock
// there and an exclusive open an exclusive one; a conflict is 11013.
//
// Threads: Mutex() guards positions, transfers and the lock list. Read,
// Write and Seek expect the caller to hold it around the seek-and-transfer
// pair; LockRange/UnlockRange and the handle list take it themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kura {

// Result of a file-layer operation: 0 or an engine code, plus the errno.
struct TFileStatus {
  std::uint16_t code = 0;
  int os_error = 0;
  bool ok() const { return code == 0; }
  static TFileStatus FromErrno(int err);
};

enum class TFileKind { kPhysical, kMemory };
enum class TSeekOrigin { kBegin, kCurrent, kEnd };

// First byte of the sharing-mode sentinel range (2 bytes long).
inline constexpr std::int64_t kSharingSentinel = std::int64_t{1} << 40;

struct TFileHandleEntry {
  std::int32_t id;
  std::int64_t position;
};

struct TByteRangeLock {
  std::int64_t start;
  std::int64_t end;  // inclusive
  std::int64_t length;
};

class TAbstractFile {
 public:
  TAbstractFile(std::string name, TFileKind kind) : name_(std::move(name)), kind_(kind) {}
  virtual ~TAbstractFile() = default;
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  std::mutex& Mutex() { return mutex_; }
  const std::string& Name() const { return name_; }
  TFileKind Kind() const { return kind_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return read_only_; }
  bool ReadOnlyAttribute() const { return read_only_attribute_; }
  bool Temporary() const { return temporary_; }
  int HandleCount();
  void SetOpenFlags(bool exclusive, bool temporary) {
    exclusive_ = exclusive;
    temporary_ = temporary;
  }

  // Writes and length changes made to the file through any handle of this
  // process so far: a reader that saw the same number saw the same bytes, as
  // far as this process's own changes go.
  std::uint64_t Writes() const { return writes_.load(std::memory_order_acquire); }
  void NoteWrite() { writes_.fetch_add(1, std::memory_order_acq_rel); }

  // Whether `id` is one of this file's handles.
  bool FindHandle(std::int32_t id);
  // Current length in bytes.
  virtual std::int64_t Size() = 0;
  // Creates the file empty (truncating what exists) and adds a handle.
  virtual TFileStatus Create(std::int32_t* handle) = 0;
  // Opens the file if this is its first handle, then adds a handle.
  virtual TFileStatus Open(std::int32_t* handle) = 0;
  // Removes a handle; the last close of a physical file closes the OS file.
  virtual void CloseHandle(std::int32_t handle) = 0;
  // Rename and delete refuse a file with open handles (11013).
  virtual TFileStatus Rename(const std::string& new_name) = 0;
  virtual TFileStatus Delete() = 0;
  // Transfer at the handle's position, advancing it; caller holds Mutex().
  virtual TFileStatus Read(std::int32_t handle, void* buffer, std::size_t n, std::size_t* done) = 0;
  // Reads n bytes at `offset` within the file's first 4096 bytes without a
  // system call where it can (a mapped head, TFileSystem::MapHead); false
  // when it cannot, and the caller reads as usual.
  virtual bool ReadHead(std::int64_t, void*, std::size_t) { return false; }
  virtual TFileStatus Write(std::int32_t handle, const void* buffer, std::size_t n,
                            std::size_t* done) = 0;
  virtual TFileStatus Flush() = 0;
  // The OS descriptor of a physical file while it is open, else -1.
  virtual int OsDescriptor() const { return -1; }
  // Sets the handle's position; caller holds Mutex().
  std::int64_t Seek(std::int32_t handle, std::int64_t offset, TSeekOrigin origin);
  // Sets the file length (truncating or zero-extending).
  virtual TFileStatus SetSize(std::int64_t size) = 0;
  // Non-waiting byte-range lock of [start, start + length); false on conflict.
  virtual bool LockRange(std::int64_t start, std::int64_t length);
  virtual bool UnlockRange(std::int64_t start, std::int64_t length);

 protected:
  std::int32_t AddHandle();            // caller holds Mutex()
  void RemoveHandle(std::int32_t id);  // caller holds Mutex()
  TFileHandleEntry* Entry(std::int32_t id);
  bool ListAllows(std::int64_t start, std::int64_t length) const;

  std::mutex mutex_;
  std::string name_;
  TFileKind kind_;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool read_only_attribute_ = false;
  bool temporary_ = false;
  std::vector<TFileHandleEntry> handles_;
  std::int32_t next_handle_id_ = 0;
  std::vector<TByteRangeLock> locks_;
  std::atomic<std::uint64_t> writes_{0};
};

class TPhysicalFile : public TAbstractFile {
 public:
  explicit TPhysicalFile(std::string name) : TAbstractFile(std::move(name), TFileKind::kPhysical) {}
  ~TPhysicalFile() override;

  std::int64_t Size() override;
  TFileStatus Create(std::int32_t* handle) override;
  TFileStatus Open(std::int32_t* handle) override;
  void CloseHandle(std::int32_t handle) override;
  TFileStatus Rename(const std::string& new_name) override;
  TFileStatus Delete() override;
  TFileStatus Read(std::int32_t handle, void* buffer, std::size_t n, std::size_t* done) override;
  bool ReadHead(std::int64_t offset, void* buffer, std::size_t n) override;
  TFileStatus Write(std::int32_t handle, const void* buffer, std::size_t n,
                    std::size_t* done) override;
  TFileStatus Flush() override;
  TFileStatus SetSize(std::int64_t size) override;
  bool LockRange(std::int64_t start, std::int64_t length) override;
  bool UnlockRange(std::int64_t start, std::int64_t length) override;
  bool IsOsOpen() const { return fd_ >= 0; }
  int OsDescriptor() const override { return fd_; }

 private:
  TFileStatus OpenOs(bool create);
  void CloseOs();
  int fd_ = -1;
  // The mapped head, made at the first ReadHead that can use it and given
  // back when the descriptor closes.
  std::atomic<const std::uint8_t*> head_{nullptr};
};

// The memory block grows and shrinks in 4096-byte steps; new bytes are zero.
// A write of 0 bytes truncates at the handle's position. The file stays in
// the registry with its contents after its last close, unless temporary.
class TMemoryFile : public TAbstractFile {
 public:
  explicit TMemoryFile(std::string name) : TAbstractFile(std::move(name), TFileKind::kMemory) {}

  std::int64_t Size() override;
  TFileStatus Create(std::int32_t* handle) override;
  TFileStatus Open(std::int32_t* handle) override;
  void CloseHandle(std::int32_t handle) override;
  TFileStatus Rename(const std::string& new_name) override;
  TFileStatus Delete() override;
  TFileStatus Read(std::int32_t handle, void* buffer, std::size_t n, std::size_t* done) override;
  TFileStatus Write(std::int32_t handle, const void* buffer, std::size_t n,
                    std::size_t* done) override;
  TFileStatus Flush() override { return {}; }
  TFileStatus SetSize(std::int64_t size) override;

 private:
  void Resize(std::int64_t size);
  std::vector<std::uint8_t> block_;
  std::int64_t size_ = 0;
};

}  // namespace kura
