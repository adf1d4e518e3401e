// Makes the picture and sound files of the program in the directory given:
//   stB.bmp, stW.bmp  28 x 28 stones, 24-bit BMP, on the board colour
//                     RGB (254, 231, 182), which transparent drawing leaves out
//                     (the bottom-left pixel names it); edges are antialiased
//                     against that colour so they blend into the board.
//   Oto1.wav          a short click; bubuu.wav a short low buzz.
//                     16-bit PCM, mono, 22050 Hz.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kSize = 28;
constexpr int kSamples = 4;  // subsamples per axis for the antialiased edge
constexpr double kRadius = 13.3;
constexpr double kBackground[3] = {254, 231, 182};
constexpr int kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

// The stone's own colour at (x, y) relative to its centre: a light from the
// upper left gives black a soft sheen and white a shaded lower right.
void StoneColour(bool black, double x, double y, double rgb[3]) {
  const double d = std::hypot(x + 4.5, y + 4.5) / (2 * kRadius);  // 0 near the light
  double v;
  if (black) {
    v = 95 * std::max(0.0, 1 - d * 2.2) + 18;
  } else {
    v = 255 - 70 * std::pow(std::min(1.0, d * 1.15), 2.0);
  }
  const double edge = std::hypot(x, y) > kRadius - 1.0 ? (black ? 0 : -40) : 0;
  for (int c = 0; c < 3; ++c)
    rgb[c] = std::clamp(v + edge, 0.0, 255.0);
}

std::vector<std::uint8_t> Stone(bool black) {
  const std::uint32_t rowBytes = kSize * 3;  // 84: already a multiple of 4
  const std::uint32_t pixelBytes = rowBytes * kSize;
  std::vector<std::uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, 54 + pixelBytes);
  Put32(out, 0);
  Put32(out, 54);
  Put32(out, 40);
  Put32(out, kSize);
  Put32(out, kSize);  // positive height: rows bottom-up
  Put16(out, 1);
  Put16(out, 24);
  Put32(out, 0);
  Put32(out, pixelBytes);
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, 0);
  Put32(out, 0);
  const double centre = kSize / 2.0;
  for (int row = kSize - 1; row >= 0; --row) {
    for (int column = 0; column < kSize; ++column) {
      double sum[3] = {0, 0, 0};
      int inside = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = column + (sx + 0.5) / kSamples - centre;
          const double y = row + (sy + 0.5) / kSamples - centre;
          double rgb[3];
          if (std::hypot(x, y) <= kRadius) {
            StoneColour(black, x, y, rgb);
            ++inside;
          } else {
            std::copy(kBackground, kBackground + 3, rgb);
          }
          for (int c = 0; c < 3; ++c)
            sum[c] += rgb[c];
        }
      }
      std::uint8_t pixel[3];
      for (int c = 0; c < 3; ++c) {
        pixel[c] = inside == 0
                       ? static_cast<std::uint8_t>(kBackground[c])
                       : static_cast<std::uint8_t>(std::lround(sum[c] / (kSamples * kSamples)));
      }
      // Partly covered pixels must never equal the left-out colour.
      if (inside > 0 && pixel[0] == 254 && pixel[1] == 231 && pixel[2] == 182) pixel[2] = 181;
      out.push_back(pixel[2]);  // BMP stores blue, green, red
      out.push_back(pixel[1]);
      out.push_back(pixel[0]);
    }
  }
  return out;
}

std::vector<std::uint8_t> Wave(const std::vector<double>& samples) {
  std::vector<std::uint8_t> out;
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  for (char c : std::string("RIFF"))
    out.push_back(c);
  Put32(out, 36 + dataBytes);
  for (char c : std::string("WAVEfmt "))
    out.push_back(c);
  Put32(out, 16);
  Put16(out, 1);  // PCM
  Put16(out, 1);  // mono
  Put32(out, kRate);
  Put32(out, kRate * 2);
  Put16(out, 2);
  Put16(out, 16);
  for (char c : std::string("data"))
    out.push_back(c);
  Put32(out, dataBytes);
  for (double s : samples) {
    const auto v = static_cast<std::int16_t>(std::lround(std::clamp(s, -1.0, 1.0) * 32000));
    Put16(out, static_cast<std::uint16_t>(v));
  }
  return out;
}

// A stone set on wood: a sharp attack and a fast-decaying knock.
std::vector<double> Click() {
  std::vector<double> s(kRate * 40 / 1000);
  std::uint32_t noise = 12345;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    noise = noise * 1103515245u + 12345u;
    const double n = ((noise >> 16) & 0x7FFF) / 16384.0 - 1.0;
    s[i] = std::exp(-t * 180) * (0.6 * std::sin(2 * kPi * 1800 * t) + 0.3 * n) +
           std::exp(-t * 90) * 0.3 * std::sin(2 * kPi * 700 * t);
  }
  return s;
}

// A low, rough buzz of about a third of a second.
std::vector<double> Buzz() {
  std::vector<double> s(kRate * 350 / 1000);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double envelope = std::min({1.0, t / 0.01, (0.35 - t) / 0.03});
    double v = 0;
    for (int h = 1; h <= 9; h += 2)
      v += std::sin(2 * kPi * 110 * h * t) / h;
    s[i] = 0.4 * envelope * v;
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kirobaku_make_files DIRECTORY\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  const bool ok = Write(dir + "stB.bmp", Stone(true)) && Write(dir + "stW.bmp", Stone(false)) &&
                  Write(dir + "Oto1.wav", Wave(Click())) && Write(dir + "bubuu.wav", Wave(Buzz()));
  if (!ok) {
    std::fprintf(stderr, "kirobaku_make_files: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
