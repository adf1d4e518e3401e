// Prints an image of a window: one page, the image at the paper's top-left
// corner, one window pixel to 1/96 inch.
#pragma once

#include <QPixmap>
#include <QPrinter>
#include <QRect>
#include <QString>
#include <QWidget>
#include <memory>

namespace kirobaku {

// The default printer, or a PDF file when pdfFile is not empty. Throws
// std::runtime_error when no printer is installed.
std::unique_ptr<QPrinter> OpenPrinter(const QString& pdfFile);

// Prints the part `area` of the window (in its own coordinates).
void PrintWindowImage(QWidget& window, const QRect& area, QPrinter& printer);

// Prints an image made of a window, one pixel to 1/96 inch.
void PrintImage(const QPixmap& image, QPrinter& printer);

}  // namespace kirobaku
