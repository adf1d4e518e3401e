#include "records/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "records/sgf_reader.h"
#include "records/ugf_reader.h"

namespace kirobaku {

namespace {

[[noreturn]] void ThrowReadError(const std::filesystem::path& path, const std::string& reason,
                                 int error = 0) {
  throw RecordFileError("cannot read \"" + path.string() + "\": " + reason, path, error);
}

[[noreturn]] void ThrowErrno(const std::filesystem::path& path, int error) {
  ThrowReadError(path, std::strerror(error), error);
}

// Closes the descriptor when the read is over, whichever way it ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string ReadRecordFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) ThrowErrno(path, errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) ThrowErrno(path, errno);
  if (S_ISDIR(st.st_mode)) ThrowErrno(path, EISDIR);
  if (S_ISREG(st.st_mode) && static_cast<std::uintmax_t>(st.st_size) > kMaxRecordFileBytes) {
    ThrowReadError(path, "file too large for a game record");
  }
  // Read to the end rather than trusting the size: the file may change, and
  // pipes and special files have none.
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(path, errno);
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (bytes.size() > kMaxRecordFileBytes)
      ThrowReadError(path, "file too large for a game record");
  }
  return bytes;
}

void EntryWriter::Add(std::int32_t move, StoneColour colour, PointIndex point) {
  if (Full() || !IsPoint(point) || !IsStoneColour(colour)) return;
  count_ += 1;
  (*record_)[count_] = MoveEntry{move, colour, point};
}

std::int32_t CountEntries(const Record& record) {
  std::int32_t n = 0;
  while (n < kRecordSize && record[n + 1].colour != kEmpty)
    ++n;
  return n;
}

RecordFormat FormatOfFileName(const std::filesystem::path& path) {
  // The name's last four bytes, not path::extension(), which gives nothing for
  // a name that is only ".sgf".
  std::string name = path.filename().string();
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name.ends_with(".sgf")) return RecordFormat::kSgf;
  if (name.ends_with(".ugf")) return RecordFormat::kUgf;
  return RecordFormat::kUnknown;
}

std::string ReadGameRecord(const std::filesystem::path& path, Record& record, std::string* unkept) {
  if (unkept != nullptr) unkept->clear();
  switch (FormatOfFileName(path)) {
    case RecordFormat::kSgf:
      return ReadSgfFile(path, record, unkept);
    case RecordFormat::kUgf:
      return ReadUgfFile(path, record);
    case RecordFormat::kUnknown:
      break;
  }
  throw std::invalid_argument("\"" + path.string() + "\" is neither an .sgf nor a .ugf file");
}

}  // namespace kirobaku
