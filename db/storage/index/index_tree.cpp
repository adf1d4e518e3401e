#include "db/storage/index/index_tree.h"

#include <algorithm>
#include <set>

#include "db/storage/engine_error.h"

namespace kura {

namespace {

std::string PageText(std::int32_t n) {
  return "page " + std::to_string(n);
}

std::int32_t Clamp32(std::int64_t v) {
  return static_cast<std::int32_t>(std::min<std::int64_t>(v, INT32_MAX));
}

}  // namespace

TIndexTree::TIndexTree(TIndexPageStore& store, int slot, const PageFormat& format,
                       const KeyComparator& comparator)
    : store_(store), slot_(slot), format_(format), comparator_(comparator) {}

void TIndexTree::Corrupt() {
  store_.Raise(kErrPageBuffersCorrupt, slot_);
  __builtin_unreachable();
}

TPageRef TIndexTree::Get(std::int32_t n) {
  return TPageRef(&store_, store_.GetPage(slot_, n));
}

int TIndexTree::Bound(const TPage& page, const std::uint8_t* key, int length, bool equal) const {
  int lo = 1;
  int hi = page.count() + 1;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = Compare(page.Key(mid), key, length);
    if (c < 0 || (equal && c == 0)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

TIndexTree::Path TIndexTree::Descend(const std::uint8_t* key, int length, bool strict,
                                     std::int64_t* before) {
  Path path;
  std::int64_t ahead = 0;
  std::int32_t n = store_.RootPage(slot_);
  for (;;) {
    if (static_cast<int>(path.size()) >= kMaxTreeDepth) Corrupt();
    TPageRef page = Get(n);
    const bool root = path.empty();
    const std::uint8_t type = page->type();
    const bool type_ok = root ? (type == kPageRoot || type == kPageRootLeaf)
                              : (type == kPageBranch || type == kPageLeaf);
    if (!type_ok || page->count() == 0) Corrupt();
    if (page->IsLeaf()) {
      path.push_back({std::move(page), 0});
      break;
    }
    // Last entry < key (strict) or <= key; the first when there is none.
    int pos = 1;
    int lo = 1;
    int hi = page->count();
    while (lo <= hi) {
      const int mid = lo + (hi - lo) / 2;
      const int c = Compare(page->Key(mid), key, length);
      if (c < 0 || (!strict && c == 0)) {
        pos = mid;
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    // Only a seek wants the ordinal; inserts and deletes skip the sums.
    if (format_.with_counts && before) {
      for (int i = 1; i < pos; ++i)
        ahead += page->SubtreeCount(i);
    }
    n = page->Pointer(pos);
    path.push_back({std::move(page), pos});
  }
  if (before) *before = ahead;
  return path;
}

void TIndexTree::Fill(const TPage& leaf, int pos, std::int64_t ordinal, TIndexEntry& out) const {
  out.key.assign(leaf.Key(pos), leaf.Key(pos) + format_.key_size);
  out.record = leaf.Pointer(pos);
  out.ordinal = ordinal;
  out.leaf = leaf.number();
  out.position = pos;
}

bool TIndexTree::Seek(const std::uint8_t* key, int length, TIndexEntry& out) {
  return SeekPast(key, length, /*equal=*/false, out);
}

bool TIndexTree::SeekAfter(const std::uint8_t* key, int length, TIndexEntry& out) {
  return SeekPast(key, length, /*equal=*/true, out);
}

bool TIndexTree::SeekPast(const std::uint8_t* key, int length, bool equal, TIndexEntry& out) {
  if (store_.RootPage(slot_) == 0) return false;
  length = std::clamp(length, 0, format_.key_size);
  std::int64_t before = 0;
  // Past the equal keys too: each branch's last child whose first key is <=
  // key, for every later child starts above it, so the key sought is in that
  // child or starts the next.
  Path path = Descend(key, length, /*strict=*/!equal, &before);
  TPageRef leaf = std::move(path.back().page);
  path.clear();
  int pos = Bound(*leaf, key, length, equal);
  before += pos - 1;
  if (pos > leaf->count()) {
    const std::int32_t next = leaf->next();
    if (next == 0) return false;
    leaf = Get(next);
    if (!leaf->IsLeaf() || leaf->count() == 0) Corrupt();
    pos = 1;
  }
  Fill(*leaf, pos, before, out);
  return true;
}

bool TIndexTree::First(TIndexEntry& out) {
  std::uint8_t none = 0;
  return Seek(&none, 0, out);
}

bool TIndexTree::Next(TIndexEntry& entry) {
  return NextWhere(entry, [](const std::uint8_t*, std::int32_t) { return 1; });
}

bool TIndexTree::After(const TIndexEntry& entry, TPageRef& leaf, int& pos, std::int64_t& ordinal) {
  if (entry.leaf != 0 && entry.leaf <= store_.PageCount()) {
    leaf = Get(entry.leaf);
    if (leaf->IsLeaf() && !leaf->freed() && entry.position >= 1 &&
        entry.position <= leaf->count() &&
        Compare(leaf->Key(entry.position), entry.key.data(), format_.key_size) == 0) {
      pos = entry.position + 1;
      ordinal = entry.ordinal + 1;
      return true;
    }
  }
  TIndexEntry found;
  if (!Seek(entry.key.data(), format_.key_size, found)) return false;
  const bool past = Compare(found.key.data(), entry.key.data(), format_.key_size) > 0;
  leaf = Get(found.leaf);
  pos = found.position + (past ? 0 : 1);
  ordinal = found.ordinal + (past ? 0 : 1);
  return true;
}

bool TIndexTree::NextLeaf(TPageRef& leaf, std::int64_t& leaves) {
  const std::int32_t next = leaf->next();
  if (next == 0) return false;
  const std::vector<std::uint8_t> last(leaf->Key(leaf->count()),
                                       leaf->Key(leaf->count()) + format_.key_size);
  leaf = Get(next);
  // Keys rise along the leaf chain; a link that goes back is a cycle.
  if (++leaves > store_.PageCount() || !leaf->IsLeaf() || leaf->count() == 0 ||
      Compare(leaf->Key(1), last.data(), format_.key_size) <= 0)
    Corrupt();
  return true;
}

bool TIndexTree::Prior(TIndexEntry& entry) {
  const std::vector<std::uint8_t> key = entry.key;
  TIndexEntry found;
  std::int64_t ordinal;
  TPageRef leaf;
  int pos;
  if (Seek(key.data(), format_.key_size, found)) {
    leaf = Get(found.leaf);
    pos = found.position;
    ordinal = found.ordinal;
  } else {
    // Past the last key: the prior one is the last of the index.
    if (store_.RootPage(slot_) == 0) return false;
    std::int32_t n = store_.RootPage(slot_);
    for (int depth = 0;; ++depth) {
      if (depth >= kMaxTreeDepth) Corrupt();
      leaf = Get(n);
      if (leaf->count() == 0) Corrupt();
      if (leaf->IsLeaf()) break;
      n = leaf->Pointer(leaf->count());
    }
    Fill(*leaf, leaf->count(), Count() - 1, entry);
    return true;
  }
  if (pos > 1) {
    Fill(*leaf, pos - 1, ordinal - 1, entry);
    return true;
  }
  const std::int32_t prev = leaf->prev();
  if (prev == 0) return false;
  leaf = Get(prev);
  if (!leaf->IsLeaf() || leaf->count() == 0 ||
      Compare(leaf->Key(leaf->count()), key.data(), format_.key_size) >= 0) {
    Corrupt();
  }
  Fill(*leaf, leaf->count(), ordinal - 1, entry);
  return true;
}

bool TIndexTree::AtOrdinal(std::int64_t ordinal, TIndexEntry& out) {
  if (!format_.with_counts || ordinal < 0) return false;
  std::int32_t n = store_.RootPage(slot_);
  if (n == 0) return false;
  std::int64_t base = 0;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxTreeDepth) Corrupt();
    TPageRef page = Get(n);
    if (page->count() == 0) Corrupt();
    if (page->IsLeaf()) {
      const std::int64_t pos = ordinal - base + 1;
      if (pos < 1 || pos > page->count()) return false;
      Fill(*page, static_cast<int>(pos), ordinal, out);
      return true;
    }
    int i = 1;
    while (i < page->count() && base + page->SubtreeCount(i) <= ordinal) {
      base += page->SubtreeCount(i);
      ++i;
    }
    n = page->Pointer(i);
  }
}

bool TIndexTree::Contains(const std::uint8_t* key) {
  TIndexEntry e;
  return Seek(key, format_.key_size, e) && Compare(e.key.data(), key, format_.key_size) == 0;
}

std::int64_t TIndexTree::Count() {
  const std::int32_t root = store_.RootPage(slot_);
  if (root == 0) return 0;
  if (format_.with_counts) return Get(root)->KeysBelow();
  std::int64_t n = 0;
  ForEach([&n](const std::uint8_t*, std::int32_t) { ++n; });
  return n;
}

void TIndexTree::ForEach(
    const std::function<void(const std::uint8_t* key, std::int32_t record)>& visit) {
  std::int32_t n = store_.RootPage(slot_);
  if (n == 0) return;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxTreeDepth) Corrupt();
    TPageRef page = Get(n);
    if (page->count() == 0) Corrupt();
    if (page->IsLeaf()) break;
    n = page->Pointer(1);
  }
  const std::int64_t limit = store_.PageCount();
  for (std::int64_t steps = 0; n != 0; ++steps) {
    if (steps > limit) Corrupt();
    TPageRef leaf = Get(n);
    if (!leaf->IsLeaf()) Corrupt();
    for (int i = 1; i <= leaf->count(); ++i)
      visit(leaf->Key(i), leaf->Pointer(i));
    n = leaf->next();
  }
}

void TIndexTree::Insert(const std::uint8_t* key, std::int32_t record) {
  const std::int32_t root = store_.RootPage(slot_);
  if (root == 0) {
    TPageRef page(&store_, store_.AllocatePage(slot_, kPageRootLeaf));
    page->Insert(1, key, record, 0);
    Dirty(*page);
    store_.SetRootPage(slot_, page->number());
    return;
  }
  Path path = Descend(key, format_.key_size, /*strict=*/false, nullptr);
  const int leaf_level = static_cast<int>(path.size()) - 1;
  TPage& leaf = *path.back().page;
  const int pos = LowerBound(leaf, key, format_.key_size);
  if (pos <= leaf.count() && Compare(leaf.Key(pos), key, format_.key_size) == 0) {
    store_.Raise(kErrDuplicateKey, slot_);
  }
  leaf.Insert(pos, key, record, 0);
  path.back().pos = pos;
  Dirty(leaf);
  if (format_.with_counts) {
    for (int level = 0; level < leaf_level; ++level) {
      TPage& branch = *path[level].page;
      branch.SetSubtreeCount(path[level].pos, branch.SubtreeCount(path[level].pos) + 1);
      Dirty(branch);
    }
  }
  if (pos == 1) PropagateFirstKey(path, leaf_level);
  FixOverflow(path, leaf_level);
}

bool TIndexTree::InsertRun(
    std::int64_t count,
    const std::function<void(std::int64_t, std::uint8_t*, std::int32_t*)>& entry) {
  if (count <= 0) return true;
  const int k = format_.key_size;
  std::vector<std::uint8_t> key(static_cast<std::size_t>(k));
  std::vector<std::uint8_t> last(static_cast<std::size_t>(k));
  std::int32_t record = 0;
  entry(count - 1, last.data(), &record);
  entry(0, key.data(), &record);
  if (store_.RootPage(slot_) != 0) {
    // The first key's place, and the tree's next key after it: it must lie
    // beyond the run's last key.
    Path path = Descend(key.data(), k, /*strict=*/false, nullptr);
    TPage& leaf = *path.back().page;
    const int pos = LowerBound(leaf, key.data(), k);
    if (pos <= leaf.count()) {
      if (Compare(leaf.Key(pos), last.data(), k) <= 0) return false;
    } else if (leaf.next() != 0) {
      TPageRef next = Get(leaf.next());
      if (next->count() == 0) Corrupt();
      if (Compare(next->Key(1), last.data(), k) <= 0) return false;
    }
  }
  Insert(key.data(), record);
  if (count == 1) return true;
  Path path = Descend(key.data(), k, /*strict=*/false, nullptr);
  int pos = LowerBound(*path.back().page, key.data(), k);
  int leaf_level = static_cast<int>(path.size()) - 1;
  for (std::int64_t i = 1; i < count; ++i) {
    entry(i, key.data(), &record);
    TPage& leaf = *path.back().page;
    ++pos;
    leaf.Insert(pos, key.data(), record, 0);
    path.back().pos = pos;
    Dirty(leaf);
    if (format_.with_counts) {
      for (int level = 0; level < leaf_level; ++level) {
        TPage& branch = *path[level].page;
        branch.SetSubtreeCount(path[level].pos, branch.SubtreeCount(path[level].pos) + 1);
        Dirty(branch);
      }
    }
    if (leaf.Overflows()) {
      FixOverflow(path, leaf_level);
      // The split may have moved the key and grown the tree: find it again.
      path = Descend(key.data(), k, /*strict=*/false, nullptr);
      pos = LowerBound(*path.back().page, key.data(), k);
      leaf_level = static_cast<int>(path.size()) - 1;
    }
  }
  return true;
}

namespace {

// Entries per page of a level of `n` entries at `capacity` a page: full
// pages, the last two evened out when the last would hold under half.
std::vector<int> LevelSizes(std::int64_t n, int capacity) {
  const std::int64_t pages = (n + capacity - 1) / capacity;
  std::vector<int> sizes(static_cast<std::size_t>(pages), capacity);
  sizes.back() = static_cast<int>(n - (pages - 1) * capacity);
  if (pages > 1 && sizes.back() < capacity / 2) {
    const int both = sizes[sizes.size() - 2] + sizes.back();
    sizes[sizes.size() - 2] = both - both / 2;
    sizes.back() = both / 2;
  }
  return sizes;
}

}  // namespace

void TIndexTree::Load(std::int64_t count,
                      const std::function<void(std::int64_t, std::uint8_t*, std::int32_t*)>& entry) {
  if (count <= 0) return;
  if (store_.RootPage(slot_) != 0 || format_.Compressed()) Corrupt();
  const int k = format_.key_size;
  // What the level above needs of each page: its first key, number, keys below.
  struct TChild {
    std::vector<std::uint8_t> first;
    std::int32_t page;
    std::int64_t below;
  };
  std::vector<TChild> children;
  std::vector<std::uint8_t> key(static_cast<std::size_t>(k));
  bool root_leaf = false;
  {
    const std::vector<int> sizes = LevelSizes(count, format_.LeafCapacity());
    root_leaf = sizes.size() == 1;
    TPageRef prev;
    std::int64_t i = 0;
    for (const int size : sizes) {
      TPageRef page(&store_, store_.AllocatePage(slot_, root_leaf ? kPageRootLeaf : kPageLeaf));
      for (int e = 1; e <= size; ++e, ++i) {
        std::int32_t record = 0;
        entry(i, key.data(), &record);
        page->Insert(e, key.data(), record, 0);
      }
      if (prev) {
        prev->set_next(page->number());
        page->set_prev(prev->number());
        Dirty(*prev);
      }
      Dirty(*page);
      children.push_back({std::vector<std::uint8_t>(page->Key(1), page->Key(1) + k),
                          page->number(), size});
      prev = std::move(page);
    }
  }
  if (root_leaf) {
    store_.SetRootPage(slot_, children[0].page);
    return;
  }
  for (int depth = 1; children.size() > 1; ++depth) {
    if (depth >= kMaxTreeDepth) Corrupt();
    const std::vector<int> sizes =
        LevelSizes(static_cast<std::int64_t>(children.size()), format_.BranchCapacity());
    const bool root = sizes.size() == 1;
    std::vector<TChild> level;
    TPageRef prev;
    std::size_t c = 0;
    for (const int size : sizes) {
      TPageRef page(&store_, store_.AllocatePage(slot_, root ? kPageRoot : kPageBranch));
      std::int64_t below = 0;
      for (int e = 1; e <= size; ++e, ++c) {
        const TChild& child = children[c];
        page->Insert(e, child.first.data(), child.page,
                     static_cast<std::int32_t>(std::min<std::int64_t>(child.below, INT32_MAX)));
        below += child.below;
      }
      if (prev) {
        prev->set_next(page->number());
        page->set_prev(prev->number());
        Dirty(*prev);
      }
      Dirty(*page);
      level.push_back({std::vector<std::uint8_t>(page->Key(1), page->Key(1) + k), page->number(),
                       below});
      prev = std::move(page);
    }
    children.swap(level);
  }
  store_.SetRootPage(slot_, children[0].page);
}

void TIndexTree::PropagateFirstKey(Path& path, int level) {
  while (level > 0) {
    TPage& child = *path[level].page;
    Level& up = path[level - 1];
    if (child.count() == 0) return;
    up.page->SetKey(up.pos, child.Key(1));
    Dirty(*up.page);
    if (up.pos != 1) return;
    --level;
  }
}

int TIndexTree::SplitPoint(const TPage& page) const {
  const int n = page.count();
  const int half = (n + 1) / 2;  // entries the left page keeps
  if (!(page.IsLeaf() && format_.Compressed())) return half;
  // Compressed entries differ in size: keep the count split when both halves
  // fit, else balance the halves by encoded bytes. The right half's first
  // entry loses its shared prefix, so it is counted at full size.
  std::vector<int> sizes(static_cast<size_t>(n) + 1);
  std::vector<int> full(static_cast<size_t>(n) + 1);
  int total = 0;
  for (int i = 1; i <= n; ++i) {
    sizes[i] = page.EntrySize(i);
    full[i] = sizes[i] + page.PrefixCount(i);
    total += sizes[i];
  }
  auto fits = [&](int keep) {
    int left = 0;
    for (int i = 1; i <= keep; ++i)
      left += sizes[i];
    return left <= kPageEntryBytes &&
           total - left - sizes[keep + 1] + full[keep + 1] <= kPageEntryBytes;
  };
  if (fits(half)) return half;
  int best = half;
  int best_max = INT32_MAX;
  int left = 0;
  for (int keep = 1; keep < n; ++keep) {
    left += sizes[keep];
    const int right = total - left - sizes[keep + 1] + full[keep + 1];
    const int worst = std::max(left, right);
    if (worst < best_max) {
      best_max = worst;
      best = keep;
    }
  }
  return best;
}

void TIndexTree::FixOverflow(Path& path, int level) {
  TPage& page = *path[level].page;
  if (!page.Overflows()) return;
  const bool leaf = page.IsLeaf();
  const std::uint8_t half_type = leaf ? kPageLeaf : kPageBranch;
  TPageRef right(&store_, store_.AllocatePage(slot_, half_type));
  page.MoveTailToFront(SplitPoint(page) + 1, *right);
  right->set_prev(page.number());
  right->set_next(page.next());
  if (page.next() != 0) {
    TPageRef after = Get(page.next());
    after->set_prev(right->number());
    Dirty(*after);
  }
  page.set_next(right->number());
  Dirty(page);
  Dirty(*right);
  if (right->Overflows() || page.Overflows()) Corrupt();
  if (level == 0) {
    page.set_type(half_type);
    TPageRef root(&store_, store_.AllocatePage(slot_, kPageRoot));
    root->Insert(1, page.Key(1), page.number(), Clamp32(page.KeysBelow()));
    root->Insert(2, right->Key(1), right->number(), Clamp32(right->KeysBelow()));
    Dirty(*root);
    store_.SetRootPage(slot_, root->number());
    return;
  }
  Level& up = path[level - 1];
  if (format_.with_counts) up.page->SetSubtreeCount(up.pos, Clamp32(page.KeysBelow()));
  up.page->Insert(up.pos + 1, right->Key(1), right->number(),
                  format_.with_counts ? Clamp32(right->KeysBelow()) : 0);
  Dirty(*up.page);
  FixOverflow(path, level - 1);
}

bool TIndexTree::Delete(const std::uint8_t* key, std::int32_t record) {
  if (store_.RootPage(slot_) == 0) return false;
  Path path = Descend(key, format_.key_size, /*strict=*/false, nullptr);
  const int leaf_level = static_cast<int>(path.size()) - 1;
  TPage& leaf = *path.back().page;
  const int pos = LowerBound(leaf, key, format_.key_size);
  if (pos > leaf.count() || Compare(leaf.Key(pos), key, format_.key_size) != 0 ||
      leaf.Pointer(pos) != record) {
    return false;
  }
  leaf.Remove(pos);
  path.back().pos = pos;
  Dirty(leaf);
  if (format_.with_counts) {
    for (int level = 0; level < leaf_level; ++level) {
      TPage& branch = *path[level].page;
      branch.SetSubtreeCount(path[level].pos, branch.SubtreeCount(path[level].pos) - 1);
      Dirty(branch);
    }
  }
  if (pos == 1) PropagateFirstKey(path, leaf_level);
  Rebalance(path, leaf_level);
  return true;
}

void TIndexTree::Unlink(TPage& page) {
  if (page.prev() != 0) {
    TPageRef before = Get(page.prev());
    before->set_next(page.next());
    Dirty(*before);
  }
  if (page.next() != 0) {
    TPageRef after = Get(page.next());
    after->set_prev(page.prev());
    Dirty(*after);
  }
  page.set_prev(0);
  page.set_next(0);
}

void TIndexTree::RemoveEmptyPage(Path& path, int level) {
  TPage& page = *path[level].page;
  Unlink(page);
  store_.FreePage(&page);
  Level& up = path[level - 1];
  up.page->Remove(up.pos);
  Dirty(*up.page);
  if (up.pos == 1) PropagateFirstKey(path, level - 1);
  Rebalance(path, level - 1);
}

void TIndexTree::Rebalance(Path& path, int level) {
  TPage& page = *path[level].page;
  // Removing a compressed entry can grow the page: the next entry then shares
  // a shorter prefix with its new neighbour. A page that outgrew its size is
  // split, at any level, the root included.
  if (page.Overflows()) {
    FixOverflow(path, level);
    return;
  }
  if (level == 0) {
    if (page.IsLeaf() && page.count() == 0) {
      store_.FreePage(&page);
      store_.SetRootPage(slot_, 0);
    } else if (!page.IsLeaf() && page.count() <= 1) {
      const std::int32_t child_number = page.count() == 1 ? page.Pointer(1) : 0;
      store_.FreePage(&page);
      store_.SetRootPage(slot_, child_number);
      if (child_number != 0) {
        TPageRef child = Get(child_number);
        child->set_type(child->IsLeaf() ? kPageRootLeaf : kPageRoot);
        child->set_prev(0);
        child->set_next(0);
        Dirty(*child);
      }
    }
    return;
  }
  Level& up = path[level - 1];
  TPage& parent = *up.page;
  if (page.count() == 0 && (page.IsLeaf() && format_.Compressed())) {
    RemoveEmptyPage(path, level);
    return;
  }
  if (page.IsLeaf() && format_.Compressed()) return;
  const int capacity = page.Capacity();
  if (page.count() >= capacity / 2) return;
  if (parent.count() < 2) {
    if (page.count() == 0) RemoveEmptyPage(path, level);
    return;
  }
  const int sib_pos = up.pos == parent.count() ? up.pos - 1 : up.pos + 1;
  TPageRef sib = Get(parent.Pointer(sib_pos));
  if (sib->IsLeaf() != page.IsLeaf() || sib->count() == 0) Corrupt();
  const bool sib_is_left = sib_pos < up.pos;
  if (page.count() + sib->count() < capacity) {
    // Merge this page into its sibling and drop it from the parent.
    if (sib_is_left) {
      page.MoveFrontToBack(page.count(), *sib);
    } else {
      page.MoveTailToFront(1, *sib);
      parent.SetKey(sib_pos, parent.Key(up.pos));
    }
    if (format_.with_counts) parent.SetSubtreeCount(sib_pos, Clamp32(sib->KeysBelow()));
    Dirty(*sib);
    Unlink(page);
    store_.FreePage(&page);
    parent.Remove(up.pos);
    Dirty(parent);
    Rebalance(path, level - 1);
    return;
  }
  // Redistribute: the sibling keeps ceil(T / 2) entries, this page the rest.
  const int total = page.count() + sib->count();
  TPage& left = sib_is_left ? *sib : page;
  TPage& right = sib_is_left ? page : *sib;
  const int left_target = sib_is_left ? (total + 1) / 2 : total / 2;
  if (left.count() > left_target) {
    left.MoveTailToFront(left_target + 1, right);
  } else if (left.count() < left_target) {
    right.MoveFrontToBack(left_target - left.count(), left);
  }
  const int left_pos = std::min(sib_pos, up.pos);
  parent.SetKey(left_pos + 1, right.Key(1));
  if (format_.with_counts) {
    parent.SetSubtreeCount(left_pos, Clamp32(left.KeysBelow()));
    parent.SetSubtreeCount(left_pos + 1, Clamp32(right.KeysBelow()));
  }
  Dirty(left);
  Dirty(right);
  Dirty(parent);
}

struct TIndexTree::VerifyState {
  TProblemList problems;
  std::set<std::int32_t> seen;
  std::vector<std::vector<std::int32_t>> levels;  // pages of each level, in key order
  std::vector<std::uint8_t> last_key;             // last leaf key seen
  bool have_last = false;
  int leaf_depth = -1;
  bool aborted = false;
};

std::int64_t TIndexTree::VerifyPage(std::int32_t n, int depth, VerifyState& state,
                                    std::vector<std::uint8_t>& first_key) {
  if (state.aborted) return 0;
  if (state.problems.full()) {
    state.problems.MarkMore();
    state.aborted = true;
    return 0;
  }
  if (depth >= kMaxTreeDepth || n <= 0 || n > store_.PageCount() || !state.seen.insert(n).second) {
    state.problems.Add(PageText(n) + ": bad or repeated child link");
    state.aborted = true;
    return 0;
  }
  TPageRef page = Get(n);
  if (static_cast<int>(state.levels.size()) <= depth) state.levels.resize(depth + 1);
  state.levels[depth].push_back(n);
  const std::uint8_t type = page->type();
  const bool root = depth == 0;
  if (root ? (type != kPageRoot && type != kPageRootLeaf)
           : (type != kPageBranch && type != kPageLeaf)) {
    state.problems.Add(PageText(n) + ": wrong page type " + std::to_string(type));
  }
  if (page->count() == 0) {
    state.problems.Add(PageText(n) + ": no entries");
    return 0;
  }
  if (page->Overflows()) state.problems.Add(PageText(n) + ": over capacity");
  const bool balanced = !(page->IsLeaf() && format_.Compressed());
  if (!root && balanced && page->count() < page->Capacity() / 2) {
    state.problems.Add(PageText(n) + ": under half full");
  }
  const int k = format_.key_size;
  first_key.assign(page->Key(1), page->Key(1) + k);
  for (int i = 2; i <= page->count(); ++i) {
    if (Compare(page->Key(i - 1), page->Key(i), k) >= 0) {
      state.problems.Add(PageText(n) + ": keys out of order at entry " + std::to_string(i));
    }
  }
  if (page->IsLeaf()) {
    if (state.leaf_depth < 0) state.leaf_depth = depth;
    if (state.leaf_depth != depth) state.problems.Add(PageText(n) + ": leaf at wrong depth");
    if (state.have_last && Compare(state.last_key.data(), page->Key(1), k) >= 0) {
      state.problems.Add(PageText(n) + ": first key not above the previous leaf's keys");
    }
    state.last_key.assign(page->Key(page->count()), page->Key(page->count()) + k);
    state.have_last = true;
    return page->count();
  }
  std::int64_t total = 0;
  std::vector<std::uint8_t> child_first;
  for (int i = 1; i <= page->count() && !state.aborted; ++i) {
    const std::int64_t below = VerifyPage(page->Pointer(i), depth + 1, state, child_first);
    if (state.aborted) break;
    if (!std::equal(child_first.begin(), child_first.end(), page->Key(i))) {
      state.problems.Add(PageText(n) + ": entry " + std::to_string(i) +
                         " key differs from its child's first key");
    }
    if (format_.with_counts && page->SubtreeCount(i) != below) {
      state.problems.Add(PageText(n) + ": entry " + std::to_string(i) + " counts " +
                         std::to_string(page->SubtreeCount(i)) + " keys, child has " +
                         std::to_string(below));
    }
    total += below;
  }
  return total;
}

std::vector<std::string> TIndexTree::Verify() {
  VerifyState state;
  const std::int32_t root = store_.RootPage(slot_);
  if (root == 0) return {};
  std::vector<std::uint8_t> first;
  try {
    VerifyPage(root, 0, state, first);
  } catch (const EKuraEngineError& e) {
    state.problems.Add(e.what());
    return state.problems.Take();
  }
  if (state.aborted) return state.problems.Take();
  for (std::size_t depth = 0; depth < state.levels.size(); ++depth) {
    const std::vector<std::int32_t>& pages = state.levels[depth];
    for (std::size_t i = 0; i < pages.size(); ++i) {
      TPageRef page = Get(pages[i]);
      const std::int32_t want_prev = i == 0 ? 0 : pages[i - 1];
      const std::int32_t want_next = i + 1 == pages.size() ? 0 : pages[i + 1];
      if (page->prev() != want_prev || page->next() != want_next) {
        state.problems.Add(PageText(pages[i]) + ": level links " + std::to_string(page->prev()) +
                           "/" + std::to_string(page->next()) + ", expected " +
                           std::to_string(want_prev) + "/" + std::to_string(want_next));
      }
    }
  }
  return state.problems.Take();
}

}  // namespace kura
