// TIndexFile: the index definitions, stored in the header's descriptors:
// slots and their queries, and adding, deleting and renaming indexes.
#include <algorithm>
#include <cstring>
#include <deque>
#include <set>

#include "db/common/undo_on_throw.h"
#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/scramble.h"
#include "db/storage/index/index_file.h"

namespace kura {

namespace {

namespace ih = index_header;
namespace id = index_descriptor;

}  // namespace

// ---- names ----

std::string TIndexFile::UpperName(std::string_view name) {
  std::string u(name);
  for (char& c : u)
    c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  return u;
}

bool TIndexFile::ValidNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

// ---- slots ----

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
    if (UpperName(DecodeShortString(Descriptor(s) + id::kName, id::kNameCapacity)) ==
        UpperName(name)) {
      return s;
    }
  }
  return -1;
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
  TUndoOnThrow undo([&] {
    ReleaseTreePages(0, kSysDeletedSlot);
    std::memcpy(Descriptor(0), before.data(), before.size());
    header_[ih::kNoPrimaryKey] = no_primary;
    keys_[0].reset();
  });
  BuildIndex(data, 0);
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
  TUndoOnThrow undo([&] {
    ReleaseTreePages(slot, kSysDeletedSlot);
    std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
    header_[ih::kSecondaryCount] = static_cast<std::uint8_t>(slot - 1);
    keys_[static_cast<std::size_t>(slot)].reset();
  });
  BuildIndex(data, slot);
}

void TIndexFile::AddTemporaryIndex(TDataFile& data, const TIndexDefinition& def, int key_size) {
  int slot = kMaxSecondaryIndexes;
  while (IsTemporary(slot))
    --slot;
  OpenTemporaryFile();
  WriteDefinition(slot, def, key_size);
  TUndoOnThrow undo([&] {
    ForgetSlotPages(slot);
    std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
  });
  BuildIndex(data, slot);
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
  for (auto& [n, page] : cache_.Pages(slot)) {
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

}  // namespace kura
