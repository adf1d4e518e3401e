// TIndexFile: the keys of a table's records in every index (key layouts,
// insert, modify and delete with their rollbacks) and the deep check's entry.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "db/common/undo_on_throw.h"
#include "db/storage/coding.h"
#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/scramble.h"
#include "db/storage/index/index_check.h"
#include "db/storage/index/index_file.h"

namespace kura {

namespace {

namespace id = index_descriptor;

// The positions 0 .. n - 1 of `n` keys of `ks` bytes each in key order;
// empty when they already are in order (rows often come so: a game's
// moves, numbered rows). Keys are whole (a non-unique index's carry the
// identifier), so only a unique index's duplicates compare equal.
std::vector<std::uint32_t> KeyOrder(const KeyComparator& cmp, const std::uint8_t* keys,
                                    std::size_t n, std::size_t ks) {
  const int len = static_cast<int>(ks);
  bool sorted = true;
  for (std::size_t i = 1; i < n && sorted; ++i)
    sorted = cmp.Compare(keys + (i - 1) * ks, keys + i * ks, len) < 0;
  std::vector<std::uint32_t> order;
  if (sorted) return order;
  order.resize(n);
  if (cmp.ByteOrder()) {
    // Byte order: sorted on the first eight bytes as one number (all bits
    // flipped when descending), the rest compared only where those agree.
    struct TPrefix {
      std::uint64_t head;
      std::uint32_t at;
    };
    const std::uint64_t flip = cmp.Descending() ? ~std::uint64_t{0} : 0;
    const std::size_t head_bytes = std::min<std::size_t>(8, ks);
    std::vector<TPrefix> heads(n);
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t h = 0;
      for (std::size_t b = 0; b < 8; ++b)
        h = (h << 8) | (b < head_bytes ? keys[i * ks + b] : 0);
      heads[i] = {h ^ flip, static_cast<std::uint32_t>(i)};
    }
    std::sort(heads.begin(), heads.end(), [&](const TPrefix& a, const TPrefix& b) {
      if (a.head != b.head) return a.head < b.head;
      return ks > 8 && cmp.Compare(keys + a.at * ks, keys + b.at * ks, len) < 0;
    });
    for (std::size_t i = 0; i < n; ++i)
      order[i] = heads[i].at;
  } else {
    for (std::size_t i = 0; i < n; ++i)
      order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return cmp.Compare(keys + a * ks, keys + b * ks, len) < 0;
    });
  }
  return order;
}

// Whether two keys in `order` compare equal (in order they are neighbours).
bool HasEqualNeighbours(const KeyComparator& cmp, const std::uint8_t* keys, std::size_t ks,
                        const std::vector<std::uint32_t>& order) {
  for (std::size_t i = 1; i < order.size(); ++i)
    if (cmp.Compare(keys + order[i - 1] * ks, keys + order[i] * ks, static_cast<int>(ks)) >= 0)
      return true;
  return false;
}

}  // namespace

// ---- key layouts ----

TIndexFile::SlotKeys& TIndexFile::Keys(const TDataFile& data, int slot) {
  std::unique_ptr<SlotKeys>& keys = keys_[static_cast<std::size_t>(slot)];
  if (keys) return *keys;
  auto k = std::make_unique<SlotKeys>();
  k->format = FormatOf(slot);
  if (slot == kSysDeletedSlot) {
    if (k->format.key_size != 5) Raise(kErrHeaderCorrupt, slot);
    k->comparator = std::make_unique<KeyComparator>();
    keys = std::move(k);
    return *keys;
  }
  const TIndexDefinition def = Definition(slot);
  KeyLayout& layout = k->layout;
  layout.unique = def.unique;
  layout.descending = def.descending;
  layout.case_insensitive = def.case_insensitive;
  layout.locale = data.LocaleId();
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    const TFieldDescriptor* f = data.FieldByNumber(def.fields[i]);
    if (f == nullptr || f->Type() == kFieldBlob || (!f->HasSlot() && !f->IsAutoInc())) {
      Raise(kErrHeaderCorrupt, slot);
    }
    KeyField field;
    field.type = f->Type();
    field.subtype = f->Subtype();
    field.storage_size = f->StorageSize();
    field.record_offset = f->Offset();
    field.descending = def.field_descending[i];
    if (!field.IsAutoIncrement() &&
        field.record_offset + 1 + field.storage_size > data.RecordSize()) {
      Raise(kErrHeaderCorrupt, slot);
    }
    layout.fields.push_back(field);
  }
  if (layout.KeySize() != k->format.key_size || k->format.key_size > kMaxKeySize ||
      layout.SegmentBytes() > kMaxKeySegmentBytes) {
    Raise(kErrHeaderCorrupt, slot);
  }
  k->comparator = std::make_unique<KeyComparator>(layout);
  if (layout.case_insensitive) k->mapper = std::make_unique<KeyCaseMapper>(layout.locale);
  keys = std::move(k);
  return *keys;
}

KeyLayout TIndexFile::Layout(const TDataFile& data, int slot) {
  return Keys(data, slot).layout;
}

std::vector<std::uint8_t> TIndexFile::DeletedKey(const std::uint8_t* record, bool deleted) {
  std::vector<std::uint8_t> key(5);
  key[0] = deleted ? 1 : 0;
  EncodeKeyInt32(key.data() + 1,
                 static_cast<std::int32_t>(DecodeFixed32(record + kRecordIdentifierOffset)));
  return key;
}

std::vector<std::uint8_t> TIndexFile::KeyOf(const TDataFile& data, int slot,
                                            const std::uint8_t* record) {
  if (slot == kSysDeletedSlot) return DeletedKey(record, record[0] != 0);
  SlotKeys& k = Keys(data, slot);
  return BuildKey(k.layout, {record, static_cast<std::size_t>(data.RecordSize())}, k.mapper.get());
}

TIndexTree TIndexFile::Tree(const TDataFile& data, int slot) {
  SlotKeys& k = Keys(data, slot);
  return TIndexTree(*this, slot, k.format, *k.comparator);
}

// ---- keys of the table's records ----

void TIndexFile::CheckInsert(const TDataFile& data, const std::uint8_t* record) {
  for (int slot : KeySlots()) {
    if (!Keys(data, slot).layout.unique) continue;
    const std::vector<std::uint8_t> key = KeyOf(data, slot, record);
    if (Tree(data, slot).Contains(key.data())) Raise(kErrDuplicateKey, slot);
  }
  // A caller-supplied identifier must be new to "Sys Deleted": not in use by a
  // live record, and not left by a deleted one (that slot's key would clash
  // when this record is deleted in turn). Identifiers are never 0.
  if (DecodeFixed32(record + kRecordIdentifierOffset) != 0) {
    TIndexTree deleted = Tree(data, kSysDeletedSlot);
    if (deleted.Contains(DeletedKey(record, false).data()) ||
        deleted.Contains(DeletedKey(record, true).data())) {
      Raise(kErrDuplicateKey, kSysDeletedSlot);
    }
  }
}

void TIndexFile::InsertKeys(const TDataFile& data, const std::uint8_t* record, std::int32_t recno,
                            const std::uint8_t* previous) {
  // Keys already added are taken back on failure: the indexes stay as they were.
  std::vector<std::pair<int, std::vector<std::uint8_t>>> done;
  TUndoOnThrow undo([&] {
    for (auto& [slot, key] : done)
      Tree(data, slot).Delete(key.data(), recno);
  });
  for (int slot : KeySlots()) {
    std::vector<std::uint8_t> key = KeyOf(data, slot, record);
    Tree(data, slot).Insert(key.data(), recno);
    done.emplace_back(slot, std::move(key));
  }
  TIndexTree deleted = Tree(data, kSysDeletedSlot);
  const std::vector<std::uint8_t> live = DeletedKey(record, false);
  deleted.Insert(live.data(), recno);
  done.emplace_back(kSysDeletedSlot, live);
  if (previous) deleted.Delete(DeletedKey(previous, true).data(), recno);
}

bool TIndexFile::KeysFromRecords() {
  for (int s = 0; s <= kMaxSecondaryIndexes; ++s)
    if (SlotInUse(s)) return true;
  return false;
}

bool TIndexFile::CanLoadAppendedSlots(const TDataFile& /*data*/) {
  if (RootPage(kSysDeletedSlot) != 0 || FormatOf(kSysDeletedSlot).key_size != 5) return false;
  for (int slot : KeySlots())
    if (RootPage(slot) != 0) return false;
  return true;
}

void TIndexFile::LoadAppendedSlots(const TDataFile& data, std::int32_t first, std::int32_t count,
                                   const std::uint8_t* images, std::int32_t first_id) {
  if (count <= 0) return;
  const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
  const std::size_t n = static_cast<std::size_t>(count);
  // One tree filled from `n` keys of `ks` bytes each, taken in the order of
  // `order` (the records' positions among the appended ones).
  auto fill = [&](int slot, const std::uint8_t* keys, std::size_t ks,
                  const std::vector<std::uint32_t>* order) {
    if (RootPage(slot) != 0) Raise(kErrPageBuffersCorrupt, slot);
    TIndexTree tree = Tree(data, slot);
    auto at = [&](std::size_t i) { return order ? (*order)[i] : static_cast<std::uint32_t>(i); };
    if (!FormatOf(slot).Compressed()) {
      tree.Load(count, [&](std::int64_t i, std::uint8_t* key, std::int32_t* record) {
        const std::uint32_t p = at(static_cast<std::size_t>(i));
        std::memcpy(key, keys + p * ks, ks);
        *record = first + static_cast<std::int32_t>(p);
      });
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t p = at(i);
      tree.Insert(keys + p * ks, first + static_cast<std::int32_t>(p));
    }
  };

  // The live key of each record: flag 0, then its identifier as DeletedKey
  // encodes it; identifiers ascend, so the keys do.
  {
    std::vector<std::uint8_t> keys(n * 5);
    for (std::size_t i = 0; i < n; ++i) {
      keys[i * 5] = 0;
      EncodeKeyInt32(&keys[i * 5 + 1], first_id + static_cast<std::int32_t>(i));
    }
    fill(kSysDeletedSlot, keys.data(), 5, nullptr);
  }

  std::vector<std::uint8_t> record(rs);
  for (int slot : KeySlots()) {
    SlotKeys& k = Keys(data, slot);
    const std::size_t ks = static_cast<std::size_t>(k.format.key_size);
    std::vector<std::uint8_t> keys(n * ks);
    for (std::size_t i = 0; i < n; ++i) {
      // The record as its slot holds it: live, its number, its identifier.
      std::memcpy(record.data(), images + i * rs, rs);
      record[0] = 0;
      EncodeFixed32(&record[1], static_cast<std::uint32_t>(first + static_cast<std::int32_t>(i)));
      EncodeFixed32(&record[kRecordIdentifierOffset],
                    static_cast<std::uint32_t>(first_id + static_cast<std::int32_t>(i)));
      BuildKey(k.layout, record, k.mapper.get(), &keys[i * ks]);
    }
    const std::vector<std::uint32_t> order = KeyOrder(*k.comparator, keys.data(), n, ks);
    if (!order.empty() && HasEqualNeighbours(*k.comparator, keys.data(), ks, order))
      Raise(kErrDuplicateKey, slot);
    if (order.empty()) {
      fill(slot, keys.data(), ks, nullptr);
      continue;
    }
    fill(slot, keys.data(), ks, &order);
  }
}

void TIndexFile::CheckAppended(const TDataFile& data, const std::uint8_t* images,
                               std::size_t count) {
  const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
  for (int slot : KeySlots()) {
    SlotKeys& k = Keys(data, slot);
    if (!k.layout.unique) continue;
    // A key of the identifier is new for every appended record.
    if (std::any_of(k.layout.fields.begin(), k.layout.fields.end(),
                    [](const KeyField& f) { return f.IsAutoIncrement(); }))
      continue;
    const std::size_t ks = static_cast<std::size_t>(k.format.key_size);
    std::vector<std::uint8_t> keys(count * ks);
    TIndexTree tree = Tree(data, slot);
    for (std::size_t i = 0; i < count; ++i) {
      BuildKey(k.layout, {images + i * rs, rs}, k.mapper.get(), &keys[i * ks]);
      if (tree.Contains(&keys[i * ks])) Raise(kErrDuplicateKey, slot);
    }
    const std::vector<std::uint32_t> order = KeyOrder(*k.comparator, keys.data(), count, ks);
    if (!order.empty() && HasEqualNeighbours(*k.comparator, keys.data(), ks, order))
      Raise(kErrDuplicateKey, slot);
  }
}

void TIndexFile::InsertAppendedKeys(const TDataFile& data, const std::int32_t* records,
                                    const std::uint8_t* images, std::size_t count) {
  const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
  std::vector<int> slots = KeySlots();
  slots.push_back(kSysDeletedSlot);
  for (int slot : slots) {
    SlotKeys& k = Keys(data, slot);
    const std::size_t ks = static_cast<std::size_t>(k.format.key_size);
    std::vector<std::uint8_t> keys(count * ks);
    for (std::size_t i = 0; i < count; ++i) {
      if (slot == kSysDeletedSlot) {
        keys[i * ks] = 0;
        EncodeKeyInt32(&keys[i * ks + 1], static_cast<std::int32_t>(DecodeFixed32(
                                              images + i * rs + kRecordIdentifierOffset)));
      } else {
        BuildKey(k.layout, {images + i * rs, rs}, k.mapper.get(), &keys[i * ks]);
      }
    }
    const std::vector<std::uint32_t> order = KeyOrder(*k.comparator, keys.data(), count, ks);
    auto at = [&](std::int64_t i) {
      return order.empty() ? static_cast<std::size_t>(i) : order[static_cast<std::size_t>(i)];
    };
    TIndexTree tree = Tree(data, slot);
    // Appended keys mostly form one run the tree holds nothing inside (the
    // right edge, or one game's keys of a number): one descent for all.
    const bool run = (order.empty() || !HasEqualNeighbours(*k.comparator, keys.data(), ks, order)) &&
                     tree.InsertRun(static_cast<std::int64_t>(count),
                                    [&](std::int64_t i, std::uint8_t* key, std::int32_t* record) {
                                      const std::size_t p = at(i);
                                      std::memcpy(key, &keys[p * ks], ks);
                                      *record = records[p];
                                    });
    if (run) continue;
    for (std::size_t i = 0; i < count; ++i)
      tree.Insert(&keys[at(static_cast<std::int64_t>(i)) * ks], records[at(static_cast<std::int64_t>(i))]);
  }
}

void TIndexFile::CheckModify(const TDataFile& data, const std::uint8_t* old_record,
                             const std::uint8_t* new_record, std::int32_t recno) {
  for (int slot : KeySlots()) {
    if (!Keys(data, slot).layout.unique) continue;
    const std::vector<std::uint8_t> old_key = KeyOf(data, slot, old_record);
    const std::vector<std::uint8_t> new_key = KeyOf(data, slot, new_record);
    if (old_key == new_key) continue;
    TIndexTree tree = Tree(data, slot);
    TIndexEntry found;
    const int k = static_cast<int>(new_key.size());
    if (tree.Seek(new_key.data(), k, found) && found.record != recno &&
        KeyComparator(Keys(data, slot).layout).Compare(found.key.data(), new_key.data(), k) == 0) {
      Raise(kErrDuplicateKey, slot);
    }
  }
}

void TIndexFile::ModifyKeys(const TDataFile& data, const std::uint8_t* old_record,
                            const std::uint8_t* new_record, std::int32_t recno) {
  // Indexes already moved to the new key are moved back on failure.
  std::vector<std::tuple<int, std::vector<std::uint8_t>, std::vector<std::uint8_t>>> done;
  TUndoOnThrow undo([&] {
    for (auto& [slot, old_key, new_key] : done) {
      TIndexTree tree = Tree(data, slot);
      tree.Delete(new_key.data(), recno);
      tree.Insert(old_key.data(), recno);
    }
  });
  for (int slot : KeySlots()) {
    std::vector<std::uint8_t> old_key = KeyOf(data, slot, old_record);
    std::vector<std::uint8_t> new_key = KeyOf(data, slot, new_record);
    if (old_key == new_key) continue;
    TIndexTree tree = Tree(data, slot);
    tree.Delete(old_key.data(), recno);
    {
      TUndoOnThrow put_back([&] { tree.Insert(old_key.data(), recno); });
      tree.Insert(new_key.data(), recno);
    }
    done.emplace_back(slot, std::move(old_key), std::move(new_key));
  }
}

void TIndexFile::DeleteKeys(const TDataFile& data, const std::uint8_t* record, std::int32_t recno) {
  for (int slot : KeySlots()) {
    const std::vector<std::uint8_t> key = KeyOf(data, slot, record);
    Tree(data, slot).Delete(key.data(), recno);
  }
  TIndexTree deleted = Tree(data, kSysDeletedSlot);
  deleted.Delete(DeletedKey(record, false).data(), recno);
  const std::vector<std::uint8_t> gone = DeletedKey(record, true);
  if (!deleted.Contains(gone.data())) deleted.Insert(gone.data(), recno);
}

std::vector<std::string> TIndexFile::CheckTrees(TDataFile& data) {
  return TIndexCheck(*this, data).Run();
}

}  // namespace kura
