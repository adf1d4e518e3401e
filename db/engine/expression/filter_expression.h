// TFilterExpression: a cursor filter compiled against one table: parsed
// with the filter flags (extended predicates allowed), bound to the table's
// fields, checked to be boolean, and evaluated under the table's language.
// Errors are 10051 with the table's name and the detail text.
#pragma once

#include <memory>
#include <string>

#include "db/engine/expression/compiled_filter.h"
#include "db/engine/expression/expression.h"
#include "db/engine/expression/record_selection.h"

namespace kura {

class TFilterExpression {
 public:
  // `case_insensitive`: strings compare upper-cased; the indexes (whose keys
  // keep case) are then not used to select records.
  TFilterExpression(std::string_view text, const TDataFile& data, const std::string& table_name,
                    TLastAutoIncLookup last_auto_inc = {}, bool case_insensitive = false);

  const TExpToken& Tree() const { return *tree_; }
  const TExpressionEvaluator& Evaluator() const { return *evaluator_; }
  // Whether the record image satisfies the filter.
  bool Matches(const std::uint8_t* record) const;
  // Narrows `bitmap` to the records of `source` that satisfy the filter.
  void Select(TRecordSource& source, TRecordsBitmap& bitmap) const;
  // Sets `out` to the records of `candidates` that satisfy the filter;
  // `bound`, when given, to where in an index their keys lie, if known.
  void SelectFrom(TRecordSource& source, const TRecordsBitmap& candidates, TRecordsBitmap& out,
                  TKeyBound* bound = nullptr) const;

 private:
  TExpressionContext context_;
  std::unique_ptr<TExpToken> tree_;
  std::unique_ptr<TExpressionEvaluator> evaluator_;
  std::unique_ptr<TCompiledFilter> compiled_;  // for single records
};

}  // namespace kura
