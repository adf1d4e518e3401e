// kifu's database commands as a user runs them, on real game records: every
// imported game loads back as its file shows, lists with its comment, and
// exports as SGF that an independent parser reads with the same stones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include "kifu/kifu_run.h"
#include "records/record_test_util.h"

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
  const std::string commands = dir.Write("gtp.txt",
                                         "loadsgf " + file +
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
  const KifuRun imported = Kifu(
      dir, {"import", db, KIROBAKU_TEST_DATA "/sgf", KIROBAKU_TEST_DATA "/fuzz/ugf_reader_fuzzer"});
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
  EXPECT_EQ(Kifu(dir, {"import", db, paths[0]}).out, "2\t" + paths[0] + "\n");
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
  const KifuRun r = test::KifuOnTerminal(dir, {"import", db, (dir.path() / "many").string()});
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
