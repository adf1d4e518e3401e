// kifu play / kifu score: a game against a GTP engine in the terminal, stored
// in the game-record database, and the engine's estimate of a game's final
// position, through the same client the window uses (the gtp library) over a
// POSIX pipe to the engine.
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "db/common/code_page.h"
#include "gtp/engine_match.h"
#include "gtp/posix_channel.h"
#include "records/data_module.h"
#include "records/record_file.h"
#include "tools/kifu/command.h"
#include "tools/kifu/game_text.h"

namespace kirobaku::kifu {

namespace {

using gtp::ParseVertex;
using gtp::VertexText;

// Options shared by both commands.
struct EngineOptions {
  gtp::EngineSettings settings;
  gtp::MatchSettings match;
  bool dead = false;
  std::vector<std::string> rest;  // the arguments that are not options
};

double ParseKomi(const std::string& text) {
  double komi = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), komi);
  if (error != std::errc() || end != text.data() + text.size() || komi < -100 || komi > 100) {
    throw UsageError("--komi wants a number from -100 to 100, not \"" + text + "\"");
  }
  return komi;
}

EngineOptions ParseEngineOptions(const std::vector<std::string>& args, const char* command) {
  EngineOptions o;
  if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') {
    o.match.userName = user;
  }
  auto value = [&](std::size_t& i) -> const std::string& {
    if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value");
    return args[++i];
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--engine") {
      o.settings.command = value(i);
      try {
        gtp::EngineArguments(o.settings.command, o.settings.level);
      } catch (const std::invalid_argument& e) {
        throw UsageError(std::string("--engine: ") + e.what());
      }
    } else if (a == "--level") {
      o.settings.level = ParseNumberArgument(value(i), 1, "--level wants 1 to 10");
      if (o.settings.level > 10) throw UsageError("--level wants 1 to 10");
    } else if (a == "--time-limit") {
      o.settings.timeLimit = std::chrono::seconds(
          ParseNumberArgument(value(i), 1, "--time-limit wants seconds, 1 or more"));
    } else if (a == "--black" || a == "--white") {
      o.match.user = a == "--black" ? kBlack : kWhite;
    } else if (a == "--handicap") {
      o.match.handicap = ParseNumberArgument(value(i), 0, "--handicap wants 0 or 2 to 9");
      if (o.match.handicap == 1 || o.match.handicap > 9) {
        throw UsageError("--handicap wants 0 or 2 to 9");
      }
    } else if (a == "--own-handicap") {
      o.match.engineHandicap = false;
    } else if (a == "--komi") {
      o.settings.komi = ParseKomi(value(i));
    } else if (a == "--name") {
      o.match.userName = value(i);
    } else if (a == "--count") {
      o.match.ownCount = true;
    } else if (a == "--dead") {
      o.dead = true;
    } else if (a.starts_with("--")) {
      throw UsageError(std::string(command) + ": unknown option \"" + a + "\"");
    } else {
      o.rest.push_back(a);
    }
  }
  if (o.match.handicap >= 2 && o.settings.komi == gtp::EngineSettings().komi) {
    o.settings.komi = 0.5;
  }
  return o;
}

gtp::EngineSession::Factory PosixFactory() {
  return [](const std::vector<std::string>& args) {
    return std::make_unique<gtp::PosixChannel>(args);
  };
}

// The terminal as the board's screen: panel 0 and message boxes become lines
// on standard output; every question is answered Yes.
class TerminalView : public NullBoardView {
 public:
  explicit TerminalView(std::ostream& out) : out_(out) {}
  void SetStatusText(int panel, const std::string& text) override {
    if (panel == 0) Line(text);
  }
  void ShowMessage(const std::string& text) override { Line(text); }

 private:
  // A message's "\r\n" line breaks become the terminal's "\n".
  void Line(const std::string& text) {
    if (text.find_first_not_of(" 　") == std::string::npos) return;
    for (char c : text)
      if (c != '\r') out_ << c;
    out_ << '\n' << std::flush;
  }
  std::ostream& out_;
};

// The board with GTP coordinates: row 19 on top, 'X' black, 'O' white.
void PrintBoard(std::ostream& out, const GameState& game) {
  const std::string letters = "ABCDEFGHJKLMNOPQRST";
  out << "   ";
  for (char c : letters)
    out << ' ' << c;
  out << '\n';
  for (int row = 0; row < kBoardSize; ++row) {
    const int number = kBoardSize - row;
    out << (number < 10 ? "  " : " ") << number;
    for (int column = 0; column < kBoardSize; ++column) {
      const PointIndex p = PointAt(column, row);
      const StoneColour c = game.Board[p];
      const char stone = c == kBlack ? 'X' : c == kWhite ? 'O' : '.';
      out << (p == game.LastPoint && c != kEmpty ? '>' : ' ') << stone;
    }
    out << '\n';
  }
  out << "captured: black " << game.CapturedBlack << ", white " << game.CapturedWhite << '\n';
}

int Play(const std::vector<std::string>& args, std::ostream& out) {
  EngineOptions o = ParseEngineOptions(args, "play");
  if (o.rest.size() != 1) throw UsageError("play needs the database folder DB");
  TDataModule1 data(o.rest[0]);
  TerminalView view(out);
  GameState game(view);
  gtp::EngineSession session(PosixFactory());
  session.Configure(o.settings);
  std::optional<gtp::MatchResult> result;
  gtp::EngineMatch match(game, session, [&](const gtp::MatchResult& r) { result = r; });
  match.Start(o.match);
  const char* colour = o.match.user == kBlack ? "black" : "white";
  std::string line;
  while (match.Active()) {
    PrintBoard(out, game);
    out << "Your move as " << colour << " (e.g. Q16, pass, resign): " << std::flush;
    if (!std::getline(std::cin, line)) {
      out << '\n';
      match.Abandon();
      break;
    }
    // Input from a file or pipe is not echoed: the transcript shows it.
    if (::isatty(STDIN_FILENO) != 1) out << line << '\n';
    std::string word;
    for (char c : line)
      if (c != ' ' && c != '\t' && c != '\r') word += c;
    if (word.empty()) continue;
    if (word == "resign") {
      match.UserResigned();
    } else if (word == "pass") {
      match.UserPassed();
    } else if (word == "quit") {
      match.Abandon();
    } else if (const std::optional<PointIndex> p = ParseVertex(word); p && *p > 0) {
      const std::int32_t before = game.Position;
      game.PlayMove(*p);
      if (game.Position == before) {
        out << "illegal move: " << VertexText(*p) << '\n';
        continue;
      }
      match.UserPlayed();
    } else {
      out << "not a move: \"" << word << "\" (a point such as Q16, pass or resign)\n";
    }
  }
  PrintBoard(out, game);
  if (!result || CountEntries(game.MoveRecord) == 0) {
    throw std::runtime_error("the game ended before a stone was played; nothing stored");
  }
  const std::int32_t nb = data.StoreImportedGame(kura::Utf8ToCp932(result->comment), game.MoveRecord);
  out << "stored as game " << nb << ": " << result->comment << '\n';
  return result->finished ? kExitOk : kExitBadData;
}

int Score(const std::vector<std::string>& args, std::ostream& out) {
  EngineOptions o = ParseEngineOptions(args, "score");
  NullBoardView view;
  GameState game(view);
  if (o.rest.size() == 1) {
    if (FormatOfFileName(o.rest[0]) == RecordFormat::kUnknown) {
      throw UsageError("\"" + o.rest[0] + "\" is neither an .sgf nor a .ugf file");
    }
    ReadGameRecord(o.rest[0], game.MoveRecord);
  } else if (o.rest.size() == 2) {
    const std::int32_t nb = ParseNumberArgument(o.rest[1], 1, "a game number is 1 or above");
    TDataModule1 data(o.rest[0]);
    if (data.LoadGame(nb, game.MoveRecord) == 0) {
      throw std::runtime_error("no stones of game " + std::to_string(nb) + " in the database");
    }
  } else {
    throw UsageError("score needs FILE, or DB and a game number");
  }
  game.ShowAllMoves();
  gtp::EngineSession session(PosixFactory());
  session.Configure(o.settings);
  std::string failure;
  session.SyncTo(gtp::PositionMoves(game), [&] {
    session.Estimate(o.dead, [&](double lead, std::vector<PointIndex> dead) {
      out << gtp::ScoreText(lead) << '\n';
      if (!o.dead) return;
      for (std::size_t i = 0; i < dead.size(); ++i)
        out << (i == 0 ? "" : " ") << VertexText(dead[i]);
      out << '\n';
    }, [&](const std::string& m) { failure = m; });
  }, [&](const std::string& m) { failure = m; });
  if (!failure.empty()) throw std::runtime_error(failure);
  return kExitOk;
}

const Command kCommands[] = {
    {"play", "DB [--engine CMD] [--level N] [--black|--white] [--handicap N [--own-handicap]] "
             "[--komi K] [--name NAME] [--count] [--time-limit S]",
     "    Plays a game against a GTP engine in the terminal, as the user's colour\n"
     "    (default --black), and stores it in DB. Moves are read one a line from\n"
     "    standard input: a point such as Q16 (column A..T without I, row 1..19 from\n"
     "    the bottom), pass or resign; quit or the end of the input stops the game.\n"
     "    The game ends by two passes in a row (the engine's final_score; with --count\n"
     "    also the program's territory count without the engine's dead stones) or a\n"
     "    resignation. --handicap N gives Black N stones as the engine places them\n"
     "    (--own-handicap: on the program's star points) and komi 0.5 unless --komi\n"
     "    (default 6.5). The game is stored under the lowest free number with the\n"
     "    comment \"黒：… × 白：…  結果\" (--name: yours, default the login name);\n"
     "    an engine that dies, hangs or answers nonsense\n"
     "    ends the game with a message, and what was played is stored (exit status 1).\n"
     "    --engine CMD: the engine's command line (default: gnugo --mode gtp --level N,\n"
     "    found on PATH or in /usr/games); --level N: 1..10 (default 5; a named engine\n"
     "    gets it through GTP's level command when it knows it); --time-limit S: seconds\n"
     "    an engine may take for a move (default 60; a score may take three times it).\n",
     Play},
    {"score", "FILE|DB NB [--engine CMD] [--level N] [--dead] [--time-limit S]",
     "    Prints the engine's estimate of the final position of a game record file or\n"
     "    of stored game NB as B+n.n, W+n.n or 0 (estimate_score, or final_score for\n"
     "    an engine without it); --dead adds a line with its dead stones. The engine\n"
     "    options are those of play.\n",
     Score},
};

}  // namespace

std::span<const Command> EngineCommands() {
  return kCommands;
}

}  // namespace kirobaku::kifu
