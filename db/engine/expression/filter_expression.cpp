#include "db/engine/expression/filter_expression.h"

#include "db/storage/engine_error.h"

namespace kura {

TFilterExpression::TFilterExpression(std::string_view text, const TDataFile& data,
                                     const std::string& table_name,
                                     TLastAutoIncLookup last_auto_inc, bool case_insensitive)
    : context_{kErrFilter, table_name, "filter expression"} {
  TExpressionParser parser(context_);
  tree_ = parser.ParseText(text, kAllowPredicates);
  BindExpression(
      *tree_, context_,
      [&data](const std::string&, const std::string& name) { return data.FieldByName(name); },
      true);
  evaluator_ = std::make_unique<TExpressionEvaluator>(context_, &data, data.LocaleId(),
                                                      std::move(last_auto_inc));
  evaluator_->SetCaseInsensitive(case_insensitive);
  compiled_ = std::make_unique<TCompiledFilter>(*tree_, *evaluator_);
}

bool TFilterExpression::Matches(const std::uint8_t* record) const {
  return compiled_->Matches(record);
}

void TFilterExpression::Select(TRecordSource& source, TRecordsBitmap& bitmap) const {
  if (!evaluator_->CaseInsensitive()) return TRecordSelector(source, *evaluator_).Select(*tree_, bitmap);
  for (std::int32_t n = bitmap.FindNext(0); n != 0; n = bitmap.FindNext(n)) {
    const std::uint8_t* record = source.ReadRecord(n);
    if (!record || !compiled_->Matches(record)) bitmap.Clear(n);
  }
}

void TFilterExpression::SelectFrom(TRecordSource& source, const TRecordsBitmap& candidates,
                                   TRecordsBitmap& out, TKeyBound* bound) const {
  if (bound) *bound = {};
  if (!evaluator_->CaseInsensitive())
    return TRecordSelector(source, *evaluator_).SelectFrom(*tree_, candidates, out, bound);
  out.CopyFrom(candidates);
  Select(source, out);
}

}  // namespace kura
