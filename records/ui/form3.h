// The game-record window "棋譜処理", opened modally from the main window's menu.
// For now it holds only its menu item 碁盤に戻る (back to the board).
#pragma once

#include <QDialog>

namespace kirobaku {

class TForm3 : public QDialog {
 public:
  explicit TForm3(QWidget* owner);

  void N1Click() { close(); }
};

}  // namespace kirobaku
