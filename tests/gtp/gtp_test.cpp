// The GTP client: the protocol's framing and values, the moves that make a
// shown position (against a model kept while playing), and games against the
// scripted engine through every way a game ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "gtp/engine_match.h"
#include "gtp/engine_study.h"
#include "gtp/gtp_protocol.h"
#include "gtp/posix_channel.h"
#include "support/fake_board_view.h"

namespace kirobaku::gtp {
namespace {

using test::FakeBoardView;

TEST(GtpProtocolTest, VerticesRoundTripAndNonsenseIsRefused) {
  for (PointIndex p = 1; p <= kPointCount; ++p)
    ASSERT_EQ(ParseVertex(VertexText(p)), p) << VertexText(p);
  EXPECT_EQ(VertexText(1), "A19");
  EXPECT_EQ(VertexText(PointAt(15, 3)), "Q16");
  EXPECT_EQ(ParseVertex("t1"), PointAt(18, 18));
  EXPECT_EQ(ParseVertex("PASS"), 0);
  for (const char* bad : {"I5", "A0", "A20", "A01", "Z3", "resign", "A", "A1x", "", "Q1 6"})
    EXPECT_FALSE(ParseVertex(bad)) << bad;
  EXPECT_EQ(ParseScore("B+37.0"), 37.0);
  EXPECT_EQ(ParseScore("W+3.5 (upper bound: -2.5, lower: -4.5)"), -3.5);
  EXPECT_EQ(ParseScore("0"), 0);
  for (const char* bad : {"", "B+", "X+3", "B-3", "B+nan", "B+1e9", "Black wins"})
    EXPECT_THROW(ParseScore(bad), GtpGarbage) << bad;
  EXPECT_EQ(ScoreText(-0.5), "W+0.5");
  EXPECT_THROW(ParseVertexList("D4 pass"), GtpGarbage);
  EXPECT_EQ(ParseEngineMove("Resign").resign, true);
  EXPECT_EQ(SplitCommandLine(R"(gnugo --mode "gtp x" 'a b' c\ d)"),
            (std::vector<std::string>{"gnugo", "--mode", "gtp x", "a b", "c d"}));
  EXPECT_THROW(SplitCommandLine("gnugo \"open"), std::invalid_argument);
  EXPECT_THROW(SplitCommandLine("   "), std::invalid_argument);
}

// Replies cut at every possible place still come out whole and in order.
TEST(GtpProtocolTest, RepliesAreFramedWhereverTheBytesAreCut) {
  const std::string stream = "\n=1 2\r\n\n=2 GNU Go\n\n?3 unknown command\n\n=4 a\nb\n\n= \n\n";
  std::mt19937 random(31);
  for (int round = 0; round < 200; ++round) {
    ReplyReader reader;
    std::vector<Reply> got;
    std::int64_t next = 1;
    std::size_t at = 0;
    while (at < stream.size()) {
      const std::size_t n = 1 + random() % 7;
      reader.Feed(std::string_view(stream).substr(at, n));
      at += n;
      while (auto r = reader.Take(next)) {
        got.push_back(*r);
        ++next;
      }
    }
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].text, "2");
    EXPECT_EQ(got[1].text, "GNU Go");
    EXPECT_FALSE(got[2].success);
    EXPECT_EQ(got[3].text, "a\nb");
    EXPECT_EQ(got[4].text, "");
  }
  ReplyReader garbage;
  EXPECT_THROW(garbage.Feed("Segmentation fault\n"), GtpGarbage);
  ReplyReader wrongId;
  wrongId.Feed("=7 D4\n\n");
  EXPECT_THROW(wrongId.Take(6), GtpGarbage);
  ReplyReader endless;
  EXPECT_THROW(endless.Feed("= " + std::string(kMaxReplyBytes, 'x')), GtpGarbage);
  ReplyReader glued;
  glued.Feed("=1 a\n\n=1x\n\n");
  EXPECT_TRUE(glued.Take(1));
  EXPECT_THROW(glued.Take(1), GtpGarbage);
}

// PositionMoves against a model: the plays and passes of a random game as they
// were made, and their prefix after stepping back to a random move.
TEST(GtpPositionTest, PositionMovesAreThePlaysAndPassesMade) {
  std::mt19937 random(3131);
  for (int game = 0; game < 40; ++game) {
    FakeBoardView view;
    GameState state(view);
    std::vector<Played> model;
    std::vector<std::size_t> modelAtEntry{0};  // model length after each entry
    for (int turn = 0; turn < 120; ++turn) {
      const StoneColour colour = state.ToPlay;
      if (random() % 6 == 0) {
        ApplyPass(state);
        model.push_back({colour, 0});
        continue;
      }
      const PointIndex p = 1 + static_cast<PointIndex>(random() % kPointCount);
      const std::int32_t before = state.Position;
      state.PlayMove(p);
      if (state.Position == before) continue;  // refused: nothing happened
      model.push_back({colour, p});
      modelAtEntry.push_back(model.size());
    }
    ASSERT_EQ(PositionMoves(state), model) << "game " << game;
    ASSERT_TRUE(BoardShowsRecord(state));
    const std::int32_t back = static_cast<std::int32_t>(random() % (state.Position + 1));
    while (state.Position > back) state.StepBackward();
    const std::vector<Played> prefix(model.begin(),
                                     model.begin() + static_cast<std::ptrdiff_t>(modelAtEntry[back]));
    // Stepping back keeps the passes before the entry shown, not those after it.
    std::vector<Played> shown = PositionMoves(state);
    ASSERT_EQ(shown, prefix) << "game " << game << " back to " << back;
  }
}

TEST(GtpPositionTest, HandicapStonesAndAVariationAreSentAsTheBoardHasThem) {
  FakeBoardView view;
  GameState state(view);
  state.PlaceFree(*ParseVertex("D4"), MouseButton::kLeft);
  state.PlaceFree(*ParseVertex("Q16"), MouseButton::kLeft);
  state.PlayMove(*ParseVertex("C3"));  // White, move 1
  state.StartVariation();
  state.PlayMove(*ParseVertex("E5"));  // Black, variation move 1
  EXPECT_EQ(PositionMoves(state),
            (std::vector<Played>{{kBlack, *ParseVertex("D4")},
                                 {kBlack, *ParseVertex("Q16")},
                                 {kWhite, *ParseVertex("C3")},
                                 {kBlack, *ParseVertex("E5")}}));
  state.SelectGomoku();
  state.PlaceGomoku(*ParseVertex("K10"));
  EXPECT_FALSE(BoardShowsRecord(state));
  EXPECT_EQ(OwnHandicapStones(9).size(), 9u);
  EXPECT_EQ(OwnHandicapStones(3), (std::vector<PointIndex>{*ParseVertex("Q16"), *ParseVertex("D4"),
                                                            *ParseVertex("Q4")}));
}

// A game against the scripted engine through the POSIX channel.
class MatchTest : public ::testing::Test {
 protected:
  FakeBoardView view;
  GameState game{view};
  // One log per test and process: ctest runs the tests side by side.
  std::string log = ::testing::TempDir() + "gtp_log_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                    std::to_string(::getpid()) + ".txt";
  ~MatchTest() override { std::remove(log.c_str()); }
  std::vector<std::string> engineArgs;
  EngineSession session{[this](const std::vector<std::string>&) {
    return std::make_unique<PosixChannel>(engineArgs);
  }};
  std::vector<MatchResult> results;
  EngineMatch match{game, session, [this](const MatchResult& r) { results.push_back(r); }};

  void Engine(std::vector<std::string> args, int limitMs = 10000) {
    session.Stop();  // the next request starts the engine of these arguments
    std::remove(log.c_str());
    engineArgs = {FAKE_GTP_ENGINE, "--log", log};
    engineArgs.insert(engineArgs.end(), args.begin(), args.end());
    EngineSettings settings;
    settings.command = "fake";
    settings.timeLimit = Milliseconds(limitMs);
    session.Configure(settings);
  }
  void Play(const char* vertex) {
    const std::int32_t before = game.Position;
    game.PlayMove(*ParseVertex(vertex));
    ASSERT_EQ(game.Position, before + 1) << vertex;
    match.UserPlayed();
  }
  std::vector<std::string> Sent() {
    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
  }
  std::size_t Count(const std::string& command) {
    std::size_t n = 0;
    for (const std::string& line : Sent())
      n += line == command;
    return n;
  }
};

TEST_F(MatchTest, AGameEndsByTwoPassesWithTheEnginesScoreAndTheOwnCount) {
  Engine({"--moves", "D4,C3,pass", "--score", "W+3.5", "--dead", "Q16"});
  MatchSettings settings;
  settings.userName = "Tester";
  settings.ownCount = true;
  match.Start(settings);
  ASSERT_TRUE(match.Active());
  Play("Q16");
  EXPECT_EQ(game.EntryAt(2), (MoveEntry{2, kWhite, *ParseVertex("D4")}));
  Play("Q4");
  Play("R3");  // the engine passes
  EXPECT_EQ(game.MoveNumber, 6);
  EXPECT_NE(view.status[0].find("パス"), std::string::npos);
  match.UserPassed();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].finished);
  EXPECT_EQ(results[0].result, "  白3.5目勝ち");
  EXPECT_EQ(results[0].comment, "黒：Tester × 白：Fake Engine 1.0 レベル5  白3.5目勝ち");
  // The program's count takes the engine's dead stone Q16 off the board.
  EXPECT_NE(results[0].summary.find("地の計算：黒 "), std::string::npos);
  EXPECT_EQ(game.Board[*ParseVertex("Q16")], kBlack);
  // Each move was sent once; the passes too, before the score.
  EXPECT_EQ(Count("clear_board"), 2u);  // at the start and for the new game
  EXPECT_EQ(Count("play black Q16"), 1u);
  EXPECT_EQ(Count("play black pass"), 1u);
  EXPECT_EQ(Count("final_score"), 1u);
  EXPECT_EQ(Count("level 5"), 1u);  // a named engine gets the level as a command
}

TEST_F(MatchTest, HandicapWhiteMovesFirstAndResignationsEndTheGame) {
  Engine({"--moves", "Q3,resign"});
  MatchSettings settings;
  settings.handicap = 2;
  match.Start(settings);
  // The engine's two stones as setup stones, then its first move as White.
  EXPECT_EQ(game.EntryAt(1), (MoveEntry{0, kBlack, *ParseVertex("D4")}));
  EXPECT_EQ(game.EntryAt(2), (MoveEntry{0, kBlack, *ParseVertex("Q16")}));
  EXPECT_EQ(game.EntryAt(3), (MoveEntry{1, kWhite, *ParseVertex("Q3")}));
  Play("R4");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].result, "  黒中押し勝ち");

  Engine({"--moves", "K10"});
  settings = MatchSettings();
  settings.user = kWhite;
  settings.handicap = 3;
  settings.engineHandicap = false;
  match.Start(settings);
  EXPECT_EQ(Count("set_free_handicap Q16 D4 Q4"), 1u);
  EXPECT_EQ(game.ToPlay, kWhite);  // the user (White) moves first
  match.UserResigned();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].result, "  黒中押し勝ち");
  EXPECT_EQ(game.Position, 3);
}

TEST_F(MatchTest, SteppingBackAndPlayingOnSendsTheNewLine) {
  Engine({"--moves", "D4,D16,C3"});
  match.Start(MatchSettings());
  Play("Q16");
  Play("Q4");
  game.StepBackward();
  game.StepBackward();  // back to the engine's D4, Black to play
  Play("R4");           // overwrites Q4 (the question is answered Yes)
  EXPECT_EQ(game.EntryAt(4), (MoveEntry{4, kWhite, *ParseVertex("C3")}));
  // The engine's board was D4 Q16 Q4 D16: not a prefix, so it starts again.
  EXPECT_EQ(Count("clear_board"), 3u);
  EXPECT_EQ(Count("play black Q16"), 2u);
  // A lifted stone: the engine is not asked, and the game waits for the board.
  game.LiftStone(*ParseVertex("R4"));
  Play("K10");
  EXPECT_TRUE(match.Active());
  EXPECT_EQ(view.status[0], "盤面が棋譜と一致しないため、コンピュータに局面を伝えられません。");
  game.DropStone(*ParseVertex("R4"));
  match.EngineMoves();
  EXPECT_EQ(view.status[0], "コンピュータ（白）はパスしました。あなたの番です（黒）。");
}

// Every way the engine can fail leaves the game as it was, with a message,
// and the next request starts a new engine.
TEST_F(MatchTest, AFailingEngineEndsTheGameAndLeavesTheBoard) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--on", "genmove:2:die"}, "終了しました（終了コード 3）"},
      {{"--on", "genmove:2:hang"}, "秒以内に"},
      {{"--on", "genmove:2:garbage"}, "Segmentation fault"},
      {{"--on", "genmove:2:badvalue"}, "手ではない応答"},
      {{"--on", "genmove:2:wrongid"}, "番号の違う応答"},
      {{"--on", "play:2:refuse"}, "受け付けませんでした（cannot do that）"},
      {{"--moves", "D4,Q16"}, "打てない手"},  // Q16 is the user's stone
      {{"--on", "protocol_version:1:garbage"}, "Segmentation fault"},
  };
  for (const Case& c : cases) {
    results.clear();
    std::vector<std::string> args = {"--moves", "D4,D16"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.args[0] == "--moves") args = c.args;
    // Only the hanging engine waits out its limit; the others get room on a busy machine.
    Engine(args, std::string(c.message) == "秒以内に" ? 500 : 10000);
    match.Start(MatchSettings());
    if (match.Active()) Play("Q16");
    if (match.Active()) Play("Q4");
    ASSERT_EQ(results.size(), 1u) << c.message;
    EXPECT_FALSE(results[0].finished);
    EXPECT_NE(results[0].summary.find(c.message), std::string::npos) << results[0].summary;
    EXPECT_NE(results[0].summary.find("そのまま残っています"), std::string::npos);
    EXPECT_FALSE(match.Active());
    game.CheckConsistency();
    // An engine that fails to start leaves the game before on the board.
    EXPECT_EQ(game.Board[*ParseVertex("Q16")], kBlack);
  }
  // A new engine answers the next question.
  Engine({"--moves", "K10"});
  EngineStudy study(game, session, nullptr);
  study.Suggest();
  EXPECT_NE(view.status[0].find(" K10（◎）"), std::string::npos) << view.status[0];
  EXPECT_EQ(EngineArguments("", 3),
            (std::vector<std::string>{"gnugo", "--mode", "gtp", "--level", "3"}));
  EXPECT_THROW(PosixChannel({"/nonexistent/engine"}), std::runtime_error);
}

TEST_F(MatchTest, StudyMarksTheSuggestionAndTheDeadStones) {
  Engine({"--moves", "C3", "--score", "B+12.5", "--dead", "D4,Q16"});
  std::vector<PointIndex> marked;
  EngineStudy study(game, session, [&](PointIndex p) { marked.push_back(p); });
  game.PlayMove(*ParseVertex("D4"));
  game.PlayMove(*ParseVertex("Q16"));
  game.StepBackward();  // the board shows move 1: White to play
  study.Suggest();
  EXPECT_EQ(marked, std::vector<PointIndex>{*ParseVertex("C3")});
  EXPECT_EQ(view.captions[*ParseVertex("C3")], kSuggestionMark);
  EXPECT_EQ(Count("reg_genmove white"), 1u);
  EXPECT_EQ(Count("play white Q16"), 0u);  // only the position shown
  study.Estimate();
  EXPECT_EQ(view.status[0], "形勢判断：黒 12.5 目リード（B+12.5）。＊は死石です。");
  // Q16 is not on the board shown: only D4 is marked, as a dead group is.
  EXPECT_EQ(game.DeadList, std::vector<std::int32_t>{-*ParseVertex("D4")});
  EXPECT_EQ(game.DeadState, 1);
  EXPECT_EQ(view.captions[*ParseVertex("D4")], "*");
  game.CancelCount();
  EXPECT_EQ(view.captions[*ParseVertex("D4")], "");
  // Without reg_genmove the suggestion is played and taken back.
  Engine({"--moves", "C3", "--known", "protocol_version,name,version,list_commands,genmove,undo,play"});
  study.Suggest();
  EXPECT_EQ(Count("undo"), 1u);
  study.Estimate();  // no estimate_score: final_score; no final_status_list: no marks
  EXPECT_EQ(Count("final_score"), 1u);
  game.SelectGomoku();
  game.PlaceGomoku(*ParseVertex("K10"));
  study.Suggest();
  EXPECT_NE(view.messages.back().find("棋譜の局面ではない"), std::string::npos);
}

}  // namespace
}  // namespace kirobaku::gtp
