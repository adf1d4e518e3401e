// The main window redrawing a whole game, as dragging the track bar does
// (ReplayTo with numbers, then the paint), and one step forward and back. A
// redraw should fit in one frame of a 60 Hz screen (16 ms). The first figure
// repaints the whole window every time (the worst case).
#include <benchmark/benchmark.h>

#include <QSlider>
#include <cstdlib>

#include "app/application.h"
#include "app/asker.h"
#include "app/form2.h"
#include "support/sgf_moves.h"

namespace kirobaku {
namespace {

constexpr int kMoves = 300;
const char* const kGame = KIROBAKU_TEST_DATA "/sgf/kgs-tournament9-indigoBot-GNU.sgf";

class SilentAsker : public Asker {
 public:
  bool YesNo(const QString&) override { return true; }
  bool YesCancel(const QString&) override { return true; }
  void Inform(const QString&) override {}
  void Error(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
};

// A shown main window holding the first 300 moves of a real game.
struct Window {
  SilentAsker asker;
  TForm2 form{QStringLiteral(KIROBAKU_BIN_DIR "/"), asker};

  Window() {
    const auto moves = test::SgfMainLine(kGame);
    if (moves.size() < kMoves) {
      std::fprintf(stderr, "%s: fewer than %d moves\n", kGame, kMoves);
      std::exit(1);
    }
    for (int i = 1; i <= kMoves; ++i) {
      form.Game().MoveRecord[i] = {i, moves[i - 1].first, moves[i - 1].second};
    }
    form.show();
    QCoreApplication::processEvents();
  }
};

void BM_TrackBarRedrawWholeGame(benchmark::State& state) {
  Window w;
  auto* track = w.form.findChild<QSlider*>(QStringLiteral("TrackBar1"));
  int n = kMoves;
  for (auto _ : state) {
    track->setValue(n);  // ReplayTo (n, 1)
    w.form.repaint();
    n = n == kMoves ? kMoves - 1 : kMoves;
  }
  state.counters["moves"] = w.form.Game().Position;
}
BENCHMARK(BM_TrackBarRedrawWholeGame)->Unit(benchmark::kMillisecond);

// Dragging: each frame replays the whole game and paints what changed, in
// the event loop as on screen.
void BM_TrackBarDragFrame(benchmark::State& state) {
  Window w;
  auto* track = w.form.findChild<QSlider*>(QStringLiteral("TrackBar1"));
  int n = kMoves;
  for (auto _ : state) {
    track->setValue(n);
    QCoreApplication::processEvents();
    n = n == kMoves ? kMoves - 1 : kMoves;
  }
}
BENCHMARK(BM_TrackBarDragFrame)->Unit(benchmark::kMillisecond);

// The same without the track bar's own repaint.
void BM_ReplayAndPaintChanges(benchmark::State& state) {
  Window w;
  int n = kMoves;
  for (auto _ : state) {
    w.form.TrackBar1Change(n);
    QCoreApplication::processEvents();
    n = n == kMoves ? kMoves - 1 : kMoves;
  }
}
BENCHMARK(BM_ReplayAndPaintChanges)->Unit(benchmark::kMillisecond);

// From the empty board to the whole game: every stone is new.
void BM_TrackBarJumpFromEmpty(benchmark::State& state) {
  Window w;
  auto* track = w.form.findChild<QSlider*>(QStringLiteral("TrackBar1"));
  for (auto _ : state) {
    state.PauseTiming();
    w.form.Button8Click();  // クリア: the board is empty, the game in the saved copy
    w.form.Game().RestoreLine();
    w.form.Game().ReplayTo(1, 1);
    QCoreApplication::processEvents();
    state.ResumeTiming();
    track->setValue(track->value() == kMoves ? kMoves - 1 : kMoves);
    QCoreApplication::processEvents();
  }
}
BENCHMARK(BM_TrackBarJumpFromEmpty)->Unit(benchmark::kMillisecond);

void BM_ReplayToWithoutPaint(benchmark::State& state) {
  Window w;
  for (auto _ : state)
    w.form.Game().ReplayTo(kMoves, 1);
}
BENCHMARK(BM_ReplayToWithoutPaint)->Unit(benchmark::kMillisecond);

void BM_StepForwardAndBack(benchmark::State& state) {
  Window w;
  w.form.Game().ReplayTo(kMoves / 2, 1);
  for (auto _ : state) {
    w.form.Button1Click();
    QCoreApplication::processEvents();
    w.form.Button2Click();
    QCoreApplication::processEvents();
  }
}
BENCHMARK(BM_StepForwardAndBack)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kirobaku

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  kirobaku::KirobakuApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
