// Power loss, simulated below the engine (TPowerLossFileSystem): after each
// loss the disk state is written to the real files, which the engine,
// RepairTable and the independent BLOB reader then open.
//
// The promises checked after each loss: the table opens and verifies, or
// RepairTableFiles mends it; every value a record holds was written for that
// record. With ForceBufferFlush on, also: every insert, update, delete
// and transaction that had returned is there exactly as returned; the one
// operation in flight left each record it touched either as before or as
// after it.
//
// KIROBAKU_LONG_TESTS=1 runs many more losses.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>

#include "db/storage/blob/blob_buffer.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"
#include "db/storage/table/table_repair.h"
#include "tests/storage/blob/blob_format_reader.h"
#include "tests/storage/blob/blob_test_util.h"
#include "tests/storage/file/power_loss_file_system.h"

namespace kura {
namespace {

using test::TPowerLossFileSystem;

// Value `version` of record `id`: its first 8 bytes name both, the rest
// follows from them.
std::vector<std::uint8_t> MakeValue(std::int32_t id, std::int32_t version, std::size_t length) {
  if (length == 0) return {};
  std::vector<std::uint8_t> v = kura::test::ValueBytes(
      std::max<std::size_t>(length, 8),
      static_cast<std::uint32_t>(id) * 131u + static_cast<std::uint32_t>(version));
  EncodeFixed32(v.data(), static_cast<std::uint32_t>(id));
  EncodeFixed32(v.data() + 4, static_cast<std::uint32_t>(version));
  return v;
}

bool IsValueOf(const std::vector<std::uint8_t>& v, std::int32_t id) {
  if (v.empty()) return true;
  if (v.size() < 8 || static_cast<std::int32_t>(DecodeFixed32(v.data())) != id) return false;
  return v == MakeValue(id, static_cast<std::int32_t>(DecodeFixed32(v.data() + 4)), v.size());
}

struct TRow {
  std::vector<std::uint8_t> note, pic;
  bool operator==(const TRow&) const = default;
};
using TRows = std::map<std::int32_t, TRow>;  // by ID

struct TOutcomes {
  int verified = 0, repaired = 0, unrecoverable = 0, broken_promises = 0;
  std::map<std::string, int> repaired_after;  // first failed check -> count
};

class PowerLossTest : public ::testing::Test {
 protected:
  void CreateTable() { kura::test::CreateIdNotePicTable(dir_.Path(), settings_, true); }

  void Restart(TRows& rows) {
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
      std::filesystem::remove(e.path());
    CreateTable();
    rows.clear();
  }

  std::vector<std::uint8_t> Image(TDataTable& t, std::int32_t id, const TRow& row) {
    TDataFile& d = t.Data();
    std::vector<std::uint8_t> image = t.BlankRecord();
    std::uint8_t id_bytes[4];
    EncodeFixed32(id_bytes, static_cast<std::uint32_t>(id));
    d.PutField(image.data(), *d.FieldByName("ID"), id_bytes);
    WriteBlobField(*t.Blobs(), d, image.data(), *d.FieldByName("NOTE"), row.note);
    WriteBlobField(*t.Blobs(), d, image.data(), *d.FieldByName("PIC"), row.pic);
    return image;
  }

  // Runs inserts, updates, deletes and small transactions until power is
  // lost. `rows` is what has been returned as done; `in_flight` the state of
  // each record the unfinished operation touches once it is done (nullopt:
  // deleted).
  void Work(TPowerLossFileSystem& fs, std::mt19937& random, TRows& rows,
            std::map<std::int32_t, std::optional<TRow>>& in_flight) {
    TDataTable t(dir_.Path(), "T", settings_);
    std::map<std::int32_t, std::int32_t> recno;  // ID -> record number
    try {
      t.Open(true);
      TDataFile& d = t.Data();
      for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
        TRecordPin r = d.GetRecord(n);
        if (r->Deleted()) continue;
        std::uint8_t id_bytes[4];
        d.GetField(r->Data(), *d.FieldByName("ID"), id_bytes);
        recno[static_cast<std::int32_t>(DecodeFixed32(id_bytes))] = n;
      }
      std::int32_t next_id = rows.empty() ? 1 : rows.rbegin()->first + 1;
      for (int version = 1; !fs.Lost() && version < 400; ++version) {
        const unsigned action = random() % 20;
        const int steps = action >= 17 ? 2 + static_cast<int>(random() % 4) : 1;
        TRows after = rows;
        in_flight.clear();
        const bool transaction = steps > 1;
        if (transaction) t.StartTransaction();
        for (int step = 0; step < steps; ++step) {
          const unsigned what = transaction ? random() % 10 : action % 10;
          if (what < 5 || after.empty()) {
            const std::int32_t id = next_id++;
            const TRow row{MakeValue(id, version, random() % 2500),
                           MakeValue(id, -version, random() % 5000)};
            in_flight[id] = row;
            after[id] = row;
            const auto image = Image(t, id, row);
            recno[id] = t.InsertRecord(image.data());
          } else {
            auto it = after.begin();
            std::advance(it, random() % after.size());
            const std::int32_t id = it->first;
            if (what < 9) {
              TRow row = it->second;
              (random() % 2 ? row.note : row.pic) =
                  MakeValue(id, version * 10 + step, random() % 5000);
              in_flight[id] = row;
              it->second = row;
              const auto image = Image(t, id, row);
              t.UpdateRecord(recno.at(id), image.data());
            } else {
              in_flight[id] = std::nullopt;
              after.erase(it);
              t.DeleteRecord(recno.at(id));
              recno.erase(id);
            }
          }
        }
        if (transaction) {
          t.Commit();
          t.EndTransaction();
        }
        rows = std::move(after);
        in_flight.clear();
      }
      t.Close();
    } catch (const EKuraEngineError& e) {
      if (!fs.Lost()) throw;
    }
  }

  // What the table holds, from its records and their BLOB values.
  TRows Contents(TDataTable& t) {
    TRows out;
    TDataFile& d = t.Data();
    for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
      TRecordPin r = d.GetRecord(n);
      if (r->Deleted()) continue;
      std::uint8_t id_bytes[4];
      EXPECT_TRUE(d.GetField(r->Data(), *d.FieldByName("ID"), id_bytes));
      const auto id = static_cast<std::int32_t>(DecodeFixed32(id_bytes));
      EXPECT_FALSE(out.count(id)) << "ID " << id << " twice";
      out[id] = {ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName("NOTE")),
                 ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName("PIC"))};
    }
    return out;
  }

  // Every check a sound table passes; the name of the first failing one.
  std::string Check(TDataTable& t) {
    const std::string problem = kura::test::FirstTableProblem(t);
    if (!problem.empty()) return problem;
    // The independent reader agrees on the BLOB file.
    try {
      const auto found = kura::test::CheckCrashTableBlobs(t.Data(), dir_.File("T.BLB"));
      if (!found.empty()) return "blob reader: " + found.front();
    } catch (const EKuraEngineError& e) {
      return std::string("blob reader: ") + e.what();
    }
    return {};
  }

  // One power loss: work from the table's last state until the loss, then
  // open what the disk holds and hold it to the promises.
  void LoseOnce(std::uint32_t seed, TRows& rows, TOutcomes& outcomes) {
    std::mt19937 random(seed);
    TPowerLossFileSystem fs(1 + static_cast<std::int64_t>(random() % 600));
    const auto survival = static_cast<TPowerLossFileSystem::TSurvival>(random() % 4);
    std::map<std::int32_t, std::optional<TRow>> in_flight;
    SetFileSystemForTesting(&fs);
    Work(fs, random, rows, in_flight);
    SetFileSystemForTesting(nullptr);
    const std::string disk = fs.Materialize(survival, random);
    const std::string where = "seed " + std::to_string(seed) + ", loss at call " +
                              std::to_string(fs.Calls()) + ", survival " +
                              std::to_string(static_cast<int>(survival)) + "\n" + disk;

    // The disk as the loss left it, kept aside for a look should it fail.
    const std::string pristine = dir_.Path() + ".lost";
    std::filesystem::remove_all(pristine);
    std::filesystem::copy(dir_.Path(), pristine);

    TDataTable t(dir_.Path(), "T", settings_);
    std::string failed;
    try {
      try {
        t.Open(true);
        failed = Check(t);
      } catch (const EKuraEngineError& e) {
        failed = std::string("open: ") + e.what();
      }
      if (!failed.empty()) {
        // What `kura repair` does: backups, repair, verification, and the
        // files restored when any of it fails.
        if (t.IsOpen()) t.Close(true);
        RepairTableFiles(dir_.Path(), "T", settings_);
        t.Open(true);
        const std::string after = Check(t);
        if (!after.empty()) throw std::runtime_error("after repair, " + after);
        ++outcomes.repaired;
        ++outcomes.repaired_after[failed.substr(0, failed.find(':'))];
      } else {
        ++outcomes.verified;
      }
    } catch (const std::exception& e) {
      ++outcomes.unrecoverable;
      // The disk state goes to power_loss_SEED in the working directory, and
      // the run goes on from a fresh table. Flushed or not, every table that
      // a loss leaves must open and verify or be mended by repair.
      const std::string keep = "power_loss_" + std::to_string(seed);
      std::filesystem::remove_all(keep);
      std::filesystem::copy(pristine, keep);
      const std::string what = "unrecoverable: " + (failed.empty() ? "" : failed + "; ") +
                               e.what() + " (disk kept in " + keep + ")\n" + where;
      ADD_FAILURE() << what;
      try {
        t.Close(true);
      } catch (const EKuraEngineError&) {
      }
      Restart(rows);
      return;
    }

    // A broken promise keeps the disk too.
    auto keep_disk = [&] {
      const std::string keep = "power_loss_" + std::to_string(seed);
      std::filesystem::remove_all(keep);
      std::filesystem::copy(pristine, keep);
      return "(" + std::string(failed.empty() ? "verified" : "repaired after " + failed) +
             ", disk kept in " + keep + ")\n";
    };
    TRows found = Contents(t);
    t.Close();
    if (!settings_.force_buffer_flush) {
      // Nothing was promised durable, but every value left must be one
      // written for its record; a failure keeps the disk, and the run goes
      // on from a fresh table.
      for (const auto& [id, row] : found) {
        if (!IsValueOf(row.note, id) || !IsValueOf(row.pic, id)) {
          ++outcomes.broken_promises;
          ADD_FAILURE() << "ID " << id << " holds a foreign value " << keep_disk() << where;
          Restart(rows);
          return;
        }
      }
      rows = std::move(found);
      return;
    }
    // Committed work is there exactly; the operation in flight is either
    // done or not, record by record.
    bool kept = true;
    std::set<std::int32_t> ids;
    for (const auto& [id, row] : rows)
      ids.insert(id);
    for (const auto& [id, row] : found)
      ids.insert(id);
    TRows settled;
    for (std::int32_t id : ids) {
      const auto f = found.find(id);
      const std::optional<TRow> now =
          f == found.end() ? std::nullopt : std::optional<TRow>(f->second);
      const auto r = rows.find(id);
      const std::optional<TRow> before =
          r == rows.end() ? std::nullopt : std::optional<TRow>(r->second);
      const auto flight = in_flight.find(id);
      const bool ok = now == before || (flight != in_flight.end() && now == flight->second);
      if (!ok) {
        kept = false;
        ADD_FAILURE() << "ID " << id << (now ? " holds a value never committed" : " is lost")
                      << (before ? "" : " (it was never committed)") << " " << keep_disk() << where;
      }
      if (now) settled[id] = *now;
    }
    if (!kept) ++outcomes.broken_promises;
    rows = std::move(settled);
  }

  // `losses` losses, each from the state the previous one left; a fresh
  // table every `restart` losses, so that small tables are tested too.
  void Run(int losses, int restart, std::uint32_t seed) {
    CreateTable();
    TRows rows;
    TOutcomes outcomes;
    for (int i = 0; i < losses; ++i) {
      if (i % restart == 0 && i > 0) Restart(rows);
      LoseOnce(seed + static_cast<std::uint32_t>(i), rows, outcomes);
    }
    std::filesystem::remove_all(dir_.Path() + ".lost");
    std::cerr << losses << " power losses: " << outcomes.verified << " opened and verified, "
              << outcomes.repaired << " repaired, " << outcomes.unrecoverable << " unrecoverable, "
              << outcomes.broken_promises
              << " broke a promise (lost committed work, foreign values)\n";
    for (const auto& [check, n] : outcomes.repaired_after)
      std::cerr << "  repaired after failing " << check << ": " << n << "\n";
    EXPECT_GT(outcomes.verified + outcomes.repaired, 0);
  }

  static bool LongRun() { return std::getenv("KIROBAKU_LONG_TESTS") != nullptr; }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
};

TEST_F(PowerLossTest, CommittedWorkSurvivesAndTablesVerifyOrRepair) {
  settings_.force_buffer_flush = true;
  Run(LongRun() ? 2000 : 30, LongRun() ? 20 : 10, 20261209u);
}

// Without ForceBufferFlush nothing reaches the disk in order: any subset of
// the session's writes may survive. The table must still open and verify or
// be repaired, holding only values written for their records (repair drops
// slots that never reached the disk whole and empties values it cannot prove
// to be their record's).
TEST_F(PowerLossTest, UnflushedTablesVerifyOrRepair) {
  settings_.force_buffer_flush = false;
  Run(LongRun() ? 1000 : 20, 10, 7000u);
}

}  // namespace
}  // namespace kura
