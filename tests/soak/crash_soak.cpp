// Crash run: writer processes killed with SIGKILL at random moments, and
// writers whose disk "loses power" below the engine, each followed by the
// checks a user would run and the promises of durability and atomicity.
//
// Kinds of cycle (kills and losses interleaved at random, each with a table
// or a game writer at even odds):
//   table kill   a writer opens table T (ID integer, NOTE memo, PIC BLOB, a
//                unique index on ID) shared and runs inserts, updates of one
//                BLOB field, deletes, small transactions and bulk appends
//                (all of their records or none) until it is killed
//   game kill    a writer opens the game-record database (TDataModule1 on a
//                kifu folder) and stores imported games, replaces moves,
//                rotates and deletes games until it is killed
//   power loss   a table or game writer whose file system (TPowerLossFileSystem
//                of tests/storage/file) loses power at a random write,
//                truncation or flush: the disk then holds what was flushed
//                plus a random part of what was not (nothing, everything, some 512-byte sectors or
//                some whole writes); the table writer runs with ForceBufferFlush, the game writer
//                as the program does (its commits flush)
//   two computers  two writer processes, each a computer of its own (a mount
//                namespace with another boot identifier where the machine
//                allows it), commit to tables pa and pb of one folder at once,
//                naming them in mixed letter case and dropping, making and
//                renaming scratch tables between commits, while a third
//                computer reads both and checks every read is a state some
//                commit left and no older than one it saw (shared_folder.h);
//                one writer is killed, or loses its power (what it had not yet
//                sent to the server taken back) while the other goes on; after
//                a loss `kura repair` runs on one table at random
// Before an operation the writer tells the parent over a pipe what the
// operation will leave, and after it returned that it is done, before it
// starts the next one. After the writer ends, every table is checked with
// `kura verify`, and when that fails mended with `kura repair` and verified
// again; then its contents are held against the operations:
//   - every acknowledged operation is there as it left the data (lost: a
//     record or game missing or older, or a value never written)
//   - the operation in flight left each record as before or as after; a game
//     is whole as before or as after (its list row and all of its moves), and
//     no move row belongs to a game not in the list
// The state found becomes the model of the next cycle of the same database;
// each database starts afresh every --restart cycles and after a fault that
// leaves it unsound or with stray move rows.
//
// Outcomes per cycle: clean (every table verified), repaired (a table failed
// verification and `kura repair` mended it), and the faults: unrecoverable
// (the repair failed or its result does not verify), lost (an acknowledged
// operation missing, or data never written), torn (the operation in flight
// partly visible), writer error (an exception in a writer before its kill or
// power loss), early end / hang (a writer that stopped on its own or did not
// end). A transaction of table T in flight at a kill or loss that is left
// partly done is counted on its own: the table layer promises atomicity of
// each record only (the game store, spanning two tables, promises a whole
// game).
//
// Usage: crash_soak [--kills N] [--losses N] [--shared N] [--seed S] [--restart N]
//                   [--keep DIR]
//   --kills N    cycles with a SIGKILL (default 500)
//   --losses N   cycles with a power loss (default 125)
//   --shared N   cycles on two computers, half kills, half power losses (default 625)
//   --seed S     random seed (default from the clock; printed)
//   --restart N  cycles of one database before it is made afresh (default 40)
//   --keep DIR   where the files of a failing cycle are copied (default:
//                crash_soak_failures in the working directory)
// Exit status 0 when no fault was found, 1 otherwise, 2 on a usage error.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board/game_state.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/table/data_table.h"
#include "records/data_module.h"
#include "tests/storage/blob/blob_test_util.h"
#include "tests/soak/shared_folder.h"
#include "tests/storage/file/power_loss_file_system.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using kirobaku::MoveEntry;
using kirobaku::Record;

using kura::test::TPowerLossFileSystem;

// ---------------------------------------------------------------------------
// What a writer tells the parent: one line per write(2) (a pipe never splits
// a write of less than PIPE_BUF bytes), "B" before an operation, lines for
// what it will leave, "C" once it returned.

class TReporter {
 public:
  explicit TReporter(int fd) : fd_(fd) {}
  void Say(const std::string& line) {
    const std::string l = line + "\n";
    if (write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(4);
  }

 private:
  int fd_;
};

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;)
    out.push_back(w);
  return out;
}

// ---------------------------------------------------------------------------
// Table T. A value is named by (version, length): its first 8 bytes hold the
// record's ID and the version, the rest follows from both, so a value read
// back tells which it is, or that it was never written for its record.

struct TValueName {
  std::int32_t version = 0;
  std::uint32_t length = 0;  // 0: empty
  bool operator==(const TValueName&) const = default;
};
struct TRow {
  TValueName note, pic;
  bool operator==(const TRow&) const = default;
};
using TRows = std::map<std::int32_t, TRow>;  // by ID

Bytes MakeValue(std::int32_t id, TValueName s) {
  if (s.length == 0) return {};
  Bytes v = kura::test::ValueBytes(
      std::max<std::size_t>(s.length, 8),
      static_cast<std::uint32_t>(id) * 131u + static_cast<std::uint32_t>(s.version));
  kura::EncodeFixed32(v.data(), static_cast<std::uint32_t>(id));
  kura::EncodeFixed32(v.data() + 4, static_cast<std::uint32_t>(s.version));
  return v;
}

std::optional<TValueName> ReadName(std::int32_t id, const Bytes& v) {
  if (v.empty()) return TValueName{};
  if (v.size() < 8 || static_cast<std::int32_t>(kura::DecodeFixed32(v.data())) != id)
    return std::nullopt;
  const TValueName s{static_cast<std::int32_t>(kura::DecodeFixed32(v.data() + 4)),
                     static_cast<std::uint32_t>(v.size())};
  if (MakeValue(id, s) != v) return std::nullopt;
  return s;
}

std::int32_t IdOf(kura::TDataFile& d, const std::uint8_t* image) {
  std::uint8_t id_bytes[4];
  if (!d.GetField(image, *d.FieldByName("ID"), id_bytes)) return 0;
  return static_cast<std::int32_t>(kura::DecodeFixed32(id_bytes));
}

// The writer of table T. Lines: "I id nv nl pv pl" (a new record), "U id f v
// l" (field f, 0 NOTE or 1 PIC, of record id gets value (v, l)), "D id".
void TableWriter(const std::string& dir, TReporter& say, std::int32_t first_id, unsigned seed,
                 bool exclusive, const TPowerLossFileSystem* lossy) {
  std::mt19937 random(seed);
  kura::TStorageSettings settings;
  settings.force_buffer_flush = exclusive;
  kura::TDataTable t(dir, "T", settings);
  t.Open(exclusive);
  kura::TDataFile& d = t.Data();
  const kura::TFieldDescriptor& id_field = *d.FieldByName("ID");
  const kura::TFieldDescriptor* fields[2] = {d.FieldByName("NOTE"), d.FieldByName("PIC")};
  std::map<std::int32_t, std::int32_t> recno;  // ID -> record number
  {
    std::optional<kura::TReadLockGuard> lock;
    if (!exclusive) lock.emplace(t);
    for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
      kura::TRecordPin r = d.GetRecord(n);
      if (!r->Deleted()) recno[IdOf(d, r->Data())] = n;
    }
  }
  std::int32_t next_id = first_id;
  // The record numbers of every ID, read again after a bulk append.
  auto read_numbers = [&] {
    std::optional<kura::TReadLockGuard> lock;
    if (!exclusive) lock.emplace(t);
    recno.clear();
    for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
      kura::TRecordPin r = d.GetRecord(n);
      if (!r->Deleted()) recno[IdOf(d, r->Data())] = n;
    }
  };
  for (std::int32_t version = 1; !(lossy && lossy->Lost()); ++version) {
    const unsigned action = random() % 20;
    if (action == 15) {
      // A bulk append: its records all arrive or none does ("A").
      say.Say("B");
      say.Say("A");
      const int count = 20 + static_cast<int>(random() % 400);
      const std::size_t rs = static_cast<std::size_t>(d.RecordSize());
      std::vector<std::uint8_t> images(static_cast<std::size_t>(count) * rs, 0);
      for (int i = 0; i < count; ++i) {
        const std::int32_t id = next_id++;
        say.Say("I " + std::to_string(id) + " 0 0 0 0");
        std::uint8_t id_bytes[4];
        kura::EncodeFixed32(id_bytes, static_cast<std::uint32_t>(id));
        d.PutField(images.data() + static_cast<std::size_t>(i) * rs, id_field, id_bytes);
      }
      t.BulkAppend(images.data(), static_cast<std::size_t>(count), true);
      read_numbers();
      say.Say("C");
      continue;
    }
    const int steps = action >= 16 ? 2 + static_cast<int>(random() % 4) : 1;
    const bool transaction = steps > 1;
    say.Say("B");
    if (transaction) t.StartTransaction();
    for (int step = 0; step < steps; ++step) {
      const unsigned what = transaction ? random() % 10 : action % 10;
      std::optional<kura::TWriteLockGuard> lock;
      if (!exclusive) lock.emplace(t);
      if (what < 5 || recno.empty()) {
        const std::int32_t id = next_id++;
        const TRow row{{version, static_cast<std::uint32_t>(random() % 2500)},
                       {-version, static_cast<std::uint32_t>(random() % 6000)}};
        say.Say("I " + std::to_string(id) + " " + std::to_string(row.note.version) + " " +
                std::to_string(row.note.length) + " " + std::to_string(row.pic.version) + " " +
                std::to_string(row.pic.length));
        std::vector<std::uint8_t> image = t.BlankRecord();
        std::uint8_t id_bytes[4];
        kura::EncodeFixed32(id_bytes, static_cast<std::uint32_t>(id));
        d.PutField(image.data(), id_field, id_bytes);
        kura::WriteBlobField(*t.Blobs(), d, image.data(), *fields[0], MakeValue(id, row.note));
        kura::WriteBlobField(*t.Blobs(), d, image.data(), *fields[1], MakeValue(id, row.pic));
        recno[id] = t.InsertRecord(image.data());
      } else {
        auto it = recno.begin();
        std::advance(it, random() % recno.size());
        const auto [id, n] = *it;
        if (what < 9) {
          const int f = static_cast<int>(random() % 2);
          const TValueName s{version * 10 + step, static_cast<std::uint32_t>(random() % 6000)};
          say.Say("U " + std::to_string(id) + " " + std::to_string(f) + " " +
                  std::to_string(s.version) + " " + std::to_string(s.length));
          std::vector<std::uint8_t> image;
          {
            kura::TRecordPin r = d.GetRecord(n);
            image.assign(r->Data(), r->Data() + r->Size());
          }
          kura::WriteBlobField(*t.Blobs(), d, image.data(), *fields[f], MakeValue(id, s));
          t.UpdateRecord(n, image.data());
        } else {
          say.Say("D " + std::to_string(id));
          t.DeleteRecord(n);
          recno.erase(it);
        }
      }
    }
    if (transaction) {
      t.Commit();
      t.EndTransaction();
    }
    say.Say("C");
  }
}

// The name of a value written as (version, length), as it reads back: an
// empty value has no version, a short one is 8 bytes long.
TValueName NameOf(const std::string& version, const std::string& length) {
  const auto l = static_cast<std::uint32_t>(std::stoul(length));
  return l == 0 ? TValueName{} : TValueName{std::stoi(version), std::max<std::uint32_t>(l, 8)};
}

// Applies the lines of one operation to `rows`; the IDs it touches go to
// `touched`. false for a line that makes no sense.

bool ApplyTableOperation(const std::vector<std::string>& lines, TRows& rows,
                         std::set<std::int32_t>& touched) {
  for (const std::string& line : lines) {
    if (line == "A") continue;  // the operation is all or nothing
    const auto w = Words(line);
    if (w.empty()) return false;
    const std::int32_t id = w.size() > 1 ? std::stoi(w[1]) : 0;
    touched.insert(id);
    if (w[0] == "I" && w.size() == 6) {
      rows[id] = {NameOf(w[2], w[3]), NameOf(w[4], w[5])};
    } else if (w[0] == "U" && w.size() == 5 && rows.count(id)) {
      (w[2] == "0" ? rows[id].note : rows[id].pic) = NameOf(w[3], w[4]);
    } else if (w[0] == "D" && w.size() == 2 && rows.count(id)) {
      rows.erase(id);
    } else {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Games. A game is named by a seed and a count: its comment says the seed,
// its entries follow from both (moves on points 1..361, some setup stones).

struct TGame {
  std::string comment;
  std::vector<MoveEntry> entries;
  bool operator==(const TGame&) const = default;
};
using TGames = std::map<std::int32_t, TGame>;  // by game number

std::vector<MoveEntry> MakeEntries(unsigned seed, int count) {
  std::mt19937 random(seed);
  std::vector<MoveEntry> out;
  for (int i = 1; i <= count; ++i) {
    const bool setup = random() % 16 == 0;
    out.push_back({setup ? 0 : i, 1 + i % 2, 1 + static_cast<std::int32_t>(random() % 361)});
  }
  return out;
}

Record ToRecord(const std::vector<MoveEntry>& entries) {
  Record r{};
  for (std::size_t i = 0; i < entries.size() && i + 1 < r.size(); ++i)
    r[i + 1] = entries[i];
  return r;
}

// The point 180 degrees round the centre, as RotateGame turns it.
std::int32_t Rotated(std::int32_t p) {
  const std::int32_t column = (p - 1) / kirobaku::kBoardSize + 1;
  const std::int32_t row = p - (column - 1) * kirobaku::kBoardSize;
  return (20 - column - 1) * kirobaku::kBoardSize + (20 - row);
}

std::string Describe(const std::optional<TGame>& g) {
  if (!g) return "absent";
  std::string s(1, '"');
  s.append(g->comment).append("\", ").append(std::to_string(g->entries.size())).append(" entries");
  for (std::size_t i = 0; i < std::min<std::size_t>(g->entries.size(), 3); ++i)
    s.append(" ")
        .append(std::to_string(g->entries[i].move))
        .append("/")
        .append(std::to_string(g->entries[i].colour))
        .append("/")
        .append(std::to_string(g->entries[i].point));
  return s;
}

// Puts the list query on game `nb` (DeleteGame deletes the current row).
bool FindListed(kirobaku::TDataModule1& m, std::int32_t nb) {
  m.OpenList(kirobaku::TDataModule1::kListedGames);
  for (m.KuraQuery1.First(); !m.KuraQuery1.Eof(); m.KuraQuery1.Next())
    if (m.KuraQuery1.Fields()[0].AsInteger() == nb) return true;
  return false;
}

// The game writer. Lines: "S seed count" (a new game; its number follows
// with the "C"), "R nb seed count limit", "T nb" (rotate), "X nb" (delete).
void GameWriter(const std::string& dir, TReporter& say, unsigned seed,
                const TPowerLossFileSystem* lossy) {
  std::mt19937 random(seed);
  kirobaku::TDataModule1 m(dir);
  m.OpenList(kirobaku::TDataModule1::kListedGames);
  std::vector<std::int32_t> games;
  for (m.KuraQuery1.First(); !m.KuraQuery1.Eof(); m.KuraQuery1.Next())
    games.push_back(m.KuraQuery1.Fields()[0].AsInteger());
  while (!(lossy && lossy->Lost())) {
    const unsigned action = random() % 20;
    say.Say("B");
    if (action < 8 || games.empty()) {
      const unsigned game_seed = random();
      const int count = static_cast<int>(random() % 301);
      say.Say("S " + std::to_string(game_seed) + " " + std::to_string(count));
      m.OpenList(kirobaku::TDataModule1::kListedGames);
      const std::int32_t nb = m.StoreImportedGame("g" + std::to_string(game_seed),
                                                  ToRecord(MakeEntries(game_seed, count)));
      games.push_back(nb);
      say.Say("C " + std::to_string(nb));
      continue;
    }
    const std::size_t at = random() % games.size();
    const std::int32_t nb = games[at];
    if (action < 13) {
      const unsigned game_seed = random();
      const int count = static_cast<int>(random() % 301);
      const int limit = random() % 3 == 0 ? static_cast<int>(random() % 301) : -1;
      say.Say("R " + std::to_string(nb) + " " + std::to_string(game_seed) + " " +
              std::to_string(count) + " " + std::to_string(limit));
      m.ReplaceMoves(nb, ToRecord(MakeEntries(game_seed, count)), limit);
    } else if (action < 17) {
      say.Say("T " + std::to_string(nb));
      m.RotateGame(nb);
    } else {
      if (!FindListed(m, nb))
        throw std::runtime_error("game " + std::to_string(nb) + " is not listed");
      say.Say("X " + std::to_string(nb));
      m.DeleteGame(nb);
      games.erase(games.begin() + static_cast<std::ptrdiff_t>(at));
    }
    say.Say("C");
  }
}

// Applies one game operation (its lines and, for a store, the number from
// its "C" line, or -1 while in flight) to `games`; false for nonsense.
bool ApplyGameOperation(const std::vector<std::string>& lines, std::int32_t stored_as,
                        TGames& games, std::optional<TGame>* new_game, std::int32_t* touched) {
  for (const std::string& line : lines) {
    const auto w = Words(line);
    if (w.empty()) return false;
    if (w[0] == "S" && w.size() == 3) {
      const auto game_seed = static_cast<unsigned>(std::stoul(w[1]));
      TGame g{"g" + w[1], MakeEntries(game_seed, std::stoi(w[2]))};
      if (stored_as < 0) {
        *new_game = std::move(g);
      } else {
        games[stored_as] = std::move(g);
        *touched = stored_as;
      }
      continue;
    }
    if (w.size() < 2) return false;
    const std::int32_t nb = std::stoi(w[1]);
    *touched = nb;
    auto it = games.find(nb);
    if (it == games.end()) return false;
    if (w[0] == "R" && w.size() == 5) {
      auto entries = MakeEntries(static_cast<unsigned>(std::stoul(w[2])), std::stoi(w[3]));
      const int limit = std::stoi(w[4]);
      if (limit >= 0 && static_cast<std::size_t>(limit) < entries.size()) entries.resize(limit);
      it->second.entries = std::move(entries);
    } else if (w[0] == "T") {
      for (MoveEntry& e : it->second.entries)
        e.point = Rotated(e.point);
    } else if (w[0] == "X") {
      games.erase(it);
    } else {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// The parent.

struct TFigures {
  int cycles = 0, table_kills = 0, game_kills = 0, table_losses = 0, game_losses = 0;
  int shared_kills = 0, shared_losses = 0, shared_repairs = 0;
  long reader_rounds = 0, reader_lock_waits = 0, shared_commits = 0, lock_failures = 0;
  int stale_reads = 0;
  int clean = 0, repaired = 0;
  std::map<std::string, int> repaired_tables;
  // Faults.
  int unrecoverable = 0, lost = 0, torn = 0, writer_errors = 0, early_ends = 0, hangs = 0;
  // Not faults.
  long acknowledged = 0;
  int in_flight_done = 0, in_flight_not_done = 0, table_transactions_partly_done = 0;
  int Faults() const {
    return unrecoverable + lost + torn + writer_errors + early_ends + hangs + stale_reads;
  }
};

struct TRun {
  std::string output;
  int status = 0;
};

// Runs the kura executable with `args`, its output and errors together.
TRun RunKura(const std::vector<std::string>& args) {
  int p[2];
  if (pipe(p) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(p[1], 1);
    dup2(p[1], 2);
    close(p[0]);
    close(p[1]);
    std::vector<char*> argv{const_cast<char*>(KURA_EXECUTABLE)};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  TRun run;
  char buffer[4096];
  for (ssize_t n; (n = read(p[0], buffer, sizeof buffer)) > 0;)
    run.output.append(buffer, static_cast<std::size_t>(n));
  close(p[0]);
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

class TCrashSoak {
 public:
  TCrashSoak(unsigned seed, int restart, std::string keep)
      : random_(seed), restart_(restart), keep_(std::move(keep)) {}

  // One cycle: a kill, or a power loss when `loss`; a table or game writer
  // at random.
  void Cycle(int index, bool loss) {
    ++f_.cycles;
    const bool game = random_() % 2 == 1;
    (loss ? (game ? f_.game_losses : f_.table_losses) : (game ? f_.game_kills : f_.table_kills))++;
    std::string& dir = game ? game_dir_ : table_dir_;
    int& age = game ? game_age_ : table_age_;
    if (dir.empty() || age++ % restart_ == 0) Fresh(game);
    where_ = "cycle " + std::to_string(index) + " (" + (game ? "game" : "table") +
             (loss ? " power loss" : " kill") + ")";

    const unsigned writer_seed = random_();
    const std::int64_t loss_at = 1 + random_() % 800;
    const auto survival = static_cast<TPowerLossFileSystem::TSurvival>(random_() % 4);
    const int kill_after_ms = 5 + static_cast<int>(random_() % 300);
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
      close(p[0]);
      TReporter say(p[1]);
      std::optional<TPowerLossFileSystem> lossy;
      if (loss) {
        lossy.emplace(loss_at);
        kura::SetFileSystemForTesting(&*lossy);
      }
      int status = 3;
      try {
        if (game)
          GameWriter(dir, say, writer_seed, lossy ? &*lossy : nullptr);
        else
          TableWriter(dir, say, 1'000'000 * (index + 1), writer_seed, loss,
                      lossy ? &*lossy : nullptr);
      } catch (const std::exception& e) {
        if (!(lossy && lossy->Lost())) say.Say(std::string("E ") + e.what());
      }
      if (lossy && lossy->Lost()) {
        std::mt19937 r(writer_seed);
        lossy->Materialize(survival, r);
        status = 0;
      }
      _exit(status);
    }
    close(p[1]);
    const std::string said = Collect(p[0], child, loss ? 60'000 : kill_after_ms, loss);
    close(p[0]);

    // The operations the writer reported: done ones, and the one in flight.
    std::vector<std::vector<std::string>> done;
    std::vector<std::string> done_results;  // the rest of each "C" line
    std::vector<std::string> flight;
    bool open = false;
    std::istringstream lines(said);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("E ", 0) == 0) {
        Fault(f_.writer_errors, "writer error: " + line.substr(2));
        continue;
      }
      if (line == "B") {
        flight.clear();
        open = true;
      } else if (line == "C" || line.rfind("C ", 0) == 0) {
        done.push_back(flight);
        done_results.push_back(line.size() > 2 ? line.substr(2) : "");
        flight.clear();
        open = false;
      } else {
        flight.push_back(line);
      }
    }
    if (!open) flight.clear();
    f_.acknowledged += static_cast<long>(done.size());

    if (!CheckTables(dir, game ? std::vector<std::string>{"kifulist", "kifudata"}
                               : std::vector<std::string>{"T"}))
      return;
    if (game)
      CheckGames(dir, done, done_results, flight);
    else
      CheckTable(dir, done, flight);
  }


  // One cycle on two computers (see shared_folder.h).
  void SharedCycle(int index) {
    ++f_.cycles;
    if (shared_dir_.empty() || shared_age_++ % restart_ == 0) FreshShared();
    const bool loss = random_() % 2 == 1;
    ++(loss ? f_.shared_losses : f_.shared_kills);
    const int victim = 1 + static_cast<int>(random_() % 2);
    where_ = "cycle " + std::to_string(index) + " (two computers, " +
             (loss ? "power loss" : "kill") + " of writer " + std::to_string(victim) + ")";
    const std::string dir = shared_dir_;

    struct TChild {
      pid_t pid = -1;
      int fd = -1;
      std::string said;
      bool ended = false;
      int status = 0;
    };
    auto start = [&](const std::function<int(int)>& body) {
      int p[2];
      if (pipe(p) != 0) throw std::runtime_error("pipe failed");
      std::fflush(nullptr);
      TChild c;
      c.pid = fork();
      if (c.pid < 0) throw std::runtime_error("fork failed");
      if (c.pid == 0) {
        close(p[0]);
        _exit(body(p[1]));
      }
      close(p[1]);
      c.fd = p[0];
      return c;
    };
    const unsigned reader_seed = random_();
    TChild reader = start([&](int fd) {
      return soak::SharedReader(dir, fd, reader_seed, namespaces_);
    });
    std::array<TChild, 2> writers;
    for (int w = 1; w <= 2; ++w) {
      const unsigned seed = random_();
      const std::int64_t loss_at = loss && w == victim ? 1 + random_() % 600 : 0;
      const int survival = static_cast<int>(random_() % 3);
      writers[w - 1] = start([&, w, seed, loss_at, survival](int fd) {
        return soak::SharedWriter(dir, fd, w, seed, loss_at, survival, namespaces_);
      });
    }
    // Reads what every child says for `ms`, or until `until` holds.
    auto pump = [&](int ms, const std::function<bool()>& until) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      while (!(until && until())) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return;
        std::vector<pollfd> fds;
        std::vector<TChild*> of;
        for (TChild* c : {&reader, &writers[0], &writers[1]})
          if (!c->ended) {
            fds.push_back({c->fd, POLLIN, 0});
            of.push_back(c);
          }
        if (fds.empty()) return;
        if (poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left, 50))) <= 0)
          continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
          if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
          char buffer[65536];
          const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
          if (n <= 0)
            of[i]->ended = true;
          else
            of[i]->said.append(buffer, static_cast<std::size_t>(n));
        }
      }
    };
    auto finish = [&](TChild& c, bool kill_it) {
      if (kill_it) kill(c.pid, SIGKILL);
      waitpid(c.pid, &c.status, 0);
      char buffer[65536];
      for (ssize_t n; (n = read(c.fd, buffer, sizeof buffer)) > 0;)
        c.said.append(buffer, static_cast<std::size_t>(n));
      close(c.fd);
      c.ended = true;
    };
    TChild& dying = writers[victim - 1];
    TChild& going_on = writers[2 - victim];
    pump(100 + static_cast<int>(random_() % 300), nullptr);
    if (loss) {
      pump(20'000, [&] { return dying.ended; });
      if (!dying.ended) Fault(f_.hangs, "the writer losing its power did not end");
      finish(dying, !dying.ended);
      if (!WIFEXITED(dying.status) || WEXITSTATUS(dying.status) != 0 ||
          dying.said.find("L\n") == std::string::npos)
        Fault(f_.early_ends, "the writer losing its power ended with status " +
                                 std::to_string(dying.status));
    } else {
      finish(dying, true);
    }
    pump(50 + static_cast<int>(random_() % 200), nullptr);
    finish(going_on, true);
    pump(30, nullptr);
    finish(reader, true);
    if (WIFEXITED(going_on.status) || (!loss && WIFEXITED(dying.status)))
      Fault(f_.early_ends, "a writer stopped on its own");
    if (WIFEXITED(reader.status))
      Fault(f_.early_ends, "the reader stopped on its own, status " +
                               std::to_string(WEXITSTATUS(reader.status)));

    // What the writers and the reader said.
    std::map<std::int32_t, std::int32_t> acked;        // the highest acknowledged number
    std::map<std::int32_t, std::set<std::int32_t>> maybe;  // begun, not acknowledged
    for (int w = 1; w <= 2; ++w) {
      std::istringstream lines(writers[w - 1].said);
      for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> words = Words(line);
        if (words.empty()) continue;
        if (words[0] == "B" && words.size() >= 2) {
          maybe[w].insert(std::stoi(words[1]));
        } else if (words[0] == "C" && words.size() >= 2) {
          const std::int32_t s = std::stoi(words[1]);
          maybe[w].erase(s);
          acked[w] = std::max(acked[w], s);
          ++f_.shared_commits;
        } else if (words[0] == "A" || words[0] == "E") {
          if (line.find("# 10249 ") != std::string::npos)
            ++f_.lock_failures;
          else
            Fault(f_.writer_errors, "writer " + std::to_string(w) + ": " + line);
        }
      }
    }
    {
      bool reader_faulted = false;
      std::istringstream lines(reader.said);
      for (std::string line; std::getline(lines, line);) {
        if (line == "W") ++f_.reader_lock_waits;
        if (line.rfind("R ", 0) == 0) f_.reader_rounds = reader_rounds_base_ + std::stol(line.substr(2));
        // One fault a cycle; the reader says it again at every round.
        if (line.rfind("F ", 0) == 0 && !reader_faulted) {
          Fault(f_.stale_reads, "reader: " + line.substr(2));
          reader_faulted = true;
        }
      }
      reader_rounds_base_ = f_.reader_rounds;
    }

    // A repair after a loss must keep every commit; then every table is
    // verified (and mended where it fails).
    if (loss && random_() % 2 == 0) {
      ++f_.shared_repairs;
      const std::string t = random_() % 2 ? "PA" : "pb";
      const TRun repair = RunKura({"repair", dir, t});
      if (repair.status != 0)
        Fault(f_.unrecoverable, "kura repair " + t + " after a loss failed:\n" + repair.output);
    }
    std::vector<std::string> tables{"pa", "pb"};
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (name.size() > 4 && (name[0] == 's' || name[0] == 'S') &&
          name.substr(name.size() - 4) == ".DAT")
        tables.push_back(name.substr(0, name.size() - 4));
    }
    if (!CheckTables(dir, tables, [this] { FreshShared(); })) return;

    soak::TSequences pa, pb;
    try {
      soak::ReadShared(dir, &pa, &pb);
    } catch (const std::exception& e) {
      Fault(f_.lost, std::string("reading the verified tables: ") + e.what());
      FreshShared();
      return;
    }
    bool bad = false;
    for (std::int32_t w : {1, 2}) {
      const std::set<std::int32_t>& a = pa[w];
      const std::set<std::int32_t>& b = pb[w];
      const std::int32_t k = a.empty() ? 0 : *a.rbegin();
      std::string what;
      if (a != b)
        what = "pa and pb differ (pa " + std::to_string(a.size()) + " numbers, pb " +
               std::to_string(b.size()) + ")";
      else if (static_cast<std::int32_t>(a.size()) != k)
        what = "a number is missing below " + std::to_string(k);
      else if (k < std::max(acked[w], shared_last_[w]))
        what = "acknowledged up to " + std::to_string(std::max(acked[w], shared_last_[w])) +
               ", found up to " + std::to_string(k);
      else
        for (std::int32_t s = std::max(acked[w], shared_last_[w]) + 1; s <= k && what.empty(); ++s)
          if (!maybe[w].count(s)) what = "number " + std::to_string(s) + " was never committed";
      if (!what.empty()) {
        bad = true;
        Fault(a != b ? f_.torn : f_.lost, "writer " + std::to_string(w) + ": " + what);
      }
      shared_last_[w] = k;
    }
    if (bad) FreshShared();
  }

  void Print(double seconds) const {
    std::printf(
        "crash_soak: %d cycles in %.0f s: %d table kills, %d game kills, %d table power losses, %d "
        "game power "
        "losses\n",
        f_.cycles, seconds, f_.table_kills, f_.game_kills, f_.table_losses, f_.game_losses);
    std::printf("  clean %d, repaired %d", f_.clean, f_.repaired);
    for (const auto& [t, n] : f_.repaired_tables)
      std::printf(" (%s %d)", t.c_str(), n);
    std::printf(
        "\n  acknowledged operations checked: %ld; in flight: %d done, %d not done; table "
        "transactions in "
        "flight left partly done: %d\n",
        f_.acknowledged, f_.in_flight_done, f_.in_flight_not_done,
        f_.table_transactions_partly_done);
    std::printf(
        "  two computers (%s): %d kills, %d power losses, %d repairs after a loss; %ld commits "
        "acknowledged; %ld reader rounds checked, %ld reads and %ld commits refused with a lock "
        "failure\n",
        namespaces_ ? "mount namespaces with their own boot identifiers"
                    : "boot identifiers of the test file system",
        f_.shared_kills, f_.shared_losses, f_.shared_repairs, f_.shared_commits, f_.reader_rounds,
        f_.reader_lock_waits, f_.lock_failures);
    std::printf(
        "  faults: unrecoverable %d, lost %d, torn %d, stale reads %d, writer errors %d, early "
        "ends %d, hangs %d\n",
        f_.unrecoverable, f_.lost, f_.torn, f_.stale_reads, f_.writer_errors, f_.early_ends,
        f_.hangs);
  }
  int Faults() const { return f_.Faults(); }

 private:
  void Fresh(bool game) {
    std::string& dir = game ? game_dir_ : table_dir_;
    if (!dir.empty()) fs::remove_all(dir);
    char name[] = "/tmp/crash-soak-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = name;
    if (game) {
      games_.clear();
      kirobaku::TDataModule1 create(dir);  // creates both tables
    } else {
      rows_.clear();
      kura::test::CreateIdNotePicTable(dir, kura::TStorageSettings{}, true);
    }
  }

  void FreshShared() {
    if (!shared_dir_.empty()) fs::remove_all(shared_dir_);
    char name[] = "/tmp/crash-soak-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    shared_dir_ = name;
    shared_last_.clear();
    soak::CreateSharedTables(shared_dir_);
  }

 public:
  void SetNamespaces(bool on) { namespaces_ = on; }
  ~TCrashSoak() {
    for (const std::string& d : {table_dir_, game_dir_, shared_dir_})
      if (!d.empty()) fs::remove_all(d);
  }

 private:
  // Reads what the writer says; kills it after `ms` (a kill run) or, for a
  // power loss, lets it end, killing it as hung after `ms`.
  std::string Collect(int fd, pid_t child, int ms, bool loss) {
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool eof = false;
    while (!eof) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left)) > 0) {
        char buffer[65536];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
          eof = true;
        else
          said.append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (!eof) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
      said.append(buffer, static_cast<std::size_t>(n));
    if (loss) {
      if (!eof)
        Fault(f_.hangs, "the power-loss writer did not end");
      else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fault(f_.early_ends, "the power-loss writer ended with status " + std::to_string(status));
    } else if (eof || !WIFSIGNALED(status)) {
      Fault(f_.early_ends, "the writer stopped on its own, status " + std::to_string(status));
    }
    return said;
  }

  void Fault(int& counter, const std::string& what) {
    ++counter;
    std::printf("FAULT %s: %s\n", where_.c_str(), what.c_str());
    std::fflush(stdout);
    const std::string& dir = where_.find("two computers") != std::string::npos ? shared_dir_
                             : where_.find("game") != std::string::npos        ? game_dir_
                                                                               : table_dir_;
    if (!dir.empty() && fs::exists(dir)) {
      const std::string to = keep_ + "/" + std::to_string(f_.cycles);
      std::error_code ec;
      fs::create_directories(keep_, ec);
      fs::remove_all(to, ec);
      fs::copy(dir, to, fs::copy_options::recursive, ec);
      std::printf("  files kept in %s\n", to.c_str());
    }
  }

  // `kura verify` on each table, `kura repair` where it fails; false (and a
  // fault, the database made afresh) when a table stays unsound.
  bool CheckTables(const std::string& dir, const std::vector<std::string>& tables,
                   const std::function<void()>& fresh = nullptr) {
    bool repaired = false;
    for (const std::string& t : tables) {
      const TRun verify = RunKura({"verify", dir, t});
      if (verify.status == 0 && verify.output == "ok\n") continue;
      const TRun repair = RunKura({"repair", dir, t});
      const TRun again = RunKura({"verify", dir, t});
      if (repair.status != 0 || again.status != 0 || again.output != "ok\n") {
        Fault(f_.unrecoverable, t + " failed verification:\n" + verify.output + "repair:\n" +
                                    repair.output + "verify after repair:\n" + again.output);
        if (fresh)
          fresh();
        else
          Fresh(tables.size() > 1);
        return false;
      }
      repaired = true;
      ++f_.repaired_tables[t];
    }
    ++(repaired ? f_.repaired : f_.clean);
    return true;
  }

  void CheckTable(const std::string& dir, const std::vector<std::vector<std::string>>& done,
                  const std::vector<std::string>& flight) {
    std::set<std::int32_t> ignored;
    for (const auto& op : done) {
      if (!ApplyTableOperation(op, rows_, ignored)) {
        Fault(f_.writer_errors, "a report that makes no sense: " + op.front());
        Fresh(false);
        return;
      }
    }
    TRows after = rows_;
    std::set<std::int32_t> touched;
    if (!ApplyTableOperation(flight, after, touched)) {
      Fault(f_.writer_errors, "a report that makes no sense: " + flight.front());
      Fresh(false);
      return;
    }

    // What the table holds.
    TRows found;
    std::string problem;
    try {
      kura::TDataTable t(dir, "T", kura::TStorageSettings{});
      t.Open(true);
      kura::TDataFile& d = t.Data();
      for (std::int32_t n = 1; n <= d.SlotCount() && problem.empty(); ++n) {
        kura::TRecordPin r = d.GetRecord(n);
        if (r->Deleted()) continue;
        const std::int32_t id = IdOf(d, r->Data());
        std::optional<TValueName> note =
            ReadName(id, kura::ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName("NOTE")));
        std::optional<TValueName> pic =
            ReadName(id, kura::ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName("PIC")));
        if (found.count(id))
          problem = "ID " + std::to_string(id) + " twice";
        else if (!note || !pic)
          problem = "ID " + std::to_string(id) + " holds a value never written for it";
        else
          found[id] = {*note, *pic};
      }
      t.Close();
    } catch (const std::exception& e) {
      problem = std::string("reading the verified table: ") + e.what();
    }
    if (!problem.empty()) {
      Fault(f_.lost, problem);
      Fresh(false);
      return;
    }

    std::set<std::int32_t> ids;
    for (const auto* m : {&rows_, &found, &after})
      for (const auto& [id, row] : *m)
        ids.insert(id);
    auto describe = [](const std::optional<TRow>& r) {
      if (!r) return std::string("absent");
      return "note " + std::to_string(r->note.version) + "/" + std::to_string(r->note.length) +
             ", pic " + std::to_string(r->pic.version) + "/" + std::to_string(r->pic.length);
    };
    int as_before = 0, as_after = 0;
    for (std::int32_t id : ids) {
      auto get = [id](const TRows& m) {
        const auto it = m.find(id);
        return it == m.end() ? std::optional<TRow>() : std::optional<TRow>(it->second);
      };
      const auto now = get(found), before = get(rows_), then = get(after);
      if (touched.count(id) && before != then) {
        if (now == before)
          ++as_before;
        else if (now == then)
          ++as_after;
        else
          Fault(f_.lost, "ID " + std::to_string(id) +
                             " touched by the operation in flight is neither as before "
                             "nor as after it: found " +
                             describe(now) + "; before " + describe(before) + "; after " +
                             describe(then));
      } else if (now != before) {
        Fault(f_.lost, "ID " + std::to_string(id) +
                           (!now     ? " is lost"
                            : before ? " differs from its acknowledged state"
                                     : " was never written") +
                           ": found " + describe(now) + "; acknowledged " + describe(before));
      }
    }
    const bool all_or_nothing = std::find(flight.begin(), flight.end(), "A") != flight.end();
    if (as_before > 0 && as_after > 0 && all_or_nothing)
      Fault(f_.torn, "a bulk append in flight left " + std::to_string(as_after) + " of " +
                         std::to_string(as_before + as_after) + " records");
    else if (as_before > 0 && as_after > 0)
      ++f_.table_transactions_partly_done;
    else if (as_after > 0)
      ++f_.in_flight_done;
    else if (!flight.empty())
      ++f_.in_flight_not_done;
    rows_ = std::move(found);
  }

  void CheckGames(const std::string& dir, const std::vector<std::vector<std::string>>& done,
                  const std::vector<std::string>& results, const std::vector<std::string>& flight) {
    for (std::size_t i = 0; i < done.size(); ++i) {
      std::optional<TGame> unused;
      std::int32_t touched = 0;
      const std::int32_t stored_as = results[i].empty() ? -1 : std::stoi(results[i]);
      if (!ApplyGameOperation(done[i], stored_as, games_, &unused, &touched)) {
        Fault(f_.writer_errors, "a report that makes no sense: " + done[i].front());
        Fresh(true);
        return;
      }
    }
    TGames after = games_;
    std::optional<TGame> new_game;
    std::int32_t touched = 0;
    if (!ApplyGameOperation(flight, -1, after, &new_game, &touched)) {
      Fault(f_.writer_errors, "a report that makes no sense: " + flight.front());
      Fresh(true);
      return;
    }

    // What the database holds, read as the program reads it, and every move
    // row by game number.
    TGames found;
    std::map<std::int32_t, int> rows_of;
    std::string problem;
    try {
      kirobaku::TDataModule1 m(dir);
      m.OpenList(kirobaku::TDataModule1::kListedGames);
      std::vector<std::pair<std::int32_t, std::string>> listed;
      for (m.KuraQuery1.First(); !m.KuraQuery1.Eof(); m.KuraQuery1.Next())
        listed.push_back(
            {m.KuraQuery1.Fields()[0].AsInteger(), m.KuraQuery1.Fields()[1].AsString()});
      for (const auto& [nb, comment] : listed) {
        Record record{};
        const std::int32_t n = m.LoadGame(nb, record);
        TGame g{comment, {}};
        for (std::int32_t i = 1; i <= n; ++i)
          g.entries.push_back(record[static_cast<std::size_t>(i)]);
        if (found.count(nb)) problem = "game " + std::to_string(nb) + " listed twice";
        found[nb] = std::move(g);
      }
      m.KuraQuery2.Close();
      m.KuraQuery2.ClearSQL();
      m.KuraQuery2.AddSQL("select * from kifudata");
      m.KuraQuery2.Open();
      for (m.KuraQuery2.First(); !m.KuraQuery2.Eof(); m.KuraQuery2.Next())
        ++rows_of[m.KuraQuery2.Fields()[0].AsInteger()];
      m.KuraQuery2.Close();
    } catch (const std::exception& e) {
      problem = std::string("reading the verified database: ") + e.what();
    }
    for (const auto& [nb, n] : rows_of)
      if (!found.count(nb) && problem.empty())
        problem = std::to_string(n) + " move rows of game " + std::to_string(nb) +
                  ", which is not listed";
    for (const auto& [nb, g] : found)
      if (rows_of[nb] != static_cast<int>(g.entries.size()) && problem.empty())
        problem = "game " + std::to_string(nb) + " has " + std::to_string(rows_of[nb]) +
                  " move rows, " + std::to_string(g.entries.size()) + " loaded";
    if (!problem.empty()) {
      Fault(flight.empty() ? f_.lost : f_.torn,
            problem + "; in flight: " + (flight.empty() ? "-" : flight.back()));
      Fresh(true);
      return;
    }

    std::set<std::int32_t> nbs;
    for (const auto* m : {&games_, &found, &after})
      for (const auto& [nb, g] : *m)
        nbs.insert(nb);
    bool in_flight_done = false, bad = false;
    for (std::int32_t nb : nbs) {
      auto get = [nb](const TGames& m) {
        const auto it = m.find(nb);
        return it == m.end() ? std::optional<TGame>() : std::optional<TGame>(it->second);
      };
      const auto now = get(found), before = get(games_), then = get(after);
      if (!before && now && new_game && *now == *new_game) {
        if (in_flight_done) Fault(f_.torn, "the game in flight was stored twice");
        in_flight_done = true;
      } else if (!flight.empty() && nb == touched && before != then &&
                 (now == before || now == then)) {
        in_flight_done = now == then;
      } else if (now != before) {
        bad = true;
        const bool flying = !flight.empty() && (nb == touched || (!before && new_game));
        Fault(flying ? f_.torn : f_.lost,
              "game " + std::to_string(nb) +
                  (!now     ? " is lost"
                   : before ? (flying ? " is neither as before nor as after the operation in flight"
                                      : " differs from its acknowledged state")
                            : (flying ? " is not the game in flight" : " was never stored")) +
                  ": found " + Describe(now) + "; before " + Describe(before) + "; after " +
                  Describe(then ? then : new_game) +
                  "; in flight: " + (flight.empty() ? "-" : flight.back()));
      }
    }
    if (!flight.empty() && !bad) ++(in_flight_done ? f_.in_flight_done : f_.in_flight_not_done);
    games_ = std::move(found);
  }

  std::mt19937 random_;
  int restart_;
  std::string keep_;
  std::string where_;
  std::string table_dir_, game_dir_, shared_dir_;
  int table_age_ = 0, game_age_ = 0, shared_age_ = 0;
  bool namespaces_ = false;
  long reader_rounds_base_ = 0;
  std::map<std::int32_t, std::int32_t> shared_last_;  // per writer, what the last check found
  TRows rows_;
  TGames games_;
  TFigures f_;
};

}  // namespace

int main(int argc, char** argv) {
  int kills = 500, losses = 125, shared = 625, restart = 40;
  auto seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  std::string keep = "crash_soak_failures";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    try {
      if (a == "--kills" && has_value)
        kills = std::stoi(argv[++i]);
      else if (a == "--losses" && has_value)
        losses = std::stoi(argv[++i]);
      else if (a == "--shared" && has_value)
        shared = std::stoi(argv[++i]);
      else if (a == "--seed" && has_value)
        seed = static_cast<unsigned>(std::stoul(argv[++i]));
      else if (a == "--restart" && has_value)
        restart = std::stoi(argv[++i]);
      else if (a == "--keep" && has_value)
        keep = argv[++i];
      else
        throw std::invalid_argument(a);
    } catch (const std::exception&) {
      std::fprintf(
          stderr,
          "usage: crash_soak [--kills N] [--losses N] [--shared N] [--seed S] [--restart N] "
          "[--keep DIR]\n");
      return 2;
    }
  }
  if (kills < 0 || losses < 0 || shared < 0 || restart < 1) {
    std::fprintf(stderr,
                 "crash_soak: --kills, --losses and --shared take a count, --restart a positive "
                 "number\n");
    return 2;
  }
  std::printf("crash_soak: seed %u\n", seed);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  TCrashSoak soak(seed, restart, keep);
  soak.SetNamespaces(shared > 0 && soak::NamespacesWork());
  try {
    // Kills, losses and cycles on two computers interleaved at random.
    std::mt19937 order(seed ^ 0x5eed5eedu);
    for (int i = 0, k = kills, l = losses, sh = shared; k + l + sh > 0; ++i) {
      const int pick = static_cast<int>(order() % static_cast<unsigned>(k + l + sh));
      if (pick < sh) {
        --sh;
        soak.SharedCycle(i);
        continue;
      }
      const bool loss = pick - sh < l;
      --(loss ? l : k);
      soak.Cycle(i, loss);
    }
  } catch (const std::exception& e) {
    std::printf("crash_soak: stopped: %s\n", e.what());
    soak.Print(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 1;
  }
  soak.Print(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return soak.Faults() == 0 ? 0 : 1;
}
