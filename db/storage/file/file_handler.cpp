#include "db/storage/file/file_handler.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"

namespace kura {

TFileHandler::~TFileHandler() {
  if (open_) TFileList::Global().Close(file_, handle_);
}

void TFileHandler::Raise(std::uint16_t code, int os_code) const {
  RaiseTableError(code, table_name_, os_code);
}

void TFileHandler::Check(const TFileStatus& status) const {
  if (!status.ok()) Raise(status.code, status.os_error);
}

void TFileHandler::Adopt(const TFileOpenResult& r, const std::string& file_name, bool exclusive,
                         bool temporary) {
  Check(r.status);
  file_ = r.file;
  handle_ = r.handle;
  file_name_ = file_name;
  exclusive_ = exclusive;
  temporary_ = temporary;
  read_only_ = r.read_only;
  read_only_attribute_ = r.read_only_attribute;
  open_ = true;
}

void TFileHandler::Open(const std::string& file_name, bool exclusive, bool temporary) {
  if (open_) Close();
  if (!Exists(file_name)) RaiseMissing(file_name);
  Adopt(TFileList::Global().Open(file_name, Kind(), exclusive, temporary), file_name, exclusive,
        temporary);
}

void TFileHandler::RaiseMissing(const std::string& file_name) const {
  TErrorContext ctx;
  ctx.table_name = table_name_;
  const std::filesystem::path path(file_name);
  const std::filesystem::path dir = path.parent_path();
  std::error_code ec;
  if (Kind() == TFileKind::kPhysical && !dir.empty() && !std::filesystem::is_directory(dir, ec))
    ctx.extra_message = ": directory " + dir.string() + " does not exist";
  else
    ctx.extra_message = ": file " + file_name + " is missing";
  RaiseEngineError(kErrTableMissing, ctx);
}

void TFileHandler::Close() {
  if (!open_) return;
  open_ = false;
  TFileList::Global().Close(file_, handle_);
  file_ = nullptr;
  handle_ = -1;
}

void TFileHandler::Create(const std::string& file_name, bool temporary) {
  if (open_) Close();
  TFileOpenResult r = TFileList::Global().Create(file_name, Kind(), temporary);
  Adopt(r, file_name, true, temporary);
}

void TFileHandler::Delete(const std::string& file_name) {
  Check(TFileList::Global().Delete(file_name, Kind()));
}

void TFileHandler::Rename(const std::string& file_name, const std::string& new_name) {
  Check(TFileList::Global().Rename(file_name, Kind(), new_name));
}

void TFileHandler::CopyTo(const std::string& target, bool compress,
                          const TProgressCallback& progress, int step_percent) {
  if (!open_) Raise(kErrInvalidHandle);
  Check(TFileList::Global().CopyTo(file_, handle_, target, compress, progress, step_percent));
}

void TFileHandler::CopyFrom(const std::string& source, bool compress,
                            const TProgressCallback& progress, int step_percent) {
  if (!open_) Raise(kErrInvalidHandle);
  Check(TFileList::Global().CopyFrom(file_, handle_, source, compress, progress, step_percent));
}

std::size_t TFileHandler::Read(std::int64_t offset, void* buffer, std::size_t n) {
  if (!open_) Raise(kErrInvalidHandle);
  std::size_t done = 0;
  TFileStatus s;
  {
    std::lock_guard<std::mutex> lock(file_->Mutex());
    file_->Seek(handle_, offset, TSeekOrigin::kBegin);
    s = file_->Read(handle_, buffer, n, &done);
  }
  if (!s.ok()) Raise(kErrReading, s.os_error);
  if (capture_ == nullptr || n == 0) return done;
  // The captured writes lie over the file's bytes in the order issued; a
  // gap between the file's end and a captured write reads as zeros, as the
  // file would after the writes.
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::int64_t end = offset + static_cast<std::int64_t>(n);
  if (capture_->end > offset + static_cast<std::int64_t>(done)) {
    const std::int64_t visible = std::min(end, capture_->end);
    std::fill(out + done, out + (visible - offset), std::uint8_t{0});
    done = static_cast<std::size_t>(visible - offset);
  }
  for (const TWriteCapture::TWrite& w : capture_->writes) {
    const std::int64_t w_end = w.offset + static_cast<std::int64_t>(w.bytes.size());
    const std::int64_t lo = std::max(offset, w.offset), hi = std::min(end, w_end);
    if (lo < hi) std::copy(w.bytes.begin() + (lo - w.offset), w.bytes.begin() + (hi - w.offset),
                           out + (lo - offset));
  }
  return done;
}

void TFileHandler::ReadFull(std::int64_t offset, void* buffer, std::size_t n) {
  if (Read(offset, buffer, n) != n) Raise(kErrReading);
}

void TFileHandler::ReadHeadFull(std::int64_t offset, void* buffer, std::size_t n) {
  if (open_ && capture_ == nullptr && file_->ReadHead(offset, buffer, n)) return;
  ReadFull(offset, buffer, n);
}

void TFileHandler::Write(std::int64_t offset, const void* buffer, std::size_t n) {
  if (capture_ == nullptr) return WriteThrough(offset, buffer, n);
  if (!open_) Raise(kErrInvalidHandle);
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  capture_->writes.push_back({offset, std::vector<std::uint8_t>(in, in + n)});
  capture_->end = std::max(capture_->end, offset + static_cast<std::int64_t>(n));
}

void TFileHandler::WriteThrough(std::int64_t offset, const void* buffer, std::size_t n) {
  if (!open_) Raise(kErrInvalidHandle);
  std::size_t done = 0;
  TFileStatus s;
  {
    std::lock_guard<std::mutex> lock(file_->Mutex());
    file_->Seek(handle_, offset, TSeekOrigin::kBegin);
    s = file_->Write(handle_, buffer, n, &done);
    file_->NoteWrite();
  }
  if (!s.ok() || done != n) Raise(kErrWriting, s.os_error);
}

void TFileHandler::Flush() {
  if (!open_) Raise(kErrInvalidHandle);
  if (capture_ != nullptr) return;
  TFileStatus s = file_->Flush();
  if (!s.ok()) Raise(kErrWriting, s.os_error);
}

void TFileHandler::FlushTogether(const std::vector<TFileHandler*>& files) {
  std::vector<int> fds;
  std::vector<TFileHandler*> owners;
  for (TFileHandler* f : files) {
    const int fd = f->open_ && f->capture_ == nullptr ? f->file_->OsDescriptor() : -1;
    if (fd < 0) {
      f->Flush();  // a memory file, or one that fails as it always does
      continue;
    }
    fds.push_back(fd);
    owners.push_back(f);
  }
  std::vector<int> errors;
  FileSystem().SyncEach(fds, &errors);
  for (std::size_t i = 0; i < owners.size(); ++i)
    if (errors[i] != 0) owners[i]->Raise(kErrWriting, errors[i]);
}

void TFileHandler::SetSize(std::int64_t size) {
  if (!open_) Raise(kErrInvalidHandle);
  if (capture_ != nullptr) Raise(kErrRecordBuffersCorrupt);
  TFileStatus s = file_->SetSize(size);
  file_->NoteWrite();
  if (!s.ok()) Raise(kErrWriting, s.os_error);
}

std::int64_t TFileHandler::Size() {
  if (!open_) Raise(kErrInvalidHandle);
  std::lock_guard<std::mutex> lock(file_->Mutex());
  const std::int64_t size = file_->Size();
  return capture_ != nullptr ? std::max(size, capture_->end) : size;
}

bool TFileHandler::LockRange(std::int64_t start, std::int64_t length) {
  return open_ && file_->LockRange(start, length);
}

bool TFileHandler::UnlockRange(std::int64_t start, std::int64_t length) {
  return open_ && file_->UnlockRange(start, length);
}

bool TFileHandler::LockRangeRetrying(std::int64_t start, std::int64_t length, int retries,
                                     int sleep_ms) {
  for (int attempt = 0;; ++attempt) {
    if (LockRange(start, length)) return true;
    if (attempt >= retries) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
  }
}

bool TFileHandler::Exists(const std::string& file_name) const {
  return TFileList::Global().Exists(file_name, Kind());
}

}  // namespace kura
