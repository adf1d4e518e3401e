// Kirobaku: a Go board program. Starts the application and its main window.
#include <QDir>

#include "app/application.h"
#include "app/asker.h"
#include "app/form2.h"
#include "app/program_files.h"

int main(int argc, char** argv) {
  kirobaku::KirobakuApplication app(argc, argv);
  const QString programDir = kirobaku::ExecutableDir();
  QDir::setCurrent(programDir);
  kirobaku::MessageBoxAsker asker;
  app.SetErrorAsker(&asker);
  kirobaku::TForm2 form(programDir, asker);
  asker.SetParent(&form);
  form.show();
  const int status = app.exec();
  app.SetErrorAsker(nullptr);
  return status;
}
