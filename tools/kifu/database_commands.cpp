// kifu import / list / load / export / rotate / delete: the game-record
// database of the program (a directory holding kifulist and kifudata) through
// the same data module and operations the game-record window uses. The
// database is created with both tables when the directory or a table is
// missing, as the program does at start-up.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>

#include "db/common/code_page.h"
#include "db/engine/dataset/kura_query.h"
#include "records/data_module.h"
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

int Import(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() < 2) throw UsageError("import needs a database folder and one or more files");
  Database db(args[0]);
  const std::vector<std::string> paths(args.begin() + 1, args.end());
  const ImportList list = CollectFiles(paths);
  for (const std::string& error : list.errors)
    std::cerr << "kifu: " << error << '\n';
  bool failed = !list.errors.empty();

  Progress progress(list.files.size());
  for (std::size_t i = 0; i < list.files.size(); ++i) {
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
    // A database error (a locked table, a full disk) ends the import: the
    // store was rolled back, and the next one would fail alike.
    const std::int32_t nb = db.module.StoreImportedGame(comment, record);
    out << nb << '\t' << file.string() << '\n';
  }
  return failed ? kExitBadData : kExitOk;
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
    {"import", "DB PATH...",
     "    Stores each game-record file (.sgf or .ugf, letter case ignored; a folder\n"
     "    is searched recursively for them) in the database folder DB under the\n"
     "    lowest free game number, as the game-record window imports, and prints\n"
     "    <NB><tab><path> per stored game. A file that cannot be read gives one\n"
     "    line on stderr and the others go on; the exit status is then 1. On a\n"
     "    terminal a progress line is shown on stderr for long batches. DB and\n"
     "    its tables are created when missing (as for every command below).\n",
     Import},
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
