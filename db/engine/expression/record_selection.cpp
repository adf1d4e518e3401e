#include "db/engine/expression/record_selection.h"

#include "db/engine/expression/compiled_filter.h"
#include "db/engine/expression/records_bitmap_pool.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"

namespace kura {

// ---- TTableRecordSource ----

const TDataFile& TTableRecordSource::Data() {
  return table_.Data();
}

std::int32_t TTableRecordSource::RecordLimit() {
  return table_.Data().SlotCount();
}

// Selection visits each record once: the records are looked at where they
// are (cache or read block) instead of entering the record cache one by one.
const std::uint8_t* TTableRecordSource::ReadRecord(std::int32_t n) {
  if (n < 1 || n > table_.Data().SlotCount()) return nullptr;
  const std::uint8_t* record = table_.Data().PeekFields(n);
  return record[record::kDeleted] != 0 ? nullptr : record;
}

TIndexFile* TTableRecordSource::Indexes() {
  return dynamic_cast<TIndexFile*>(&table_.Index());
}

std::int32_t TTableRecordSource::LastAutoInc(const std::string& table) {
  std::string a = table, b = table_.Name();
  for (auto* s : {&a, &b})
    for (char& c : *s)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (a == b) return table_.Data().LastAutoInc();
  TDataTable other(table_.Directory(), table, TStorageSettings{});
  other.Open(false, true);
  const std::int32_t v = other.Data().LastAutoInc();
  other.Close();
  return v;
}

void SelectLiveRecords(TRecordSource& source, TRecordsBitmap& bitmap) {
  const std::int32_t limit = source.RecordLimit();
  bitmap.SetSize(limit);
  bitmap.ClearAll();
  if (TIndexFile* x = source.Indexes(); x && x->SlotInUse(kSysDeletedSlot)) {
    // "Sys Deleted" holds one key for every slot, the deleted flag first:
    // the live slots are all slots but those of the keys flagged deleted,
    // which come last and are few next to the live ones. (Walking the live
    // keys instead cost a pass over the whole index on every open.)
    bitmap.SetAll();
    TIndexTree tree = x->Tree(source.Data(), kSysDeletedSlot);
    TIndexEntry e;
    const std::uint8_t deleted = 1;
    for (bool ok = tree.Seek(&deleted, 1, e); ok && e.key[0] != 0; ok = tree.Next(e))
      if (e.record >= 1 && e.record <= limit) bitmap.Clear(e.record);
    return;
  }
  for (std::int32_t n = 1; n <= limit; ++n)
    if (source.ReadRecord(n)) bitmap.Set(n);
}

// ---- index plans ----

struct TRecordSelector::Plan {
  int slot = -1;
  KeyLayout layout;
  const TFieldDescriptor* field = nullptr;
  bool reversed = false;      // index order runs against value order
  bool complemented = false;  // the first segment's bytes are inverted
  bool upper = false;         // the column is wrapped in UPPER
};

namespace {

bool KeySortsByValue(const TFieldDescriptor& f) {
  if (f.Computed() || f.IsAutoInc()) return false;
  switch (f.Type()) {
    case kFieldString:
    case kFieldDate:
    case kFieldTime:
    case kFieldBoolean:
    case kFieldSmallInt:
    case kFieldInteger:
    case kFieldWord:
    case kFieldLargeInt:
    case kFieldFloat:
    case kFieldTimestamp:
      return true;
    default:
      return false;
  }
}

// The column of a column side: a bare column, or UPPER(column).
const TExpToken* ColumnOf(const TExpToken& n, bool* upper) {
  *upper = false;
  if (n.kind == kNodeColumn && n.field) return &n;
  if (n.kind == kNodeFunction && n.code == kFnUpper && n.operands.size() == 1 &&
      n.operands[0]->kind == kNodeColumn && n.operands[0]->field &&
      n.operands[0]->field->Type() == kFieldString) {
    *upper = true;
    return n.operands[0].get();
  }
  return nullptr;
}

std::uint8_t Mirror(std::uint8_t op) {
  switch (op) {
    case kOpLess:
      return kOpGreater;
    case kOpGreater:
      return kOpLess;
    case kOpLessEqual:
      return kOpGreaterEqual;
    case kOpGreaterEqual:
      return kOpLessEqual;
    default:
      return op;
  }
}

}  // namespace

bool TRecordSelector::MakePlan(const TExpToken& side, Plan* plan) {
  TIndexFile* x = source_.Indexes();
  if (!x) return false;
  const TExpToken* column = ColumnOf(side, &plan->upper);
  if (!column || !KeySortsByValue(*column->field)) return false;
  const TDataFile& data = source_.Data();
  for (int slot = 0; slot < kSysDeletedSlot; ++slot) {
    if (!x->SlotInUse(slot)) continue;
    const TIndexDefinition def = x->Definition(slot);
    if (def.fields.empty() || def.fields[0] != column->field->Number()) continue;
    KeyLayout layout = x->Layout(data, slot);
    if (layout.fields.empty()) continue;
    if (column->field->Type() == kFieldString) {
      if (layout.case_insensitive != plan->upper) continue;
      if (layout.locale != evaluator_.Locale()) continue;
    } else if (plan->upper) {
      continue;
    }
    plan->slot = slot;
    plan->field = column->field;
    plan->reversed = layout.descending || layout.fields[0].descending;
    plan->complemented = layout.locale == 0 && !layout.descending && layout.fields[0].descending;
    plan->layout = std::move(layout);
    return true;
  }
  return false;
}

bool TRecordSelector::ConstantKey(const Plan& plan, const TExpToken& constant,
                                  std::vector<std::uint8_t>* key) {
  if (constant.HasColumns()) return false;
  const TExpValue v = evaluator_.Evaluate(constant, nullptr);
  if (v.null) return false;
  if (plan.field->Type() == kFieldString) {
    // An empty or NULL string sits in the index as the NULL key, below every
    // other key; a constant that the comparison finds equal to the empty
    // string (nothing but characters a collation ignores) has no place
    // against it, so evaluation decides.
    if (v.type != kFieldString || v.s.empty()) return false;
    if (evaluator_.Compare(v, TExpValue::Str(kFieldString, "")) == 0) return false;
    if (plan.upper && evaluator_.Upper(v.s) != v.s) return false;
  }
  std::vector<std::uint8_t> bytes;
  if (!EncodeFieldValue(plan.field->Shape(), v, &bytes)) return false;
  const TDataFile& data = source_.Data();
  std::vector<std::uint8_t> image(static_cast<std::size_t>(data.RecordSize()), 0);
  const std::size_t at = plan.field->Offset();
  if (at + 1 + bytes.size() > image.size()) return false;
  image[at] = 1;
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at) + 1);
  *key = source_.Indexes()->KeyOf(data, plan.slot, image.data());
  return true;
}

void TRecordSelector::Walk(const Plan& plan, std::uint8_t op, const std::vector<std::uint8_t>& key,
                           TRecordsBitmap& hits) {
  ++index_walks_;
  TIndexFile& x = *source_.Indexes();
  TIndexTree tree = x.Tree(source_.Data(), plan.slot);
  const KeyComparator cmp(plan.layout);
  const int segment = plan.layout.fields[0].SegmentSize();
  const std::uint8_t null_byte = plan.complemented ? 0xFF : 0x00;
  auto holds = [&](int v) {
    switch (op) {
      case kOpEqual:
        return v == 0;
      case kOpLess:
        return v < 0;
      case kOpLessEqual:
        return v <= 0;
      case kOpGreater:
        return v > 0;
      default:
        return v >= 0;
    }
  };
  const bool include_null =
      plan.field->Type() == kFieldString && (op == kOpLess || op == kOpLessEqual);
  // Value-low end first in index order for an ascending index.
  const bool from_first = plan.reversed ? (op == kOpGreater || op == kOpGreaterEqual)
                                        : (op == kOpLess || op == kOpLessEqual);
  bool skip_equal = plan.reversed ? op == kOpLess : op == kOpGreater;
  last_equal_ = {};
  std::int64_t found = 0;
  tree.Scan(from_first ? nullptr : key.data(), segment,
            [&](const std::uint8_t* at, std::int32_t record) {
              if (at[0] == null_byte) {
                if (include_null) hits.Set(record);
                return true;
              }
              int v = cmp.Compare(at, key.data(), segment);
              if (plan.reversed) v = -v;
              if (holds(v)) {
                hits.Set(record);
                ++found;
                skip_equal = false;
                return true;
              }
              return skip_equal && v == 0;
            });
  if (op == kOpEqual) {
    const std::size_t length = std::min(static_cast<std::size_t>(segment), key.size());
    last_equal_ = {plan.slot, std::vector<std::uint8_t>(key.begin(), key.begin() + length), found};
  }
}

namespace {

bool IsChain(const TExpToken& n, std::uint8_t code) {
  return n.kind == kNodeBinary && n.code == code;
}

// The terms of the run of `code` (AND or OR) nodes at n, left to right:
// one walk over a chain however it is bracketed, instead of a recursion
// at every node that would redo the work of the nodes below.
std::vector<const TExpToken*> ChainTerms(const TExpToken& n, std::uint8_t code) {
  std::vector<const TExpToken*> terms, stack{&n};
  while (!stack.empty()) {
    const TExpToken* t = stack.back();
    stack.pop_back();
    if (IsChain(*t, code)) {
      stack.push_back(t->right.get());
      stack.push_back(t->left.get());
    } else {
      terms.push_back(t);
    }
  }
  return terms;
}

}  // namespace

bool TRecordSelector::Served(const TExpToken& n) {
  Plan plan;
  std::vector<std::uint8_t> key;
  if (IsChain(n, kOpAnd) || IsChain(n, kOpOr)) {
    for (const TExpToken* t : ChainTerms(n, n.code))
      if (!Served(*t)) return false;
    return true;
  }
  if (n.kind == kNodeUnary && n.code == kOpNot) return Served(*n.left);
  if (n.kind == kNodeBinary && IsComparison(n.code)) {
    if (MakePlan(*n.left, &plan)) return ConstantKey(plan, *n.right, &key);
    if (MakePlan(*n.right, &plan)) return ConstantKey(plan, *n.left, &key);
    return false;
  }
  if (n.kind == kNodePredicate && n.code == kPredIn) {
    if (!MakePlan(*n.operands[0], &plan)) return false;
    for (std::size_t i = 1; i < n.operands.size(); ++i)
      if (!ConstantKey(plan, *n.operands[i], &key)) return false;
    return true;
  }
  return false;
}

bool TRecordSelector::IndexHits(const TExpToken& n, std::int32_t size, TRecordsBitmap& hits,
                                bool& exclude) {
  Plan plan;
  std::vector<std::uint8_t> key;
  hits.SetSize(size);
  exclude = false;
  if (n.kind == kNodeBinary && IsComparison(n.code)) {
    std::uint8_t op = n.code;
    if (MakePlan(*n.left, &plan) && ConstantKey(plan, *n.right, &key)) {
    } else if (MakePlan(*n.right, &plan) && ConstantKey(plan, *n.left, &key)) {
      op = Mirror(op);
    } else {
      return false;
    }
    if (op == kOpNotEqual) {
      op = kOpEqual;
      exclude = true;
    }
    Walk(plan, op, key, hits);
    return true;
  }
  if (n.kind == kNodePredicate && n.code == kPredIn) {
    if (!MakePlan(*n.operands[0], &plan)) return false;
    std::vector<std::vector<std::uint8_t>> keys(n.operands.size() - 1);
    for (std::size_t i = 1; i < n.operands.size(); ++i)
      if (!ConstantKey(plan, *n.operands[i], &keys[i - 1])) return false;
    for (const auto& k : keys)
      Walk(plan, kOpEqual, k, hits);
    exclude = n.negated;
    return true;
  }
  return false;
}

bool TRecordSelector::IndexSelect(const TExpToken& n, TRecordsBitmap& bitmap) {
  TPooledBitmap hits;
  bool exclude = false;
  if (!IndexHits(n, bitmap.Size(), *hits, exclude)) return false;
  if (exclude)
    bitmap.AndNot(*hits);
  else
    bitmap.And(*hits);
  return true;
}

void TRecordSelector::Evaluate(const TExpToken& n, TRecordsBitmap& bitmap) {
  // Compiled here, with the constants and parameters of this run. The
  // records that pass are collected apart: most conditions let few through,
  // and clearing the others one by one cost more than copying the few.
  const TCompiledFilter filter(n, evaluator_);
  TPooledBitmap hits;
  hits->SetSize(bitmap.Size());
  for (std::int32_t r = bitmap.FindNext(0); r != 0; r = bitmap.FindNext(r)) {
    ++records_read_;
    const std::uint8_t* image = source_.ReadRecord(r);
    if (image && filter.Matches(image)) hits->Set(r);
  }
  bitmap.CopyFrom(*hits);
}

void TRecordSelector::Select(const TExpToken& n, TRecordsBitmap& bitmap) {
  if (!n.HasColumns()) {
    if (!evaluator_.Evaluate(n, nullptr).IsTrue()) bitmap.ClearAll();
    return;
  }
  if (IsChain(n, kOpAnd)) {
    SelectAll(n, ChainTerms(n, kOpAnd), bitmap);
    return;
  }
  if (IsChain(n, kOpOr)) {
    const std::vector<const TExpToken*> terms = ChainTerms(n, kOpOr);
    bool served = true;
    for (std::size_t i = 0; i < terms.size() && served; ++i)
      served = Served(*terms[i]);
    if (served) {
      // A comparison's (or IN list's) index hits are added to the union
      // directly, at the cost of its hits; any other term narrows a copy of
      // the candidates, which is ORed in.
      TPooledBitmap any, term;
      any->SetSize(bitmap.Size());
      any->ClearAll();
      for (const TExpToken* t : terms) {
        const bool adds = (t->kind == kNodeBinary && IsComparison(t->code) &&
                           t->code != kOpNotEqual) ||
                          (t->kind == kNodePredicate && t->code == kPredIn && !t->negated);
        bool exclude = false;
        if (adds && IndexHits(*t, bitmap.Size(), *any, exclude) && !exclude) continue;
        term->CopyFrom(bitmap);
        Select(*t, *term);
        any->Or(*term);
      }
      bitmap.And(*any);
      return;
    }
    Evaluate(n, bitmap);
    return;
  }
  if (n.kind == kNodeUnary && n.code == kOpNot && Served(*n.left)) {
    TPooledBitmap inner;
    inner->CopyFrom(bitmap);
    Select(*n.left, *inner);
    bitmap.AndNot(*inner);
    return;
  }
  if (IndexSelect(n, bitmap)) return;
  Evaluate(n, bitmap);
}

// The terms of the AND chain `n` that indexes serve narrow first (they leave
// fewer records to read); the rest are tested by reading the records that
// remain, all of them in one pass when no term is served.
void TRecordSelector::SelectAll(const TExpToken& n, const std::vector<const TExpToken*>& terms,
                                TRecordsBitmap& bitmap, const TExpToken* done) {
  std::vector<const TExpToken*> rest;
  for (const TExpToken* t : terms) {
    if (t == done) continue;
    if (t->HasColumns() && !Served(*t))
      rest.push_back(t);
    else
      Select(*t, bitmap);
  }
  if (!done && rest.size() == terms.size()) {
    Evaluate(n, bitmap);
    return;
  }
  for (const TExpToken* t : rest)
    Select(*t, bitmap);
}

void TRecordSelector::SelectFrom(const TExpToken& n, const TRecordsBitmap& candidates,
                                 TRecordsBitmap& out, TKeyBound* bound) {
  if (bound) *bound = {};
  if (n.HasColumns()) {
    if (IsChain(n, kOpAnd)) {
      const std::vector<const TExpToken*> terms = ChainTerms(n, kOpAnd);
      for (const TExpToken* first : terms) {
        if (!first->HasColumns() || !Served(*first)) continue;
        // The other terms only narrow: the first served term's bound holds.
        SelectFrom(*first, candidates, out, bound);
        SelectAll(n, terms, out, first);
        return;
      }
    } else {
      TPooledBitmap hits;
      bool exclude = false;
      if (IndexHits(n, candidates.Size(), *hits, exclude) && !exclude) {
        // One walk of an equality (not an IN list, several walks) bounds the keys.
        if (bound && n.kind == kNodeBinary && last_equal_.slot >= 0) *bound = last_equal_;
        out.CopyFrom(*hits);
        out.SetSize(candidates.Size());
        out.And(candidates);
        return;
      }
    }
  }
  out.CopyFrom(candidates);
  Select(n, out);
}

}  // namespace kura
