// kifu's database commands as a user runs them, on real game records: every
// imported game loads back as its file shows, lists with its comment, and
// exports as SGF that an independent parser reads with the same stones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "db/engine/dataset/kura_query.h"
#include "kifu/kifu_run.h"
#include "records/data_module.h"
#include "records/record_test_util.h"
#include "records/sgf_reader.h"

namespace kirobaku {
namespace {

using test::Kifu;
using test::KifuRun;
using test::ScratchDir;
using test::Sjis;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// "<NB>\t<text>" lines as a map.
std::map<int, std::string> ByNumber(const std::string& text) {
  std::map<int, std::string> rows;
  for (const std::string& line : Lines(text)) {
    const auto tab = line.find('\t');
    EXPECT_NE(tab, std::string::npos) << line;
    if (tab != std::string::npos) rows[std::stoi(line.substr(0, tab))] = line.substr(tab + 1);
  }
  return rows;
}

std::size_t LineCount(const std::string& err) {
  return Lines(err).size();
}

// What sgf_moves.js prints for a game: its comment line, the setup stones
// sorted as strings, then "<move> <colour> <point>" per move, from `kifu entries`.
std::vector<std::string> ExpectedStones(const std::string& comment, const std::string& entries) {
  std::vector<std::string> setup, moves;
  for (const std::string& line : Lines(entries)) {
    const std::string stone = line.substr(line.find(' ') + 1);  // drop the entry number
    (stone.starts_with("0 ") ? setup : moves).push_back(stone);
  }
  std::sort(setup.begin(), setup.end());
  std::vector<std::string> out{"comment " + comment};
  out.insert(out.end(), setup.begin(), setup.end());
  out.insert(out.end(), moves.begin(), moves.end());
  return out;
}

// sgf_moves.js output split per file.
std::map<std::string, std::vector<std::string>> ParsedStones(const std::string& text) {
  std::map<std::string, std::vector<std::string>> files;
  std::vector<std::string>* current = nullptr;
  for (const std::string& line : Lines(text)) {
    if (line.starts_with("file ")) {
      current = &files[line.substr(5)];
    } else if (current != nullptr) {
      current->push_back(line);
    }
  }
  return files;
}

// What `kifu show` prints from the line "position:" on: the final position
// and the captured stones, without the comment (an export carries it in GC).
std::string PositionPart(const std::string& shown) {
  const std::size_t at = shown.find("\nentries:");
  return at == std::string::npos ? shown : shown.substr(at + 1);
}

// The final position and captures GNU Go's own SGF loader gives the file, in
// the form of `kifu show`: 19 rows of '.', 'X', 'O' and the captured line.
std::string GnuGoPosition(const ScratchDir& dir, const std::string& file) {
  const std::string commands = dir.Write("gtp.txt", "loadsgf " + file +
                                                        "\nlist_stones black\nlist_stones white\n"
                                                        "captures white\ncaptures black\nquit\n")
                                   .string();
  const char* gnugo = ::access("/usr/games/gnugo", X_OK) == 0 ? "/usr/games/gnugo" : "gnugo";
  const KifuRun run = test::RunProgram(dir, gnugo, {"--mode", "gtp", "--gtp-input", commands});
  EXPECT_EQ(run.status, 0) << "gnugo (scripts/install-deps installs it): " << run.err;
  std::vector<std::string> answers;  // the text after "= " of each answer
  for (const std::string& line : Lines(run.out)) {
    if (line.starts_with("=")) answers.push_back(line.size() > 2 ? line.substr(2) : "");
    if (line.starts_with("?")) ADD_FAILURE() << file << ": " << line;
  }
  if (answers.size() < 5) return "gnugo answered " + run.out;
  std::vector<std::string> rows(kBoardSize, std::string(kBoardSize, '.'));
  for (int colour = 0; colour < 2; ++colour) {
    std::istringstream vertices(answers[static_cast<std::size_t>(1 + colour)]);
    for (std::string v; vertices >> v;) {
      // Columns A..T without I; row 19 is the top.
      const int column = v[0] - 'A' - (v[0] > 'I' ? 1 : 0);
      rows.at(static_cast<std::size_t>(kBoardSize - std::stoi(v.substr(1))))
          .at(static_cast<std::size_t>(column)) = colour == 0 ? 'X' : 'O';
    }
  }
  std::string out;
  for (const std::string& row : rows)
    out += row + "\n";
  // Black's stones captured are the captures White made.
  return out + "captured: black=" + answers[3] + " white=" + answers[4] + "\n";
}

// The board part of `kifu show`: the rows after the "position:" line.
std::string BoardPart(const std::string& shown) {
  const std::size_t at = shown.find("\nposition:");
  if (at == std::string::npos) return shown;
  return shown.substr(shown.find('\n', at + 1) + 1);
}

TEST(KifuDatabaseTest, EveryTestGameLoadsAsItsFileShowsAndExportsToAnSgfParser) {
  ScratchDir dir;
  const std::string db = (dir.path() / "kifu").string();
  const KifuRun imported = Kifu(dir, {"import", db, "--duplicates", KIROBAKU_TEST_DATA "/sgf",
                                      KIROBAKU_TEST_DATA "/fuzz/ugf_reader_fuzzer"});
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.err, "");
  const std::map<int, std::string> files = ByNumber(imported.out);
  ASSERT_GE(files.size(), 60u);
  EXPECT_EQ(files.begin()->first, 1);
  EXPECT_EQ(files.rbegin()->first, static_cast<int>(files.size()));

  const std::map<int, std::string> listed = ByNumber(Kifu(dir, {"list", db}).out);
  ASSERT_EQ(listed.size(), files.size());
  std::vector<std::string> exports;
  std::map<std::string, std::vector<std::string>> expected;
  int byGnuGo = 0;
  for (const auto& [nb, file] : files) {
    SCOPED_TRACE(file);
    const std::string number = std::to_string(nb);
    const KifuRun shown = Kifu(dir, {"show", file});
    const KifuRun loaded = Kifu(dir, {"load", db, number});
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, shown.out);
    EXPECT_EQ("comment: " + listed.at(nb), Lines(shown.out).at(0));
    if (nb % 5 == 0) {
      EXPECT_EQ(Kifu(dir, {"load", db, number, "--move", "37"}).out,
                Kifu(dir, {"show", file, "--move=37"}).out);
    }

    const KifuRun exported = Kifu(dir, {"export", db, number});
    ASSERT_EQ(exported.status, 0) << exported.err;
    exports.push_back(dir.Write("export-" + number + ".sgf", exported.out).string());
    // Read back by this program's reader, and by GNU Go's: the same entries,
    // position and captures.
    EXPECT_EQ(PositionPart(Kifu(dir, {"show", exports.back()}).out), PositionPart(shown.out));
    EXPECT_EQ(Kifu(dir, {"entries", exports.back()}).out, Kifu(dir, {"entries", file}).out);
    // The real games only: the fuzz seeds play on occupied points, which GNU
    // Go refuses.
    if (file.starts_with(KIROBAKU_TEST_DATA "/sgf/")) {
      EXPECT_EQ(GnuGoPosition(dir, exports.back()), BoardPart(shown.out));
      ++byGnuGo;
    }
    expected[exports.back()] = ExpectedStones(listed.at(nb), Kifu(dir, {"entries", file}).out);
  }

  EXPECT_GE(byGnuGo, 45);

  // The node package is installed by scripts/install-deps; without it this
  // test fails rather than passing unchecked.
  std::vector<std::string> args{KIFU_SGF_MOVES_SCRIPT};
  args.insert(args.end(), exports.begin(), exports.end());
  const KifuRun parsed = test::RunProgram(dir, "node", args);
  ASSERT_EQ(parsed.status, 0) << "node with @sabaki/sgf (scripts/install-deps installs both): "
                              << parsed.err;
  EXPECT_EQ(ParsedStones(parsed.out), expected);
}

// Comments that a byte search alone would find wrongly: "ア" is 83 41 in
// CP932, its second byte an "A".
constexpr const char* kGames[][2] = {
    {"a.sgf", "(;EV[本因坊戦]PB[A]PW[B];B[aa];W[bb];B[cc])"},
    {"b.SGF", "(;EV[アイ]PB[x]PW[y]AB[dd][pp];W[ss];B[];W[ab])"},
    {"c.ugf", "Title=Cup\r\nBMemb1=Kuro,1,\r\nWMemb1=Shiro,2,\r\n[Data]\r\nPD,B1,1,0\r\n"},
};

TEST(KifuDatabaseTest, ListSearchRotateDeleteAndFreeNumbers) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  std::vector<std::string> paths;
  for (const auto& [name, text] : kGames)
    paths.push_back(dir.Write(name, Sjis(text)).string());
  std::vector<std::string> args{"import", db};
  args.insert(args.end(), paths.begin(), paths.end());
  ASSERT_EQ(Kifu(dir, args).out, "1\t" + paths[0] + "\n2\t" + paths[1] + "\n3\t" + paths[2] + "\n");

  auto list = [&](std::vector<std::string> extra) {
    std::vector<std::string> a{"list", db};
    a.insert(a.end(), extra.begin(), extra.end());
    const KifuRun r = Kifu(dir, a);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  // The table keeps no trailing blanks (the UGF comment ends in three).
  const std::string all =
      "1\t本因坊戦黒：A × 白：B\n2\tアイ黒：x × 白：y\n"
      "3\tCup   黒:Kuro×白:Shiro\n";
  EXPECT_EQ(list({}), all);
  EXPECT_EQ(list({""}), all);
  EXPECT_EQ(list({"因坊"}), "1\t本因坊戦黒：A × 白：B\n");
  EXPECT_EQ(list({"白"}), all);
  EXPECT_EQ(list({"A"}), "1\t本因坊戦黒：A × 白：B\n");  // not the "ア" of game 2
  EXPECT_EQ(list({"Kuro×"}), "3\tCup   黒:Kuro×白:Shiro\n");
  EXPECT_EQ(list({"kuro"}), "");
  EXPECT_EQ(list({"한"}), "");  // no CP932 character: in no comment

  // 180 degrees: p -> 362 - p; twice gives the game back.
  const std::string before = Kifu(dir, {"export", db, "2"}).out;
  EXPECT_EQ(before,
            "(;FF[4]GM[1]SZ[19]CA[UTF-8]GC[アイ黒：x × 白：y]AB[dd][pp];W[ss];B[];W[ab])\n");
  const std::string loaded = Kifu(dir, {"load", db, "2"}).out;
  EXPECT_EQ(Kifu(dir, {"rotate", db, "2"}).status, 0);
  EXPECT_EQ(Kifu(dir, {"export", db, "2"}).out,
            "(;FF[4]GM[1]SZ[19]CA[UTF-8]GC[アイ黒：x × 白：y]AB[pp][dd];W[aa];B[];W[sr])\n");
  EXPECT_EQ(Kifu(dir, {"rotate", db, "2"}).status, 0);
  EXPECT_EQ(Kifu(dir, {"export", db, "2"}).out, before);
  EXPECT_EQ(Kifu(dir, {"load", db, "2"}).out, loaded);

  // Delete frees the number, and the next import takes it.
  EXPECT_EQ(Kifu(dir, {"delete", db, "2"}).status, 0);
  EXPECT_EQ(list({}), "1\t本因坊戦黒：A × 白：B\n3\tCup   黒:Kuro×白:Shiro\n");
  const KifuRun gone = Kifu(dir, {"load", db, "2"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "kifu: no game 2 in the database\n");
  EXPECT_EQ(Kifu(dir, {"import", db, paths[0], "--duplicates"}).out, "2\t" + paths[0] + "\n");
  EXPECT_EQ(Kifu(dir, {"load", db, "2"}).out, Kifu(dir, {"show", paths[0]}).out);
}

TEST(KifuDatabaseTest, LongCommentIsCutAtACharacterBoundary) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  std::string name;
  for (int i = 0; i < 140; ++i)
    name += "碁";  // 280 bytes: past the list's 250 by half of a character
  const auto file = dir.Write("long.sgf", Sjis("(;PB[x" + name + "];B[aa])"));
  ASSERT_EQ(Kifu(dir, {"import", db, file.string()}).status, 0);
  // "黒：x" is 5 bytes: 122 whole characters fit, the 123rd would not.
  std::string kept;
  for (int i = 0; i < 122; ++i)
    kept += "碁";
  EXPECT_EQ(Kifu(dir, {"list", db}).out, "1\t黒：x" + kept + "\n");
}

TEST(KifuDatabaseTest, UnreadableFilesAreReportedAndTheRestImported) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  const std::string good = dir.Write("good.sgf", "(;B[aa])").string();
  const std::string missing = (dir.path() / "missing.ugf").string();
  const std::string folder = (dir.path() / "games").string();
  std::filesystem::create_directories(folder + "/deeper");
  const std::string inner = dir.Write("games/deeper/x.Ugf", "[Data]\nPD,B1,1,0\n").string();
  dir.Write("games/notes.txt", "not a game");
  const std::string other = dir.Write("notes.txt", "not a game").string();
  const KifuRun r = Kifu(dir, {"import", db, missing, good, other, folder});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "1\t" + good + "\n2\t" + inner + "\n");
  EXPECT_EQ(LineCount(r.err), 2u) << r.err;
  EXPECT_THAT(r.err, HasSubstr(missing));
  EXPECT_THAT(r.err, HasSubstr(other));
  // No progress line when stderr is no terminal.
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr("import ")));
}

TEST(KifuDatabaseTest, ProgressLineOnlyOnATerminal) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  std::filesystem::create_directories(dir.path() / "many");
  for (int i = 0; i < 25; ++i)
    dir.Write("many/g" + std::to_string(100 + i) + ".sgf", "(;B[aa];W[bb])");
  const KifuRun r =
      test::KifuOnTerminal(dir, {"import", db, "--duplicates", (dir.path() / "many").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 25u);
  EXPECT_THAT(r.err, HasSubstr("kifu: import 0/25"));
  EXPECT_THAT(r.err, ::testing::EndsWith("\r\033[K"));  // taken away at the end
}

TEST(KifuDatabaseTest, BadArgumentsAndUnknownGames) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  ASSERT_EQ(Kifu(dir, {"import", db, dir.Write("g.sgf", "(;B[aa];W[bb])").string()}).status, 0);
  const std::vector<std::vector<std::string>> usage = {
      {"import"},
      {"import", db},
      {"list"},
      {"list", db, "a", "b"},
      {"load", db},
      {"load", db, "x"},
      {"load", db, "0"},
      {"load", db, "-1"},
      {"load", db, "1", "2"},
      {"load", db, "1", "--move"},
      {"load", db, "1", "--move", "y"},
      {"export", db, "1", "--move", "3"},
      {"rotate", db},
      {"delete", db, "1x"},
      {"delete", db, "99999999999"},
  };
  for (const auto& args : usage) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const KifuRun r = Kifu(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("kifu: "));
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
  }
  const std::string not_a_folder = dir.Write("plain", "x").string();
  const std::vector<std::vector<std::string>> bad = {
      {"load", db, "2"},   {"export", db, "7"},    {"rotate", db, "2"},
      {"delete", db, "3"}, {"list", not_a_folder}, {"load", not_a_folder, "1"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const KifuRun r = Kifu(dir, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("kifu: "));
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
  }
  // Nothing above changed the stored game.
  EXPECT_EQ(Kifu(dir, {"list", db}).out, "1\t\n");
  EXPECT_EQ(Kifu(dir, {"export", db, "1"}).out, "(;FF[4]GM[1]SZ[19]CA[UTF-8]GC[];B[aa];W[bb])\n");
}

}  // namespace
}  // namespace kirobaku

namespace kirobaku {
namespace {

// A game of its own per i: distinct moves, its number in the comment.
std::string GeneratedGame(int i) {
  std::string text = "(;EV[g" + std::to_string(i) + "]";
  for (int m = 0; m < 30; ++m) {
    const int p = (i * 7 + m * 13) % 361;
    text += (m % 2 == 0 ? ";B[" : ";W[");
    text += static_cast<char>('a' + (p / 19 + m) % 19);
    text += static_cast<char>('a' + p % 19);
    text += ']';
  }
  return text + ")";
}

// Every listed game is whole (its moves those of the file its comment
// names) and no stones lie under an unlisted number; returns the listed games.
std::set<int> ExpectWholeGames(const std::string& db, const ScratchDir& files) {
  TDataModule1 data(db);
  data.OpenList(TDataModule1::kListedGames);
  std::set<int> listed;
  for (data.KuraQuery1.First(); !data.KuraQuery1.Eof(); data.KuraQuery1.Next()) {
    listed.insert(data.KuraQuery1.Fields()[0].AsInteger());
  }
  for (const int nb : listed) {
    data.OpenList(" Where NB = " + std::to_string(nb));
    const std::string comment = data.KuraQuery1.Fields()[1].AsString();
    Record stored{}, file{};
    data.LoadGame(nb, stored);
    ReadSgfFile(files.path() / "games" / (comment + ".sgf"), file);
    EXPECT_EQ(stored, file) << nb;
  }
  kura::TKuraQuery stones(&data);
  stones.SetDatabaseName("kifu");
  stones.SetSQL({"select NB from kifudata"});
  stones.Open();
  for (stones.First(); !stones.Eof(); stones.Next())
    EXPECT_TRUE(listed.count(stones.Fields()[0].AsInteger())) << stones.Fields()[0].AsInteger();
  return listed;
}

// The numbers of the "<NB>\t<path>" lines printed.
std::set<int> Printed(const std::string& out) {
  std::set<int> printed;
  for (const auto& [nb, path] : ByNumber(out))
    printed.insert(nb);
  return printed;
}

// An import killed at random moments, or cancelled by SIGINT, leaves every
// game whole or absent, and every game it printed stored.
TEST(KifuDatabaseTest, ImportKilledOrCancelledLeavesWholeGames) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "games");
  const int games = 1200;  // more than two commits
  for (int i = 0; i < games; ++i)
    dir.Write("games/g" + std::to_string(i) + ".sgf", GeneratedGame(i));
  std::mt19937 random(28);
  std::size_t before = 0;
  int cut_short = 0;
  const std::string db = (dir.path() / "db").string();
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const int signal = round % 2 == 0 ? SIGKILL : SIGINT;
    const auto out = dir.path() / "import.out";
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int null = ::open("/dev/null", O_WRONLY);
      if (fd < 0 || null < 0 || ::dup2(fd, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(127);
      test::detail::Exec(KIROBAKU_TOOLS_DIR "/kifu",
                         {"import", db, "--duplicates", (dir.path() / "games").string()});
    }
    ::usleep(static_cast<useconds_t>(300000 + random() % 2000000));
    ::kill(pid, signal);
    const int status = test::detail::Wait(pid);
    const std::set<int> listed = ExpectWholeGames(db, dir);
    const std::set<int> printed = Printed(test::ReadWholeFile(out));
    EXPECT_TRUE(std::includes(listed.begin(), listed.end(), printed.begin(), printed.end()));
    // A kill between a commit and the printing of its lines leaves stored
    // games unprinted, never the other way round.
    EXPECT_LE(before + printed.size(), listed.size()) << "status " << status;
    EXPECT_LE(listed.size(), before + printed.size() + TGameImport::kGamesPerCommit);
    cut_short += listed.size() < static_cast<std::size_t>(games * (round + 1)) ? 1 : 0;
    before = listed.size();
  }
  EXPECT_GT(before, 0u);
  EXPECT_GT(cut_short, 0);  // some run was stopped before its end
  // A run to its end prints every game, the last of a full commit too.
  const KifuRun whole = Kifu(dir, {"import", db, "--duplicates", (dir.path() / "games").string()});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(Printed(whole.out).size(), static_cast<std::size_t>(games));
  EXPECT_EQ(ExpectWholeGames(db, dir).size(), before + games);
}

// A game whose moves equal a stored game's is reported and not stored, from
// another file and under another comment too; --duplicates stores it, and
// `duplicates` lists it.
TEST(KifuDatabaseTest, DuplicatesAreReportedNotStoredAndListed) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  const std::string a = dir.Write("a.sgf", "(;EV[A]PB[x];B[aa];W[bb];B[cc])").string();
  const std::string b = dir.Write("b.sgf", "(;EV[B]PB[y];B[aa];W[bb];B[cd])").string();
  const std::string again = dir.Write("again.sgf", "(;GN[other]EV[C];B[aa];W[bb];B[cc])").string();
  const std::string ugf = dir.Write("a.ugf", "[Data]\nAS,B1,1,0\nBR,W2,2,0\nCQ,B3,1,0\n").string();
  ASSERT_EQ(Kifu(dir, {"import", db, a, b}).status, 0);
  const KifuRun r = Kifu(dir, {"import", db, again, ugf, a});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "kifu: " + again + ": the same game as 1, not stored (--duplicates stores it)\n" +
                "kifu: " + ugf + ": the same game as 1, not stored (--duplicates stores it)\n" +
                "kifu: " + a + ": the same game as 1, not stored (--duplicates stores it)\n");
  EXPECT_EQ(Kifu(dir, {"duplicates", db}).out, "");
  EXPECT_EQ(Kifu(dir, {"import", db, "--duplicates", again, b}).out,
            "3\t" + again + "\n4\t" + b + "\n");
  EXPECT_EQ(Kifu(dir, {"duplicates", db}).out, "3\t1\tC\n4\t2\tB黒：y\n");
  // A file imported twice in one run is a duplicate the second time.
  const std::string c = dir.Write("c.sgf", "(;B[ss];W[rr])").string();
  EXPECT_EQ(Kifu(dir, {"import", db, c, c}).out, "5\t" + c + "\n");
}

}  // namespace
}  // namespace kirobaku
