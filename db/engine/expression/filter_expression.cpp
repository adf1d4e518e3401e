#include "db/engine/expression/filter_expression.h"

#include "db/storage/engine_error.h"

namespace kura {

TFilterExpression::TFilterExpression(std::string_view text, const TDataFile& data,
                                     const std::string& table_name,
                                     TLastAutoIncLookup last_auto_inc)
    : context_{kErrFilter, table_name, "filter expression"} {
  TExpressionParser parser(context_);
  tree_ = parser.ParseText(text, kAllowPredicates);
  BindExpression(
      *tree_, context_,
      [&data](const std::string&, const std::string& name) { return data.FieldByName(name); },
      true);
  evaluator_ = std::make_unique<TExpressionEvaluator>(context_, &data, data.LocaleId(),
                                                      std::move(last_auto_inc));
}

bool TFilterExpression::Matches(const std::uint8_t* record) const {
  return evaluator_->Evaluate(*tree_, record).IsTrue();
}

void TFilterExpression::Select(TRecordSource& source, TRecordsBitmap& bitmap) const {
  TRecordSelector(source, *evaluator_).Select(*tree_, bitmap);
}

}  // namespace kura
