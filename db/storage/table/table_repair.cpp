#include "db/storage/table/table_repair.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include "db/storage/blob/blob_buffer.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_list.h"
#include "db/storage/file/scramble.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/commit_journal.h"
#include "db/storage/table/data_table.h"

namespace kura {
namespace {

std::vector<const TFieldDescriptor*> BlobFields(const TDataFile& data) {
  std::vector<const TFieldDescriptor*> fields;
  for (int pos = 1; pos <= data.FieldCount(); ++pos) {
    const TFieldDescriptor& f = data.Field(pos);
    if (f.Type() == kFieldBlob && f.HasSlot()) fields.push_back(&f);
  }
  return fields;
}

// The blocks of a chain that checks out and claims no block already owned.
std::optional<std::vector<std::int32_t>> SoundChain(TBlobFile& blobs, TBlobRef ref,
                                                    const std::vector<bool>& owned) {
  std::vector<std::int32_t> blocks;
  try {
    blocks = blobs.ChainBlocks(ref);
  } catch (const EKuraEngineError&) {
    return std::nullopt;
  }
  for (std::int32_t n : blocks)
    if (owned[static_cast<std::size_t>(n)]) return std::nullopt;
  return blocks;
}

// ---- data file ----

// Mends the slot area against the file: cuts slots past the header's count,
// adds the counted slots the file lacks as deleted ones, drops slots whose
// bytes are not a whole record, and gives every deleted slot a key of its own.
// Returns whether the free chain must be rebuilt.
bool MendDataSlots(TDataFile& data, TRepairReport& report) {
  const std::int64_t start = data.DataStart();
  const std::int64_t size = data.Size();
  const int rs = data.RecordSize();
  if (size < start) RaiseTableError(kErrHeaderCorrupt, data.TableName());
  const std::int64_t on_disk = (size - start) / rs;
  const std::int32_t slots = data.SlotCount();
  if (on_disk > slots || (size - start) % rs != 0) {
    report.slots_cut = static_cast<std::int32_t>(std::max<std::int64_t>(0, on_disk - slots));
    data.SetSize(start + std::min<std::int64_t>(on_disk, slots) * rs);
  }
  const auto written = static_cast<std::int32_t>(std::min<std::int64_t>(on_disk, slots));

  // A live record on disk carries its own number as its link. A slot marked
  // live without it was never written whole: zeros where a later write grew
  // the file past lost ones, or a write torn between sectors. Its fields are
  // no record's, so it is dropped (made a deleted slot) and reported.
  std::vector<std::int32_t> dropped;
  std::int32_t max_key = data.LastAutoInc();
  {
    constexpr std::int32_t kRun = 256;
    std::vector<std::uint8_t> run(static_cast<std::size_t>(kRun) * static_cast<std::size_t>(rs));
    for (std::int32_t first = 1; first <= written; first += kRun) {
      const std::int32_t count = std::min(kRun, written - first + 1);
      const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(rs);
      data.ReadFull(start + static_cast<std::int64_t>(first - 1) * rs, run.data(), bytes);
      for (std::int32_t k = 0; k < count; ++k) {
        std::uint8_t* slot =
            run.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(rs);
        if (data.Encrypted()) Scramble(slot, static_cast<std::size_t>(rs), kRecordKey);
        const std::int32_t n = first + k;
        max_key =
            std::max(max_key, static_cast<std::int32_t>(DecodeFixed32(slot + record::kAutoInc)));
        if (slot[record::kDeleted] == 0 &&
            static_cast<std::int32_t>(DecodeFixed32(slot + record::kLink)) != n)
          dropped.push_back(n);
      }
    }
  }
  // Keys handed out below must be new ones, also when the header's counter
  // was lost behind slots that reached the disk.
  if (max_key > data.LastAutoInc()) data.SetLastAutoInc(max_key);

  if (on_disk < slots) {
    data.SetSize(start + static_cast<std::int64_t>(slots) * rs);
    for (std::int64_t n = on_disk + 1; n <= slots; ++n) {
      TRecordPin r = data.GetRecord(static_cast<std::int32_t>(n));
      r->SetDeleted(true);
      r->SetDirty(true);
      ++report.slots_added;
    }
  }
  // After the file has all its slots again, so that reading a dropped
  // slot's block never runs past the end of the file.
  for (std::int32_t n : dropped) {
    TRecordPin r = data.GetRecord(n);
    r->SetDeleted(true);
    r->SetDirty(true);
    report.notes.push_back("record " + std::to_string(n) +
                           " dropped: its slot does not hold a whole record (lost or torn write)");
  }
  report.records_dropped = static_cast<std::int32_t>(dropped.size());

  // Each deleted slot's key in the deleted-slot index is its identifier: a
  // slot without one of its own (an added or dropped slot, or one whose key
  // another deleted slot already has) gets a new one.
  std::unordered_set<std::int32_t> keys;
  std::int32_t rekeyed = 0;
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (!r->Deleted()) continue;
    const bool fresh = n > written || std::binary_search(dropped.begin(), dropped.end(), n);
    if (!fresh && keys.insert(r->AutoInc()).second) continue;
    r->SetAutoInc(data.NextAutoInc());
    keys.insert(r->AutoInc());
    r->SetDirty(true);
    if (!fresh) ++rekeyed;
  }
  return report.slots_added > 0 || !dropped.empty() || rekeyed > 0;
}

// Relinks every deleted slot (lowest last, so the chain hands out the highest
// first) and returns the new head.
std::int32_t RelinkDeletedSlots(TDataFile& data) {
  std::int32_t previous = 0;
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (r->Data()[record::kDeleted] > 1) r->Data()[record::kDeleted] = 1;
    if (!r->Deleted()) continue;
    r->SetLink(previous);
    r->SetDirty(true);
    previous = n;
  }
  return previous;
}

// ---- BLOB file ----

void MendBlobValues(TDataFile& data, TBlobFile& blobs, TRepairReport& report) {
  const std::int32_t fitted = blobs.FitBlockCountToFile();
  if (fitted < 0) report.blocks_missing = -fitted;
  if (fitted > 0) report.blocks_adopted = fitted;
  const auto fields = BlobFields(data);
  std::vector<bool> owned(static_cast<std::size_t>(blobs.BlockCount()) + 1, false);
  auto claim = [&](const std::vector<std::int32_t>& blocks) {
    for (std::int32_t n : blocks)
      owned[static_cast<std::size_t>(n)] = true;
  };
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (r->Deleted()) continue;
    for (const TFieldDescriptor* f : fields) {
      // The stored block number counts even when the has-value byte says
      // null: the byte is one flipped bit away, and a chain that checks out
      // under the record's stamp is the record's value.
      const bool consistent = BlobRefConsistent(r->Data(), *f);
      const TBlobRef ref = StoredBlobRef(r->Data(), *f);
      if (consistent && ref.first_block == 0) continue;
      if (ref.first_block != 0) {
        if (auto blocks = SoundChain(blobs, ref, owned)) {
          claim(*blocks);
          ++report.values_kept;
          if (!consistent) {
            PutBlobRef(data, r->Data(), *f, ref);
            r->SetDirty(true);
            report.notes.push_back("record " + std::to_string(n) + " field " + f->Name() +
                                   ": value kept (its has-value byte said null)");
          }
          continue;
        }
      }
      // Nothing in a block names the record its value was written for: a
      // chain that does not check out under the record's own stamp may hold
      // another record's value (its blocks freed and reused), so it is never
      // taken over. The value is emptied and reported.
      PutBlobRef(data, r->Data(), *f, {0, ref.stamp});
      r->SetDirty(true);
      ++report.values_lost;
      report.notes.push_back("record " + std::to_string(n) + " field " + f->Name() +
                             ": value emptied (its block chain is broken or holds another value)");
    }
  }
  report.blocks_freed = blobs.RebuildFreeChain(owned);
  // New values must never take a stamp that a block already carries, also
  // when the data header's counter was lost behind blocks that reached the
  // disk: a stale reference could otherwise match a later value.
  for (std::int32_t n = 1; n <= blobs.BlockCount(); ++n)
    report.last_blob_stamp = std::max(report.last_blob_stamp, blobs.GetBlock(n)->stamp);
}

// ---- index file ----

void RebuildIndexes(TDataTable& table, TRepairReport& report, bool backup_index) {
  if (backup_index) table.BackupIndex(false);
  TDataFile& data = table.Data();
  TTableIndex& index = table.Index();
  index.Empty();
  // Deleted slots first: each is entered as if live and deleted again, which
  // leaves exactly its entry of the built-in deleted-slot index. Doing them
  // before the live records keeps their stale field values from clashing
  // with live keys of unique indexes.
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (!r->Deleted()) continue;
    std::vector<std::uint8_t> image(r->Data(), r->Data() + r->Size());
    image[record::kDeleted] = 0;
    index.InsertKeys(data, image.data(), n, nullptr);
    index.DeleteKeys(data, image.data(), n);
  }
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (r->Deleted()) continue;
    try {
      index.InsertKeys(data, r->Data(), n, nullptr);
    } catch (const EKuraEngineError& e) {
      report.failure =
          "record " + std::to_string(n) +
          (e.Code() == kErrDuplicateKey ? " has the key of an earlier live record in a unique index"
                                        : " cannot be indexed");
      throw;
    }
    ++report.records_indexed;
  }
  index.AdjustRecordCount(report.records_indexed);
}

}  // namespace

TBlobCheckReport CheckBlobChains(TDataFile& data, TBlobFile& blobs) {
  TBlobCheckReport report;
  auto problem = [&](std::int32_t record, std::string field, std::uint16_t code,
                     std::string message) {
    report.problems.push_back({record, std::move(field), code, std::move(message)});
  };
  // The header's count sizes nothing before the file confirms it.
  const std::int64_t in_file =
      std::max<std::int64_t>(0, blobs.Size() - static_cast<std::int64_t>(kBlobHeaderSize)) /
      blobs.BlockSize();
  std::int32_t count = blobs.BlockCount();
  if (count < 0 || count > in_file) {
    problem(0, "", kErrHeaderCorrupt,
            "the header counts " + std::to_string(count) + " blocks, the file holds " +
                std::to_string(in_file));
    count = static_cast<std::int32_t>(std::clamp<std::int64_t>(count, 0, in_file));
  }
  std::vector<std::uint8_t> owner(static_cast<std::size_t>(count) + 1, 0);
  auto outside = [&](std::int32_t b) { return b < 1 || b > count; };
  const auto fields = BlobFields(data);
  for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
    TRecordPin r = data.GetRecord(n);
    if (r->Deleted()) continue;
    for (const TFieldDescriptor* f : fields) {
      if (!BlobRefConsistent(r->Data(), *f)) {
        problem(n, f->Name(), kErrBlobBuffersCorrupt,
                r->Data()[f->Offset()] != 0 ? "the field has a value but no first block"
                                            : "the field is null but names a first block");
        continue;
      }
      const TBlobRef ref = GetBlobRef(r->Data(), *f);
      if (ref.first_block == 0) continue;
      ++report.values;
      std::vector<std::int32_t> blocks;
      try {
        blocks = blobs.ChainBlocks(ref);
      } catch (const EKuraEngineError& e) {
        problem(n, f->Name(), e.Code(), e.what());
        continue;
      }
      for (std::int32_t b : blocks) {
        if (outside(b)) {
          problem(n, f->Name(), kErrHeaderCorrupt,
                  "block " + std::to_string(b) + " lies past the end of the file");
          break;
        }
        if (owner[static_cast<std::size_t>(b)] != 0) {
          problem(n, f->Name(), kErrBlobBuffersCorrupt,
                  "block " + std::to_string(b) + " also belongs to another value");
          continue;
        }
        owner[static_cast<std::size_t>(b)] = 1;
        ++report.value_blocks;
      }
    }
  }
  std::vector<std::int32_t> free_blocks;
  try {
    free_blocks = blobs.FreeBlocks();
  } catch (const EKuraEngineError& e) {
    problem(0, "", e.Code(), std::string(e.what()) + " (free chain)");
  }
  for (std::int32_t b : free_blocks) {
    if (outside(b)) {
      problem(0, "", kErrHeaderCorrupt,
              "free block " + std::to_string(b) + " lies past the end of the file");
      break;
    }
    if (owner[static_cast<std::size_t>(b)] != 0) {
      problem(0, "", kErrBlobBuffersCorrupt,
              "free block " + std::to_string(b) + " belongs to a value");
      continue;
    }
    owner[static_cast<std::size_t>(b)] = 2;
    ++report.free_blocks;
  }
  report.unowned_blocks = count - report.value_blocks - report.free_blocks;
  return report;
}

void VerifyBlobChains(TDataFile& data, TBlobFile& blobs) {
  const TBlobCheckReport report = CheckBlobChains(data, blobs);
  if (!report.problems.empty()) RaiseTableError(report.problems.front().code, data.TableName());
}

namespace {

void Repair(TDataTable& table, TRepairReport& report, bool backup_index) {
  TDataFile& data = table.Data();
  if (table.IndexRecreated())
    report.notes.push_back("the index file was missing: a new one holds no index definitions");
  bool chain_sound = !MendDataSlots(data, report);
  if (chain_sound) {
    try {
      chain_sound = data.CheckSlots().empty();
    } catch (const EKuraEngineError&) {
      chain_sound = false;
    }
  }
  std::optional<std::int32_t> new_head;
  if (!chain_sound) new_head = RelinkDeletedSlots(data);
  if (TBlobFile* blobs = table.Blobs()) {
    report.blob_file = true;
    MendBlobValues(data, *blobs, report);
  }
  RebuildIndexes(table, report, backup_index);
  table.Flush();
  // The data file offers no setter for the free head or the stamp counter:
  // they are written in place and the header adopted again.
  const bool stamp_behind = report.last_blob_stamp > data.LastBlobStamp();
  if (new_head || stamp_behind) {
    std::uint8_t bytes[4];
    if (new_head) {
      EncodeFixed32(bytes, static_cast<std::uint32_t>(*new_head));
      data.Write(data_header::kFreeHead, bytes, sizeof bytes);
      report.free_chain_rebuilt = true;
    }
    if (stamp_behind) {
      EncodeFixed32(bytes, static_cast<std::uint32_t>(report.last_blob_stamp));
      data.Write(data_header::kLastBlobStamp, bytes, sizeof bytes);
    }
    data.ReadHeader();
  }
}

// The table's files that exist, each with its backup name.
std::vector<std::pair<std::string, std::string>> TableFiles(const TDataTable& table,
                                                            TFileKind kind) {
  std::vector<std::pair<std::string, std::string>> files;
  const auto backup = [](const std::string& name, const char* extension) {
    return name.substr(0, name.size() - 4) + extension;
  };
  const std::pair<std::string, const char*> all[] = {{table.DataFileName(), ".DBK"},
                                                     {table.IndexFileName(), ".IBK"},
                                                     {table.BlobFileName(), ".BBK"}};
  for (const auto& [name, extension] : all)
    if (TFileList::Global().Exists(name, kind)) files.emplace_back(name, backup(name, extension));
  return files;
}

void CopyFile(const std::string& table, TFileKind kind, const std::string& from,
              const std::string& to, bool restore) {
  TFileHandler file(table, kind == TFileKind::kMemory);
  file.Open(restore ? to : from, true);
  if (restore)
    file.CopyFrom(from, false);
  else
    file.CopyTo(to, false);
  file.Close();
}

}  // namespace

ERepairFailed::ERepairFailed(const EKuraEngineError& cause, std::string message)
    : EKuraEngineError(cause), message_(std::move(message)) {}

TRepairReport RepairTable(TDataTable& table) {
  TRepairReport report;
  Repair(table, report, true);
  return report;
}

TRepairReport RepairTableFiles(const std::string& directory, const std::string& name,
                               const TStorageSettings& settings, bool in_memory) {
  TDataTable table(directory, name, settings, in_memory);
  const TFileKind kind = in_memory ? TFileKind::kMemory : TFileKind::kPhysical;
  if (!TFileList::Global().Exists(table.DataFileName(), kind)) {
    TFileHandler missing(name, in_memory);
    missing.RaiseMissing(table.DataFileName());
  }
  // The journal goes into the tables first (J7 of commit_journal.h): the
  // backups a failed repair puts back must hold every commit, also one only
  // the journal had.
  if (!in_memory) TCommitJournal::EmptyDurably(table.Directory(), settings);
  const auto files = TableFiles(table, kind);
  for (const auto& [file, backup] : files)
    CopyFile(name, kind, file, backup, false);
  TRepairReport report;
  try {
    table.OpenForRepair();
    Repair(table, report, false);
    table.Verify();
    table.Data().CheckConsistency();
    if (table.Blobs()) VerifyBlobChains(table.Data(), *table.Blobs());
    if (auto* index = dynamic_cast<TIndexFile*>(&table.Index())) {
      const std::vector<std::string> problems = index->CheckTrees(table.Data());
      if (!problems.empty()) {
        report.failure = "the rebuilt index does not check out: " + problems.front();
        RaiseTableError(kErrHeaderCorrupt, name);
      }
    }
    table.Close();
  } catch (const EKuraEngineError& e) {
    try {
      table.Close(true);
    } catch (const EKuraEngineError&) {
      // Closing without writing; the files are replaced below anyway.
    }
    std::string backups;
    for (const auto& [file, backup] : files) {
      CopyFile(name, kind, backup, file, true);
      backups += (backups.empty() ? "" : ", ") + backup;
    }
    // A file the table lacked before (a recreated index file) goes again.
    if (TFileList::Global().Exists(table.IndexFileName(), kind) &&
        std::none_of(files.begin(), files.end(),
                     [&](const auto& f) { return f.first == table.IndexFileName(); }))
      TFileList::Global().Delete(table.IndexFileName(), kind);
    std::string message = "repair of table '" + name + "' failed";
    if (!report.failure.empty()) message += ": " + report.failure;
    message += "; its files are as they were (backups: " + backups + "): " + e.what();
    throw ERepairFailed(e, std::move(message));
  }
  return report;
}

}  // namespace kura
