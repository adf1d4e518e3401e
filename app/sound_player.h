// Plays the program's WAV files asynchronously. A missing file is an error; a
// machine without an audio device plays nothing and raises nothing.
#pragma once

#include <QObject>
#include <QSoundEffect>
#include <QString>

namespace kirobaku {

class SoundPlayer {
 public:
  explicit SoundPlayer(QObject* parent) : effect_(parent) {}
  // Starts playing the file at path without waiting for its end.
  void Play(const QString& path);

 private:
  QSoundEffect effect_;
};

}  // namespace kirobaku
