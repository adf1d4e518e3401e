// Helpers of the engine tests: a scratch table with chosen fields and
// indexes, rows put from expression values, and filters compiled against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/engine/expression/expression.h"
#include "db/engine/expression/filter_expression.h"
#include "db/engine/expression/record_selection.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "tests/storage/storage_test_support.h"

namespace kura::test {

class ScratchTable {
 public:
  ScratchTable(const std::vector<TFieldDefinition>& fields, std::uint16_t language = 0)
      : table_(std::make_unique<TDataTable>(dir_.path(), "t", TStorageSettings{})) {
    TTableOptions options;
    options.locale_language = language;
    table_->Create(fields, options, TIndexCreateOptions{true});
  }
  ~ScratchTable() { table_->Close(); }

  TDataTable& Table() { return *table_; }
  TIndexFile& Indexes() { return dynamic_cast<TIndexFile&>(table_->Index()); }
  void AddIndex(const std::string& name, std::vector<int> fields, bool descending = false,
                bool case_insensitive = false, std::vector<bool> field_descending = {}) {
    TIndexDefinition def;
    def.name = name;
    def.fields = std::move(fields);
    def.descending = descending;
    def.case_insensitive = case_insensitive;
    def.field_descending = std::move(field_descending);
    Indexes().AddSecondaryIndex(table_->Data(), def);
  }
  // One row: values in field order (NULL values stay NULL).
  std::int32_t Insert(const std::vector<TExpValue>& values) {
    TDataFile& d = table_->Data();
    std::vector<std::uint8_t> rec = table_->BlankRecord();
    for (std::size_t i = 0; i < values.size(); ++i) {
      const TFieldDescriptor& f = *d.FieldByNumber(static_cast<int>(i) + 1);
      std::vector<std::uint8_t> bytes;
      if (values[i].null) continue;
      if (f.Type() == kFieldString) {
        d.PutString(rec.data(), f, values[i].s);
      } else if (EncodeFieldValue(f.Shape(), values[i], &bytes)) {
        d.PutField(rec.data(), f, bytes);
      }
    }
    return table_->InsertRecord(rec.data());
  }

  TExpressionContext Context() const { return {kErrFilter, "t", "filter expression"}; }
  std::unique_ptr<TFilterExpression> Filter(const std::string& text,
                                            TLastAutoIncLookup lookup = {}) {
    return std::make_unique<TFilterExpression>(text, table_->Data(), "t", std::move(lookup));
  }

 private:
  TempDir dir_;
  std::unique_ptr<TDataTable> table_;
};

// The detail text of the engine error f raises ("" when none), and its code.
inline std::string DetailOf(const std::function<void()>& f, std::uint16_t* code = nullptr) {
  try {
    f();
  } catch (const EKuraEngineError& e) {
    if (code) *code = e.Code();
    return e.Context().extra_message;
  }
  if (code) *code = 0;
  return "";
}

}  // namespace kura::test
