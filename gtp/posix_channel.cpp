#include "gtp/posix_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace kirobaku::gtp {

namespace {

using Clock = std::chrono::steady_clock;

// Writes everything; false when the engine's end of the pipe is closed.
bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PosixChannel::PosixChannel(const std::vector<std::string>& args) {
  if (args.empty()) throw std::runtime_error("コンピュータのコマンドが空です。");
  const std::string program = FindProgram(args[0]);
  if (program.empty()) {
    throw std::runtime_error("コンピュータのプログラム「" + args[0] + "」が見つかりません。");
  }
  // A write to an engine that has gone must be an error, not the end of the tool.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error(std::strerror(errno));
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (std::size_t i = 1; i < args.size(); ++i)
    argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || null < 0 || ::dup2(null, 2) < 0) {
      ::_exit(127);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  toEngine_ = in[1];
  fromEngine_ = out[0];
  if (pid_ < 0) {
    CloseAll();
    throw std::runtime_error("コンピュータを起動できません：" + std::string(std::strerror(errno)));
  }
}

PosixChannel::~PosixChannel() {
  if (pid_ <= 0) return;
  WriteAll(toEngine_, CommandLine(nextId_++, "quit"));
  ::close(toEngine_);
  toEngine_ = -1;
  // Reads until the engine closes its output (it quit) or a second passed.
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
    pollfd fd{fromEngine_, POLLIN, 0};
    if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) break;
    if (::read(fromEngine_, buffer, sizeof buffer) <= 0) break;
  }
  Reap(true);
}

void PosixChannel::CloseAll() {
  if (toEngine_ >= 0) ::close(toEngine_);
  if (fromEngine_ >= 0) ::close(fromEngine_);
  toEngine_ = fromEngine_ = -1;
}

std::string PosixChannel::Reap(bool kill) {
  CloseAll();
  if (pid_ <= 0) return {};
  // An engine that is still running after its pipes closed is killed.
  int status = 0;
  pid_t got = ::waitpid(pid_, &status, WNOHANG);
  if (got == 0 && kill) {
    ::kill(pid_, SIGKILL);
    got = ::waitpid(pid_, &status, 0);
  } else if (got == 0) {
    // It closed its output: give it a moment to end by itself.
    for (int i = 0; i < 100 && got == 0; ++i) {
      ::usleep(10000);
      got = ::waitpid(pid_, &status, WNOHANG);
    }
    if (got == 0) {
      ::kill(pid_, SIGKILL);
      got = ::waitpid(pid_, &status, 0);
    }
  }
  pid_ = -1;
  if (got <= 0) return "終了状態不明";
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status) == 127 ? std::string(kNeverStarted)
                                      : "終了コード " + std::to_string(WEXITSTATUS(status));
  }
  return "シグナル " + std::to_string(WTERMSIG(status));
}

void PosixChannel::Send(const std::string& command, Milliseconds limit, Done done) {
  const Answer answer = Exchange(command, limit);
  done(answer);
}

Answer PosixChannel::Exchange(const std::string& command, Milliseconds limit) {
  if (pid_ <= 0) return {Outcome::kNotRunning, {}};
  const std::int64_t id = nextId_++;
  if (!WriteAll(toEngine_, CommandLine(id, command))) return {Outcome::kDied, Reap(false)};
  const auto deadline = Clock::now() + limit;
  char buffer[4096];
  try {
    for (;;) {
      if (std::optional<Reply> reply = reader_.Take(id)) {
        return {reply->success ? Outcome::kSuccess : Outcome::kFailure, std::move(reply->text)};
      }
      const auto left =
          std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        Reap(true);
        return {Outcome::kTimedOut, {}};
      }
      pollfd fd{fromEngine_, POLLIN, 0};
      const int ready = ::poll(&fd, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) continue;
      const ssize_t n = ::read(fromEngine_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return {Outcome::kDied, Reap(false)};
      reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
  } catch (const GtpGarbage& e) {
    Reap(true);
    return {Outcome::kGarbage, e.what()};
  }
}

}  // namespace kirobaku::gtp
