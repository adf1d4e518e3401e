// The files the program reads from its own directory, and that directory.
#pragma once

#include <QImage>
#include <QString>

namespace kirobaku {

inline const char* const kBlackStoneFile = "stB.bmp";
inline const char* const kWhiteStoneFile = "stW.bmp";
inline const char* const kClickSoundFile = "Oto1.wav";
inline const char* const kRefusalSoundFile = "bubuu.wav";
inline const char* const kHelpFile = "Kirobaku.hlp";

// The directory of the running executable, ending in "/".
QString ExecutableDir();

// Reads a bitmap for transparent drawing: the colour of its bottom-left pixel
// becomes fully transparent. Throws std::runtime_error when it cannot be read.
QImage LoadTransparentBitmap(const QString& path);

}  // namespace kirobaku
