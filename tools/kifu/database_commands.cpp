// kifu import / list / load / export / rotate / delete: the game-record
// database of the program (a directory holding kifulist and kifudata) through
// the same data module and operations the game-record window uses. The
// database is created with both tables when the directory or a table is
// missing, as the program does at start-up.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>

#include "db/common/code_page.h"
#include "db/engine/dataset/kura_query.h"
#include "records/data_module.h"
#include "records/duplicates.h"
#include "records/record_file.h"
#include "records/sgf_writer.h"
#include "tools/kifu/command.h"
#include "tools/kifu/game_text.h"

namespace kirobaku::kifu {

namespace {

namespace fs = std::filesystem;

// A game number named on the command line: a listed game is 1 or above.
std::int32_t ParseGameNumber(const std::string& text) {
  return ParseNumberArgument(text, 1, "a game number is 1 or above");
}

// The database and the list query open on the listed games.
struct Database {
  explicit Database(const std::string& directory) : module(directory) {
    module.OpenList(TDataModule1::kListedGames);
  }
  TDataModule1 module;
};

// Makes the game's list row the list query's current row and returns its
// comment; an unlisted number is an error.
std::string LocateGame(TDataModule1& module, std::int32_t nb) {
  if (!module.KuraQuery1.Locate("NB", {kura::TFieldValue(std::int64_t{nb})}, {})) {
    throw std::runtime_error("no game " + std::to_string(nb) + " in the database");
  }
  return module.KuraQuery1.Fields()[1].AsString();
}

// ---- import ------------------------------------------------------------

// Writes "kifu: import i/n" over itself on a terminal; nothing elsewhere.
class Progress {
 public:
  explicit Progress(std::size_t total)
      : total_(total), shown_(total >= kLongBatch && ::isatty(STDERR_FILENO) == 1) {}
  ~Progress() { Clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(std::size_t done) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (visible_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    visible_ = true;
    std::cerr << "\rkifu: import " << done << '/' << total_ << std::flush;
  }
  // Takes the line away, so that an error line stands on its own.
  void Clear() {
    if (!visible_) return;
    std::cerr << "\r\033[K" << std::flush;
    visible_ = false;
  }

 private:
  static constexpr std::size_t kLongBatch = 20;
  std::size_t total_;
  bool shown_;
  bool visible_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// What `import` is to read: the game-record files named, and those found in
// the folders named (searched recursively, in name order within each).
struct ImportList {
  std::vector<fs::path> files;
  std::vector<std::string> errors;  // one line each, for paths that give none
};

void AddFolder(const fs::path& folder, ImportList& list) {
  std::vector<fs::path> found;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_regular_file(type_ec) && FormatOfFileName(it->path()) != RecordFormat::kUnknown) {
      found.push_back(it->path());
    }
  }
  if (ec) {
    list.errors.push_back("cannot search the folder \"" + folder.string() + "\": " + ec.message());
  }
  std::sort(found.begin(), found.end());
  list.files.insert(list.files.end(), found.begin(), found.end());
}

ImportList CollectFiles(const std::vector<std::string>& paths) {
  ImportList list;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      AddFolder(path, list);
    } else if (FormatOfFileName(path) != RecordFormat::kUnknown) {
      list.files.emplace_back(path);  // read errors are reported when it is read
    } else {
      list.errors.push_back("\"" + path + "\" is neither an .sgf nor a .ugf file nor a folder");
    }
  }
  return list;
}

// Set by SIGINT during an import: the import stops after the game it is
// storing, commits what it stored and says so.
volatile std::sig_atomic_t import_cancelled = 0;

extern "C" void CancelImport(int) {
  import_cancelled = 1;
}

// SIGINT cancels the import while it runs; the handler before is put back.
class CancelOnInterrupt {
 public:
  CancelOnInterrupt() {
    import_cancelled = 0;
    struct sigaction action = {};
    action.sa_handler = CancelImport;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &before_);
  }
  ~CancelOnInterrupt() { ::sigaction(SIGINT, &before_, nullptr); }
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

 private:
  struct sigaction before_ = {};
};

int Import(const std::vector<std::string>& args, std::ostream& out) {
  std::vector<std::string> positional;
  bool duplicates = false;
  for (const std::string& arg : args) {
    if (arg == "--duplicates") {
      duplicates = true;
    } else if (arg.starts_with("--")) {
      throw UsageError("import: unknown option \"" + arg + "\"");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2)
    throw UsageError("import needs a database folder and one or more files");
  Database db(positional[0]);
  const std::vector<std::string> paths(positional.begin() + 1, positional.end());
  const ImportList list = CollectFiles(paths);
  for (const std::string& error : list.errors)
    std::cerr << "kifu: " << error << '\n';
  bool failed = !list.errors.empty();

  // Games are durable once their transaction commits: their lines are
  // printed then, so that every line printed names a stored game.
  std::vector<std::string> pending_lines;
  TGameImport bulk(db.module);
  bulk.AfterCommit = [&](std::size_t) {
    for (const std::string& line : pending_lines)
      out << line;
    out.flush();
    pending_lines.clear();
  };
  std::optional<TGameIndex> stored;
  if (!duplicates && !list.files.empty()) stored.emplace(db.module);
  const CancelOnInterrupt cancel;
  Progress progress(list.files.size());
  std::size_t i = 0;
  for (; i < list.files.size() && !import_cancelled; ++i) {
    progress.Update(i);
    const fs::path& file = list.files[i];
    Record record{};
    std::string comment;
    std::string unkept;
    try {
      comment = ReadGameRecord(file, record, &unkept);
    } catch (const RecordFileError& e) {
      progress.Clear();
      std::cerr << "kifu: " << e.what() << '\n';
      failed = true;
      continue;
    }
    if (!unkept.empty()) {
      progress.Clear();
      std::cerr << "kifu: " << file.string() << ": the comment keeps \"?\" for " << unkept
                << " (not in CP932)\n";
    }
    if (stored) {
      if (const std::int32_t same = stored->Find(record); same != 0) {
        progress.Clear();
        std::cerr << "kifu: " << file.string() << ": the same game as " << same
                  << ", not stored (--duplicates stores it)\n";
        continue;
      }
    }
    // A database error (a locked table, a full disk) ends the import: the
    // games since the last commit are rolled back, and the next store would
    // fail alike.
    const std::int32_t nb = bulk.Store(comment, record);
    if (stored) stored->Add(nb, record);
    pending_lines.push_back(std::to_string(nb) + '\t' + file.string() + '\n');
    bulk.CommitWhenFull();
  }
  bulk.Commit();
  if (import_cancelled) {
    progress.Clear();
    std::cerr << "kifu: import cancelled: " << bulk.Committed() << " games stored, "
              << list.files.size() - i << " files not read\n";
    return kExitBadData;
  }
  return failed ? kExitBadData : kExitOk;
}

// ---- duplicates ---------------------------------------------------------

int Duplicates(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() != 1) throw UsageError("duplicates needs a database folder");
  Database db(args[0]);
  TGameIndex index(db.module);
  for (const auto& [game, first] : index.Duplicates()) {
    const std::string comment = LocateGame(db.module, game);
    out << game << '\t' << first << '\t' << kura::Cp932ToUtf8(comment) << '\n';
  }
  return kExitOk;
}

// ---- list --------------------------------------------------------------

// Whether text occurs in comment starting at a character boundary. The
// engine's POS compares bytes, and the second byte of a double-byte CP932
// character can equal an ASCII character ("ア" is 83 41, its second byte "A").
bool ContainsText(const std::string& comment, const std::string& text) {
  for (std::size_t i = 0; i + text.size() <= comment.size();) {
    if (comment.compare(i, text.size(), text) == 0) return true;
    i += kura::IsCp932LeadByte(static_cast<unsigned char>(comment[i])) ? 2 : 1;
  }
  return false;
}

void PrintListRow(std::ostream& out, kura::TDataSet& list) {
  out << list.Fields()[0].AsInteger() << '\t' << kura::Cp932ToUtf8(list.Fields()[1].AsString())
      << '\n';
}

int List(const std::vector<std::string>& args, std::ostream& out) {
  if (args.empty() || args.size() > 2)
    throw UsageError("list needs a database folder and at most one text");
  Database db(args[0]);
  if (args.size() == 1 || args[1].empty()) {
    kura::TKuraQuery& list = db.module.KuraQuery1;
    for (list.First(); !list.Eof(); list.Next())
      PrintListRow(out, list);
    return kExitOk;
  }
  // Comments are CP932: a text with a character CP932 lacks is in none.
  const std::optional<std::string> text = kura::Utf8ToCp932Exact(args[1]);
  if (!text) return kExitOk;
  kura::TKuraQuery search(&db.module);
  search.SetDatabaseName("kifu");
  search.SetSQL(
      {"select * from kifulist", " Where NB > 0 and POS(:TEXT IN CMT) > 0", "Order by NB"});
  search.Params()[0].SetAsString(*text);
  search.Open();
  for (search.First(); !search.Eof(); search.Next()) {
    if (ContainsText(search.Fields()[1].AsString(), *text)) PrintListRow(out, search);
  }
  search.Close();
  return kExitOk;
}

// ---- load, export, rotate, delete -------------------------------------

struct GameArgs {
  std::string database;
  std::int32_t nb = 0;
  std::int32_t move = 0;
};

GameArgs ParseGameArgs(const std::vector<std::string>& args, const std::string& command,
                       bool move_option) {
  GameArgs parsed;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (move_option && args[i] == "--move") {
      if (i + 1 >= args.size()) throw UsageError("--move needs a move number");
      parsed.move = ParseMoveNumber(args[++i]);
    } else if (move_option && args[i].starts_with("--move=")) {
      parsed.move = ParseMoveNumber(args[i].substr(7));
    } else if (args[i].starts_with("--")) {
      throw UsageError(command + ": unknown option \"" + args[i] + "\"");
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) {
    throw UsageError(command + " needs a database folder and a game number");
  }
  parsed.database = positional[0];
  parsed.nb = ParseGameNumber(positional[1]);
  return parsed;
}

// A listed game as Load game reads it, with its list comment.
struct StoredGame {
  std::string comment;
  Record record{};
};

StoredGame ReadStoredGame(const GameArgs& parsed) {
  Database db(parsed.database);
  StoredGame game;
  game.comment = LocateGame(db.module, parsed.nb);
  db.module.LoadGame(parsed.nb, game.record);
  return game;
}

int Load(const std::vector<std::string>& args, std::ostream& out) {
  const GameArgs parsed = ParseGameArgs(args, "load", true);
  const StoredGame game = ReadStoredGame(parsed);
  PrintGame(out, game.comment, game.record, parsed.move);
  return kExitOk;
}

int Export(const std::vector<std::string>& args, std::ostream& out) {
  const StoredGame game = ReadStoredGame(ParseGameArgs(args, "export", false));
  out << WriteSgfText(game.comment, game.record);
  return kExitOk;
}

int Rotate(const std::vector<std::string>& args, std::ostream&) {
  const GameArgs parsed = ParseGameArgs(args, "rotate", false);
  Database db(parsed.database);
  LocateGame(db.module, parsed.nb);
  db.module.RotateGame(parsed.nb);
  return kExitOk;
}

int Delete(const std::vector<std::string>& args, std::ostream&) {
  const GameArgs parsed = ParseGameArgs(args, "delete", false);
  Database db(parsed.database);
  LocateGame(db.module, parsed.nb);  // DeleteGame removes the current list row
  db.module.DeleteGame(parsed.nb);
  return kExitOk;
}

constexpr Command kCommands[] = {
    {"import", "DB PATH... [--duplicates]",
     "    Stores each game-record file (.sgf or .ugf, letter case ignored; a folder\n"
     "    is searched recursively for them) in the database folder DB under the\n"
     "    lowest free game number, as the game-record window imports, and prints\n"
     "    <NB><tab><path> per stored game. Games are committed many at a time,\n"
     "    whole games only; a line is printed once its game is committed, so an\n"
     "    import killed midway leaves the printed games stored and no game in\n"
     "    part. A game whose moves equal a stored game's is reported on stderr\n"
     "    and not stored, unless --duplicates is given. A file that cannot be\n"
     "    read gives one line on stderr and the others go on; the exit status is\n"
     "    then 1. On a terminal a progress line is shown on stderr for long\n"
     "    batches. Ctrl-C (SIGINT) cancels: the games stored so far are kept,\n"
     "    and the exit status is 1. DB and its tables are created when missing\n"
     "    (as for every command below).\n",
     Import},
    {"duplicates", "DB",
     "    Prints <NB><tab><first NB><tab><comment> for every stored game whose\n"
     "    moves equal those of a game with a lower number (the first such).\n",
     Duplicates},
    {"list", "DB [TEXT]",
     "    Prints <NB><tab><comment> (UTF-8) for every listed game in game-number\n"
     "    order; with TEXT only the games whose comment contains TEXT.\n",
     List},
    {"load", "DB NB [--move N]",
     "    Reads game NB as the game-record window loads it and prints it as\n"
     "    'kifu show' prints a file: the comment, the entries, the position\n"
     "    after replaying up to move N (0, the default: to the end), the board\n"
     "    and the stones captured.\n",
     Load},
    {"export", "DB NB",
     "    Writes game NB as an SGF text (UTF-8) to standard output: the comment\n"
     "    as GC, setup stones as AB/AW, the moves in record order, and a pass\n"
     "    wherever the stored move numbers skip one.\n",
     Export},
    {"rotate", "DB NB",
     "    Turns game NB by 180 degrees (every point p becomes 362 - p), as the\n"
     "    window's 180°回転 does.\n",
     Rotate},
    {"delete", "DB NB", "    Deletes game NB: its list row and all its stones.\n", Delete},
};

}  // namespace

std::span<const Command> DatabaseCommands() {
  return kCommands;
}

}  // namespace kirobaku::kifu
