#include "records/duplicates.h"

#include <algorithm>
#include <map>
#include <set>

#include "db/engine/dataset/kura_table.h"

namespace kirobaku {

namespace {

constexpr std::uint64_t kFnvPrime = 1099511628211ull;

// The moves of a record: its entries without the setup stones.
std::vector<MoveEntry> MovesOf(const Record& record) {
  std::vector<MoveEntry> moves;
  for (std::size_t i = 1; i < record.size() && record[i].colour > 0; ++i) {
    if (record[i].move > 0) moves.push_back(record[i]);
  }
  return moves;
}

}  // namespace

void TMovesDigest::Add(std::int32_t move, std::int32_t colour, std::int32_t point) {
  for (const std::int32_t v : {move, colour, point}) {
    for (int byte = 0; byte < 4; ++byte) {
      value_ ^= static_cast<std::uint32_t>(v) >> (8 * byte) & 0xFF;
      value_ *= kFnvPrime;
    }
  }
  ++moves_;
}

TMovesDigest DigestOf(const Record& entries) {
  TMovesDigest digest;
  for (const MoveEntry& e : MovesOf(entries))
    digest.Add(e.move, e.colour, e.point);
  return digest;
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
  // One walk over the stones of all games, in the order they were stored,
  // which is each game's order.
  std::unordered_map<std::int32_t, TMovesDigest> digests;
  kura::TKuraTable stones(&data);
  stones.SetDatabaseName("kifu");
  stones.SetTableName("kifudata");
  stones.SetReadOnly(true);
  stones.Open();
  kura::TField& nb = stones.Fields()[0];
  kura::TField& move = stones.Fields()[1];
  kura::TField& colour = stones.Fields()[2];
  kura::TField& point = stones.Fields()[3];
  for (stones.First(); !stones.Eof(); stones.Next()) {
    const std::int32_t m = move.AsInteger();
    if (m <= 0) continue;
    const std::int32_t n = nb.AsInteger();
    if (!listed.count(n)) continue;
    digests[n].Add(m, colour.AsInteger(), point.AsInteger());
  }
  stones.Close();
  for (const auto& [n, digest] : digests)
    by_digest_.emplace(digest.Value(), n);
  games_ = digests.size();
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
  const TMovesDigest digest = DigestOf(entries);
  if (digest.Moves() == 0) return 0;
  std::vector<std::int32_t> candidates;
  const auto [begin, end] = by_digest_.equal_range(digest.Value());
  for (auto it = begin; it != end; ++it)
    candidates.push_back(it->second);
  std::sort(candidates.begin(), candidates.end());
  for (const std::int32_t n : candidates) {
    if (SameMoves(n, entries)) return n;
  }
  return 0;
}

void TGameIndex::Add(std::int32_t nb, const Record& entries) {
  const TMovesDigest digest = DigestOf(entries);
  if (digest.Moves() == 0) return;
  by_digest_.emplace(digest.Value(), nb);
  ++games_;
}

std::vector<std::pair<std::int32_t, std::int32_t>> TGameIndex::Duplicates() {
  std::map<std::uint64_t, std::vector<std::int32_t>> groups;
  for (const auto& [digest, n] : by_digest_)
    groups[digest].push_back(n);
  std::vector<std::pair<std::int32_t, std::int32_t>> found;
  for (auto& [digest, games] : groups) {
    if (games.size() < 2) continue;
    std::sort(games.begin(), games.end());
    // Each game against the first of the classes of equal games before it.
    std::vector<std::int32_t> firsts;
    for (const std::int32_t n : games) {
      const auto equal =
          std::find_if(firsts.begin(), firsts.end(), [&](std::int32_t f) { return SameMoves(f, n); });
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
