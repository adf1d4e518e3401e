#include "records/duplicates.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string>

#include "db/engine/dataset/kura_query.h"

namespace kirobaku {

namespace {

// The moves of a record: its entries without the setup stones.
std::vector<MoveEntry> MovesOf(const Record& record) {
  std::vector<MoveEntry> moves;
  for (std::size_t i = 1; i < record.size() && record[i].colour > 0; ++i) {
    if (record[i].move > 0) moves.push_back(record[i]);
  }
  return moves;
}

using KeyPoints = std::array<std::int32_t, kKeyMoves.size()>;

// The points of the key moves, 9 bits each (0 for a move not stored).
std::uint64_t KeyOf(const KeyPoints& points) {
  std::uint64_t key = 0;
  for (const std::int32_t p : points)
    key = key << 9 | static_cast<std::uint64_t>(p & 0x1FF);
  return key;
}

}  // namespace

std::uint64_t KeyOf(const Record& entries) {
  KeyPoints points{};
  for (std::size_t i = 1; i < entries.size() && entries[i].colour > 0; ++i) {
    for (std::size_t k = 0; k < kKeyMoves.size(); ++k) {
      if (entries[i].move == kKeyMoves[k]) points[k] = entries[i].point;
    }
  }
  return KeyOf(points);
}

TGameIndex::TGameIndex(TDataModule1& data) : data_(data) {
  std::set<std::int32_t> listed;
  {
    kura::TKuraQuery list(&data);
    list.SetDatabaseName("kifu");
    list.SetSQL({"select NB from kifulist", "Where NB > 0"});
    list.Open();
    for (list.First(); !list.Eof(); list.Next())
      listed.insert(list.Fields()[0].AsInteger());
    list.Close();
  }
  // Only the rows of the key moves come out of the table: the engine tests
  // the condition on each row where it lies.
  std::unordered_map<std::int32_t, KeyPoints> points;
  for (const std::int32_t n : listed)
    points[n] = {};
  kura::TKuraQuery keys(&data);
  keys.SetDatabaseName("kifu");
  std::string condition = "where NB > 0 and (";
  for (std::size_t k = 0; k < kKeyMoves.size(); ++k) {
    if (k > 0) condition += " or ";
    condition += "MNO = " + std::to_string(kKeyMoves[k]);
  }
  keys.SetSQL({"select NB, MNO, PNT from kifudata", condition + ")"});
  keys.Open();
  for (keys.First(); !keys.Eof(); keys.Next()) {
    const auto game = points.find(keys.Fields()[0].AsInteger());
    if (game == points.end()) continue;
    const std::int32_t move = keys.Fields()[1].AsInteger();
    for (std::size_t k = 0; k < kKeyMoves.size(); ++k) {
      if (move == kKeyMoves[k]) game->second[k] = keys.Fields()[2].AsInteger();
    }
  }
  keys.Close();
  for (const auto& [n, p] : points)
    by_key_.emplace(KeyOf(p), n);
  games_ = points.size();
}

bool TGameIndex::SameMoves(std::int32_t nb, const Record& entries) {
  Record stored{};
  data_.LoadGame(nb, stored);
  return MovesOf(stored) == MovesOf(entries);
}

bool TGameIndex::SameMoves(std::int32_t a, std::int32_t b) {
  Record first{};
  data_.LoadGame(a, first);
  return SameMoves(b, first);
}

std::int32_t TGameIndex::Find(const Record& entries) {
  if (MovesOf(entries).empty()) return 0;
  std::vector<std::int32_t> candidates;
  const auto [begin, end] = by_key_.equal_range(KeyOf(entries));
  for (auto it = begin; it != end; ++it)
    candidates.push_back(it->second);
  std::sort(candidates.begin(), candidates.end());
  for (const std::int32_t n : candidates) {
    if (SameMoves(n, entries)) return n;
  }
  return 0;
}

void TGameIndex::Add(std::int32_t nb, const Record& entries) {
  by_key_.emplace(KeyOf(entries), nb);
  ++games_;
}

std::vector<std::pair<std::int32_t, std::int32_t>> TGameIndex::Duplicates() {
  std::map<std::uint64_t, std::vector<std::int32_t>> groups;
  for (const auto& [key, n] : by_key_)
    groups[key].push_back(n);
  std::vector<std::pair<std::int32_t, std::int32_t>> found;
  for (auto& [key, games] : groups) {
    if (games.size() < 2) continue;
    std::sort(games.begin(), games.end());
    // Each game against the first of the classes of equal games before it.
    std::vector<std::int32_t> firsts;
    for (const std::int32_t n : games) {
      const auto equal = std::find_if(firsts.begin(), firsts.end(),
                                      [&](std::int32_t f) { return SameMoves(f, n); });
      if (equal == firsts.end()) {
        firsts.push_back(n);
      } else {
        found.emplace_back(n, *equal);
      }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace kirobaku
