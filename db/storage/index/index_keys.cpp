// TIndexFile, second half: the keys of a table's records in every index, the
// index definitions (add, delete, rename), and the deep check of the trees.
#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <tuple>

#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "db/storage/file/scramble.h"

namespace kura {

namespace {

namespace ih = index_header;
namespace id = index_descriptor;

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return u;
}

bool ValidNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

}  // namespace

// ---- key layouts ----

bool TIndexFile::SlotInUse(int slot) const {
  if (slot == 0) return Descriptor(0)[id::kFieldCount] > 0;
  if (slot >= 1 && slot <= kMaxSecondaryIndexes) {
    return slot <= SecondaryCount() || IsTemporary(slot);
  }
  return slot == kSysDeletedSlot || slot == kSysTextSlot;
}

std::vector<int> TIndexFile::KeySlots() const {
  std::vector<int> slots;
  for (int s = 0; s <= kMaxSecondaryIndexes; ++s) {
    if (SlotInUse(s)) slots.push_back(s);
  }
  return slots;
}

TIndexDefinition TIndexFile::Definition(int slot) const {
  const std::uint8_t* d = Descriptor(slot);
  TIndexDefinition def;
  def.name = DecodeShortString(d + id::kName, id::kNameCapacity);
  const int count = std::min<int>(d[id::kFieldCount], kMaxKeyFields);
  for (int i = 0; i < count; ++i) {
    def.fields.push_back(DecodeFixed16(d + id::kFieldNumbers + 2 * i));
    def.field_descending.push_back(d[id::kFieldDescending + static_cast<std::size_t>(i)] != 0);
  }
  def.descending = d[id::kDescending] != 0;
  def.case_insensitive = d[id::kCaseInsensitive] != 0;
  def.unique = slot == 0 || d[id::kUnique] != 0;
  def.compression = d[id::kCompression];
  def.temporary = IsTemporary(slot);
  return def;
}

int TIndexFile::SlotOf(std::string_view name) const {
  if (name.empty()) return SlotInUse(0) ? 0 : -1;
  for (int s = 1; s < kIndexSlots; ++s) {
    if (!SlotInUse(s)) continue;
    if (Upper(DecodeShortString(Descriptor(s) + id::kName, id::kNameCapacity)) == Upper(name)) {
      return s;
    }
  }
  return -1;
}

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
  std::vector<std::pair<int, std::vector<std::uint8_t>>> done;
  try {
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
  } catch (...) {
    // Take back the keys already added, so that the indexes stay as they were.
    for (auto& [slot, key] : done)
      Tree(data, slot).Delete(key.data(), recno);
    throw;
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
  std::vector<std::tuple<int, std::vector<std::uint8_t>, std::vector<std::uint8_t>>> done;
  try {
    for (int slot : KeySlots()) {
      std::vector<std::uint8_t> old_key = KeyOf(data, slot, old_record);
      std::vector<std::uint8_t> new_key = KeyOf(data, slot, new_record);
      if (old_key == new_key) continue;
      TIndexTree tree = Tree(data, slot);
      tree.Delete(old_key.data(), recno);
      try {
        tree.Insert(new_key.data(), recno);
      } catch (...) {
        tree.Insert(old_key.data(), recno);
        throw;
      }
      done.emplace_back(slot, std::move(old_key), std::move(new_key));
    }
  } catch (...) {
    for (auto& [slot, old_key, new_key] : done) {
      TIndexTree tree = Tree(data, slot);
      tree.Delete(new_key.data(), recno);
      tree.Insert(old_key.data(), recno);
    }
    throw;
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

// ---- index definitions ----

void TIndexFile::CheckDefinition(const TDataFile& data, const TIndexDefinition& def,
                                 KeyLayout* layout) {
  if (def.fields.size() > static_cast<std::size_t>(kMaxKeyFields)) Raise(kErrIndexLimits, -1);
  if (def.compression > kCompressFull) Raise(kErrKeySize, -1);
  int segment_bytes = 0;
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    const TFieldDescriptor* f = data.FieldByNumber(def.fields[i]);
    TErrorContext context;
    context.table_name = file_.TableName();
    context.index_name = def.name;
    context.field_name = std::to_string(def.fields[i]);
    if (f == nullptr || f->Computed()) RaiseEngineError(kErrIndexFieldNumber, context);
    context.field_name = f->Name();
    if (f->Type() == kFieldBlob) RaiseEngineError(kErrIndexField, context);
    KeyField field{f->Type(), f->Subtype(), f->StorageSize(), f->Offset(),
                   i < def.field_descending.size() && def.field_descending[i]};
    segment_bytes += field.SegmentSize();
    layout->fields.push_back(field);
  }
  if (segment_bytes > kMaxKeySegmentBytes) {
    TErrorContext context;
    context.table_name = file_.TableName();
    context.index_name = def.name;
    RaiseEngineError(kErrKeySize, context);
  }
  layout->unique = def.unique;
}

void TIndexFile::WriteDefinition(int slot, const TIndexDefinition& def, int key_size) {
  std::uint8_t* d = Descriptor(slot);
  std::memset(d, 0, kIndexDescriptorSize);
  EncodeShortString(d + id::kName, id::kNameCapacity, def.name);
  EncodeFixed16(d + id::kKeySize, static_cast<std::uint16_t>(key_size));
  d[id::kDescending] = def.descending ? 1 : 0;
  d[id::kCaseInsensitive] = def.case_insensitive ? 1 : 0;
  d[id::kUnique] = def.unique ? 1 : 0;
  d[id::kCompression] = def.compression;
  d[id::kFieldCount] = static_cast<std::uint8_t>(def.fields.size());
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    d[id::kFieldDescending + i] =
        i < def.field_descending.size() && def.field_descending[i] ? 1 : 0;
    EncodeFixed16(d + id::kFieldNumbers + 2 * i, static_cast<std::uint16_t>(def.fields[i]));
  }
  if (def.temporary) {
    d[id::kTemporaryPages] = 1;
    d[id::kTemporary] = 1;
  }
  HeaderTouched(slot);
  keys_[static_cast<std::size_t>(slot)].reset();
}

void TIndexFile::BuildIndex(TDataFile& data, int slot) {
  TIndexTree tree = Tree(data, slot);
  const std::size_t size = static_cast<std::size_t>(data.RecordSize());
  std::vector<std::uint8_t> record(size);
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    {
      TRecordPin rec = data.GetRecord(n);
      if (rec->Deleted()) continue;
      std::memcpy(record.data(), rec->Data(), size);
    }
    const std::vector<std::uint8_t> key = KeyOf(data, slot, record.data());
    tree.Insert(key.data(), n);
  }
}

// Moves every page of `slot` (tree and free chain) onto the free chain of
// `to_slot`, and empties `slot`.
void TIndexFile::ReleaseTreePages(int slot, int to_slot) {
  std::vector<std::int32_t> pages;
  std::set<std::int32_t> seen;
  std::deque<std::int32_t> queue;
  if (RootPage(slot) != 0) queue.push_back(RootPage(slot));
  while (!queue.empty()) {
    const std::int32_t n = queue.front();
    queue.pop_front();
    if (!seen.insert(n).second || static_cast<std::int32_t>(seen.size()) > PageCount()) {
      Raise(kErrPageBuffersCorrupt, slot);
    }
    pages.push_back(n);
    TPageRef page(this, GetPage(slot, n));
    if (!page->IsLeaf()) {
      for (int i = 1; i <= page->count(); ++i)
        queue.push_back(page->Pointer(i));
    }
  }
  for (std::int32_t n = FreeHead(slot); n != 0;) {
    if (!seen.insert(n).second) Raise(kErrPageBuffersCorrupt, slot);
    pages.push_back(n);
    TPageRef page(this, GetPage(slot, n));
    n = page->next();
  }
  for (std::int32_t n : pages) {
    TPageRef page(this, GetPage(slot, n));
    page->Reset(n, slot, FormatOf(slot), page->type());
    page->set_next(FreeHead(to_slot));
    page->set_freed(true);
    MarkDirty(page.get());
    EncodeFixed32(Descriptor(to_slot) + id::kFreeHead, static_cast<std::uint32_t>(n));
  }
  SetRootPage(slot, 0);
  EncodeFixed32(Descriptor(slot) + id::kFreeHead, 0);
  header_changed_ = true;
}

void TIndexFile::AddPrimaryIndex(TDataFile& data, const TIndexDefinition& given) {
  if (SlotInUse(0)) Raise(kErrPrimaryExists, -1);
  TIndexDefinition def = given;
  def.name.clear();
  def.unique = true;
  KeyLayout layout;
  CheckDefinition(data, def, &layout);
  if (def.fields.empty()) return;
  const std::array<std::uint8_t, kIndexDescriptorSize> before = [&] {
    std::array<std::uint8_t, kIndexDescriptorSize> b;
    std::memcpy(b.data(), Descriptor(0), b.size());
    return b;
  }();
  const std::uint8_t no_primary = header_[ih::kNoPrimaryKey];
  WriteDefinition(0, def, layout.KeySize());
  header_[ih::kNoPrimaryKey] = 0;
  try {
    BuildIndex(data, 0);
  } catch (...) {
    ReleaseTreePages(0, kSysDeletedSlot);
    std::memcpy(Descriptor(0), before.data(), before.size());
    header_[ih::kNoPrimaryKey] = no_primary;
    keys_[0].reset();
    throw;
  }
}

void TIndexFile::AddSecondaryIndex(TDataFile& data, const TIndexDefinition& def) {
  TErrorContext context;
  context.table_name = file_.TableName();
  context.index_name = def.name;
  if (def.name.empty()) RaiseEngineError(kErrIndexNameMissing, context);
  if (!ValidNameStart(static_cast<unsigned char>(def.name[0])) ||
      def.name.size() > id::kNameCapacity) {
    RaiseEngineError(kErrInvalidIndexName, context);
  }
  if (SlotOf(def.name) >= 0) RaiseEngineError(kErrIndexExists, context);
  if (SecondaryCount() + TemporaryCount() >= kMaxSecondaryIndexes) {
    RaiseEngineError(kErrIndexLimits, context);
  }
  KeyLayout layout;
  CheckDefinition(data, def, &layout);
  if (def.fields.empty()) RaiseEngineError(kErrIndexLimits, context);
  if (def.temporary) {
    AddTemporaryIndex(data, def, layout.KeySize());
    return;
  }
  const int slot = SecondaryCount() + 1;
  if (IsTemporary(slot)) MoveTemporaryIndex(slot);
  WriteDefinition(slot, def, layout.KeySize());
  header_[ih::kSecondaryCount] = static_cast<std::uint8_t>(slot);
  try {
    BuildIndex(data, slot);
  } catch (...) {
    ReleaseTreePages(slot, kSysDeletedSlot);
    std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
    header_[ih::kSecondaryCount] = static_cast<std::uint8_t>(slot - 1);
    keys_[static_cast<std::size_t>(slot)].reset();
    throw;
  }
}

void TIndexFile::AddTemporaryIndex(TDataFile& data, const TIndexDefinition& def, int key_size) {
  int slot = kMaxSecondaryIndexes;
  while (IsTemporary(slot))
    --slot;
  OpenTemporaryFile();
  WriteDefinition(slot, def, key_size);
  try {
    BuildIndex(data, slot);
  } catch (...) {
    ForgetSlotPages(slot);
    std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
    throw;
  }
}

// Moves the temporary index in `slot` to the highest free slot above it,
// making room for a stored index (these keep slots 1..count without gaps).
void TIndexFile::MoveTemporaryIndex(int slot) {
  int to = kMaxSecondaryIndexes;
  while (to > slot && IsTemporary(to))
    --to;
  if (to <= slot) Raise(kErrIndexLimits, slot);
  // Its cached pages are bound to the slot: write the changed ones to the
  // temporary file, then read them again under the new slot.
  for (auto& [n, page] : caches_[static_cast<std::size_t>(slot)].pages) {
    if (!page->dirty) continue;
    if (!page->Fits()) Raise(kErrPageBuffersCorrupt, slot);
    std::array<std::uint8_t, kIndexPageSize> image;
    page->Encode(image);
    if (encrypted_) Scramble(image.data(), image.size(), kRecordKey);
    temp_file_.Write(static_cast<std::int64_t>(n) * kIndexPageSize, image.data(), image.size());
    ++writes_;
    page->dirty = false;
  }
  ForgetSlotPages(slot);
  std::memcpy(Descriptor(to), Descriptor(slot), kIndexDescriptorSize);
  std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
  keys_[static_cast<std::size_t>(to)].reset();
}

void TIndexFile::DeleteIndex(int slot) {
  if (IsTemporary(slot)) {
    ForgetSlotPages(slot);
    std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
    return;
  }
  if (slot < 1 || slot > SecondaryCount()) Raise(kErrPrimaryRemove, -1);
  ReleaseTreePages(slot, kSysDeletedSlot);
  // Page caches are kept per slot: write everything back and start afresh
  // before the descriptors move.
  FlushPages();
  DropPages();
  for (int s = slot; s < SecondaryCount(); ++s) {
    std::memcpy(Descriptor(s), Descriptor(s + 1), kIndexDescriptorSize);
  }
  std::memset(Descriptor(SecondaryCount()), 0, kIndexDescriptorSize);
  header_[ih::kSecondaryCount] = static_cast<std::uint8_t>(SecondaryCount() - 1);
  header_changed_ = true;
  ForgetKeys();
}

void TIndexFile::RenameIndex(int slot, const std::string& new_name) {
  TErrorContext context;
  context.table_name = file_.TableName();
  context.index_name = new_name;
  if (slot < 1 || slot > SecondaryCount()) RaiseEngineError(kErrInvalidIndexName, context);
  if (new_name.empty()) RaiseEngineError(kErrIndexNameMissing, context);
  if (!ValidNameStart(static_cast<unsigned char>(new_name[0])) ||
      new_name.size() > id::kNameCapacity) {
    RaiseEngineError(kErrInvalidIndexName, context);
  }
  const int existing = SlotOf(new_name);
  if (existing >= 0 && existing != slot) RaiseEngineError(kErrIndexExists, context);
  EncodeShortString(Descriptor(slot) + id::kName, id::kNameCapacity, new_name);
  header_changed_ = true;
}

// ---- deep check ----

std::vector<std::string> TIndexFile::CheckTrees(TDataFile& data) {
  TProblemList problems;
  auto report = [&problems](int slot, const std::string& name, const std::string& what) {
    problems.Add("index " + std::to_string(slot) + " '" + name + "': " + what);
  };
  // Every page belongs to exactly one tree or free chain. A header counting
  // pages the file does not hold is checked against the pages that exist.
  std::int32_t file_pages = NextPage() - 1;
  if (const std::int32_t held = PagesHeld(); file_pages > held) {
    problems.Add("header counts " + std::to_string(file_pages) + " pages, the file holds " +
                 std::to_string(held));
    file_pages = held;
  }
  std::vector<int> owner(static_cast<std::size_t>(file_pages) + 1, -1);
  std::vector<int> slots = KeySlots();
  slots.push_back(kSysDeletedSlot);
  const std::size_t size = static_cast<std::size_t>(data.RecordSize());
  std::int32_t live = 0;
  std::vector<std::vector<std::uint8_t>> records(static_cast<std::size_t>(data.SlotCount()) + 1);
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin rec = data.GetRecord(n);
    records[static_cast<std::size_t>(n)].assign(rec->Data(), rec->Data() + size);
    if (!rec->Deleted()) ++live;
  }
  if (RecordCount() != live) {
    problems.Add("record count " + std::to_string(RecordCount()) + ", live records " +
                 std::to_string(live));
  }
  for (int slot : slots) {
    const std::string name = DecodeShortString(Descriptor(slot) + id::kName, id::kNameCapacity);
    try {
      TIndexTree tree = Tree(data, slot);
      for (const std::string& p : tree.Verify())
        report(slot, name, p);
      // Pages of the tree and of the free chain.
      // A temporary index's pages are numbered in the temporary file.
      const bool temporary = IsTemporary(slot);
      const std::int32_t pages = temporary ? TemporaryNextPage() - 1 : file_pages;
      std::vector<int> temp_owner(temporary ? static_cast<std::size_t>(pages) + 1 : 0, -1);
      std::vector<int>& owners = temporary ? temp_owner : owner;
      std::deque<std::int32_t> queue;
      if (RootPage(slot) != 0) queue.push_back(RootPage(slot));
      std::int64_t steps = 0;
      while (!queue.empty() && steps++ <= pages) {
        const std::int32_t n = queue.front();
        queue.pop_front();
        if (n < 1 || n > pages) continue;
        int& who = owners[static_cast<std::size_t>(n)];
        if (who != -1) {
          report(slot, name,
                 "page " + std::to_string(n) + " also used by index " + std::to_string(who));
          continue;
        }
        who = slot;
        TPageRef page(this, GetPage(slot, n));
        if (!page->IsLeaf()) {
          for (int i = 1; i <= page->count(); ++i)
            queue.push_back(page->Pointer(i));
        }
      }
      std::int32_t n = FreeHead(slot);
      for (std::int64_t chain = 0; n != 0; ++chain) {
        if (chain > pages || n < 0 || n > pages) {
          report(slot, name, "free chain broken or endless");
          break;
        }
        int& who = owners[static_cast<std::size_t>(n)];
        if (who != -1) {
          report(slot, name,
                 "free page " + std::to_string(n) + " also used by index " + std::to_string(who));
          break;
        }
        who = slot;
        TPageRef page(this, GetPage(slot, n));
        if (page->count() != 0)
          report(slot, name, "free page " + std::to_string(n) + " has entries");
        n = page->next();
      }
      // One key per live record (per slot for "Sys Deleted"), each the key
      // the record builds.
      std::vector<char> seen(records.size(), 0);
      const int k = tree.format().key_size;
      tree.ForEach([&](const std::uint8_t* key, std::int32_t rec) {
        if (rec < 1 || rec >= static_cast<std::int32_t>(records.size())) {
          report(slot, name, "key points at record " + std::to_string(rec));
          return;
        }
        const std::vector<std::uint8_t>& r = records[static_cast<std::size_t>(rec)];
        if (seen[static_cast<std::size_t>(rec)]++) {
          report(slot, name, "record " + std::to_string(rec) + " has more than one key");
        }
        if (slot != kSysDeletedSlot && r[0] != 0) {
          report(slot, name, "key of deleted record " + std::to_string(rec));
        }
        const std::vector<std::uint8_t> want = KeyOf(data, slot, r.data());
        if (std::memcmp(want.data(), key, static_cast<std::size_t>(k)) != 0) {
          report(slot, name, "key of record " + std::to_string(rec) + " differs from its record");
        }
      });
      for (std::size_t rec = 1; rec < records.size(); ++rec) {
        const bool wanted = slot == kSysDeletedSlot || records[rec][0] == 0;
        if (wanted && !seen[rec]) {
          report(slot, name, "record " + std::to_string(rec) + " has no key");
        }
      }
    } catch (const EKuraEngineError& e) {
      report(slot, name, e.what());
    }
  }
  for (std::int32_t n = 1; n <= file_pages; ++n) {
    if (owner[static_cast<std::size_t>(n)] == -1) {
      problems.Add("page " + std::to_string(n) + " belongs to no index");
    }
  }
  return problems.Take();
}

}  // namespace kura
