// A whole real game played by clicks on the window, stepped back to the start
// and forward again, with the board and the counters compared at every move.
#include "support/sgf_moves.h"
#include "window_fixture.h"

namespace kirobaku::test {
namespace {

struct Seen {
  std::string board;  // from the images
  QString edit1, edit2;
  std::map<PointIndex, QString> captions;
  bool operator==(const Seen&) const = default;
};

class RealGameTest : public WindowTest {
 protected:
  Seen Look() { return {ShownBoard(), Edit(1), Edit(2), Captions()}; }
};

TEST_F(RealGameTest, PlayedByClicksThenSteppedBackAndForward) {
  const auto moves =
      SgfMainLine(KIROBAKU_TEST_DATA "/sgf/nngs-gnugo-3.1.30-morlvera-200204041921.sgf");
  ASSERT_GT(moves.size(), 200u);
  std::vector<Seen> seen{Look()};
  for (const auto& [colour, point] : moves) {
    ASSERT_EQ(Game().ToPlay, colour);
    Press(point);
    ASSERT_EQ(Game().Board[point], colour) << "move " << seen.size() << " refused";
    const Seen now = Look();
    ASSERT_EQ(now.board, DrawBoard(Game().Board)) << "move " << seen.size();
    seen.push_back(now);
  }
  EXPECT_GT(Game().CapturedBlack + Game().CapturedWhite, 0);
  ASSERT_TRUE(asker.errors.isEmpty()) << asker.errors.join(QStringLiteral(" / ")).toStdString();
  for (std::size_t i = moves.size(); i > 0; --i) {
    Click("Button2");
    // Stepping back shows the previous move's number as playing did.
    ASSERT_EQ(Look(), seen[i - 1]) << "back to move " << i - 1;
    Game().CheckConsistency();
  }
  for (std::size_t i = 1; i <= moves.size(); ++i) {
    Click("Button1");
    ASSERT_EQ(Look(), seen[i]) << "forward to move " << i;
  }
  // The track bar rebuilds the same positions.
  auto* track = Find<QSlider>("TrackBar1");
  for (int n : {100, 37, 0}) {
    track->setValue(n);
    ASSERT_EQ(Look(), seen[n == 0 ? moves.size() : n]) << "track bar at " << n;
  }
}

}  // namespace
}  // namespace kirobaku::test
