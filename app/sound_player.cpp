#include "app/sound_player.h"

#include <QFileInfo>
#include <QUrl>
#include <stdexcept>

namespace kirobaku {

void SoundPlayer::Play(const QString& path) {
  if (!QFileInfo(path).isFile()) {
    throw std::runtime_error("音声ファイル「" + path.toStdString() + "」が見つかりません。");
  }
  const QUrl source = QUrl::fromLocalFile(path);
  if (effect_.source() != source) effect_.setSource(source);
  effect_.play();
}

}  // namespace kirobaku
