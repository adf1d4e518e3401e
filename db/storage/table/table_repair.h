// Whole-table checks and the repair of a table after a crash or a damaged
// file.
//
// Consistency checkers of whole structures list every problem they find and
// throw only when they cannot go on reading (CheckBlobChains here,
// TDataFile::CheckSlots, TIndexFile::CheckTrees, TIndexTree::Verify); a guard
// that raises the engine error of the first problem is built on the list
// (VerifyBlobChains, TDataFile::CheckConsistency).
//
// CheckBlobChains walks the BLOB value of every live record and the free
// chain, and checks that no block is claimed twice. Blocks that belong to no
// value and are not on the free chain are only counted: a writer that dies
// between writing new blocks and the record that refers to them leaves such
// blocks, and they hurt nothing.
//
// RepairTable (the table open exclusively) mends what a writer killed at any
// moment can leave behind, and what a damaged file holds, keeping every
// record and value that is still sound:
//  1. Data file: slots past the header's count (an append whose header was
//     not written) are cut off, a partial slot too; slots the header counts
//     but the file lacks are added as deleted slots; a slot marked live whose
//     link is not its own number (never written whole: zeros left by a lost
//     write, or a torn one) is dropped as a deleted slot and reported; every
//     deleted slot gets a key of its own; a broken free chain is rebuilt from
//     the deleted flags.
//  2. BLOB file: a value whose chain is sound under the record's stamp
//     stays; any other becomes empty and is reported (a block does not name
//     its record, so a chain under another stamp may be another record's
//     value and is never taken over). Every block no value keeps goes on a
//     rebuilt free chain, and the stamp counter moves past every stamp a
//     block carries.
//  3. Index file: copied to its backup (.IBK) first, then every index is
//     emptied and rebuilt from the live records of the data file.
//
// Two live records with the same key in a unique index (the primary one
// included) cannot both be kept, and choosing which one to drop would lose a
// record: repair refuses. RepairTableFiles makes that refusal, and any other
// failure, leave the files exactly as they were.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/storage/blob/blob_file.h"
#include "db/storage/data/data_file.h"
#include "db/storage/engine_error.h"
#include "db/storage/storage_settings.h"

namespace kura {

class TDataTable;

struct TBlobProblem {
  std::int32_t record = 0;  // 0 for the free chain and block ownership
  std::string field;
  std::uint16_t code = 0;
  std::string message;
};

struct TBlobCheckReport {
  std::vector<TBlobProblem> problems;
  std::int32_t values = 0;          // non-empty values walked
  std::int32_t value_blocks = 0;    // blocks that belong to values
  std::int32_t free_blocks = 0;     // blocks on the free chain
  std::int32_t unowned_blocks = 0;  // blocks of neither (harmless leftovers)
};

TBlobCheckReport CheckBlobChains(TDataFile& data, TBlobFile& blobs);
// Raises the engine error of the first problem CheckBlobChains finds.
void VerifyBlobChains(TDataFile& data, TBlobFile& blobs);

struct TRepairReport {
  std::int32_t slots_cut = 0;        // unfinished appends removed
  std::int32_t slots_added = 0;      // missing slots added as deleted
  std::int32_t records_dropped = 0;  // slots marked live that held no whole record
  bool free_chain_rebuilt = false;   // data file's free chain
  std::int32_t values_kept = 0;
  std::int32_t values_lost = 0;   // emptied: the chain was beyond repair
  std::int32_t blocks_freed = 0;  // blocks put back on the free chain
  std::int32_t records_indexed = 0;
  std::int32_t blocks_missing = 0;   // BLOB blocks counted but not in the file
  std::int32_t blocks_adopted = 0;   // BLOB blocks in the file past the count
  std::int32_t last_blob_stamp = 0;  // the highest stamp a block carries
  std::vector<std::string> notes;    // one line per record dropped or value lost
  std::string failure;               // the record repair stopped at, if any
  bool blob_file = false;            // the table has a BLOB file
};

// Why RepairTableFiles gave up (the cause's code and context; the message
// names the record when one is the reason, and the backups).
class ERepairFailed : public EKuraEngineError {
 public:
  ERepairFailed(const EKuraEngineError& cause, std::string message);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Mends the table (open exclusively); flushes everything. On failure the
// files may be half mended: the table must be closed with discard.
TRepairReport RepairTable(TDataTable& table);

// Mends the closed table `name` of `directory`: copies each of its files to
// its backup (.DBK, .IBK, .BBK), opens the table for repair (a data file
// shorter than its header is accepted), mends it, verifies the result and
// closes it. When any of that fails the files are copied back from the
// backups (which stay) and ERepairFailed says why.
TRepairReport RepairTableFiles(const std::string& directory, const std::string& name,
                               const TStorageSettings& settings, bool in_memory = false);

}  // namespace kura
