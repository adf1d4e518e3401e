// The one way the program asks the user something or tells them something in a
// box. Production shows QMessageBoxes; tests answer from a script.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

namespace kirobaku {

class Asker {
 public:
  virtual ~Asker() = default;
  // A confirmation box with Yes and No; true for Yes.
  virtual bool YesNo(const QString& question) = 0;
  // A confirmation box with Yes and Cancel; true unless Cancel.
  virtual bool YesCancel(const QString& question) = 0;
  // An information box with one OK button.
  virtual void Inform(const QString& text) = 0;
  // The box of the application's default error handler.
  virtual void Error(const QString& text) = 0;
};

// Names the Yes, No, Cancel and OK buttons of a box はい, いいえ, キャンセル and OK.
void NameBoxButtons(QMessageBox& box);

// Message boxes captioned with the application title "Kirobaku"; "\r\n" in a
// text is a line break.
class MessageBoxAsker : public Asker {
 public:
  explicit MessageBoxAsker(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  bool YesNo(const QString& question) override;
  bool YesCancel(const QString& question) override;
  void Inform(const QString& text) override;
  void Error(const QString& text) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace kirobaku
