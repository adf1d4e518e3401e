#include "app/application.h"

#include <QLibraryInfo>
#include <QLocale>
#include <exception>

namespace kirobaku {

KirobakuApplication::KirobakuApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Kirobaku"));
  // No display name: the platform would append it to every window title
  // ("Kirobaku ヘルプ — Kirobaku"); each window names the program itself.
  // The toolkit's own texts (edit boxes' context menus, dialogs) in Japanese,
  // when its translations are installed.
  if (translator_.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                       QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    installTranslator(&translator_);
  }
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
