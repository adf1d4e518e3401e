#include "db/storage/index/index_format.h"

#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/scramble.h"

namespace kura {

std::array<std::uint8_t, kIndexPageSize> NewIndexHeaderPage(bool no_primary_key) {
  std::array<std::uint8_t, kIndexPageSize> page{};
  page[index_header::kVersion] = kIndexFileVersion;
  EncodeFixed32(&page[index_header::kNextPage], 1);
  std::uint8_t* deleted = &page[IndexDescriptorOffset(kSysDeletedSlot)];
  EncodeShortString(deleted + index_descriptor::kName, index_descriptor::kNameCapacity,
                    "Sys Deleted");
  EncodeFixed16(deleted + index_descriptor::kKeySize, 5);
  deleted[index_descriptor::kCompression] = 0;
  std::uint8_t* text = &page[IndexDescriptorOffset(kSysTextSlot)];
  EncodeShortString(text + index_descriptor::kName, index_descriptor::kNameCapacity, "Sys Text");
  EncodeFixed16(text + index_descriptor::kKeySize, 68);
  text[index_descriptor::kCompression] = 3;
  EncodeFixed32(&page[index_header::kRecordCount], 0);
  page[index_header::kNoPrimaryKey] = no_primary_key ? 1 : 0;
  return page;
}

std::int32_t TIndexHeaderFile::ChangeCounter() const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[index_header::kChangeCounter]));
}

std::int32_t TIndexHeaderFile::NextPage() const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[index_header::kNextPage]));
}

std::int32_t TIndexHeaderFile::RecordCount() const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[index_header::kRecordCount]));
}

void TIndexHeaderFile::AdjustRecordCount(std::int32_t delta) {
  EncodeFixed32(&header_[index_header::kRecordCount],
                static_cast<std::uint32_t>(RecordCount()) + static_cast<std::uint32_t>(delta));
  header_changed_ = true;
}

void TIndexHeaderFile::Create(const std::string& file_name, const TIndexCreateOptions& options) {
  header_ = NewIndexHeaderPage(options.no_primary_key);
  header_changed_ = true;
  file_.Create(file_name);
  WriteHeader(true);
}

void TIndexHeaderFile::ReadPage(std::array<std::uint8_t, kIndexPageSize>* page) {
  file_.ReadFull(0, page->data(), page->size());
  if (encrypted_) Scramble(page->data(), page->size(), kRecordKey);
}

void TIndexHeaderFile::CheckHeader(const std::array<std::uint8_t, kIndexPageSize>& page) const {
  if (page[index_header::kVersion] != kIndexFileVersion) file_.Raise(kErrVersion);
  if (page[index_header::kSecondaryCount] > kMaxSecondaryIndexes) file_.Raise(kErrHeaderCorrupt);
  const auto next = static_cast<std::int32_t>(DecodeFixed32(&page[index_header::kNextPage]));
  if (next < 1) file_.Raise(kErrHeaderCorrupt);
}

void TIndexHeaderFile::Open(const std::string& file_name, bool exclusive) {
  file_.Open(file_name, exclusive);
  try {
    std::array<std::uint8_t, kIndexPageSize> page;
    ReadPage(&page);
    CheckHeader(page);
    header_ = page;
    header_[index_header::kHeaderChanged] = 0;
    header_changed_ = false;
  } catch (...) {
    file_.Close();
    throw;
  }
}

bool TIndexHeaderFile::ReReadHeaderIfChanged() {
  std::array<std::uint8_t, kIndexPageSize> page;
  ReadPage(&page);
  if (DecodeFixed32(&page[index_header::kChangeCounter]) ==
      DecodeFixed32(&header_[index_header::kChangeCounter]))
    return false;
  CheckHeader(page);
  header_ = page;
  header_[index_header::kHeaderChanged] = 0;
  header_changed_ = false;
  return true;
}

void TIndexHeaderFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return;
  EncodeFixed32(&header_[index_header::kChangeCounter],
                static_cast<std::uint32_t>(ChangeCounter()) + 1u);
  header_[index_header::kHeaderChanged] = header_changed_ ? 1 : 0;
  std::array<std::uint8_t, kIndexPageSize> page = header_;
  if (encrypted_) Scramble(page.data(), page.size(), kRecordKey);
  file_.Write(0, page.data(), page.size());
  header_[index_header::kHeaderChanged] = 0;
  header_changed_ = false;
}

void TIndexHeaderFile::MarkChanged() {
  EncodeFixed32(&header_[index_header::kChangeCounter],
                static_cast<std::uint32_t>(ChangeCounter()) + 1u);
  header_changed_ = true;
}

void TIndexHeaderFile::Empty() {
  file_.SetSize(static_cast<std::int64_t>(kIndexPageSize));
  EncodeFixed32(&header_[index_header::kNextPage], 1);
  EncodeFixed32(&header_[index_header::kRecordCount], 0);
  for (int slot = 0; slot < kIndexSlots; ++slot) {
    std::uint8_t* d = &header_[IndexDescriptorOffset(slot)];
    EncodeFixed32(d + index_descriptor::kRoot, 0);
    EncodeFixed32(d + index_descriptor::kFreeHead, 0);
    EncodeFixed32(d + index_descriptor::kRawDataHead, 0);
  }
  header_changed_ = true;
}

void TIndexHeaderFile::Verify(const TDataFile& data) {
  CheckHeader(header_);
  const std::int32_t pages = NextPage() - 1;
  // Every page the header counts must lie within the file.
  if (file_.Size() <
      static_cast<std::int64_t>(pages + 1) * static_cast<std::int64_t>(kIndexPageSize))
    file_.Raise(kErrHeaderCorrupt);
  for (int slot = 0; slot < kIndexSlots; ++slot) {
    const std::uint8_t* d = &header_[IndexDescriptorOffset(slot)];
    const int field_count = d[index_descriptor::kFieldCount];
    if (field_count > 16) file_.Raise(kErrHeaderCorrupt);
    if (slot == 0 && d[index_descriptor::kName] != 0) file_.Raise(kErrHeaderCorrupt);
    if (slot == 0 && field_count == 0 && !NoPrimaryKey()) file_.Raise(kErrHeaderCorrupt);
    for (int i = 0; i < 16; ++i) {
      const int number = DecodeFixed16(d + index_descriptor::kFieldNumbers + 2 * i);
      if ((i < field_count) != (number != 0)) file_.Raise(kErrHeaderCorrupt);
      if (number == 0) continue;
      const TFieldDescriptor* f = data.FieldByNumber(number);
      if (f == nullptr || f->Type() == kFieldBlob) file_.Raise(kErrHeaderCorrupt);
    }
    if (static_cast<std::int16_t>(DecodeFixed16(d + index_descriptor::kKeySize)) > 522)
      file_.Raise(kErrHeaderCorrupt);
    for (std::size_t off :
         {index_descriptor::kRoot, index_descriptor::kFreeHead, index_descriptor::kRawDataHead}) {
      const auto page = static_cast<std::int32_t>(DecodeFixed32(d + off));
      if (page < 0 || page > pages) file_.Raise(kErrHeaderCorrupt);
    }
  }
  if (RecordCount() < 0) file_.Raise(kErrHeaderCorrupt);
}

}  // namespace kura
