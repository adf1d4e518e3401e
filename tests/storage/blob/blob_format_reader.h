// An independent reader of BLOB files, written from the file layout alone (it
// shares no code with the engine's BLOB classes): it decodes the header and
// the blocks byte by byte, follows value chains by their length and the free
// chain by its links, and reports every deviation from the format.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kura::test {

struct BlobImage {
  int block_size = 512;
  std::int32_t change_counter = 0;
  int version = 0;
  std::int32_t free_head = 0;
  std::int32_t next_block = 0;
  std::vector<std::uint8_t> bytes;  // the whole file, unscrambled

  std::int32_t BlockCount() const { return next_block - 1; }
  // Block header fields of block n (1-based).
  std::int32_t Previous(std::int32_t n) const;
  std::int32_t Next(std::int32_t n) const;
  int Used(std::int32_t n) const;
  std::int32_t Stamp(std::int32_t n) const;
  std::int32_t TotalLength(std::int32_t n) const;
  const std::uint8_t* Data(std::int32_t n) const;
};

// Reads the file; `problems` receives what is wrong with the header or size.
BlobImage ReadBlobImage(const std::string& path, int block_size, bool encrypted,
                        std::vector<std::string>& problems);

struct ChainRead {
  std::vector<std::uint8_t> value;
  std::vector<std::int32_t> blocks;
  std::string problem;  // empty when the chain is well formed
};

// Follows the chain of a value (first block, stamp) by its length.
ChainRead ReadChain(const BlobImage& image, std::int32_t first, std::int32_t stamp);

// Checks every chain and the free chain together: each block belongs to at
// most one of them. Returns the problems found (empty when sound) and the
// number of blocks that belong to none in `unowned`.
std::vector<std::string> CheckBlobFile(
    const BlobImage& image, const std::vector<std::pair<std::int32_t, std::int32_t>>& refs,
    int* unowned);

}  // namespace kura::test
