#include "records/ui/form3.h"

#include <QMenuBar>
#include <QVBoxLayout>

namespace kirobaku {

TForm3::TForm3(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("TForm3"));
  setWindowTitle(QStringLiteral("棋譜処理"));
  setModal(true);
  setFixedSize(724, 567);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(240, 240, 255));
  setPalette(colours);
  setAutoFillBackground(true);
  auto* menu = new QMenuBar(this);
  QAction* back = menu->addAction(QStringLiteral("碁盤に戻る"));
  back->setObjectName(QStringLiteral("N1"));
  connect(back, &QAction::triggered, this, &TForm3::N1Click);
  auto* layout = new QVBoxLayout(this);
  layout->setMenuBar(menu);
  layout->addStretch();
}

}  // namespace kirobaku
