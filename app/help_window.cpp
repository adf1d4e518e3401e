#include "app/help_window.h"

#include <QFile>
#include <QVBoxLayout>
#include <stdexcept>

namespace kirobaku {

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("HelpWindow"));
  setWindowTitle(QStringLiteral("Kirobaku ヘルプ"));
  resize(560, 600);
  browser_ = new QTextBrowser(this);
  browser_->setObjectName(QStringLiteral("HelpBrowser"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(browser_);
}

void HelpWindow::ShowContents(const QString& helpFile) {
  QFile file(helpFile);
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error("ヘルプファイル「" + helpFile.toStdString() + "」を開けません。");
  }
  browser_->setHtml(QString::fromUtf8(file.readAll()));
  browser_->moveCursor(QTextCursor::Start);
  show();
  raise();
  activateWindow();
}

}  // namespace kirobaku
