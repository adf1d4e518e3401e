// Running a built program as a user does: a real process whose standard output
// and error go to files, or its standard error to a terminal (a pseudo-terminal).
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "records/record_test_util.h"

namespace kirobaku::test {

struct KifuRun {
  int status = -1;  // exit status, 128 + signal, or -1 when it could not run
  std::string out;
  std::string err;
};

namespace detail {

inline int Wait(pid_t pid) {
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

[[noreturn]] inline void Exec(const std::string& program, std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execvp(program.c_str(), argv.data());
  ::_exit(127);
}

}  // namespace detail

// Runs program (a path, or a name looked up on PATH) with the arguments;
// stdout and stderr are collected through files in dir.
inline KifuRun RunProgram(const ScratchDir& dir, const std::string& program,
                          std::vector<std::string> args) {
  const auto outFile = dir.path() / "stdout";
  const auto errFile = dir.path() / "stderr";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
    detail::Exec(program, std::move(args));
  }
  KifuRun run;
  run.status = detail::Wait(pid);
  run.out = ReadWholeFile(outFile);
  run.err = ReadWholeFile(errFile);
  return run;
}

inline KifuRun Kifu(const ScratchDir& dir, std::vector<std::string> args) {
  return RunProgram(dir, KIROBAKU_TOOLS_DIR "/kifu", std::move(args));
}

// Runs kifu with its standard error on a pseudo-terminal (stdout to a file);
// err is what the terminal received.
inline KifuRun KifuOnTerminal(const ScratchDir& dir, std::vector<std::string> args) {
  KifuRun run;
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return run;
  const auto outFile = dir.path() / "stdout";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(slave, 2) < 0) ::_exit(127);
    ::close(master);
    detail::Exec(KIROBAKU_TOOLS_DIR "/kifu", std::move(args));
  }
  ::close(slave);
  char buffer[4096];
  for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
    run.err.append(buffer, static_cast<std::size_t>(got));  // EIO once the child is gone
  ::close(master);
  run.status = detail::Wait(pid);
  run.out = ReadWholeFile(outFile);
  return run;
}

}  // namespace kirobaku::test
