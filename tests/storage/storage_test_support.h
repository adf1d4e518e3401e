// Helpers shared by the storage tests: a scratch directory per test, whole
// file reads and writes, and child processes for the locking tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"

namespace kura::test {

// The engine error code f raises, 0 when it raises none.
inline std::uint16_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKuraEngineError& e) {
    return e.Code();
  }
  return 0;
}

inline TFieldDefinition Field(std::string name, std::uint8_t type, int length = 0,
                              std::uint8_t subtype = 0) {
  TFieldDefinition f;
  f.name = std::move(name);
  f.type = type;
  f.length = length;
  f.subtype = subtype;
  return f;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kura-storage-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs `body` in a forked child; the child's exit status is body's result.
inline pid_t Spawn(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 98;
    }
    ::_exit(rc);
  }
  return pid;
}

inline int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// A one-shot signal between processes over a pipe.
class Signal {
 public:
  Signal() {
    if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Signal() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  void Notify() {
    const char c = 1;
    (void)!::write(fds_[1], &c, 1);
  }
  bool Wait() {
    char c = 0;
    return ::read(fds_[0], &c, 1) == 1;
  }

 private:
  int fds_[2];
};

}  // namespace kura::test
