// TIndexCheck: the deep check of an index file's B-trees and free chains
// against its table's records (TIndexFile::CheckTrees).
//
// What holds in a sound file:
//  - the header counts no page the file does not hold, and its live record
//    count is the number of live slots of the data file;
//  - every tree is in key order with right subtree counts and level links
//    (TIndexTree::Verify);
//  - every page 1..n of the index file belongs to exactly one tree or free
//    chain (a temporary index's pages are numbered in its own file), and a
//    free page holds no entries;
//  - every index holds exactly one key per live record ("Sys Deleted": per
//    slot), each the key its record builds.
// Problems are listed, not thrown: a damaged index is reported whole, at most
// kMaxListedProblems lines and then a line counting the rest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/storage/index/index_tree.h"

namespace kura {

class TDataFile;
class TIndexFile;

class TIndexCheck {
 public:
  TIndexCheck(TIndexFile& index, TDataFile& data) : index_(index), data_(data) {}

  std::vector<std::string> Run();

 private:
  void CheckPageCount();
  void ReadRecords();
  void CheckSlot(int slot);
  void ClaimTreePages(int slot, std::int32_t pages, std::vector<int>& owners);
  void ClaimFreeChain(int slot, std::int32_t pages, std::vector<int>& owners);
  void CheckKeys(int slot, TIndexTree& tree);
  void CheckUnowned();
  void Report(int slot, const std::string& what);

  TIndexFile& index_;
  TDataFile& data_;
  TProblemList problems_;
  // Pages of the index file checked (those the header counts and the file holds).
  std::int32_t file_pages_ = 0;
  // The slot owning each page of the index file, -1 for none yet.
  std::vector<int> owner_;
  // Every slot's record image; index 0 unused.
  std::vector<std::vector<std::uint8_t>> records_;
};

}  // namespace kura
