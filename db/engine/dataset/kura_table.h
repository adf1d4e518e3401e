// TKuraTable: a dataset over one table of a database, opened by name:
// TableName, IndexName (the order: empty for the primary index, which is the
// natural order when it has no key fields), Exclusive and ReadOnly. Its
// cursor is its own, on the database's shared open table.
#pragma once

#include <memory>
#include <string>

#include "db/engine/dataset/kura_db_data_set.h"

namespace kura {

class TKuraTable : public TKuraDBDataSet {
 public:
  explicit TKuraTable(const void* owner = nullptr) : TKuraDBDataSet(owner) {}
  ~TKuraTable() override;

  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& name);
  const std::string& IndexName() const { return index_name_; }
  // While open the rows follow the new order at once (the current row is
  // kept); 10022 for an index the table does not have.
  void SetIndexName(const std::string& name);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);

 protected:
  TDataCursor* CreateHandle() override;
  void DestroyHandle() override;
  bool ReadOnlyDataSet() const override { return read_only_; }

 private:
  // The cursor's index number for `name` (10022 when there is none).
  int IndexNumberOf(TDataCursor& cursor, const std::string& name) const;

  std::string table_name_;
  std::string index_name_;
  bool exclusive_ = false;
  bool read_only_ = false;
  std::unique_ptr<TDataCursor> own_cursor_;
};

}  // namespace kura
