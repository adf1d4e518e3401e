// An independent reader of index files, written from the file layout alone
// (it shares no code with the engine's page or tree classes): it decodes the
// header page and every B-tree page byte by byte and reports every deviation
// from the format and the tree invariants.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kura::test {

// One 4096-byte page image by number (1..page count); null when unreadable.
using PageSource = std::function<const std::uint8_t*(std::int32_t)>;
// Key order: negative, zero or positive.
using KeyOrder = std::function<int(const std::uint8_t*, const std::uint8_t*, int)>;

struct IndexShape {
  int key_size = 0;
  bool unique = true;
  int compression = 0;
  bool with_counts = true;
  std::int32_t root = 0;
  std::int32_t free_head = 0;
};

struct ReadKey {
  std::vector<std::uint8_t> key;
  std::int32_t record;
};

struct IndexReport {
  std::vector<std::string> problems;
  std::vector<ReadKey> keys;  // in tree order
  int depth = 0;
  int pages = 0;
  int free_pages = 0;
};

// Reads one index. `claimed` collects the pages of every index read so far:
// a page claimed twice (by two trees, or by a tree and a free chain) is
// reported. `order` null means unsigned byte order.
IndexReport ReadIndex(const PageSource& pages, std::int32_t page_count, const IndexShape& shape,
                      const KeyOrder& order, std::set<std::int32_t>& claimed);

// The 120-byte descriptor and the header page of an index file.
struct HeaderDescriptor {
  std::string name;
  int key_size = 0;
  bool descending = false;
  bool case_insensitive = false;
  bool unique = false;
  int compression = 0;
  int field_count = 0;
  std::vector<int> field_descending;
  std::vector<int> fields;
  std::int32_t root = 0;
  std::int32_t free_head = 0;
  bool temporary = false;
};
struct HeaderImage {
  std::int32_t change_counter = 0;
  int version = 0;
  std::int32_t next_page = 0;
  int secondary_count = 0;
  std::vector<HeaderDescriptor> slots;  // 33
  std::int32_t record_count = 0;
  bool no_primary = false;
  std::vector<std::string> problems;
};
HeaderImage ReadHeader(const std::uint8_t* page0);

// Reads a whole index file from disk: header, every in-use index (with byte
// order, or `order_for_slot` when given), and that every page is in exactly
// one tree or free chain.
struct FileReport {
  HeaderImage header;
  std::vector<IndexReport> indexes;  // per slot 0..32 (empty for unused slots)
  std::vector<std::string> problems;
};
FileReport ReadIndexFile(const std::string& path,
                         const std::function<KeyOrder(int slot)>& order_for_slot = nullptr);

}  // namespace kura::test
