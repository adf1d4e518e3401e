#include "tests/storage/blob/blob_format_reader.h"

#include <fstream>
#include <iterator>
#include <set>

namespace kura::test {
namespace {

constexpr std::size_t kHeader = 512;
constexpr std::size_t kBlockHeader = 18;

std::uint32_t U32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The rolling XOR of encrypted tables, written here independently of the engine: seed
// (0x5A, 0xC3); per byte xor low ^ high, then low + 1, high - 1.
void Unscramble(std::uint8_t* p, std::size_t n) {
  std::uint8_t low = 0x5A, high = 0xC3;
  for (std::size_t i = 0; i < n; ++i) {
    p[i] ^= static_cast<std::uint8_t>(low ^ high);
    ++low;
    --high;
  }
}

}  // namespace

const std::uint8_t* BlobImage::Data(std::int32_t n) const {
  return bytes.data() + kHeader + static_cast<std::size_t>(n - 1) * block_size + kBlockHeader;
}
std::int32_t BlobImage::Previous(std::int32_t n) const {
  return static_cast<std::int32_t>(U32(Data(n) - kBlockHeader));
}
std::int32_t BlobImage::Next(std::int32_t n) const {
  return static_cast<std::int32_t>(U32(Data(n) - kBlockHeader + 4));
}
int BlobImage::Used(std::int32_t n) const {
  const std::uint8_t* p = Data(n) - kBlockHeader + 8;
  return p[0] | (p[1] << 8);
}
std::int32_t BlobImage::Stamp(std::int32_t n) const {
  return static_cast<std::int32_t>(U32(Data(n) - kBlockHeader + 10));
}
std::int32_t BlobImage::TotalLength(std::int32_t n) const {
  return static_cast<std::int32_t>(U32(Data(n) - kBlockHeader + 14));
}

BlobImage ReadBlobImage(const std::string& path, int block_size, bool encrypted,
                        std::vector<std::string>& problems) {
  BlobImage image;
  image.block_size = block_size == 0 ? 512 : block_size;
  std::ifstream in(path, std::ios::binary);
  image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (image.bytes.size() < kHeader) {
    problems.push_back("file shorter than its header");
    image.bytes.resize(kHeader);
    return image;
  }
  if (encrypted) Unscramble(image.bytes.data(), kHeader);
  const std::uint8_t* h = image.bytes.data();
  image.change_counter = static_cast<std::int32_t>(U32(h));
  image.version = h[8];
  image.free_head = static_cast<std::int32_t>(U32(h + 9));
  image.next_block = static_cast<std::int32_t>(U32(h + 13));
  if (image.version != 5) problems.push_back("version is not 5");
  if (U32(h + 4) != 0) problems.push_back("reserved header bytes 4..7 not zero");
  for (std::size_t i = 18; i < kHeader; ++i)
    if (h[i] != 0) {
      problems.push_back("reserved header bytes 18..511 not zero");
      break;
    }
  const std::size_t needed =
      kHeader + static_cast<std::size_t>(std::max(0, image.next_block - 1)) * image.block_size;
  if (image.next_block < 1 || image.bytes.size() < needed) {
    problems.push_back("file too short for " + std::to_string(image.next_block - 1) + " blocks");
    image.next_block = 1 + static_cast<std::int32_t>((image.bytes.size() - kHeader) /
                                                     static_cast<std::size_t>(image.block_size));
  }
  if (encrypted) {
    for (std::int32_t n = 1; n < image.next_block; ++n) {
      std::uint8_t* b =
          image.bytes.data() + kHeader + static_cast<std::size_t>(n - 1) * image.block_size;
      Unscramble(b, kBlockHeader);
      Unscramble(b + kBlockHeader, image.block_size - kBlockHeader);
    }
  }
  return image;
}

ChainRead ReadChain(const BlobImage& image, std::int32_t first, std::int32_t stamp) {
  ChainRead r;
  if (first == 0) return r;
  const int ds = image.block_size - static_cast<int>(kBlockHeader);
  const std::int32_t count = image.BlockCount();
  if (first < 1 || first > count) {
    r.problem = "first block out of range";
    return r;
  }
  const std::int64_t length = image.TotalLength(first);
  if (length < 0 || length > static_cast<std::int64_t>(count) * ds) {
    r.problem = "impossible length";
    return r;
  }
  std::int64_t remaining = length;
  std::set<std::int32_t> seen;
  std::int32_t previous = 0;
  for (std::int32_t n = first;;) {
    if (n < 1 || n > count) {
      r.problem = "link out of range";
      return r;
    }
    if (!seen.insert(n).second) {
      r.problem = "cycle";
      return r;
    }
    if (image.Stamp(n) != stamp) {
      r.problem = "stamp mismatch at block " + std::to_string(n);
      return r;
    }
    if (image.Previous(n) != previous) r.problem = "bad back link";
    if (n != first && image.TotalLength(n) != 0) r.problem = "length in a later block";
    const int piece = static_cast<int>(std::min<std::int64_t>(ds, remaining));
    if (image.Used(n) != piece) r.problem = "used bytes wrong";
    r.value.insert(r.value.end(), image.Data(n), image.Data(n) + piece);
    r.blocks.push_back(n);
    remaining -= piece;
    if (remaining == 0) {
      if (image.Next(n) != 0) r.problem = "last block has a next link";
      return r;
    }
    previous = n;
    n = image.Next(n);
    if (n == 0) {
      r.problem = "chain ends early";
      return r;
    }
  }
}

std::vector<std::string> CheckBlobFile(
    const BlobImage& image, const std::vector<std::pair<std::int32_t, std::int32_t>>& refs,
    int* unowned) {
  std::vector<std::string> problems;
  std::map<std::int32_t, std::string> owner;
  auto claim = [&](std::int32_t n, const std::string& who) {
    auto [it, fresh] = owner.emplace(n, who);
    if (!fresh)
      problems.push_back("block " + std::to_string(n) + " in " + it->second + " and " + who);
  };
  for (const auto& [first, stamp] : refs) {
    const ChainRead r = ReadChain(image, first, stamp);
    const std::string who = "chain " + std::to_string(first);
    if (!r.problem.empty()) problems.push_back(who + ": " + r.problem);
    for (std::int32_t n : r.blocks)
      claim(n, who);
  }
  const std::int32_t count = image.BlockCount();
  std::set<std::int32_t> seen;
  for (std::int32_t n = image.free_head; n != 0; n = image.Next(n)) {
    if (n < 1 || n > count || !seen.insert(n).second) {
      problems.push_back("free chain broken at " + std::to_string(n));
      break;
    }
    claim(n, "free chain");
  }
  if (unowned) *unowned = count - static_cast<int>(owner.size());
  return problems;
}

}  // namespace kura::test
