#include "app/asker.h"

#include <QMessageBox>

namespace kirobaku {

namespace {

const QString kTitle = QStringLiteral("Kirobaku");

QString BoxText(QString text) {
  return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

bool MessageBoxAsker::YesNo(const QString& question) {
  return QMessageBox::question(parent_, kTitle, BoxText(question),
                               QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::Yes) == QMessageBox::Yes;
}

bool MessageBoxAsker::YesCancel(const QString& question) {
  return QMessageBox::question(parent_, kTitle, BoxText(question),
                               QMessageBox::Yes | QMessageBox::Cancel,
                               QMessageBox::Yes) != QMessageBox::Cancel;
}

void MessageBoxAsker::Inform(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, kTitle, BoxText(text), QMessageBox::Ok, parent_);
  box.exec();
}

void MessageBoxAsker::Error(const QString& text) {
  QMessageBox::critical(parent_, kTitle, BoxText(text), QMessageBox::Ok);
}

}  // namespace kirobaku
