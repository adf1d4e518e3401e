#include "gtp/channel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "gtp/gtp_protocol.h"

namespace kirobaku::gtp {

std::string FailureMessage(const std::string& command, const Answer& answer, Milliseconds limit) {
  const std::string quoted = "「" + command + "」";
  switch (answer.outcome) {
    case Outcome::kSuccess:
      return {};
    case Outcome::kFailure:
      return "コンピュータがコマンド" + quoted + "を受け付けませんでした（" + answer.text + "）。";
    case Outcome::kDied:
      // A process that never ran is told apart by its channel's text.
      if (answer.text.starts_with(kNeverStarted)) return "コンピュータを" + answer.text + "。";
      return "コンピュータが終了しました（" + answer.text + "）。";
    case Outcome::kTimedOut:
      return "コンピュータが " + std::to_string((limit.count() + 999) / 1000) + " 秒以内にコマンド" +
             quoted + "に応答しなかったため、終了させました。";
    case Outcome::kGarbage:
      return "コンピュータの応答が正しくないため、終了させました（" + quoted + "への応答：" +
             answer.text + "）。";
    case Outcome::kNotRunning:
      return "コンピュータが動いていません。";
  }
  return {};
}

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat file {};
  return ::stat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  std::string dirs;
  if (const char* path = std::getenv("PATH")) dirs = path;
  dirs += ":/usr/games:/usr/local/games";
  std::string_view rest = dirs;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    const std::string candidate =
        (std::filesystem::path(dir.empty() ? std::string_view(".") : dir) / name).string();
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::vector<std::string> EngineArguments(const std::string& commandLine, int level) {
  if (commandLine.find_first_not_of(" \t") == std::string::npos) {
    std::vector<std::string> args = SplitCommandLine(kDefaultEngine);
    args.push_back("--level");
    args.push_back(std::to_string(level));
    return args;
  }
  return SplitCommandLine(commandLine);
}

}  // namespace kirobaku::gtp
