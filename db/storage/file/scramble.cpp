#include "db/storage/file/scramble.h"

namespace kura {

void Scramble(std::uint8_t* data, std::size_t n, TScrambleKey key) {
  std::uint8_t low = key.low, high = key.high;
  for (std::size_t i = 0; i < n; ++i) {
    data[i] = static_cast<std::uint8_t>(data[i] ^ low ^ high);
    ++low;
    --high;
  }
}

}  // namespace kura
