// TIndexFile: a table's index file (table name + ".IDX") with its B-trees.
//
// Page 0 is the header (layout in index_format.h): the change counter, the page
// counter, 33 index descriptors (0 primary, 1..30 secondary, 31 "Sys
// Deleted", 32 "Sys Text"), the live record count and the no-primary-key
// flag. Pages n >= 1 are B-tree pages (layout in page.h), each belonging to
// one index; freed pages form one chain per index through their next links.
//
// Keys kept for a table's records:
//  - primary and secondary indexes: the key built from the record (key_codec.h);
//  - "Sys Deleted": one 5-byte key per record slot, live or deleted: the
//    slot's deleted flag, then the record identifier big-endian with the sign
//    bit inverted, pointing at the slot; deleting a record replaces its key by
//    the one with the flag set, reusing a deleted slot replaces that again;
//  - "Sys Text" is never built by this engine; its descriptor is preserved.
//
// Cache (index_page_cache.h): per index slot, bounded by the index-buffer
// memory / 8192 pages. Dirty pages reach the disk only through FlushPages, in
// page-number order.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/storage/file/file_handler.h"
#include "db/storage/index/index_format.h"
#include "db/storage/index/index_page_cache.h"
#include "db/storage/index/index_page_store.h"
#include "db/storage/index/index_tree.h"
#include "db/storage/index/key_codec.h"
#include "db/storage/index/key_collation.h"
#include "db/storage/storage_settings.h"
#include "db/storage/table/table_index.h"

namespace kura {

class TDataFile;

// Largest page number and file size an index file may reach.
constexpr std::int64_t kMaxIndexPages = 2000000000;
constexpr std::int64_t kMaxIndexFileBytes = 4000000000;
// Largest key: the segment limit plus the identifier suffix.
constexpr int kMaxKeySize = kMaxKeySegmentBytes + kKeySuffixSize;

// An index as it is defined (the descriptor's meaning).
struct TIndexDefinition {
  std::string name;                    // empty for the primary index
  std::vector<int> fields;             // field numbers, in key order
  std::vector<bool> field_descending;  // per key field (may be shorter)
  bool descending = false;
  bool case_insensitive = false;
  bool unique = false;  // always true for the primary index
  std::uint8_t compression = kCompressNone;
  // A temporary index lives only in this handle: its descriptor is never
  // written to the header and its pages live in a delete-on-close file.
  bool temporary = false;
};

class TIndexFile : public TTableIndex, public TIndexPageStore {
 public:
  TIndexFile(std::string table_name, bool in_memory, bool encrypted,
             const TStorageSettings& settings);
  ~TIndexFile() override;

  // ---- TTableIndex: the file and its header ----
  TFileHandler& Handler() override { return file_; }
  void Create(const std::string& file_name, const TIndexCreateOptions& options) override;
  void Open(const std::string& file_name, bool exclusive) override;
  void Close() override;
  bool ReReadHeaderIfChanged() override;
  void WriteHeader(bool force) override;
  void MarkChanged() override;
  bool FlushPages() override;
  bool HeaderChanged() const override { return header_changed_; }
  void DropPages() override;
  void TrimCache() override;
  void Empty() override;
  void Verify(const TDataFile& data) override;
  bool NoPrimaryKey() const override { return header_[index_header::kNoPrimaryKey] != 0; }
  std::int32_t RecordCount() const override;
  void AdjustRecordCount(std::int32_t delta) override;

  // ---- TTableIndex: keys of the table's records ----
  void CheckInsert(const TDataFile& data, const std::uint8_t* record) override;
  void InsertKeys(const TDataFile& data, const std::uint8_t* record, std::int32_t recno,
                  const std::uint8_t* previous) override;
  void CheckModify(const TDataFile& data, const std::uint8_t* old_record,
                   const std::uint8_t* new_record, std::int32_t recno) override;
  void ModifyKeys(const TDataFile& data, const std::uint8_t* old_record,
                  const std::uint8_t* new_record, std::int32_t recno) override;
  void DeleteKeys(const TDataFile& data, const std::uint8_t* record, std::int32_t recno) override;
  // Every tree in use still empty ("Sys Deleted" and the record-built
  // indexes): each is then loaded from its sorted keys, bottom-up where its
  // format is uncompressed, key by key in order where it is compressed.
  bool CanLoadAppendedSlots(const TDataFile& data) override;
  void CheckAppended(const TDataFile& data, const std::uint8_t* images, std::size_t count) override;
  // Each index's keys sorted, then as one run (TIndexTree::InsertRun) or, when
  // the tree holds keys among them, one by one in order.
  void InsertAppendedKeys(const TDataFile& data, const std::int32_t* records,
                          const std::uint8_t* images, std::size_t count) override;
  bool KeysFromRecords() override;
  void LoadAppendedSlots(const TDataFile& data, std::int32_t first, std::int32_t count,
                         const std::uint8_t* images, std::int32_t first_id) override;

  // ---- TIndexPageStore ----
  TPage* GetPage(int slot, std::int32_t n) override;
  void ReleasePage(TPage* page) override;
  TPage* AllocatePage(int slot, std::uint8_t type) override;
  void FreePage(TPage* page) override;
  void MarkDirty(TPage* page) override;
  std::int32_t RootPage(int slot) override;
  void SetRootPage(int slot, std::int32_t n) override;
  // Bounds chain walks over either page space (the index file's and the
  // temporary file's).
  std::int32_t PageCount() override { return std::max(NextPage(), temp_next_page_) - 1; }
  [[noreturn]] void Raise(std::uint16_t code, int slot) override;

  // ---- index definitions ----
  // Adds the primary index (9993 when it has fields already) and builds its
  // keys from the table's live records.
  void AddPrimaryIndex(TDataFile& data, const TIndexDefinition& def);
  // Adds a secondary index in the next free slot (10010, 10022, 10027, 9487,
  // 12292) and builds its keys. A duplicate key in a unique index is 9729 and
  // leaves the file without the index. A temporary index takes the highest
  // free slot instead, so that stored indexes keep slots 1..count without
  // gaps; its branch entries carry no subtree counts and its pages go to the
  // temporary file, which is created with the first temporary index and goes
  // away when the index file closes. The index file itself is not touched.
  void AddSecondaryIndex(TDataFile& data, const TIndexDefinition& def);
  // Deletes secondary index `slot`; the slots behind it move down one. Its
  // pages join the free chain of "Sys Deleted". A temporary index is simply
  // forgotten (its pages stay unused in the temporary file).
  void DeleteIndex(int slot);
  void RenameIndex(int slot, const std::string& new_name);
  // The slot of an index by name, case-insensitively ("" is the primary
  // index); -1 when there is none.
  int SlotOf(std::string_view name) const;
  // Whether slot `slot` holds an index (the primary one only with fields).
  bool SlotInUse(int slot) const;
  TIndexDefinition Definition(int slot) const;
  int SecondaryCount() const { return header_[index_header::kSecondaryCount]; }
  bool IsTemporary(int slot) const;
  // The slots that hold keys built from records: the primary index (with
  // fields) and the secondary ones.
  std::vector<int> KeySlots() const;
  int TemporaryCount() const;
  // The temporary file (closed while there is no temporary index) and its
  // page counter.
  const TFileHandler& TemporaryFile() const { return temp_file_; }
  std::int32_t TemporaryNextPage() const { return temp_next_page_; }
  std::int32_t NextPage() const;
  // Pages 1..n of the index file that exist: those the file holds, and those
  // appended in this handle's cache and not yet written. The header's page
  // count must not exceed it.
  std::int32_t PagesHeld();
  std::int32_t ChangeCounter() const;
  std::int32_t FreeHead(int slot) const;

  // The key of `record` in index `slot`.
  std::vector<std::uint8_t> KeyOf(const TDataFile& data, int slot, const std::uint8_t* record);
  // The B-tree of index `slot`, for searching and walking.
  TIndexTree Tree(const TDataFile& data, int slot);
  // The key layout of `slot` (the primary and secondary indexes).
  KeyLayout Layout(const TDataFile& data, int slot);

  // Deep check of every B-tree and free chain against the table's records
  // (index_check.h). Returns the problems found, empty when sound.
  std::vector<std::string> CheckTrees(TDataFile& data);

  std::int64_t Hits() const { return cache_.Hits(); }
  std::int64_t Misses() const { return cache_.Misses(); }
  std::int64_t Reads() const { return reads_; }
  std::int64_t Writes() const { return writes_; }

 private:
  struct SlotKeys {
    KeyLayout layout;
    std::unique_ptr<KeyComparator> comparator;
    std::unique_ptr<KeyCaseMapper> mapper;
    PageFormat format;
  };

  // Index names: compared case-insensitively (ASCII letters), starting with a
  // letter, '_' or a byte 128..254.
  static std::string UpperName(std::string_view name);
  static bool ValidNameStart(unsigned char c);
  std::uint8_t* Descriptor(int slot) { return &header_[IndexDescriptorOffset(slot)]; }
  const std::uint8_t* Descriptor(int slot) const { return &header_[IndexDescriptorOffset(slot)]; }
  void SetNextPage(std::int32_t n);
  void CheckHeader(const std::array<std::uint8_t, kIndexPageSize>& page) const;
  void ReadHeaderPage(std::array<std::uint8_t, kIndexPageSize>* page);
  void AdoptHeader(const std::array<std::uint8_t, kIndexPageSize>& page);
  PageFormat FormatOf(int slot) const;

  SlotKeys& Keys(const TDataFile& data, int slot);
  void ForgetKeys() {
    for (auto& k : keys_)
      k.reset();
  }
  static std::vector<std::uint8_t> DeletedKey(const std::uint8_t* record, bool deleted);
  void WriteDefinition(int slot, const TIndexDefinition& def, int key_size);
  void CheckDefinition(const TDataFile& data, const TIndexDefinition& def, KeyLayout* layout);
  void BuildIndex(TDataFile& data, int slot);
  void AddTemporaryIndex(TDataFile& data, const TIndexDefinition& def, int key_size);
  void MoveTemporaryIndex(int slot);
  void ReleaseTreePages(int slot, int to_slot);

  // Drops the cached pages of the stored indexes, and those of the temporary
  // indexes too when `with_temporary` (otherwise their dirty pages stay
  // cached: nobody else can have changed them).
  void DropAllPages(bool with_temporary);
  void ForgetSlotPages(int slot);
  void DropTemporaryIndexes();
  void OpenTemporaryFile();
  std::int32_t NextPageOf(int slot) const {
    return IsTemporary(slot) ? temp_next_page_ : NextPage();
  }
  TFileHandler& FileOf(int slot) { return IsTemporary(slot) ? temp_file_ : file_; }
  // Marks the header changed unless only a temporary descriptor changed.
  void HeaderTouched(int slot) {
    if (!IsTemporary(slot)) header_changed_ = true;
  }

  TFileHandler file_;
  TFileHandler temp_file_;
  std::int32_t temp_next_page_ = 1;
  bool encrypted_;
  TStorageSettings settings_;
  std::array<std::uint8_t, kIndexPageSize> header_{};
  bool header_changed_ = false;
  TIndexPageCache cache_;
  std::array<std::unique_ptr<SlotKeys>, kIndexSlots> keys_;
  std::int64_t reads_ = 0;
  std::int64_t writes_ = 0;
};

}  // namespace kura
