// A real main window driven by its widgets, with the questions answered from a
// script and the boxes recorded.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>

#include "app/application.h"
#include "app/asker.h"
#include "app/form2.h"
#include "support/fake_board_view.h"

namespace kirobaku::test {

class ScriptedAsker : public Asker {
 public:
  std::deque<bool> answers;  // the next answers; Yes when none is left
  QStringList questions;
  QStringList informed;
  QStringList errors;
  std::function<void()> onInform;  // runs while an information box would be shown

  bool YesNo(const QString& question) override { return Answer(question); }
  bool YesCancel(const QString& question) override { return Answer(question); }
  void Inform(const QString& text) override {
    informed << text;
    if (onInform) onInform();
  }
  void Error(const QString& text) override { errors << text; }

 private:
  bool Answer(const QString& question) {
    questions << question;
    if (answers.empty()) return true;
    const bool a = answers.front();
    answers.pop_front();
    return a;
  }
};

class WindowTest : public ::testing::Test {
 protected:
  ScriptedAsker asker;
  QTemporaryDir database;
  std::unique_ptr<TForm2> form;

  void SetUp() override { Open(QStringLiteral(KIROBAKU_BIN_DIR "/")); }
  void TearDown() override {
    Application()->SetErrorAsker(nullptr);
    form.reset();
  }
  void Open(const QString& programDir) {
    form.reset();
    Application()->SetErrorAsker(&asker);
    // Each test keeps its games in a database of its own.
    form = std::make_unique<TForm2>(programDir, asker, nullptr, database.path() + "/kifu");
    form->show();
  }
  static KirobakuApplication* Application() {
    return static_cast<KirobakuApplication*>(QCoreApplication::instance());
  }
  GameState& Game() { return form->Game(); }

  template <typename T = QWidget>
  T* Find(const QString& name) {
    T* w = form->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name.toStdString();
    return w;
  }
  QLabel* Label(PointIndex p) { return Find<QLabel>(QStringLiteral("Label%1").arg(p)); }
  QLabel* Image(PointIndex p) { return Find<QLabel>(QStringLiteral("Image%1").arg(p)); }
  QString Panel(int i) { return Find<QLabel>(QStringLiteral("Panel%1").arg(i))->text(); }
  QString Edit(int i) { return Find<QLineEdit>(QStringLiteral("Edit%1").arg(i))->text(); }

  // A mouse press on the label of p, as the user makes it.
  void Press(PointIndex p, Qt::MouseButton button = Qt::LeftButton,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::mousePress(Label(p), button, modifiers, QPoint(10, 6));
    QTest::mouseRelease(Label(p), button, modifiers, QPoint(10, 6));
  }
  void Press(const char* xy, Qt::MouseButton button = Qt::LeftButton,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    Press(Sgf(xy), button, modifiers);
  }
  void Click(const char* button) {
    QTest::mouseClick(Find<QAbstractButton>(QString::fromLatin1(button)), Qt::LeftButton);
  }
  void Menu(const char* action) { Find<QAction>(QString::fromLatin1(action))->trigger(); }
  // Runs a menu action through the event loop, as a click on the menu does, so
  // that its errors reach the application's error handler.
  void MenuThroughEvents(const char* action) {
    QMetaObject::invokeMethod(Find<QAction>(QString::fromLatin1(action)), &QAction::trigger,
                              Qt::QueuedConnection);
    QCoreApplication::processEvents();
  }
  // The colour of the stone an image shows, from its centre pixel.
  StoneColour ShownColour(PointIndex p) {
    const QPixmap pixmap = Image(p)->pixmap();
    if (pixmap.isNull()) return kEmpty;
    const QImage image = pixmap.toImage();
    return qGray(image.pixel(14, 14)) < 128 ? kBlack : kWhite;
  }
  // The board as the images show it: 'X' black, 'O' white, '.' empty.
  std::string ShownBoard() {
    std::array<StoneColour, kPointCount + 1> shown{};
    for (PointIndex p = 1; p <= kPointCount; ++p)
      shown[p] = ShownColour(p);
    return DrawBoard(shown);
  }
  // The labels that show a caption.
  std::map<PointIndex, QString> Captions() {
    std::map<PointIndex, QString> shown;
    for (PointIndex p = 1; p <= kPointCount; ++p) {
      if (!Label(p)->text().isEmpty()) shown[p] = Label(p)->text();
    }
    return shown;
  }
};

}  // namespace kirobaku::test
