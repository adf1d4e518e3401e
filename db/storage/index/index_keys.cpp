// TIndexFile: the keys of a table's records in every index (key layouts,
// insert, modify and delete with their rollbacks) and the deep check's entry.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "db/common/undo_on_throw.h"
#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/scramble.h"
#include "db/storage/index/index_check.h"
#include "db/storage/index/index_file.h"

namespace kura {

namespace {

namespace id = index_descriptor;

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
  if (RootPage(kSysDeletedSlot) != 0 || KeysFromRecords()) return false;
  const PageFormat format = FormatOf(kSysDeletedSlot);
  return !format.Compressed() && format.key_size == 5;
}

void TIndexFile::LoadAppendedSlots(const TDataFile& data, std::int32_t first,
                                   std::int32_t count) {
  if (RootPage(kSysDeletedSlot) != 0) Raise(kErrPageBuffersCorrupt, kSysDeletedSlot);
  // The live key of slot n: flag 0, then n as DeletedKey encodes it.
  Tree(data, kSysDeletedSlot)
      .Load(count, [first](std::int64_t i, std::uint8_t* key, std::int32_t* record) {
        *record = first + static_cast<std::int32_t>(i);
        key[0] = 0;
        EncodeKeyInt32(key + 1, *record);
      });
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
