// An engine as a child process on POSIX pipes, for the tools: each command is
// written and its reply read before Send returns, waiting at most the
// command's limit (poll). The engine's standard error goes to /dev/null.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gtp/channel.h"
#include "gtp/gtp_protocol.h"

namespace kirobaku::gtp {

class PosixChannel : public Channel {
 public:
  // Starts args[0] (looked up as FindProgram does) with the other arguments.
  // Throws std::runtime_error with a Japanese message when it cannot start.
  explicit PosixChannel(const std::vector<std::string>& args);
  // Asks the engine to quit, waits a second for it, then kills it.
  ~PosixChannel() override;
  PosixChannel(const PosixChannel&) = delete;
  PosixChannel& operator=(const PosixChannel&) = delete;

  void Send(const std::string& command, Milliseconds limit, Done done) override;
  bool Running() const override { return pid_ > 0; }
  void Close() override { Reap(true); }

 private:
  Answer Exchange(const std::string& command, Milliseconds limit);
  // Kills the engine (when `kill`) and collects it; says how it ended.
  std::string Reap(bool kill);
  void CloseAll();

  pid_t pid_ = -1;
  int toEngine_ = -1;
  int fromEngine_ = -1;
  std::int64_t nextId_ = 1;
  ReplyReader reader_;
};

}  // namespace kirobaku::gtp
