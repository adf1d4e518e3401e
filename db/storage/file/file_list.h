// TFileList: the process-wide registry of open files. Every table handle of
// the process that opens the same file shares one TAbstractFile (and so one
// OS descriptor). A file is identified by its kind and its name, trimmed and
// compared ignoring ASCII case.
//
// The registry's mutex is held for a whole open, create, close, rename,
// delete or copy; a file's own mutex is taken inside. Lock order: registry,
// then file.
//
// Compressed copy format (CopyTo with compress, read back by CopyFrom):
//   a sequence of chunks, each
//   | 0 | 4 | uint32 | compressed size c
//   | 4 | 4 | uint32 | uncompressed size u (1..65536)
//   | 8 | c | bytes  | zlib stream of the chunk, level 9
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/storage/file/abstract_file.h"

namespace kura {

struct TFileOpenResult {
  TFileStatus status;
  TAbstractFile* file = nullptr;
  std::int32_t handle = -1;
  bool read_only = false;
  bool read_only_attribute = false;
};

// Receives the percentage copied.
using TProgressCallback = std::function<void(int percent)>;

class TFileList {
 public:
  static TFileList& Global();

  TFileOpenResult Open(const std::string& name, TFileKind kind, bool exclusive, bool temporary);
  // Creates the file empty and opens it exclusively.
  TFileOpenResult Create(const std::string& name, TFileKind kind, bool temporary);
  void Close(TAbstractFile* file, std::int32_t handle);
  TFileStatus Rename(const std::string& name, TFileKind kind, const std::string& new_name);
  TFileStatus Delete(const std::string& name, TFileKind kind);
  bool Exists(const std::string& name, TFileKind kind);
  // Copies the whole of `file` into a new file `target` (of the same kind),
  // in 65536-byte chunks, compressed when asked (15001 on failure).
  TFileStatus CopyTo(TAbstractFile* file, std::int32_t handle, const std::string& target,
                     bool compress, const TProgressCallback& progress, int step_percent);
  // Replaces the contents of `file` with those of `source` (decompressing
  // when asked; 15002 on a malformed or failing stream).
  TFileStatus CopyFrom(TAbstractFile* file, std::int32_t handle, const std::string& source,
                       bool compress, const TProgressCallback& progress, int step_percent);

  // The registered file of that kind and name, or nullptr (tests).
  TAbstractFile* Find(const std::string& name, TFileKind kind);

 private:
  TAbstractFile* FindLocked(const std::string& key, TFileKind kind);
  void Forget(TAbstractFile* file);
  std::string Key(const std::string& name, TFileKind kind) const;

  std::mutex mutex_;
  std::vector<std::unique_ptr<TAbstractFile>> files_;
};

}  // namespace kura
