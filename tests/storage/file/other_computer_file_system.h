// TOtherComputerFileSystem: the real files, seen from a second computer
// sharing the folder. Everything goes through to the POSIX file system (one
// page cache and one set of locks, as with one file server), but the run of
// the machine (BootId) is another, so the commit journal's records of this
// machine are, to it, of another computer, and its records are to this one.
#pragma once

#include <string>

#include "db/storage/file/file_system.h"

namespace kura::test {

class TOtherComputerFileSystem : public TPosixFileSystem {
 public:
  // Computers with different letters have different runs.
  explicit TOtherComputerFileSystem(char computer = 'B') : boot_(16, computer) {}
  std::string BootId() override { return boot_; }

 private:
  std::string boot_;
};

}  // namespace kura::test
