// The kura tool's index commands, and the index files it writes after long
// random runs of appends, updates and deletes read back by the independent
// reader of the format.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "db/storage/index/key_codec.h"
#include "tests/storage/index/index_format_reader.h"

namespace {

struct Result {
  int status;
  std::string out;
};

// Runs the kura tool with `args`, feeding `input` to its standard input.
Result Kura(const std::string& args, const std::string& input = "") {
  char name[] = "/tmp/kura-index-in-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return {-1, ""};
  FILE* f = ::fdopen(fd, "w");
  std::fwrite(input.data(), 1, input.size(), f);
  std::fclose(f);
  const std::string command =
      std::string(KIROBAKU_TOOLS_DIR) + "/kura " + args + " < " + name + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
    out.append(buffer, n);
  const int status = ::pclose(p);
  std::remove(name);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class KuraIndexToolTest : public ::testing::Test {
 protected:
  KuraIndexToolTest() {
    char pattern[] = "/tmp/kura-index-tool-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    dir_ = made ? made : "";
  }
  ~KuraIndexToolTest() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST_F(KuraIndexToolTest, FindUpdateAndRefusals) {
  ASSERT_EQ(Kura("create " + dir_ +
                 " games NB:integer CMT:string:30 GRP:smallint --primary NB"
                 " --index ByCmt:CMT:nocase:compress=full --index ByGrp:GRP,NB:desc")
                .status,
            0);
  ASSERT_EQ(
      Kura("append " + dir_ + " games", "3\tGo game\t1\n1\tSecond\t2\n2\tgo GAME\t1\n").status, 0);
  // Case-insensitive partial search, in index order (identifier order).
  EXPECT_EQ(Kura("find " + dir_ + " games ByCmt 'GO GAME'").out,
            "1\t1\t3\tGo game\t1\n2\t3\t2\tgo GAME\t1\n");
  // A descending index: group 1's records, NB descending.
  EXPECT_EQ(Kura("find " + dir_ + " games ByGrp 1").out,
            "2\t1\t3\tGo game\t1\n3\t3\t2\tgo GAME\t1\n");
  EXPECT_EQ(Kura("update " + dir_ + " games 1", "7\tchanged\t5\n").status, 0);
  EXPECT_EQ(Kura("find " + dir_ + " games primary 7").out, "3\t1\t7\tchanged\t5\n");
  const Result dup = Kura("append " + dir_ + " games", "7\tagain\t1\n");
  EXPECT_EQ(dup.status, 1);
  EXPECT_NE(dup.out.find("9729"), std::string::npos);
  EXPECT_EQ(Kura("update " + dir_ + " games 2", "2\tclash\t0\n").status, 1);
  EXPECT_EQ(Kura("find " + dir_ + " games nosuch 1").status, 2);
  // Keys from standard input: each line's matches in turn, as one find per
  // key would print them; a partial or missing key prints what it matches.
  const std::string one = Kura("find " + dir_ + " games ByGrp 1").out;
  const std::string five = Kura("find " + dir_ + " games ByGrp 5 7").out;
  EXPECT_EQ(Kura("find " + dir_ + " games ByGrp -", "1\r\n\n5\t7\n4\n1\n").out, one + five + one);
  const Result bad = Kura("find " + dir_ + " games primary -", "7\nseven\n");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out.substr(0, 16), "3\t1\t7\tchanged\t5\n");
  EXPECT_NE(bad.out.find("line 2"), std::string::npos) << bad.out;
  EXPECT_EQ(Kura("create " + dir_ + " t2 A:integer --index 9bad:A").status, 1);
  EXPECT_EQ(Kura("create " + dir_ + " t3 A:memo --index M:A").status, 1);
  const Result verify = Kura("verify " + dir_ + " games");
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_NE(Kura("dump " + dir_ + " games --index ByCmt").out.find("type 3 entries 3"),
            std::string::npos);
}

TEST_F(KuraIndexToolTest, LongRandomRunsPassTheIndependentReader) {
  ASSERT_EQ(Kura("create " + dir_ +
                 " t ID:integer NAME:string:24 GRP:smallint --primary ID"
                 " --index ByName:NAME:nocase:compress=full"
                 " --index ByGrp:GRP,NAME:compress=dupbyte"
                 " --index Uniq:NAME,GRP:unique:compress=trailbyte:desc")
                .status,
            0);
  std::mt19937 rng(5);
  std::map<int, int> id_of;  // live record number -> ID
  std::set<int> ids;
  std::set<std::pair<std::string, int>> name_grp;
  std::map<int, std::pair<std::string, int>> row_of;
  auto row = [&](int* id, std::string* name, int* grp) {
    do {
      *id = static_cast<int>(rng() % 100000) - 50000;
      *name = std::string("n").append(std::to_string(rng() % 5000));
      *grp = static_cast<int>(rng() % 7);
    } while (ids.count(*id) || name_grp.count({*name, *grp}));
  };
  for (int round = 0; round < 4; ++round) {
    std::string input;
    for (int i = 0; i < 600; ++i) {
      int id, grp;
      std::string name;
      row(&id, &name, &grp);
      ids.insert(id);
      name_grp.insert({name, grp});
      input += std::to_string(id) + "\t" + name + "\t" + std::to_string(grp) + "\n";
    }
    ASSERT_EQ(Kura("append " + dir_ + " t", input).status, 0);
    // The table reuses deleted slots (it has a primary index): learn the
    // live records and their numbers from the dump.
    const Result all = Kura("dump " + dir_ + " t --records");
    id_of.clear();
    row_of.clear();
    std::size_t at = all.out.find("records:\n");
    ASSERT_NE(at, std::string::npos);
    std::string line;
    std::istringstream lines(all.out.substr(at + 9));
    while (std::getline(lines, line)) {
      int n = 0;
      char state[16] = {};
      if (std::sscanf(line.c_str(), " %d %15s", &n, state) != 2) continue;
      if (std::string(state) != "live") continue;
      const auto tab = line.find('\t');
      std::istringstream fields(line.substr(tab + 1));
      std::string id, name, grp;
      std::getline(fields, id, '\t');
      std::getline(fields, name, '\t');
      std::getline(fields, grp, '\t');
      id_of[n] = std::stoi(id);
      row_of[n] = {name, std::stoi(grp)};
    }
    // Delete about a third, in one call.
    std::string doomed;
    for (const auto& [n, id] : id_of) {
      if (rng() % 3 == 0) {
        doomed += " " + std::to_string(n);
        ids.erase(id);
        name_grp.erase(row_of[n]);
      }
    }
    ASSERT_EQ(Kura("delete " + dir_ + " t" + doomed).status, 0);
    // A few updates to fresh keys.
    int updates = 0;
    for (const auto& [n, id] : id_of) {
      if (doomed.find(" " + std::to_string(n)) != std::string::npos || rng() % 40 || updates >= 8) {
        continue;
      }
      int new_id, grp;
      std::string name;
      row(&new_id, &name, &grp);
      ASSERT_EQ(Kura("update " + dir_ + " t " + std::to_string(n),
                     std::to_string(new_id) + "\t" + name + "\t" + std::to_string(grp) + "\n")
                    .status,
                0);
      ids.erase(id);
      name_grp.erase(row_of[n]);
      ids.insert(new_id);
      name_grp.insert({name, grp});
      ++updates;
    }
  }
  const Result verify = Kura("verify " + dir_ + " t");
  ASSERT_EQ(verify.status, 0) << verify.out;

  const kura::test::FileReport report = kura::test::ReadIndexFile(dir_ + "/t.IDX");
  ASSERT_TRUE(report.problems.empty()) << report.problems.front();
  for (int slot : {0, 1, 2, 3, 31}) {
    const kura::test::IndexReport& index = report.indexes[static_cast<std::size_t>(slot)];
    ASSERT_TRUE(index.problems.empty()) << slot << ": " << index.problems.front();
    if (slot == 31) continue;
    EXPECT_EQ(index.keys.size(), ids.size()) << slot;
    std::set<std::int32_t> records;
    for (const auto& k : index.keys)
      records.insert(k.record);
    EXPECT_EQ(records.size(), ids.size()) << slot;
  }
  // The primary keys are exactly the live IDs, in numeric order.
  std::vector<int> keys;
  for (const auto& k : report.indexes[0].keys)
    keys.push_back(kura::DecodeKeyInt32(&k.key[1]));
  EXPECT_EQ(keys, std::vector<int>(ids.begin(), ids.end()));
  EXPECT_EQ(report.header.record_count, static_cast<std::int32_t>(ids.size()));

  // One bulk find over every live ID and as many absent ones finds each live
  // ID exactly once, in the order asked.
  std::string probes;
  for (int id : ids)
    probes += std::to_string(id) + "\n" + std::to_string(id + 100000) + "\n";
  const Result found = Kura("find " + dir_ + " t primary -", probes);
  ASSERT_EQ(found.status, 0) << found.out;
  std::istringstream lines(found.out);
  std::vector<int> seen;
  for (std::string line; std::getline(lines, line);) {
    int position = 0, record = 0, id = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d\t%d\t%d", &position, &record, &id), 3) << line;
    seen.push_back(id);
  }
  EXPECT_EQ(seen, std::vector<int>(ids.begin(), ids.end()));
}

}  // namespace
