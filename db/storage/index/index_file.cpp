#include "db/storage/index/index_file.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <set>

#include "db/common/undo_on_throw.h"
#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/scramble.h"

namespace kura {

namespace {

namespace ih = index_header;
namespace id = index_descriptor;

}  // namespace

TIndexFile::TIndexFile(std::string table_name, bool in_memory, bool encrypted,
                       const TStorageSettings& settings)
    : file_(table_name, in_memory),
      temp_file_(table_name, in_memory),
      encrypted_(encrypted),
      settings_(settings),
      cache_(static_cast<std::size_t>(
          std::max<std::int32_t>(1, settings.index_buffer_memory / 8192))) {}

TIndexFile::~TIndexFile() {
  if (temp_file_.IsOpen()) {
    try {
      temp_file_.Close();
    } catch (...) {
    }
  }
}

// ---- header ----

std::int32_t TIndexFile::NextPage() const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[ih::kNextPage]));
}
void TIndexFile::SetNextPage(std::int32_t n) {
  EncodeFixed32(&header_[ih::kNextPage], static_cast<std::uint32_t>(n));
  header_changed_ = true;
}
std::int32_t TIndexFile::PagesHeld() {
  std::int64_t held = file_.Size() / kIndexPageSize - 1;
  for (int slot = 0; slot < kIndexSlots; ++slot) {
    if (IsTemporary(slot)) continue;
    for (const auto& [n, page] : cache_.Pages(slot))
      held = std::max<std::int64_t>(held, n);
  }
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(held, 0, kMaxIndexPages));
}

std::int32_t TIndexFile::ChangeCounter() const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[ih::kChangeCounter]));
}
std::int32_t TIndexFile::RecordCount() const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[ih::kRecordCount]));
}
void TIndexFile::AdjustRecordCount(std::int32_t delta) {
  EncodeFixed32(&header_[ih::kRecordCount],
                static_cast<std::uint32_t>(RecordCount()) + static_cast<std::uint32_t>(delta));
  header_changed_ = true;
}
std::int32_t TIndexFile::FreeHead(int slot) const {
  return static_cast<std::int32_t>(DecodeFixed32(Descriptor(slot) + id::kFreeHead));
}
std::int32_t TIndexFile::RootPage(int slot) {
  return static_cast<std::int32_t>(DecodeFixed32(Descriptor(slot) + id::kRoot));
}
void TIndexFile::SetRootPage(int slot, std::int32_t n) {
  EncodeFixed32(Descriptor(slot) + id::kRoot, static_cast<std::uint32_t>(n));
  HeaderTouched(slot);
}

bool TIndexFile::IsTemporary(int slot) const {
  return slot >= 1 && slot <= kMaxSecondaryIndexes && Descriptor(slot)[id::kTemporary] != 0;
}

int TIndexFile::TemporaryCount() const {
  int count = 0;
  for (int slot = 1; slot <= kMaxSecondaryIndexes; ++slot)
    count += IsTemporary(slot) ? 1 : 0;
  return count;
}

void TIndexFile::OpenTemporaryFile() {
  if (temp_file_.IsOpen()) return;
  // Next to the index file, under a name no other handle picks.
  static std::atomic<std::uint32_t> sequence{0};
  std::random_device random;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%08X%04X.TMP", random(),
                static_cast<unsigned>(++sequence & 0xFFFFu));
  temp_file_.Create(file_.FileName() + suffix, true);
  temp_next_page_ = 1;
}

void TIndexFile::ForgetSlotPages(int slot) {
  cache_.Forget(slot);
  keys_[static_cast<std::size_t>(slot)].reset();
}

void TIndexFile::DropTemporaryIndexes() {
  for (int slot = 1; slot <= kMaxSecondaryIndexes; ++slot) {
    if (!IsTemporary(slot)) continue;
    ForgetSlotPages(slot);
    std::memset(Descriptor(slot), 0, kIndexDescriptorSize);
  }
  temp_next_page_ = 1;
  if (temp_file_.IsOpen()) temp_file_.Close();  // delete-on-close removes it
}

void TIndexFile::Raise(std::uint16_t code, int slot) {
  TErrorContext context;
  context.table_name = file_.TableName();
  if (slot >= 0 && slot < kIndexSlots) {
    context.index_name = DecodeShortString(Descriptor(slot) + id::kName, id::kNameCapacity);
  }
  RaiseEngineError(code, context);
}

void TIndexFile::CheckHeader(const std::array<std::uint8_t, kIndexPageSize>& page) const {
  if (page[ih::kVersion] != kIndexFileVersion) file_.Raise(kErrVersion);
  if (page[ih::kSecondaryCount] > kMaxSecondaryIndexes) file_.Raise(kErrHeaderCorrupt);
  const auto next = static_cast<std::int32_t>(DecodeFixed32(&page[ih::kNextPage]));
  if (next < 1 || next > kMaxIndexPages + 1) file_.Raise(kErrHeaderCorrupt);
  // Temporary indexes are never stored: a stored descriptor marked as one
  // would send its pages to a file that does not exist.
  for (int slot = 0; slot < kIndexSlots; ++slot) {
    const std::uint8_t* d = &page[IndexDescriptorOffset(slot)];
    if (d[id::kTemporary] != 0 || d[id::kTemporaryPages] != 0) file_.Raise(kErrHeaderCorrupt);
  }
}

void TIndexFile::ReadHeaderPage(std::array<std::uint8_t, kIndexPageSize>* page) {
  file_.ReadFull(0, page->data(), page->size());
  if (encrypted_) Scramble(page->data(), page->size(), kRecordKey);
}

void TIndexFile::AdoptHeader(const std::array<std::uint8_t, kIndexPageSize>& page) {
  // Temporary descriptors exist only here; they keep their slots unless the
  // stored indexes now reach them (another handle added indexes), in which
  // case the temporary index is dropped.
  std::vector<std::pair<int, std::array<std::uint8_t, kIndexDescriptorSize>>> kept;
  for (int slot = 1; slot <= kMaxSecondaryIndexes; ++slot) {
    if (!IsTemporary(slot)) continue;
    std::array<std::uint8_t, kIndexDescriptorSize> d;
    std::memcpy(d.data(), Descriptor(slot), d.size());
    kept.emplace_back(slot, d);
  }
  header_ = page;
  for (auto& [slot, d] : kept) {
    const std::uint8_t* disk = Descriptor(slot);
    const bool free = slot > SecondaryCount() && std::all_of(disk, disk + kIndexDescriptorSize,
                                                             [](std::uint8_t b) { return b == 0; });
    if (free) {
      std::memcpy(Descriptor(slot), d.data(), d.size());
    } else {
      ForgetSlotPages(slot);
    }
  }
  header_[ih::kHeaderChanged] = 0;
  header_changed_ = false;
  ForgetKeys();
}

void TIndexFile::Create(const std::string& file_name, const TIndexCreateOptions& options) {
  DropTemporaryIndexes();
  DropAllPages(true);
  AdoptHeader(NewIndexHeaderPage(options.no_primary_key));
  header_changed_ = true;
  file_.Create(file_name);
  WriteHeader(true);
}

void TIndexFile::Open(const std::string& file_name, bool exclusive) {
  file_.Open(file_name, exclusive);
  TUndoOnThrow close([this] { file_.Close(); });
  std::array<std::uint8_t, kIndexPageSize> page;
  ReadHeaderPage(&page);
  CheckHeader(page);
  DropTemporaryIndexes();
  DropAllPages(true);
  AdoptHeader(page);
}

void TIndexFile::Close() {
  DropTemporaryIndexes();
  DropAllPages(true);
  ForgetKeys();
  file_.Close();
}

// Every read lock checks the counter: only its four bytes are read, and the
// whole header page only when it moved.
bool TIndexFile::ReReadHeaderIfChanged() {
  std::uint8_t counter[4];
  file_.ReadHeadFull(ih::kChangeCounter, counter, sizeof counter);
  if (encrypted_) Scramble(counter, sizeof counter, ScrambleKeyAt(kRecordKey, ih::kChangeCounter));
  if (DecodeFixed32(counter) == DecodeFixed32(&header_[ih::kChangeCounter])) return false;
  std::array<std::uint8_t, kIndexPageSize> page;
  ReadHeaderPage(&page);
  CheckHeader(page);
  DropAllPages(false);
  AdoptHeader(page);
  return true;
}

void TIndexFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return;
  EncodeFixed32(&header_[ih::kChangeCounter], static_cast<std::uint32_t>(ChangeCounter()) + 1u);
  header_[ih::kHeaderChanged] = header_changed_ ? 1 : 0;
  std::array<std::uint8_t, kIndexPageSize> page = header_;
  // Temporary descriptors are never stored.
  for (int slot = 1; slot <= kMaxSecondaryIndexes; ++slot) {
    if (IsTemporary(slot)) std::memset(&page[IndexDescriptorOffset(slot)], 0, kIndexDescriptorSize);
  }
  if (encrypted_) Scramble(page.data(), page.size(), kRecordKey);
  file_.Write(0, page.data(), page.size());
  ++writes_;
  header_[ih::kHeaderChanged] = 0;
  header_changed_ = false;
}

void TIndexFile::MarkChanged() {
  EncodeFixed32(&header_[ih::kChangeCounter], static_cast<std::uint32_t>(ChangeCounter()) + 1u);
  header_changed_ = true;
}

void TIndexFile::Empty() {
  DropAllPages(true);
  file_.SetSize(static_cast<std::int64_t>(kIndexPageSize));
  if (temp_file_.IsOpen()) temp_file_.SetSize(0);
  temp_next_page_ = 1;
  EncodeFixed32(&header_[ih::kNextPage], 1);
  EncodeFixed32(&header_[ih::kRecordCount], 0);
  for (int slot = 0; slot < kIndexSlots; ++slot) {
    std::uint8_t* d = Descriptor(slot);
    EncodeFixed32(d + id::kRoot, 0);
    EncodeFixed32(d + id::kFreeHead, 0);
    EncodeFixed32(d + id::kRawDataHead, 0);
  }
  header_changed_ = true;
}

void TIndexFile::Verify(const TDataFile& data) {
  {
    // The header as it would be stored.
    std::array<std::uint8_t, kIndexPageSize> stored = header_;
    for (int slot = 1; slot <= kMaxSecondaryIndexes; ++slot) {
      if (IsTemporary(slot))
        std::memset(&stored[IndexDescriptorOffset(slot)], 0, kIndexDescriptorSize);
    }
    CheckHeader(stored);
  }
  if (file_.Size() < static_cast<std::int64_t>(kIndexPageSize)) file_.Raise(kErrHeaderCorrupt);
  // Every page the header counts must exist before anything walks them.
  if (NextPage() - 1 > PagesHeld()) file_.Raise(kErrHeaderCorrupt);
  std::set<std::string> names;
  for (int slot = 0; slot < kIndexSlots; ++slot) {
    const std::uint8_t* d = Descriptor(slot);
    const int field_count = d[id::kFieldCount];
    const std::string name = DecodeShortString(d + id::kName, id::kNameCapacity);
    if (field_count > kMaxKeyFields) file_.Raise(kErrHeaderCorrupt);
    if (slot == 0 && !name.empty()) file_.Raise(kErrHeaderCorrupt);
    if (slot == 0 && field_count == 0 && !NoPrimaryKey()) file_.Raise(kErrHeaderCorrupt);
    if (slot >= 1 && slot <= kMaxSecondaryIndexes) {
      const bool in_use = slot <= SecondaryCount() || IsTemporary(slot);
      if (in_use != !name.empty()) file_.Raise(kErrHeaderCorrupt);
    }
    if (!name.empty()) {
      if (!ValidNameStart(static_cast<unsigned char>(name[0]))) file_.Raise(kErrHeaderCorrupt);
      if (!names.insert(UpperName(name)).second) file_.Raise(kErrHeaderCorrupt);
    }
    for (int i = 0; i < kMaxKeyFields; ++i) {
      const int number = DecodeFixed16(d + id::kFieldNumbers + 2 * i);
      if ((i < field_count) != (number != 0)) file_.Raise(kErrHeaderCorrupt);
      if (number == 0) continue;
      const TFieldDescriptor* f = data.FieldByNumber(number);
      if (f == nullptr) file_.Raise(kErrHeaderCorrupt);
      const bool text_ok = f->Type() == kFieldString || f->Type() == kFieldBlob;
      if (slot == kSysTextSlot ? !text_ok : f->Type() == kFieldBlob) file_.Raise(kErrHeaderCorrupt);
    }
    const int key_size = static_cast<std::int16_t>(DecodeFixed16(d + id::kKeySize));
    if (key_size < 0 || key_size > kMaxKeySize) file_.Raise(kErrHeaderCorrupt);
    if (d[id::kCompression] > kCompressFull) file_.Raise(kErrHeaderCorrupt);
    const std::int32_t pages = NextPageOf(slot) - 1;
    for (std::size_t off : {id::kRoot, id::kFreeHead, id::kRawDataHead}) {
      const auto page = static_cast<std::int32_t>(DecodeFixed32(d + off));
      if (page < 0 || page > pages) file_.Raise(kErrHeaderCorrupt);
    }
  }
  if (RecordCount() < 0) file_.Raise(kErrHeaderCorrupt);
  // Key sizes must match the fields (8961 from Keys otherwise).
  for (int slot : KeySlots())
    Keys(data, slot);
}

// ---- page cache ----

PageFormat TIndexFile::FormatOf(int slot) const {
  const std::uint8_t* d = Descriptor(slot);
  PageFormat f;
  f.key_size = static_cast<std::int16_t>(DecodeFixed16(d + id::kKeySize));
  f.unique = slot == 0 || slot == kSysDeletedSlot || d[id::kUnique] != 0;
  f.compression = d[id::kCompression];
  f.with_counts = slot != kSysTextSlot && d[id::kTemporary] == 0;
  return f;
}

TPage* TIndexFile::GetPage(int slot, std::int32_t n) {
  if (slot < 0 || slot >= kIndexSlots || n <= 0 || n > NextPageOf(slot)) {
    Raise(kErrPageBuffersCorrupt, slot);
  }
  const bool temporary = IsTemporary(slot);
  if (n == NextPageOf(slot)) {
    if (static_cast<std::int64_t>(n) > kMaxIndexPages ||
        static_cast<std::int64_t>(n) * kIndexPageSize + kIndexPageSize > kMaxIndexFileBytes) {
      Raise(kErrTableFull, slot);
    }
    TPage* page = cache_.TakeBuffer(slot);
    page->Reset(n, slot, FormatOf(slot), kPageLeaf);
    cache_.Insert(slot, page);
    if (temporary) {
      temp_next_page_ = n + 1;
    } else {
      SetNextPage(n + 1);
    }
    return page;
  }
  if (TPage* cached = cache_.Find(slot, n)) return cached;
  std::array<std::uint8_t, kIndexPageSize> image;
  FileOf(slot).ReadFull(static_cast<std::int64_t>(n) * kIndexPageSize, image.data(), image.size());
  ++reads_;
  if (encrypted_) Scramble(image.data(), image.size(), kRecordKey);
  const PageFormat format = FormatOf(slot);
  if (format.key_size <= 0 || format.key_size > kMaxKeySize || format.compression > kCompressFull) {
    Raise(kErrHeaderCorrupt, slot);
  }
  TPage* page = cache_.TakeBuffer(slot);
  if (!page->Decode(n, slot, format, image) || page->number() != n) {
    cache_.GiveBack(page);
    Raise(kErrPageBuffersCorrupt, slot);
  }
  cache_.Insert(slot, page);
  return page;
}

void TIndexFile::MarkDirty(TPage* page) {
  cache_.MarkDirty(page);
}

void TIndexFile::ReleasePage(TPage* page) {
  if (page->pins > 0) --page->pins;
}

TPage* TIndexFile::AllocatePage(int slot, std::uint8_t type) {
  const std::int32_t head = FreeHead(slot);
  TPage* page;
  if (head != 0) {
    page = GetPage(slot, head);
    const std::int32_t next = page->next();
    // A page taken from the chain must be free; a chain that loops back into
    // a page in use is corruption.
    if (page->count() != 0 || next < 0 || next >= NextPageOf(slot) || next == head) {
      ReleasePage(page);
      Raise(kErrPageBuffersCorrupt, slot);
    }
    EncodeFixed32(Descriptor(slot) + id::kFreeHead, static_cast<std::uint32_t>(next));
    HeaderTouched(slot);
  } else {
    page = GetPage(slot, NextPageOf(slot));
  }
  page->Reset(page->number(), slot, FormatOf(slot), type);
  MarkDirty(page);
  return page;
}

void TIndexFile::FreePage(TPage* page) {
  const int slot = page->slot();
  page->Reset(page->number(), slot, FormatOf(slot), page->type());
  page->set_next(FreeHead(slot));
  page->set_freed(true);
  MarkDirty(page);
  EncodeFixed32(Descriptor(slot) + id::kFreeHead, static_cast<std::uint32_t>(page->number()));
  HeaderTouched(slot);
}

bool TIndexFile::FlushPages() {
  // Only pages marked since the last flush can be dirty; a page may be listed
  // twice (cleared by a reset and marked again), and one written since.
  std::vector<TPage*> dirty = cache_.TakeDirty();
  if (dirty.empty()) return false;
  // A page whose entries outgrew it is a fault in memory: write nothing and
  // keep every page dirty.
  for (TPage* page : dirty) {
    if (!page->Fits()) {
      cache_.KeepDirty(dirty);
      Raise(kErrPageBuffersCorrupt, page->slot());
    }
  }
  // Pages of the index file first, then those of the temporary file, each
  // in page-number order.
  auto temporary = [this](const TPage* p) { return IsTemporary(p->slot()); };
  std::sort(dirty.begin(), dirty.end(), [&](const TPage* a, const TPage* b) {
    return std::pair(temporary(a), a->number()) < std::pair(temporary(b), b->number());
  });
  bool stored = false;
  // Runs of consecutive pages of one file go out in one write.
  std::vector<std::uint8_t> run;
  std::size_t i = 0;
  while (i < dirty.size()) {
    const bool temp = temporary(dirty[i]);
    std::size_t j = i + 1;
    while (j < dirty.size() && temporary(dirty[j]) == temp &&
           dirty[j]->number() == dirty[j - 1]->number() + 1)
      ++j;
    run.resize((j - i) * kIndexPageSize);
    for (std::size_t k = i; k < j; ++k) {
      std::span<std::uint8_t, kIndexPageSize> image(run.data() + (k - i) * kIndexPageSize,
                                                    kIndexPageSize);
      dirty[k]->Encode(image);
      if (encrypted_) Scramble(image.data(), image.size(), kRecordKey);
      dirty[k]->dirty = false;
    }
    (temp ? temp_file_ : file_)
        .Write(static_cast<std::int64_t>(dirty[i]->number()) * kIndexPageSize, run.data(),
               run.size());
    ++writes_;
    stored = stored || !temp;
    i = j;
  }
  // Whether the index file was written.
  return stored;
}

void TIndexFile::DropAllPages(bool with_temporary) {
  TIndexPageCache::TSlotSet slots;
  for (int slot = 0; slot < kIndexSlots; ++slot)
    slots.set(static_cast<std::size_t>(slot), with_temporary || !IsTemporary(slot));
  cache_.Drop(slots);
}

void TIndexFile::DropPages() {
  DropAllPages(false);
}

void TIndexFile::TrimCache() {
  cache_.Trim();
}

}  // namespace kura
