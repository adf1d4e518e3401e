// TCompiledFilter: a bound boolean tree prepared for testing many records.
// The parts that work on integer values (columns and constants of the
// integer, boolean, date and time types, + - * and unary signs giving 64-bit
// integers, comparisons between such values, IN and BETWEEN over them) and
// the connectives AND, OR and NOT over any part run on plain 64-bit values
// read straight from the record bytes; every other part (strings, floats,
// functions, LIKE, ...) is evaluated by the evaluator, as one sub-tree.
//
// Invariant: Matches(record) == evaluator.Evaluate(tree, record).IsTrue()
// for every record, with the evaluator's NULL rules, its order of
// evaluation (AND and OR look at their right side first and skip the left
// one when the right decides; IN and BETWEEN stop at the first deciding
// value) and its errors: a step the plain values cannot take (an overflow)
// hands the whole record to the evaluator, which meets the same step.
//
// The constants are taken when the filter is made: a tree with parameters
// is compiled again after new values are bound.
#pragma once

#include <cstdint>
#include <vector>

#include "db/engine/expression/expression.h"

namespace kura {

class TCompiledFilter {
 public:
  // `tree` and `evaluator` outlive the filter.
  TCompiledFilter(const TExpToken& tree, const TExpressionEvaluator& evaluator);

  bool Matches(const std::uint8_t* record) const;
  // Whether the root is compiled (false: every record goes to the evaluator).
  bool Native() const { return root_ >= 0; }

 private:
  // A value: an integer of its node's type, or NULL; booleans are 0 and 1.
  struct TValue {
    std::int64_t i = 0;
    bool null = true;
  };
  enum TKind : std::uint8_t {
    kColumn,    // integer-valued field of the record
    kConstant,  // integer-valued constant or NULL
    kNegate,
    kArithmetic,  // + - * of 64-bit integers, overflow checked
    kCompare,
    kAnd,
    kOr,
    kNot,
    kIn,
    kBetween,
    kTree,  // any other sub-tree: the evaluator's value
  };
  struct TStep {
    TKind kind = kTree;
    std::uint8_t code = 0;      // operator
    std::uint8_t type = 0;      // the value's type (0: untyped NULL)
    bool negated = false;       // NOT IN, NOT BETWEEN
    const TExpToken* node = nullptr;
    // A column: its value's bytes, after the has-value byte (or, for an
    // auto-increment field, the record's auto-increment value).
    std::size_t offset = 0;
    bool auto_inc = false;
    TValue constant;
    std::vector<int> operands;  // steps
  };

  // The step of `node`, or -1 when it yields no plain integer value; with
  // `boolean`, a part that does not compile becomes a kTree step.
  int Compile(const TExpToken& node, bool boolean);
  int Add(TStep step);
  // False when the plain values cannot take the step (the record then goes
  // to the evaluator).
  bool Run(int step, const std::uint8_t* record, TValue& out) const;
  static void Column(const TStep& s, const std::uint8_t* record, TValue& out);
  bool ColumnStep(const TFieldDescriptor& f, TStep& s) const;
  static bool Equal(const TValue& a, const TValue& b);
  static bool Holds(std::uint8_t code, const TValue& a, const TValue& b);

  const TExpToken& tree_;
  const TExpressionEvaluator& evaluator_;
  const TDataFile* data_;
  std::vector<TStep> steps_;
  int root_ = -1;
};

}  // namespace kura
