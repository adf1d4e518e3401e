// The help window: shows the program's HTML help file from its beginning, the
// contents page.
#pragma once

#include <QString>
#include <QTextBrowser>
#include <QWidget>

namespace kirobaku {

class HelpWindow : public QWidget {
 public:
  explicit HelpWindow(QWidget* parent);
  // Reads the file and shows its contents page; throws std::runtime_error when
  // the file cannot be read.
  void ShowContents(const QString& helpFile);

 private:
  QTextBrowser* browser_;
};

}  // namespace kirobaku
