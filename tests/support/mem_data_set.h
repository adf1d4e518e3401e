// MemDataSet: a small in-memory dataset for tests of what rests on the
// dataset framework: a vector of rows (NB integer, required; CMT string of 8)
// in append order, with a cursor index where -1 is before the first row and
// rows.size() after the last. Written from the framework's contract alone, so
// the framework's own tests and the grid's can hold the framework to it.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "db/common/database_error.h"
#include "db/dataset/data_set.h"

namespace kura::test {

constexpr int kCmtSize = 8;
// Buffer: row id (4), bookmark flag (1), NB indicator + int32, CMT
// indicator + text, then the calculated part.
constexpr std::size_t kIdAt = 0, kFlagAt = 4, kNbAt = 5, kCmtAt = 10, kCalcAt = 11 + kCmtSize + 1;

struct Row {
  int32_t id = 0;
  std::optional<int32_t> nb;
  std::optional<std::string> cmt;
  bool operator==(const Row&) const = default;
};

class MemDataSet : public TDataSet {
 public:
  std::vector<Row> rows;
  bool read_only = false;
  int walks = 0;  // moves to the first row: how often a reader went over the rows

  bool BookmarkValid(const TBookmark& b) override { return Find(Id(b)) >= 0; }
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override {
    return (Id(a) > Id(b)) - (Id(a) < Id(b));
  }
  bool Locate(const std::string& key_fields, const std::vector<TFieldValue>& values,
              TLocateOptions) override {
    CheckBrowseMode();
    const bool by_nb = SameName(key_fields, "NB");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const bool hit = by_nb ? (rows[i].nb && TFieldValue(int64_t{*rows[i].nb}) == values.at(0))
                             : (rows[i].cmt && TFieldValue(*rows[i].cmt) == values.at(0));
      if (!hit) continue;
      DoBeforeScroll();
      pos_ = static_cast<int>(i);
      Resync();
      DoAfterScroll();
      return true;
    }
    return false;
  }

  bool GetFieldData(const TField& field, std::byte* out) override {
    TRecordBuffer buffer = State() == TDataSetState::dsCalcFields ? CalcBuffer() : ActiveBuffer();
    if (!buffer) return false;
    const std::size_t at = Where(field);
    if (buffer[at] == std::byte{0}) return false;
    std::memcpy(out, buffer + at + 1, field.DataSize());
    return true;
  }
  void SetFieldData(TField& field, const std::byte* in) override {
    const TDataSetState s = State();
    if (s != TDataSetState::dsEdit && s != TDataSetState::dsInsert &&
        s != TDataSetState::dsCalcFields) {
      throw EDatabaseError("Table is not in edit or insert mode.");
    }
    TRecordBuffer buffer = s == TDataSetState::dsCalcFields ? CalcBuffer() : ActiveBuffer();
    const std::size_t at = Where(field);
    buffer[at] = std::byte{in != nullptr};
    if (in)
      std::memcpy(buffer + at + 1, in, field.DataSize());
    else
      std::memset(buffer + at + 1, 0, field.DataSize());
    if (s != TDataSetState::dsCalcFields) NotifyFieldChange(field);
  }

 protected:
  void InternalOpen() override {
    auto& defs = MutableFieldDefs();
    defs = {{"NB", TFieldType::ftInteger, 0, true, false, 1},
            {"CMT", TFieldType::ftString, kCmtSize, false, false, 2}};
    CreateFields();
    pos_ = -1;
  }
  void InternalClose() override { DestroyFields(); }
  std::size_t GetRecordSize() override { return kCalcAt + CalcFieldsSize(); }
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool) override {
    const int n = static_cast<int>(rows.size());
    if (mode == TGetMode::gmNext && pos_ < n) ++pos_;
    if (mode == TGetMode::gmPrior && pos_ >= 0) --pos_;
    if (pos_ < 0) return TGetResult::grBOF;
    if (pos_ >= n) return TGetResult::grEOF;
    const Row& row = rows[static_cast<std::size_t>(pos_)];
    std::memset(buffer, 0, GetRecordSize());
    std::memcpy(buffer + kIdAt, &row.id, 4);
    buffer[kFlagAt] = std::byte{static_cast<uint8_t>(TBookmarkFlag::bfCurrent)};
    buffer[kNbAt] = std::byte{row.nb.has_value()};
    if (row.nb) std::memcpy(buffer + kNbAt + 1, &*row.nb, 4);
    buffer[kCmtAt] = std::byte{row.cmt.has_value()};
    if (row.cmt) std::memcpy(buffer + kCmtAt + 1, row.cmt->data(), row.cmt->size());
    GetCalcFields(buffer);
    return TGetResult::grOK;
  }
  void InternalInitRecord(TRecordBuffer buffer) override {
    std::memset(buffer, 0, GetRecordSize());
    const int32_t none = -1;
    std::memcpy(buffer + kIdAt, &none, 4);
    buffer[kFlagAt] = std::byte{static_cast<uint8_t>(TBookmarkFlag::bfInserted)};
  }
  void InternalFirst() override {
    pos_ = -1;
    ++walks;
  }
  void InternalLast() override { pos_ = static_cast<int>(rows.size()); }
  void InternalPost() override {
    TRecordBuffer buffer = ActiveBuffer();
    Row row;
    if (buffer[kNbAt] != std::byte{0})
      row.nb.emplace(), std::memcpy(&*row.nb, buffer + kNbAt + 1, 4);
    if (buffer[kCmtAt] != std::byte{0})
      row.cmt = reinterpret_cast<const char*>(buffer + kCmtAt + 1);
    if (!row.nb) throw EDatabaseError("Field 'NB' must have a value");
    if (State() == TDataSetState::dsEdit) {
      row.id = rows[static_cast<std::size_t>(pos_)].id;
      rows[static_cast<std::size_t>(pos_)] = row;
    } else {
      // Ids grow with the rows (a test may have filled rows itself).
      row.id = std::max(next_id_, rows.empty() ? 1 : rows.back().id + 1);
      next_id_ = row.id + 1;
      rows.push_back(row);
      pos_ = static_cast<int>(rows.size()) - 1;
      // The buffer now stands for the stored row: the resync after the post
      // finds the row by it and makes it current.
      std::memcpy(buffer + kIdAt, &row.id, 4);
    }
  }
  void InternalDelete() override { rows.erase(rows.begin() + pos_); }
  void InternalSetToRecord(TRecordBuffer buffer) override { pos_ = Find(IdOf(buffer)); }
  void InternalGotoBookmark(const TBookmark& b) override { pos_ = Find(Id(b)); }
  void InternalRefresh() override {}
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override {
    return static_cast<TBookmarkFlag>(buffer[kFlagAt]);
  }
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override {
    buffer[kFlagAt] = std::byte{static_cast<uint8_t>(flag)};
  }
  TBookmark GetBookmarkData(TRecordBuffer buffer) override { return {buffer, buffer + 4}; }
  void SetBookmarkData(TRecordBuffer buffer, const TBookmark& b) override {
    std::memcpy(buffer, b.data(), 4);
  }
  int GetRecordCount() override { return static_cast<int>(rows.size()); }
  int GetRecNo() override { return ActiveBuffer() ? Find(IdOf(ActiveBuffer())) + 1 : 0; }
  void DoSetRecNo(int value) override {
    CheckBrowseMode();
    DoBeforeScroll();
    pos_ = value - 1;
    Resync();
    DoAfterScroll();
  }
  bool GetCanModify() const override { return !read_only; }

 private:
  static int32_t Id(const TBookmark& b) {
    int32_t id = 0;
    std::memcpy(&id, b.data(), 4);
    return id;
  }
  static int32_t IdOf(TRecordBuffer buffer) { return Id(TBookmark(buffer, buffer + 4)); }
  // Index of the row with this id, else of the first row after it.
  int Find(int32_t id) const {
    int i = 0;
    while (i < static_cast<int>(rows.size()) && rows[static_cast<std::size_t>(i)].id < id)
      ++i;
    return i;
  }
  std::size_t Where(const TField& field) const {
    if (field.FieldKind() == TFieldKind::fkCalculated) return kCalcAt + field.Offset();
    return field.FieldNo() == 1 ? kNbAt : kCmtAt;
  }

  int pos_ = -1;
  int32_t next_id_ = 1;
};

}  // namespace kura::test
