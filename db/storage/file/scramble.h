// The scrambling routine of encrypted tables: a rolling XOR with a 16-bit
// state seeded from a key pair. For each byte
//   byte ^= state.low ^ state.high; state.low += 1; state.high -= 1 (mod 256).
// Scrambling with the same key undoes itself. Each unit (record, descriptor
// area, page, block, header) is scrambled from its own start.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kura {

struct TScrambleKey {
  std::uint8_t low;
  std::uint8_t high;
};

// DO NOT CHANGE: tables written with these keys are readable only with them.
inline constexpr TScrambleKey kRecordKey{0x5A, 0xC3};
inline constexpr TScrambleKey kDescriptionKey{0x3E, 0x97};

void Scramble(std::uint8_t* data, std::size_t n, TScrambleKey key);

// The state the routine has reached `offset` bytes into a unit scrambled with
// `key`: scrambling a slice that starts there with it gives the same bytes as
// scrambling the whole unit, so a few bytes of a unit can be read alone.
constexpr TScrambleKey ScrambleKeyAt(TScrambleKey key, std::size_t offset) {
  return {static_cast<std::uint8_t>(key.low + offset), static_cast<std::uint8_t>(key.high - offset)};
}

}  // namespace kura
