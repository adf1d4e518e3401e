// The line to a running engine: commands go out one at a time and each gets
// exactly one answer, a reply or the reason there is none. The window's
// channel is asynchronous (a Qt process); the tools' channel answers before
// Send returns (PosixChannel). Code that sends must therefore be ready for the
// answer to arrive inside Send.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kirobaku::gtp {

using Milliseconds = std::chrono::milliseconds;

enum class Outcome {
  kSuccess,     // "=" reply; text is its text
  kFailure,     // "?" reply; text is the engine's reason
  kDied,        // the engine ended (or never started); text says how
  kTimedOut,    // no reply within the limit; the engine was stopped
  kGarbage,     // output that is no reply; text quotes it; the engine was stopped
  kNotRunning,  // the channel had already lost its engine
};

struct Answer {
  Outcome outcome = Outcome::kNotRunning;
  std::string text;

  bool Replied() const { return outcome == Outcome::kSuccess || outcome == Outcome::kFailure; }
};

class Channel {
 public:
  using Done = std::function<void(const Answer&)>;
  virtual ~Channel() = default;
  // Sends one command line (without its line end). `done` runs once, within
  // `limit` of the command being written at the latest. After an answer that
  // is no reply the engine is gone and every later command answers kNotRunning.
  virtual void Send(const std::string& command, Milliseconds limit, Done done) = 0;
  virtual bool Running() const = 0;
  // Stops the engine at once; a command in flight gets no answer, later ones
  // answer kNotRunning. Safe to call from inside an answer.
  virtual void Close() = 0;
};

// The start of a kDied answer's text when the engine never ran ("起動できませんでした：reason").
inline constexpr std::string_view kNeverStarted = "起動できませんでした";

// The Japanese message for an answer that failed a command.
std::string FailureMessage(const std::string& command, const Answer& answer, Milliseconds limit);

// The program of an engine command line: a name with "/" as it is, any other
// name looked up on PATH and then in /usr/games and /usr/local/games (where
// Debian puts game programs, missing from many a PATH). Empty when no
// executable file is found.
std::string FindProgram(const std::string& name);

// The default engine: GNU Go in GTP mode at a level.
inline constexpr const char* kDefaultEngine = "gnugo --mode gtp";
// The engine's command line as arguments: `commandLine`, or the default
// engine with "--level N" when it is empty. Throws std::invalid_argument on a
// line that cannot be split.
std::vector<std::string> EngineArguments(const std::string& commandLine, int level);

}  // namespace kirobaku::gtp
