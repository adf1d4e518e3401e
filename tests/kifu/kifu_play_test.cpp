// kifu play and kifu score as a user runs them: moves typed on standard input
// against the scripted engine through every way a game ends or fails, and one
// short game against GNU Go at level 1 that reads back through load and export.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kifu/kifu_run.h"
#include "records/record_test_util.h"

namespace kirobaku {
namespace {

using test::Kifu;
using test::KifuRun;
using test::ScratchDir;
using ::testing::HasSubstr;

// Runs kifu with `input` on its standard input.
KifuRun KifuWithInput(const ScratchDir& dir, const std::string& input,
                      std::vector<std::string> args) {
  const auto inFile = dir.Write("stdin", input);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(inFile.c_str(), O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0) ::_exit(127);
    const int out = ::open((dir.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
    test::detail::Exec(KIROBAKU_TOOLS_DIR "/kifu", std::move(args));
  }
  KifuRun run;
  run.status = test::detail::Wait(pid);
  run.out = test::ReadWholeFile(dir.path() / "stdout");
  run.err = test::ReadWholeFile(dir.path() / "stderr");
  return run;
}

std::string Fake(const std::string& args) {
  return std::string(FAKE_GTP_ENGINE) + " " + args;
}

TEST(KifuPlayTest, EveryEndOfAGameIsStoredWithItsResult) {
  struct Case {
    std::string engine;
    std::string input;
    std::vector<std::string> options;
    int status;
    std::string said;     // a line of the transcript
    std::string comment;  // the stored comment, "" when nothing is stored
  };
  const std::string names = "黒：Me × 白：Fake Engine 1.0 レベル5";
  const Case cases[] = {
      {Fake("--moves D4,pass --score B+4.5"), "Q16\nq4\npass\n", {}, 0, "双方パスで終局",
       names + "  黒4.5目勝ち"},
      {Fake("--moves D4,resign"), "Q16\nZ9\nD4\nQ4\n", {}, 0, "not a move: \"Z9\"",
       names + "  黒中押し勝ち"},
      {Fake("--moves D4"), "Q16\nresign\n", {}, 0, "中押し勝ち", names + "  白中押し勝ち"},
      {Fake("--moves D4,D16"), "Q16\nQ4\n", {"--white"}, 1, "対局を中止しました",
       "黒：Fake Engine 1.0 レベル5 × 白：Me"},
      {Fake("--moves Q16,Q16"), "D4\nD16\n", {}, 1, "打てない手", names},
      {Fake("--moves D4 --on genmove:2:die"), "Q16\nQ4\n", {}, 1, "終了コード 3", names},
      {Fake("--moves D4 --on genmove:2:hang"), "Q16\nQ4\n", {}, 1, "1 秒以内", names},
      {Fake("--moves D4 --on genmove:2:garbage"), "Q16\nQ4\n", {}, 1, "Segmentation fault", names},
      {Fake("--on protocol_version:1:die"), "Q16\n", {}, 1, "終了しました", ""},
      {"/nonexistent/engine", "Q16\n", {}, 1, "見つかりません", ""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string db = (dir.path() / "db").string();
    // Only the hanging engine waits out its limit; the others get room on a busy machine.
    const bool hangs = c.engine.find("hang") != std::string::npos;
    std::vector<std::string> args = {"play", db, "--engine", c.engine, "--name", "Me",
                                     "--time-limit", hangs ? "1" : "30"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const KifuRun run = KifuWithInput(dir, c.input, args);
    SCOPED_TRACE(c.engine + " / " + c.input);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_THAT(run.out + run.err, HasSubstr(c.said));
    const KifuRun listed = Kifu(dir, {"list", db});
    EXPECT_EQ(listed.out, c.comment.empty() ? "" : "1\t" + c.comment + "\n");
  }
}

TEST(KifuPlayTest, ScoreAsksTheEngineAboutTheFinalPosition) {
  ScratchDir dir;
  const std::string file = dir.Write("g.sgf", "(;GM[1]SZ[19];B[pd];W[dp];B[pp])").string();
  const KifuRun run = Kifu(dir, {"score", file, "--engine", Fake("--score W+7.5 --dead D4 --log " +
                                                                  (dir.path() / "log").string()),
                                 "--dead"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "W+7.5\nD4\n");
  const std::string log = test::ReadWholeFile(dir.path() / "log");
  EXPECT_THAT(log, HasSubstr("play black Q16"));
  EXPECT_THAT(log, HasSubstr("play black Q4"));
  EXPECT_THAT(log, HasSubstr("estimate_score"));
  const KifuRun garbage = Kifu(dir, {"score", file, "--engine", Fake("--score banana")});
  EXPECT_EQ(garbage.status, 1);
  EXPECT_THAT(garbage.err, HasSubstr("得点ではない応答"));
  EXPECT_EQ(Kifu(dir, {"score", (dir.path() / "db").string(), "0"}).status, 2);
  EXPECT_EQ(Kifu(dir, {"play", "db", "--level", "11"}).status, 2);
  EXPECT_EQ(Kifu(dir, {"play", "db", "--handicap", "1"}).status, 2);
  EXPECT_EQ(Kifu(dir, {"play", "db", "--engine", "gnugo \"open"}).status, 2);
}

// A short game against GNU Go at level 1: three moves, then the user passes
// until GNU Go passes too; the stored game loads and exports as played.
TEST(KifuPlayTest, AShortGameAgainstGnuGoIsStoredAndReadsBack) {
  ScratchDir dir;
  const std::string db = (dir.path() / "db").string();
  std::string input = "Q16\nD4\nQ4\n";
  for (int i = 0; i < 300; ++i)
    input += "pass\n";
  const KifuRun run = KifuWithInput(dir, input, {"play", db, "--level", "1", "--name", "Tester"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("双方パスで終局"));
  const KifuRun listed = Kifu(dir, {"list", db});
  EXPECT_THAT(listed.out, HasSubstr("1\t黒：Tester × 白：GNU Go"));
  EXPECT_THAT(listed.out, HasSubstr("目勝ち"));
  const KifuRun loaded = Kifu(dir, {"load", db, "1"});
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  const KifuRun exported = Kifu(dir, {"export", db, "1"});
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_THAT(exported.out, HasSubstr(";B[pd]"));  // Q16
  // The export, read as a file, shows the stored game.
  const std::string file = dir.Write("back.sgf", exported.out).string();
  const KifuRun shown = Kifu(dir, {"show", file});
  const auto board = [](const std::string& text) { return text.substr(text.find("position:")); };
  EXPECT_EQ(board(shown.out), board(loaded.out));
}

}  // namespace
}  // namespace kirobaku
