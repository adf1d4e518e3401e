#include "app/application.h"

#include <exception>

namespace kirobaku {

KirobakuApplication::KirobakuApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Kirobaku"));
  setApplicationDisplayName(QStringLiteral("Kirobaku"));
}

bool KirobakuApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowError(QStringLiteral("不明なエラーが発生しました。"));
  }
  return false;
}

void KirobakuApplication::ShowError(const QString& message) {
  if (errorAsker_ != nullptr) {
    errorAsker_->Error(message);
  } else {
    MessageBoxAsker(activeWindow()).Error(message);
  }
}

}  // namespace kirobaku
