#include "db/storage/file/file_list.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"

namespace kura {
namespace {

constexpr std::size_t kCopyChunk = 65536;
constexpr std::size_t kChunkHeader = 8;

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Reports progress whenever it has advanced by at least `step` percent.
class TProgress {
 public:
  TProgress(const TProgressCallback& cb, int step, std::int64_t total)
      : cb_(cb), step_(std::max(1, step)), total_(total) {}
  void Advance(std::int64_t done) {
    if (!cb_ || total_ <= 0) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent - last_ >= step_ || (percent == 100 && last_ != 100)) {
      last_ = percent;
      cb_(percent);
    }
  }

 private:
  const TProgressCallback& cb_;
  int step_;
  std::int64_t total_;
  int last_ = 0;
};

// Positioned read or write through a handle, with the file's mutex held
// around the seek-and-transfer pair.
TFileStatus TransferAt(TAbstractFile* f, std::int32_t h, std::int64_t pos, void* rbuf,
                       const void* wbuf, std::size_t n, std::size_t* done) {
  std::lock_guard<std::mutex> lock(f->Mutex());
  f->Seek(h, pos, TSeekOrigin::kBegin);
  return rbuf ? f->Read(h, rbuf, n, done) : f->Write(h, wbuf, n, done);
}

}  // namespace

TFileList& TFileList::Global() {
  static TFileList list;
  return list;
}

std::string TFileList::Key(const std::string& name, TFileKind kind) const {
  const std::string trimmed = Trim(name);
  return kind == TFileKind::kPhysical ? ResolveFileName(trimmed) : trimmed;
}

TAbstractFile* TFileList::FindLocked(const std::string& key, TFileKind kind) {
  for (auto& f : files_)
    if (f->Kind() == kind && SameTextIgnoringCase(f->Name(), key)) return f.get();
  return nullptr;
}

TAbstractFile* TFileList::Find(const std::string& name, TFileKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindLocked(Key(name, kind), kind);
}

void TFileList::Forget(TAbstractFile* file) {
  std::erase_if(files_, [file](const auto& f) { return f.get() == file; });
}

TFileOpenResult TFileList::Open(const std::string& name, TFileKind kind, bool exclusive,
                                bool temporary) {
  std::lock_guard<std::mutex> lock(mutex_);
  TFileOpenResult r;
  const std::string key = Key(name, kind);
  TAbstractFile* f = FindLocked(key, kind);
  if (f != nullptr && f->HandleCount() > 0) {
    if (exclusive || f->Exclusive()) {
      r.status = TFileStatus::FromErrno(EACCES);
      return r;
    }
  } else if (f != nullptr) {
    f->SetOpenFlags(exclusive, temporary);
  } else {
    if (kind == TFileKind::kMemory) {
      r.status = TFileStatus::FromErrno(ENOENT);
      return r;
    }
    auto created = std::make_unique<TPhysicalFile>(key);
    created->SetOpenFlags(exclusive, temporary);
    f = created.get();
    files_.push_back(std::move(created));
  }
  r.status = f->Open(&r.handle);
  if (!r.status.ok()) {
    if (kind == TFileKind::kPhysical && f->HandleCount() == 0) Forget(f);
    return r;
  }
  r.file = f;
  r.read_only = f->ReadOnly();
  r.read_only_attribute = f->ReadOnlyAttribute();
  return r;
}

TFileOpenResult TFileList::Create(const std::string& name, TFileKind kind, bool temporary) {
  std::lock_guard<std::mutex> lock(mutex_);
  TFileOpenResult r;
  const std::string key = Key(name, kind);
  TAbstractFile* f = FindLocked(key, kind);
  if (f != nullptr && f->HandleCount() > 0) {
    r.status = TFileStatus::FromErrno(EACCES);
    return r;
  }
  if (f == nullptr) {
    std::unique_ptr<TAbstractFile> created;
    if (kind == TFileKind::kMemory)
      created = std::make_unique<TMemoryFile>(key);
    else
      created = std::make_unique<TPhysicalFile>(key);
    f = created.get();
    files_.push_back(std::move(created));
  }
  f->SetOpenFlags(true, temporary);
  r.status = f->Create(&r.handle);
  if (!r.status.ok()) {
    if (f->HandleCount() == 0) Forget(f);
    return r;
  }
  r.file = f;
  return r;
}

void TFileList::Close(TAbstractFile* file, std::int32_t handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  file->CloseHandle(handle);
  if (file->HandleCount() == 0 && file->Kind() == TFileKind::kPhysical) Forget(file);
}

TFileStatus TFileList::Rename(const std::string& name, TFileKind kind,
                              const std::string& new_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string key = Key(name, kind);
  TAbstractFile* f = FindLocked(key, kind);
  if (f != nullptr) {
    if (f->HandleCount() > 0) return TFileStatus::FromErrno(EACCES);
    if (kind == TFileKind::kMemory) return f->Rename(Trim(new_name));
    Forget(f);
  }
  if (kind == TFileKind::kMemory) return TFileStatus::FromErrno(ENOENT);
  return TFileStatus::FromErrno(FileSystem().Rename(key, NormalizePath(Trim(new_name))));
}

TFileStatus TFileList::Delete(const std::string& name, TFileKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string key = Key(name, kind);
  TAbstractFile* f = FindLocked(key, kind);
  if (f != nullptr) {
    if (f->HandleCount() > 0) return TFileStatus::FromErrno(EACCES);
    if (kind == TFileKind::kMemory) {
      Forget(f);
      return {};
    }
    Forget(f);
  }
  if (kind == TFileKind::kMemory) return TFileStatus::FromErrno(ENOENT);
  return TFileStatus::FromErrno(FileSystem().Unlink(key));
}

bool TFileList::Exists(const std::string& name, TFileKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string key = Key(name, kind);
  if (kind == TFileKind::kMemory) return FindLocked(key, kind) != nullptr;
  bool exists = false, ro = false;
  return FileSystem().Stat(key, &exists, &ro) == 0 && exists;
}

TFileStatus TFileList::CopyTo(TAbstractFile* file, std::int32_t handle, const std::string& target,
                              bool compress, const TProgressCallback& progress, int step_percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  const TFileKind kind = file->Kind();
  const std::string key = Key(target, kind);
  TAbstractFile* out = FindLocked(key, kind);
  if (out != nullptr && out->HandleCount() > 0) return TFileStatus::FromErrno(EACCES);
  if (out == nullptr) {
    std::unique_ptr<TAbstractFile> created;
    if (kind == TFileKind::kMemory)
      created = std::make_unique<TMemoryFile>(key);
    else
      created = std::make_unique<TPhysicalFile>(key);
    out = created.get();
    files_.push_back(std::move(created));
  }
  out->SetOpenFlags(true, false);
  std::int32_t out_handle = -1;
  TFileStatus s = out->Create(&out_handle);
  if (!s.ok()) {
    Forget(out);
    return s;
  }
  const std::int64_t total = file->Size();
  TProgress report(progress, step_percent, total);
  std::vector<std::uint8_t> chunk(kCopyChunk);
  std::vector<std::uint8_t> packed(kChunkHeader + compressBound(kCopyChunk));
  std::int64_t in_pos = 0, out_pos = 0;
  while (s.ok() && in_pos < total) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(kCopyChunk, total - in_pos));
    std::size_t got = 0;
    s = TransferAt(file, handle, in_pos, chunk.data(), nullptr, want, &got);
    if (s.ok() && got != want) s = TFileStatus{kErrReading, 0};
    if (!s.ok()) break;
    const std::uint8_t* data = chunk.data();
    std::size_t size = got;
    if (compress) {
      uLongf packed_size = static_cast<uLongf>(packed.size() - kChunkHeader);
      if (compress2(packed.data() + kChunkHeader, &packed_size, chunk.data(), got, 9) != Z_OK) {
        s = TFileStatus{kErrCompress, 0};
        break;
      }
      EncodeFixed32(packed.data(), static_cast<std::uint32_t>(packed_size));
      EncodeFixed32(packed.data() + 4, static_cast<std::uint32_t>(got));
      data = packed.data();
      size = kChunkHeader + packed_size;
    }
    std::size_t written = 0;
    s = TransferAt(out, out_handle, out_pos, nullptr, data, size, &written);
    if (s.ok() && written != size) s = TFileStatus{kErrWriting, 0};
    in_pos += static_cast<std::int64_t>(got);
    out_pos += static_cast<std::int64_t>(size);
    report.Advance(in_pos);
  }
  out->CloseHandle(out_handle);
  if (kind == TFileKind::kPhysical) Forget(out);
  return s;
}

TFileStatus TFileList::CopyFrom(TAbstractFile* file, std::int32_t handle, const std::string& source,
                                bool compress, const TProgressCallback& progress,
                                int step_percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  const TFileKind kind = file->Kind();
  const std::string key = Key(source, kind);
  TAbstractFile* in = FindLocked(key, kind);
  bool registered_here = false;
  if (in == nullptr) {
    if (kind == TFileKind::kMemory) return TFileStatus::FromErrno(ENOENT);
    files_.push_back(std::make_unique<TPhysicalFile>(key));
    in = files_.back().get();
    registered_here = true;
  }
  std::int32_t in_handle = -1;
  TFileStatus s = in->Open(&in_handle);
  if (!s.ok()) {
    if (registered_here) Forget(in);
    return s;
  }
  s = file->SetSize(0);
  const std::int64_t total = in->Size();
  TProgress report(progress, step_percent, total);
  std::vector<std::uint8_t> chunk(kCopyChunk);
  std::vector<std::uint8_t> packed;
  std::int64_t in_pos = 0, out_pos = 0;
  while (s.ok() && in_pos < total) {
    std::size_t got = 0;
    const std::uint8_t* data = chunk.data();
    std::size_t size = 0;
    if (!compress) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::int64_t>(kCopyChunk, total - in_pos));
      s = TransferAt(in, in_handle, in_pos, chunk.data(), nullptr, want, &got);
      if (s.ok() && got != want) s = TFileStatus{kErrReading, 0};
      size = got;
    } else {
      std::uint8_t header[kChunkHeader];
      s = TransferAt(in, in_handle, in_pos, header, nullptr, kChunkHeader, &got);
      if (!s.ok()) break;
      const std::uint32_t packed_size = DecodeFixed32(header);
      const std::uint32_t raw_size = DecodeFixed32(header + 4);
      if (got != kChunkHeader || raw_size == 0 || raw_size > kCopyChunk ||
          packed_size > compressBound(kCopyChunk) ||
          packed_size > static_cast<std::uint64_t>(total - in_pos - kChunkHeader)) {
        s = TFileStatus{kErrUncompress, 0};
        break;
      }
      packed.resize(packed_size);
      std::size_t packed_got = 0;
      s = TransferAt(in, in_handle, in_pos + kChunkHeader, packed.data(), nullptr, packed_size,
                     &packed_got);
      if (!s.ok()) break;
      uLongf out_size = static_cast<uLongf>(kCopyChunk);
      if (packed_got != packed_size ||
          uncompress(chunk.data(), &out_size, packed.data(), packed_size) != Z_OK ||
          out_size != raw_size) {
        s = TFileStatus{kErrUncompress, 0};
        break;
      }
      got = kChunkHeader + packed_size;
      size = out_size;
    }
    if (!s.ok()) break;
    std::size_t written = 0;
    s = TransferAt(file, handle, out_pos, nullptr, data, size, &written);
    if (s.ok() && written != size) s = TFileStatus{kErrWriting, 0};
    in_pos += static_cast<std::int64_t>(got);
    out_pos += static_cast<std::int64_t>(size);
    report.Advance(in_pos);
  }
  in->CloseHandle(in_handle);
  if (kind == TFileKind::kPhysical && in->HandleCount() == 0) Forget(in);
  return s;
}

}  // namespace kura
