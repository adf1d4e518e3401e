#include "db/storage/index/index_check.h"

#include <cstring>
#include <deque>

#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"

namespace kura {

std::vector<std::string> TIndexCheck::Run() {
  CheckPageCount();
  owner_.assign(static_cast<std::size_t>(file_pages_) + 1, -1);
  ReadRecords();
  std::vector<int> slots = index_.KeySlots();
  slots.push_back(kSysDeletedSlot);
  for (int slot : slots)
    CheckSlot(slot);
  CheckUnowned();
  return problems_.Take();
}

void TIndexCheck::Report(int slot, const std::string& what) {
  problems_.Add("index " + std::to_string(slot) + " '" + index_.Definition(slot).name +
                "': " + what);
}

// A header counting pages the file does not hold is checked against the
// pages that exist.
void TIndexCheck::CheckPageCount() {
  file_pages_ = index_.NextPage() - 1;
  if (const std::int32_t held = index_.PagesHeld(); file_pages_ > held) {
    problems_.Add("header counts " + std::to_string(file_pages_) + " pages, the file holds " +
                  std::to_string(held));
    file_pages_ = held;
  }
}

void TIndexCheck::ReadRecords() {
  const std::size_t size = static_cast<std::size_t>(data_.RecordSize());
  std::int32_t live = 0;
  records_.assign(static_cast<std::size_t>(data_.SlotCount()) + 1, {});
  for (std::int32_t n = 1; n <= data_.SlotCount(); ++n) {
    TRecordPin rec = data_.GetRecord(n);
    records_[static_cast<std::size_t>(n)].assign(rec->Data(), rec->Data() + size);
    if (!rec->Deleted()) ++live;
  }
  if (index_.RecordCount() != live) {
    problems_.Add("record count " + std::to_string(index_.RecordCount()) + ", live records " +
                  std::to_string(live));
  }
}

void TIndexCheck::CheckSlot(int slot) {
  try {
    TIndexTree tree = index_.Tree(data_, slot);
    for (const std::string& p : tree.Verify())
      Report(slot, p);
    const bool temporary = index_.IsTemporary(slot);
    const std::int32_t pages = temporary ? index_.TemporaryNextPage() - 1 : file_pages_;
    std::vector<int> temp_owner(temporary ? static_cast<std::size_t>(pages) + 1 : 0, -1);
    std::vector<int>& owners = temporary ? temp_owner : owner_;
    ClaimTreePages(slot, pages, owners);
    ClaimFreeChain(slot, pages, owners);
    CheckKeys(slot, tree);
  } catch (const EKuraEngineError& e) {
    Report(slot, e.what());
  }
}

// Marks the pages of the tree of `slot` as its own, breadth first; the walk
// stops after `pages` steps, so a cycle cannot hold it.
void TIndexCheck::ClaimTreePages(int slot, std::int32_t pages, std::vector<int>& owners) {
  std::deque<std::int32_t> queue;
  if (index_.RootPage(slot) != 0) queue.push_back(index_.RootPage(slot));
  std::int64_t steps = 0;
  while (!queue.empty() && steps++ <= pages) {
    const std::int32_t n = queue.front();
    queue.pop_front();
    if (n < 1 || n > pages) continue;
    int& who = owners[static_cast<std::size_t>(n)];
    if (who != -1) {
      Report(slot, "page " + std::to_string(n) + " also used by index " + std::to_string(who));
      continue;
    }
    who = slot;
    TPageRef page(&index_, index_.GetPage(slot, n));
    if (!page->IsLeaf()) {
      for (int i = 1; i <= page->count(); ++i)
        queue.push_back(page->Pointer(i));
    }
  }
}

void TIndexCheck::ClaimFreeChain(int slot, std::int32_t pages, std::vector<int>& owners) {
  std::int32_t n = index_.FreeHead(slot);
  for (std::int64_t chain = 0; n != 0; ++chain) {
    if (chain > pages || n < 0 || n > pages) {
      Report(slot, "free chain broken or endless");
      return;
    }
    int& who = owners[static_cast<std::size_t>(n)];
    if (who != -1) {
      Report(slot, "free page " + std::to_string(n) + " also used by index " + std::to_string(who));
      return;
    }
    who = slot;
    TPageRef page(&index_, index_.GetPage(slot, n));
    if (page->count() != 0) Report(slot, "free page " + std::to_string(n) + " has entries");
    n = page->next();
  }
}

// One key per live record (per slot for "Sys Deleted"), each the key the
// record builds.
void TIndexCheck::CheckKeys(int slot, TIndexTree& tree) {
  std::vector<char> seen(records_.size(), 0);
  const int k = tree.format().key_size;
  tree.ForEach([&](const std::uint8_t* key, std::int32_t rec) {
    if (rec < 1 || rec >= static_cast<std::int32_t>(records_.size())) {
      Report(slot, "key points at record " + std::to_string(rec));
      return;
    }
    const std::vector<std::uint8_t>& r = records_[static_cast<std::size_t>(rec)];
    if (seen[static_cast<std::size_t>(rec)]++) {
      Report(slot, "record " + std::to_string(rec) + " has more than one key");
    }
    if (slot != kSysDeletedSlot && r[0] != 0) {
      Report(slot, "key of deleted record " + std::to_string(rec));
    }
    const std::vector<std::uint8_t> want = index_.KeyOf(data_, slot, r.data());
    if (std::memcmp(want.data(), key, static_cast<std::size_t>(k)) != 0) {
      Report(slot, "key of record " + std::to_string(rec) + " differs from its record");
    }
  });
  for (std::size_t rec = 1; rec < records_.size(); ++rec) {
    const bool wanted = slot == kSysDeletedSlot || records_[rec][0] == 0;
    if (wanted && !seen[rec]) Report(slot, "record " + std::to_string(rec) + " has no key");
  }
}

void TIndexCheck::CheckUnowned() {
  for (std::int32_t n = 1; n <= file_pages_; ++n) {
    if (owner_[static_cast<std::size_t>(n)] == -1) {
      problems_.Add("page " + std::to_string(n) + " belongs to no index");
    }
  }
}

}  // namespace kura
