#include "tests/storage/index/index_format_reader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

namespace kura::test {

namespace {

constexpr int kPage = 4096;
constexpr int kHead = 13;

std::uint32_t U16(const std::uint8_t* p) {
  return p[0] | (p[1] << 8);
}
std::int32_t I32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) |
                                   (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24));
}

struct Walker {
  const PageSource& pages;
  std::int32_t page_count;
  const IndexShape& shape;
  const KeyOrder& order;
  std::set<std::int32_t>& claimed;
  IndexReport report;
  std::map<int, std::vector<std::pair<std::int32_t, std::pair<std::int32_t, std::int32_t>>>> levels;
  int leaf_depth = -1;

  void Problem(std::int32_t page, const std::string& what) {
    report.problems.push_back("page " + std::to_string(page) + ": " + what);
  }
  int Cmp(const std::uint8_t* a, const std::uint8_t* b) const {
    if (order) return order(a, b, shape.key_size);
    return std::memcmp(a, b, static_cast<size_t>(shape.key_size));
  }
  const std::uint8_t* Claim(std::int32_t n) {
    if (n < 1 || n > page_count) {
      report.problems.push_back("link to page " + std::to_string(n) + " outside the file");
      return nullptr;
    }
    if (!claimed.insert(n).second) {
      Problem(n, "reached twice");
      return nullptr;
    }
    const std::uint8_t* p = pages(n);
    if (!p) Problem(n, "unreadable");
    return p;
  }

  // Decodes the leaf entries of page p into (key, record); checks the
  // canonical prefix/trailing counts and the encoded size.
  bool DecodeLeaf(std::int32_t n, const std::uint8_t* p, int count, std::vector<ReadKey>& out) {
    const int k = shape.key_size;
    const int c = shape.compression;
    const int zero_end = shape.unique ? k : k - 4;
    int at = kHead;
    std::vector<std::uint8_t> prev;
    for (int i = 0; i < count; ++i) {
      std::vector<std::uint8_t> key(static_cast<size_t>(k));
      int pc = 0;
      int tc = 0;
      if (c == 1 || c == 3) pc = p[at++];
      if (c == 2 || c == 3) tc = p[at++];
      if (i == 0 && pc != 0) Problem(n, "first entry shares a prefix");
      if (pc > k || tc > std::max(0, zero_end - pc)) {
        Problem(n, "entry " + std::to_string(i + 1) + " has impossible counts");
        return false;
      }
      const int stored = k - pc - tc + 4;
      if (at + stored > kPage) {
        Problem(n, "entries run past the page");
        return false;
      }
      std::copy(prev.begin(), prev.begin() + pc, key.begin());
      const int head_end = tc ? zero_end - tc : k;
      std::memcpy(key.data() + pc, p + at, static_cast<size_t>(head_end - pc));
      at += head_end - pc;
      if (tc) {
        std::memcpy(key.data() + zero_end, p + at, static_cast<size_t>(k - zero_end));
        at += k - zero_end;
      }
      const std::int32_t record = I32(p + at);
      at += 4;
      // Canonical counts.
      int want_p = 0;
      if ((c == 1 || c == 3) && i > 0) {
        while (want_p < k && want_p < 254 && prev[want_p] == key[want_p])
          ++want_p;
      }
      int want_t = 0;
      if (c == 2 || c == 3) {
        const int limit = std::min(254, zero_end - want_p);
        while (want_t < limit && key[zero_end - 1 - want_t] == 0)
          ++want_t;
      }
      if (pc != want_p || tc != want_t) {
        Problem(n, "entry " + std::to_string(i + 1) + " counts " + std::to_string(pc) + "/" +
                       std::to_string(tc) + ", expected " + std::to_string(want_p) + "/" +
                       std::to_string(want_t));
      }
      prev = key;
      out.push_back({std::move(key), record});
    }
    const int encoded = at - kHead;
    const int size_field = static_cast<int>(U16(p + 11));
    if (c != 0 && size_field != encoded)
      Problem(n, "encoded size field " + std::to_string(size_field));
    if (c == 0 && size_field != 0) Problem(n, "encoded size field set on an uncompressed page");
    if (encoded > kPage - kHead) Problem(n, "entries exceed 4083 bytes");
    if (c == 0 && count > (kPage - kHead) / (k + 4)) Problem(n, "more entries than fit");
    for (int i = at; i < kPage; ++i) {
      if (p[i] != 0) {
        Problem(n, "non-zero byte after the entries");
        break;
      }
    }
    return true;
  }

  // Walks the subtree at page n; returns its key count, fills first_key.
  std::int64_t Walk(std::int32_t n, int depth, std::vector<std::uint8_t>& first_key) {
    if (depth >= 64) {
      Problem(n, "tree deeper than 64 levels");
      return 0;
    }
    const std::uint8_t* p = Claim(n);
    if (!p) return 0;
    ++report.pages;
    report.depth = std::max(report.depth, depth + 1);
    const int type = p[0];
    const int count = static_cast<int>(U16(p + 1));
    levels[depth].push_back({n, {I32(p + 3), I32(p + 7)}});
    const bool root = depth == 0;
    const bool leaf = type == 2 || type == 3;
    if (root ? (type != 0 && type != 3) : (type != 1 && type != 2)) {
      Problem(n, "page type " + std::to_string(type));
      if (type > 3) return 0;
    }
    if (count == 0) {
      Problem(n, "page in a tree without entries");
      return 0;
    }
    const int k = shape.key_size;
    if (leaf) {
      if (leaf_depth < 0) leaf_depth = depth;
      if (leaf_depth != depth) Problem(n, "leaf at depth " + std::to_string(depth));
      std::vector<ReadKey> keys;
      if (!DecodeLeaf(n, p, count, keys)) return 0;
      for (auto& key : keys) {
        if (!report.keys.empty() && Cmp(report.keys.back().key.data(), key.key.data()) >= 0) {
          Problem(n, "keys out of order");
        }
        report.keys.push_back(std::move(key));
      }
      first_key = report.keys[report.keys.size() - static_cast<size_t>(count)].key;
      return count;
    }
    const int entry = k + (shape.with_counts ? 8 : 4);
    if (count > (kPage - kHead) / entry) {
      Problem(n, "more branch entries than fit");
      return 0;
    }
    if (U16(p + 11) != 0) Problem(n, "encoded size field set on a branch");
    for (int i = kHead + count * entry; i < kPage; ++i) {
      if (p[i] != 0) {
        Problem(n, "non-zero byte after the entries");
        break;
      }
    }
    std::int64_t total = 0;
    for (int i = 0; i < count; ++i) {
      const std::uint8_t* e = p + kHead + i * entry;
      if (i > 0 && Cmp(e - entry, e) >= 0) Problem(n, "branch keys out of order");
      std::vector<std::uint8_t> child_first;
      const std::int64_t below = Walk(I32(e + k), depth + 1, child_first);
      if (child_first.size() == static_cast<size_t>(k) &&
          std::memcmp(child_first.data(), e, static_cast<size_t>(k)) != 0) {
        Problem(n, "entry " + std::to_string(i + 1) + " key is not its child's first key");
      }
      if (shape.with_counts && I32(e + k + 4) != below) {
        Problem(n, "entry " + std::to_string(i + 1) + " count " + std::to_string(I32(e + k + 4)) +
                       ", subtree holds " + std::to_string(below));
      }
      if (i == 0) first_key.assign(e, e + k);
      total += below;
    }
    return total;
  }

  void CheckLevels() {
    for (auto& [depth, list] : levels) {
      for (size_t i = 0; i < list.size(); ++i) {
        const std::int32_t want_prev = i == 0 ? 0 : list[i - 1].first;
        const std::int32_t want_next = i + 1 == list.size() ? 0 : list[i + 1].first;
        if (list[i].second.first != want_prev || list[i].second.second != want_next) {
          Problem(list[i].first, "level links " + std::to_string(list[i].second.first) + "/" +
                                     std::to_string(list[i].second.second) + ", expected " +
                                     std::to_string(want_prev) + "/" + std::to_string(want_next));
        }
      }
    }
  }

  void WalkFreeChain() {
    std::int32_t n = shape.free_head;
    for (int steps = 0; n != 0; ++steps) {
      if (steps > page_count) {
        report.problems.push_back("free chain does not end");
        return;
      }
      const std::uint8_t* p = Claim(n);
      if (!p) return;
      ++report.free_pages;
      if (U16(p + 1) != 0) Problem(n, "freed page with entries");
      n = I32(p + 7);
    }
  }
};

}  // namespace

IndexReport ReadIndex(const PageSource& pages, std::int32_t page_count, const IndexShape& shape,
                      const KeyOrder& order, std::set<std::int32_t>& claimed) {
  Walker w{pages, page_count, shape, order, claimed, {}, {}, -1};
  if (shape.root != 0) {
    std::vector<std::uint8_t> first;
    w.Walk(shape.root, 0, first);
    w.CheckLevels();
  }
  w.WalkFreeChain();
  return std::move(w.report);
}

HeaderImage ReadHeader(const std::uint8_t* h) {
  HeaderImage img;
  img.change_counter = I32(h);
  if (I32(h + 4) != 0) img.problems.push_back("reserved bytes 4..7 not zero");
  img.version = h[8];
  img.next_page = I32(h + 9);
  img.secondary_count = h[13];
  for (int s = 0; s < 33; ++s) {
    const std::uint8_t* d = h + 14 + s * 120;
    HeaderDescriptor desc;
    desc.name.assign(reinterpret_cast<const char*>(d + 1), std::min<int>(d[0], 30));
    desc.key_size = static_cast<std::int16_t>(U16(d + 31));
    desc.descending = d[33];
    desc.case_insensitive = d[34];
    desc.unique = d[35];
    desc.compression = d[36];
    desc.field_count = d[37];
    for (int i = 0; i < 16; ++i)
      desc.field_descending.push_back(d[38 + i]);
    for (int i = 0; i < 16; ++i)
      desc.fields.push_back(static_cast<int>(U16(d + 54 + 2 * i)));
    desc.root = I32(d + 86);
    desc.free_head = I32(d + 90);
    desc.temporary = d[101];
    img.slots.push_back(std::move(desc));
  }
  img.record_count = I32(h + 3974);
  img.no_primary = h[3978];
  for (int i = 3980; i < kPage; ++i) {
    if (h[i] != 0) {
      img.problems.push_back("reserved header bytes not zero");
      break;
    }
  }
  if (img.version != 5) img.problems.push_back("version " + std::to_string(img.version));
  return img;
}

FileReport ReadIndexFile(const std::string& path,
                         const std::function<KeyOrder(int slot)>& order_for_slot) {
  FileReport report;
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (bytes.size() < kPage || bytes.size() % kPage != 0) {
    report.problems.push_back("file size " + std::to_string(bytes.size()) +
                              " is not a whole number of pages");
    return report;
  }
  report.header = ReadHeader(bytes.data());
  const std::int32_t page_count = static_cast<std::int32_t>(bytes.size() / kPage) - 1;
  if (report.header.next_page != page_count + 1) {
    report.problems.push_back("next page " + std::to_string(report.header.next_page) +
                              " but the file holds " + std::to_string(page_count) + " pages");
  }
  PageSource source = [&bytes, page_count](std::int32_t n) -> const std::uint8_t* {
    return n >= 1 && n <= page_count ? bytes.data() + static_cast<size_t>(n) * kPage : nullptr;
  };
  std::set<std::int32_t> claimed;
  report.indexes.resize(33);
  for (int s = 0; s < 33; ++s) {
    const HeaderDescriptor& d = report.header.slots[static_cast<size_t>(s)];
    const bool in_use =
        (s == 0 && d.key_size > 0) || (s >= 1 && s <= 30 && !d.name.empty()) || s >= 31;
    if (!in_use) continue;
    IndexShape shape{d.key_size, d.unique,   d.compression, s != 32 && !d.temporary,
                     d.root,     d.free_head};
    KeyOrder order = order_for_slot ? order_for_slot(s) : nullptr;
    if (!order && d.descending) {
      const int k = d.key_size;
      order = [k](const std::uint8_t* a, const std::uint8_t* b, int) {
        return -std::memcmp(a, b, static_cast<size_t>(k));
      };
    }
    report.indexes[static_cast<size_t>(s)] = ReadIndex(source, page_count, shape, order, claimed);
  }
  for (std::int32_t n = 1; n <= page_count; ++n) {
    if (!claimed.count(n)) report.problems.push_back("page " + std::to_string(n) + " is lost");
  }
  return report;
}

}  // namespace kura::test
