// The kifu tool as a user runs it: the built executable, its output and exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

std::string Board(std::initializer_list<std::pair<int, const char*>> rows) {
  std::vector<std::string> lines(19, std::string(19, '.'));
  for (const auto& [row, text] : rows)
    lines[static_cast<size_t>(row)].replace(0, strlen(text), text);
  std::string out;
  for (const std::string& line : lines)
    out += line + "\n";
  return out;
}

// Captures counted by hand: black takes the two white corner stones aa and ba
// with move 5; white takes the black corner stone ss with move 8; move 9 is a
// pass, so white's last move is number 10.
constexpr const char* kCorners =
    "(;GM[1]EV[Test]PB[Kuro]PW[Shiro]RE[B+3]\n"
    ";B[ab];W[aa];B[bb];W[ba];B[ca];W[rs];B[ss];W[sr];B[];W[dd])\n";

TEST(KifuShowTest, PrintsCommentEntriesPositionBoardAndCaptures) {
  ScratchDir dir;
  const auto file = dir.Write("corners.sgf", kCorners);
  const KifuRun r = Kifu(dir, {"show", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "comment: Test黒：Kuro × 白：Shiro  黒3目勝ち\n"
            "entries: 9\n"
            "position: 9 move: 10 to-play: 1\n" +
                Board({{0, "..X"},
                       {1, "XX"},
                       {3, "...O"},
                       {17, "..................O"},
                       {18, ".................O."}}) +
                "captured: black=1 white=2\n");
}

TEST(KifuShowTest, MoveOptionStopsTheReplay) {
  ScratchDir dir;
  const auto file = dir.Write("corners.sgf", kCorners);
  const KifuRun four = Kifu(dir, {"show", file, "--move", "4"});
  EXPECT_EQ(four.status, 0) << four.err;
  EXPECT_THAT(four.out, HasSubstr("position: 4 move: 4 to-play: 1\n" +
                                  Board({{0, "OO"}, {1, "XX"}}) + "captured: black=0 white=0\n"));
  const KifuRun five = Kifu(dir, {"show", "--move=5", file});
  EXPECT_THAT(five.out, HasSubstr("position: 5 move: 5 to-play: 2\n" +
                                  Board({{0, "..X"}, {1, "XX"}}) + "captured: black=0 white=2\n"));
  // Move 9 was a pass: the replay goes on to the first move numbered 9 or more.
  const KifuRun nine = Kifu(dir, {"show", file, "--move", "9"});
  EXPECT_THAT(nine.out, HasSubstr("position: 9 move: 10 to-play: 1\n"));
}

TEST(KifuShowTest, JapaneseCommentOfAShiftJisRecord) {
  ScratchDir dir;
  const KifuRun r = Kifu(dir, {"show", KIROBAKU_TEST_DATA "/sgf/honinbo51-5-sjis.sgf"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("comment: 第51期本因坊戦黒：趙治勲 × 白：柳時熏  白2.5目勝ち\n"
                                "entries: 268\n"
                                "position: 268 move: 268 to-play: 1\n"));
}

TEST(KifuShowTest, UndecodableBytesBecomeReplacementCharacters) {
  ScratchDir dir;
  // 81 21 and 81 20: lead bytes whose second byte completes no character.
  const auto file = dir.Write("bad.sgf", "(;PB[\x81!x\x81 ]PW[" + Sjis("白") + "];B[aa];W[bb])");
  const KifuRun r = Kifu(dir, {"show", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("comment: 黒：\uFFFD!x\uFFFD  × 白：白\nentries: 2\n"));
}

TEST(KifuShowTest, Utf8RecordIsConverted) {
  ScratchDir dir;
  const auto file = dir.Write("utf8.SGF", "(;CA[UTF-8]PB[趙治勲]PW[한국];B[aa];W[bb])");
  const KifuRun r = Kifu(dir, {"show", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("comment: 黒：趙治勲 × 白：??\nentries: 2\n"));
}

TEST(KifuShowTest, UgfRecord) {
  ScratchDir dir;
  const auto file = dir.Write("cup.ugf",
                              "[Header]\r\nTitle=Cup\r\nWinner=W,6.5\r\nBMemb1=Kuro,1,\r\n"
                              "WMemb1=Shiro,2,\r\n[Data]\r\nPD,B1,1,0\r\nDP,W2,2,0\r\n");
  const KifuRun r = Kifu(dir, {"show", file});
  EXPECT_EQ(r.status, 0) << r.err;
  // PD is the fourth row from the bottom, DP the fourth from the top.
  EXPECT_EQ(r.out,
            "comment: Cup   黒:Kuro×白:Shiro   白6.5目勝ち\n"
            "entries: 2\n"
            "position: 2 move: 2 to-play: 1\n" +
                Board({{3, "...O"}, {15, "...............X"}}) + "captured: black=0 white=0\n");
}

TEST(KifuEntriesTest, OneLinePerStoredEntry) {
  ScratchDir dir;
  const auto file = dir.Write("h.sgf", "(;AB[dd][pp];W[ss];B[];W[aa])");
  const KifuRun r = Kifu(dir, {"entries", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1 0 1 61\n2 0 1 301\n3 1 2 361\n4 3 2 1\n");
  EXPECT_EQ(Kifu(dir, {"entries", dir.Write("none.ugf", "Title=x\n")}).out, "");
}

TEST(KifuErrorsTest, UnreadableInputIsOneLineAndStatus2) {
  ScratchDir dir;
  const std::string missing = (dir.path() / "missing.sgf").string();
  for (const char* command : {"show", "entries"}) {
    const KifuRun r = Kifu(dir, {command, missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr(missing));
    EXPECT_THAT(r.err, HasSubstr("No such file or directory"));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(KifuErrorsTest, BadUsageIsStatus2) {
  ScratchDir dir;
  const std::string game = dir.Write("g.sgf", kCorners).string();
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"show"},
      {"show", game, game},
      {"show", game, "--move"},
      {"show", game, "--move", "x"},
      {"show", game, "--move", "-1"},
      {"show", game, "--move", "99999999999"},
      {"show", game, "--moves", "3"},
      {"show", dir.Write("g.txt", kCorners).string()},
      {"entries"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const KifuRun r = Kifu(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("kifu: "));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(KifuHelpTest, DocumentsEveryCommand) {
  ScratchDir dir;
  const KifuRun r = Kifu(dir, {"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* synopsis :
       {"kifu show FILE [--move N]", "kifu entries FILE", "kifu import DB PATH...",
        "kifu list DB [TEXT]", "kifu load DB NB [--move N]", "kifu export DB NB",
        "kifu rotate DB NB", "kifu delete DB NB"}) {
    EXPECT_THAT(r.out, HasSubstr(synopsis));
  }
  const KifuRun show = Kifu(dir, {"show", "--help"});
  EXPECT_EQ(show.status, 0);
  EXPECT_THAT(show.out, HasSubstr("--move N"));
}

}  // namespace
}  // namespace kirobaku
