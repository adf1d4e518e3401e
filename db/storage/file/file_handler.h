// TFileHandler: one table file as seen by one table handle. It holds a handle
// on the shared TAbstractFile from the registry and turns every file-layer
// failure into an EKuraEngineError carrying the table's name. TDataFile,
// TIndexFile and TBlobFile derive from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/storage/file/abstract_file.h"
#include "db/storage/file/file_list.h"

namespace kura {

// The writes of a commit held back in memory (see TFileHandler::StartCapture),
// in the order they were issued, with the file length they imply.
struct TWriteCapture {
  struct TWrite {
    std::int64_t offset;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<TWrite> writes;
  std::int64_t end = 0;  // the largest end of a write
};

class TFileHandler {
 public:
  // `table_name` is the name errors report; `in_memory` selects memory files.
  TFileHandler(std::string table_name, bool in_memory)
      : table_name_(std::move(table_name)), in_memory_(in_memory) {}
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Opens an existing file; 11010 when it does not exist (naming the missing
  // file, or its directory when that is missing too), 11013 on a sharing
  // conflict.
  virtual void Open(const std::string& file_name, bool exclusive, bool temporary = false);
  virtual void Close();
  // Creates the file empty and opens it exclusively.
  virtual void Create(const std::string& file_name, bool temporary = false);
  // Delete and rename work on closed files only (11013 while open anywhere).
  virtual void Delete(const std::string& file_name);
  virtual void Rename(const std::string& file_name, const std::string& new_name);
  virtual void CopyTo(const std::string& target, bool compress,
                      const TProgressCallback& progress = {}, int step_percent = 10);
  virtual void CopyFrom(const std::string& source, bool compress,
                        const TProgressCallback& progress = {}, int step_percent = 10);
  // Positioned read; returns the bytes read (short at end of file). An OS
  // failure is 9217.
  virtual std::size_t Read(std::int64_t offset, void* buffer, std::size_t n);
  // Positioned write; a short write or an OS failure is 9218.
  virtual void Write(std::int64_t offset, const void* buffer, std::size_t n);
  // OS flush; failure is 9218.
  virtual void Flush();
  // OS-flushes `files` together, so that their writes reach the disk at
  // once (TFileSystem::SyncEach); the first failure is raised as Flush
  // raises it (after all were tried).
  static void FlushTogether(const std::vector<TFileHandler*>& files);

  // Reads exactly n bytes or raises 9217.
  void ReadFull(std::int64_t offset, void* buffer, std::size_t n);
  // ReadFull for bytes within the first 4096, without a system call where
  // the file's head is mapped: for the change counters, compared at every
  // read and write lock.
  void ReadHeadFull(std::int64_t offset, void* buffer, std::size_t n);
  // Sets the file length; failure is 9218.
  void SetSize(std::int64_t size);
  std::int64_t Size();
  // Non-waiting lock of [start, start + length); false on conflict.
  bool LockRange(std::int64_t start, std::int64_t length);
  bool UnlockRange(std::int64_t start, std::int64_t length);
  // Locks with up to `retries` further attempts, `sleep_ms` apart.
  bool LockRangeRetrying(std::int64_t start, std::int64_t length, int retries, int sleep_ms);
  bool Exists(const std::string& file_name) const;

  // While capturing, writes go to `capture` instead of the file, reads and
  // the length see them over the file's bytes, OS flushes do nothing and a
  // length change fails (8962): a commit collects what it would write, puts
  // it in its journal and only then writes it (TCommitJournal).
  void StartCapture(TWriteCapture* capture) { capture_ = capture; }
  void StopCapture() { capture_ = nullptr; }
  bool Capturing() const { return capture_ != nullptr; }
  // The positioned write, past any capture.
  void WriteThrough(std::int64_t offset, const void* buffer, std::size_t n);

  bool IsOpen() const { return open_; }
  bool InMemory() const { return in_memory_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return read_only_; }
  bool ReadOnlyAttribute() const { return read_only_attribute_; }
  bool Temporary() const { return temporary_; }
  const std::string& FileName() const { return file_name_; }
  const std::string& TableName() const { return table_name_; }
  void SetTableName(std::string name) { table_name_ = std::move(name); }
  TAbstractFile* SharedFile() const { return file_; }
  TFileKind Kind() const { return in_memory_ ? TFileKind::kMemory : TFileKind::kPhysical; }

  // Raises `code` (or the status's code) with this handler's table name.
  [[noreturn]] void Raise(std::uint16_t code, int os_code = 0) const;
  void Check(const TFileStatus& status) const;
  // 11010 for `file_name`, naming it (or its missing directory) in the message.
  [[noreturn]] void RaiseMissing(const std::string& file_name) const;

 protected:
  void Adopt(const TFileOpenResult& r, const std::string& file_name, bool exclusive,
             bool temporary);

  std::string table_name_;
  bool in_memory_;
  TAbstractFile* file_ = nullptr;
  std::string file_name_;
  std::int32_t handle_ = -1;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool read_only_attribute_ = false;
  bool open_ = false;
  bool temporary_ = false;
  TWriteCapture* capture_ = nullptr;
};

}  // namespace kura
