#include "records/ui/printing.h"

#include <QPainter>
#include <QPixmap>
#include <QPrinterInfo>
#include <stdexcept>

namespace kirobaku {

namespace {
constexpr double kScreenDpi = 96.0;
}  // namespace

std::unique_ptr<QPrinter> OpenPrinter(const QString& pdfFile) {
  std::unique_ptr<QPrinter> printer;
  if (!pdfFile.isEmpty()) {
    printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(pdfFile);
  } else {
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) throw std::runtime_error("プリンタがインストールされていません。");
    printer = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
  }
  printer->setFullPage(true);
  printer->setDocName(QStringLiteral("Kirobaku"));
  return printer;
}

void PrintWindowImage(QWidget& window, const QRect& area, QPrinter& printer) {
  PrintImage(window.grab(area), printer);
}

void PrintImage(const QPixmap& image, QPrinter& printer) {
  QPainter painter;
  if (!painter.begin(&printer)) throw std::runtime_error("印刷を開始できません。");
  painter.scale(printer.logicalDpiX() / kScreenDpi, printer.logicalDpiY() / kScreenDpi);
  painter.drawPixmap(0, 0, image);
  if (!painter.end()) throw std::runtime_error("印刷できませんでした。");
}

}  // namespace kirobaku
