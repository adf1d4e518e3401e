#include "app/asker.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <utility>

namespace kirobaku {

namespace {

const QString kTitle = QStringLiteral("Kirobaku");

QString BoxText(QString text) {
  return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// A box captioned "Kirobaku" whose buttons are named as Japanese dialogs
// name them, whatever translations the toolkit has loaded.
QMessageBox::StandardButton Show(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                 QMessageBox::StandardButtons buttons,
                                 QMessageBox::StandardButton preferred) {
  QMessageBox box(icon, kTitle, BoxText(text), buttons, parent);
  box.setDefaultButton(preferred);
  NameBoxButtons(box);
  box.exec();
  return box.standardButton(box.clickedButton());
}

}  // namespace

void NameBoxButtons(QMessageBox& box) {
  static const std::pair<QMessageBox::StandardButton, const char*> kNames[] = {
      {QMessageBox::Yes, "はい"},
      {QMessageBox::No, "いいえ"},
      {QMessageBox::Cancel, "キャンセル"},
      {QMessageBox::Ok, "OK"},
  };
  for (const auto& [which, name] : kNames) {
    if (QAbstractButton* button = box.button(which)) button->setText(QString::fromUtf8(name));
  }
}

bool MessageBoxAsker::YesNo(const QString& question) {
  return Show(parent_, QMessageBox::Question, question, QMessageBox::Yes | QMessageBox::No,
              QMessageBox::Yes) == QMessageBox::Yes;
}

bool MessageBoxAsker::YesCancel(const QString& question) {
  return Show(parent_, QMessageBox::Question, question, QMessageBox::Yes | QMessageBox::Cancel,
              QMessageBox::Yes) != QMessageBox::Cancel;
}

void MessageBoxAsker::Inform(const QString& text) {
  Show(parent_, QMessageBox::NoIcon, text, QMessageBox::Ok, QMessageBox::Ok);
}

void MessageBoxAsker::Error(const QString& text) {
  Show(parent_, QMessageBox::Critical, text, QMessageBox::Ok, QMessageBox::Ok);
}

}  // namespace kirobaku
