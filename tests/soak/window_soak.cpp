// A storm of random user events on the real main window (offscreen): presses
// on the points with every button, modifier and double clicks, the command
// buttons, the mode buttons, the track bar, navigation keys, menu commands
// and random answers to every question box. After every event the game state
// must pass its consistency check (the board and the capture log are a fresh
// replay of the record, the counters agree with the log), and while the
// board shows the record the stone images and the two counters must show the
// model (the nigiri guess shows stones of its own until the white stones
// are shown). Gomoku stones are on the board only, never in the record, and
// stay there when the mode changes back, and a stone correction drops its
// stone without a capture test: after either the replay check waits until the board shows the
// record again (a rebuild, a clear), counted as "checks waiting". A failure prints the seed, the
// event's index and the events before it; the same seed replays the same events (the handful of
// white stones of 握り（白石表示） is the program's own clock-seeded draw, so it may differ).
//
// Usage: window_soak [--events N] [--seed S] [--verbose]
// Prints events/s, the events by kind, the questions answered and the error
// boxes shown. Exit status 1 on a failure.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <random>
#include <string>

#include "app/application.h"
#include "app/asker.h"
#include "app/form2.h"

namespace kirobaku {
namespace {

class RandomAsker : public Asker {
 public:
  explicit RandomAsker(std::mt19937& rng) : rng_(rng) {}
  bool YesNo(const QString& q) override { return Answer(q); }
  bool YesCancel(const QString& q) override { return Answer(q); }
  void Inform(const QString&) override { ++informed; }
  void Error(const QString& text) override { errors[text.toStdString()] += 1; }

  long questions = 0, yes = 0, informed = 0;
  std::map<std::string, long> errors;

 private:
  bool Answer(const QString&) {
    ++questions;
    const bool a = rng_() % 100 < 60;
    yes += a;
    return a;
  }
  std::mt19937& rng_;
};

class Storm {
 public:
  Storm(unsigned seed, bool verbose) : rng_(seed), asker_(rng_), verbose_(verbose) {
    static_cast<KirobakuApplication*>(QCoreApplication::instance())->SetErrorAsker(&asker_);
    form_ = std::make_unique<TForm2>(QStringLiteral(KIROBAKU_BIN_DIR "/"), asker_);
    form_->SetPrintFile(scratch_.filePath(QStringLiteral("figure.pdf")));
    form_->show();
    for (PointIndex p = 1; p <= kPointCount; ++p) {
      images_[p] = form_->findChild<QLabel*>(QStringLiteral("Image%1").arg(p));
      labels_[p] = form_->findChild<QLabel*>(QStringLiteral("Label%1").arg(p));
    }
    edit1_ = form_->findChild<QLineEdit*>(QStringLiteral("Edit1"));
    edit2_ = form_->findChild<QLineEdit*>(QStringLiteral("Edit2"));
  }
  ~Storm() {
    static_cast<KirobakuApplication*>(QCoreApplication::instance())->SetErrorAsker(nullptr);
  }

  // Runs one event and the checks after it; false on a failure.
  bool Step(long index) {
    const bool gomoku = Game().Mode == kModeGomoku;
    const bool moving = Game().MovingEntry != 0;
    const std::string what = RandomEvent();
    if ((gomoku || (moving && what.find(" button 2 modifiers 33554432") != std::string::npos)) &&
        what.rfind("point", 0) == 0) {
      offRecord_ = true;
    }
    recent_.push_back(std::to_string(index) + ": " + what);
    if (recent_.size() > 25) recent_.pop_front();
    if (verbose_) std::printf("%ld %s\n", index, what.c_str());
    QCoreApplication::processEvents();
    if (!form_->isVisible()) {  // 終了 answered Yes: the window comes back
      ++reopened_;
      form_->show();
    }
    const std::string failure = Check();
    if (failure.empty()) {
      if (ShowsRecord()) offRecord_ = false;
      return true;
    }
    if (offRecord_) {
      ++waiting_;
      return true;
    }
    std::printf("FAILURE after event %ld: %s\nlast events:\n", index, failure.c_str());
    for (const std::string& e : recent_)
      std::printf("  %s\n", e.c_str());
    return false;
  }

  void PrintFigures(long events, double seconds) const {
    std::printf("events: %ld in %.1f s, %.0f events/s\n", events, seconds, events / seconds);
    for (const auto& [kind, n] : kinds_)
      std::printf("  %-26s %8ld\n", kind.c_str(), n);
    std::printf("questions answered: %ld (%ld Yes), information boxes: %ld, window reopened: %ld\n",
                asker_.questions, asker_.yes, asker_.informed, reopened_);
    std::printf("checks waiting after gomoku or a stone correction: %ld\n", waiting_);
    std::printf("error boxes: %ld kinds\n", static_cast<long>(asker_.errors.size()));
    for (const auto& [text, n] : asker_.errors)
      std::printf("  %6ld x %s\n", n, text.c_str());
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  void Count(const std::string& kind) { kinds_[kind] += 1; }
  GameState& Game() { return form_->Game(); }

  std::string RandomEvent() {
    const int r = Pick(100);
    if (r < 45) return PressPoint();
    if (r < 63) return ClickButton();
    if (r < 70) return ClickRadio();
    if (r < 80) return PressKey();
    if (r < 94) return RunMenu();
    return MoveTrackBar();
  }

  std::string PressPoint() {
    // Points near the corners and stones already played come up often, so
    // captures, kos and retakes happen.
    PointIndex p = 1 + Pick(kPointCount);
    if (Pick(3) == 0 && Game().Position > 0) {
      const PointIndex near = Game().MoveRecord[1 + Pick(Game().Position)].point;
      if (IsPoint(near)) p = near;
    } else if (Pick(3) == 0) {
      p = Pick(4) * kBoardSize + 1 + Pick(4);
    }
    const Qt::MouseButton buttons[] = {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton};
    const Qt::MouseButton button = buttons[Pick(10) < 7 ? 0 : 1 + Pick(2)];
    Qt::KeyboardModifiers mods = Qt::NoModifier;
    if (Pick(4) == 0) {
      if (Pick(2)) mods |= Qt::ShiftModifier;
      if (Pick(3) == 0) mods |= Qt::ControlModifier;
      if (Pick(3) == 0) mods |= Qt::AltModifier;
    }
    const bool twice = Pick(12) == 0;
    const QPoint at(2 + Pick(16), 2 + Pick(8));
    if (twice) {
      QTest::mouseDClick(labels_[p], button, mods, at);
    } else {
      QTest::mousePress(labels_[p], button, mods, at);
      QTest::mouseRelease(labels_[p], button, mods, at);
    }
    Count(twice ? "double click on a point" : "press on a point");
    return "point " + std::to_string(p) + " button " + std::to_string(button) + " modifiers " +
           std::to_string(mods.toInt()) + (twice ? " double" : "");
  }

  std::string ClickButton() {
    static const char* names[] = {"Button1", "Button2", "Button3",  "Button4", "Button5",
                                  "Button6", "Button8", "Button10", "Button11"};
    const char* name = names[Pick(9)];
    auto* b = form_->findChild<QPushButton*>(QString::fromLatin1(name));
    if (b == nullptr || !b->isVisible()) {
      Count("hidden button");
      return std::string(name) + " (hidden)";
    }
    QTest::mouseClick(b, Qt::LeftButton);
    Count("command button");
    return name;
  }

  std::string ClickRadio() {
    const std::string name = "RadioButton" + std::to_string(1 + Pick(4));
    auto* b = form_->findChild<QRadioButton*>(QString::fromStdString(name));
    if (b == nullptr || !b->isVisible()) {
      Count("hidden mode button");
      return name + " (hidden)";
    }
    QTest::mouseClick(b, Qt::LeftButton);
    Count("mode button");
    return name;
  }

  std::string PressKey() {
    const Qt::Key keys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Home, Qt::Key_End, Qt::Key_A};
    const Qt::Key key = keys[Pick(10) < 6 ? Pick(2) : Pick(5)];
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr) target = form_.get();
    QTest::keyClick(target, key);
    Count("key");
    return "key " + std::to_string(key) + " to " + target->objectName().toStdString();
  }

  std::string RunMenu() {
    // Printing writes a PDF and help opens a window: rarer than the rest.
    static const char* common[] = {"PRJunbi", "PRCancel", "NGBlack", "NGWhite", "JKeisan",
                                   "CLBack",  "VInfo",    "APEnd",   "UKSave",  "UKLoad"};
    static const char* rare[] = {"Insatsu", "ALLHelp", "KFShori"};
    const char* name = Pick(40) == 0 ? rare[Pick(3)] : common[Pick(10)];
    auto* action = form_->findChild<QAction*>(QString::fromLatin1(name));
    if (action == nullptr) return std::string(name) + " (missing)";
    if (std::string(name) == "KFShori") {
      // The game-record window is modal: it is closed as soon as it shows.
      auto* poll = new QTimer(form_.get());
      QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
          modal->close();
          poll->deleteLater();
        }
      });
      poll->start(5);
    }
    // Through the event loop, as a menu click runs it, so that errors reach
    // the application's error handler.
    QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    QCoreApplication::processEvents();
    Count(std::string("menu ") + name);
    return std::string("menu ") + name;
  }

  std::string MoveTrackBar() {
    auto* slider = form_->findChild<QSlider*>(QStringLiteral("TrackBar1"));
    if (slider == nullptr || !slider->isVisible()) {
      Count("hidden track bar");
      return "track bar (hidden)";
    }
    const int v = slider->minimum() + Pick(slider->maximum() - slider->minimum() + 1);
    slider->setValue(v);
    Count("track bar");
    return "track bar " + std::to_string(v);
  }

  // The colour a stone image shows, from its centre pixel; decoded once per
  // distinct picture.
  StoneColour ShownColour(PointIndex p) {
    const QPixmap pixmap = images_[p]->pixmap();
    if (pixmap.isNull()) return kEmpty;
    auto [it, added] = pictureColour_.try_emplace(pixmap.cacheKey(), kEmpty);
    if (added) {
      const QImage image = pixmap.toImage();
      it->second =
          qGray(image.pixel(image.width() / 2, image.height() / 2)) < 128 ? kBlack : kWhite;
    }
    return it->second;
  }

  // Whether the board is meant to show the record (the nigiri guess shows
  // stones of its own).
  bool ShowsRecord() {
    const GameState& g = Game();
    return (g.Mode == kModeGame || g.Mode == kModeFree) && g.MovingEntry == 0 && g.YoseState == 0 &&
           !g.FigureShown && g.DeadState == 0 && g.NigiriGuess == 0;
  }

  std::string Check() {
    GameState& g = Game();
    try {
      g.CheckConsistency();
    } catch (const std::exception& e) {
      return e.what();
    }
    if (!ShowsRecord()) return "";
    for (PointIndex p = 1; p <= kPointCount; ++p) {
      if (ShownColour(p) != g.Board[p]) {
        return "image of point " + std::to_string(p) + " shows " + std::to_string(ShownColour(p)) +
               ", the board holds " + std::to_string(g.Board[p]);
      }
    }
    if (edit1_->text() != QString::number(g.CapturedWhite) ||
        edit2_->text() != QString::number(g.CapturedBlack)) {
      return "the counters show " + edit1_->text().toStdString() + " / " +
             edit2_->text().toStdString() + ", the state holds " + std::to_string(g.CapturedWhite) +
             " / " + std::to_string(g.CapturedBlack);
    }
    return "";
  }

  std::mt19937 rng_;
  RandomAsker asker_;
  bool verbose_;
  QTemporaryDir scratch_;
  std::unique_ptr<TForm2> form_;
  std::array<QLabel*, kPointCount + 1> images_{};
  std::array<QLabel*, kPointCount + 1> labels_{};
  QLineEdit* edit1_ = nullptr;
  QLineEdit* edit2_ = nullptr;
  std::map<qint64, StoneColour> pictureColour_;
  std::map<std::string, long> kinds_;
  std::deque<std::string> recent_;
  long reopened_ = 0;
  bool offRecord_ = false;  // gomoku stones may be on the board
  long waiting_ = 0;
};

}  // namespace
}  // namespace kirobaku

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  long events = 100000;
  unsigned seed = static_cast<unsigned>(std::random_device{}());
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--events" && i + 1 < argc) {
      events = std::atol(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: window_soak [--events N] [--seed S] [--verbose]\n");
      return 2;
    }
  }
  kirobaku::KirobakuApplication app(argc, argv);
  // The game-record window keeps its database in the current directory.
  QTemporaryDir work;
  QDir::setCurrent(work.path());
  std::printf("window soak: %ld events, seed %u\n", events, seed);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  long done = 0;
  bool ok = true;
  {
    kirobaku::Storm storm(seed, verbose);
    for (; done < events && ok; ++done) {
      ok = storm.Step(done);
      if (!ok) std::printf("reproduce with: window_soak --seed %u --events %ld\n", seed, done + 1);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    storm.PrintFigures(done, seconds);
  }
  std::printf("%s\n", ok ? "no failure" : "FAILED");
  return ok ? 0 : 1;
}
