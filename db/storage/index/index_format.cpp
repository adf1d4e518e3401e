#include "db/storage/index/index_format.h"

#include "db/storage/coding.h"


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

}  // namespace kura
