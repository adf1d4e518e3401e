// The application object: title "Kirobaku", and the default error handler. An
// exception that escapes an event handler is caught once, where Qt dispatches
// the event, its message is shown, and the program goes on; nothing is rolled
// back.
#pragma once

#include <QApplication>
#include <QTranslator>

#include "app/asker.h"

namespace kirobaku {

class KirobakuApplication : public QApplication {
 public:
  KirobakuApplication(int& argc, char** argv);

  // Where errors are shown; without one they go to a message box.
  void SetErrorAsker(Asker* asker) { errorAsker_ = asker; }
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  void ShowError(const QString& message);

  Asker* errorAsker_ = nullptr;
  QTranslator translator_;
};

}  // namespace kirobaku
