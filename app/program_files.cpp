#include "app/program_files.h"

#include <QFileInfo>
#include <filesystem>
#include <stdexcept>

namespace kirobaku {

QString ExecutableDir() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return QStringLiteral("./");
  return QString::fromStdString(exe.parent_path().string()) + QLatin1Char('/');
}

QImage LoadTransparentBitmap(const QString& path) {
  QImage image(path);
  if (image.isNull()) {
    throw std::runtime_error("画像ファイル「" + path.toStdString() + "」を読み込めません。");
  }
  image = image.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = image.pixel(0, image.height() - 1);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (line[x] == key) line[x] = 0;
    }
  }
  return image;
}

}  // namespace kirobaku
