#include "db/engine/query/select_execution.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "db/engine/cursor/data_cursor.h"
#include "db/engine/expression/record_selection.h"
#include "db/engine/query/execution_support.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"

namespace kura {
namespace {

std::atomic<std::uint64_t> result_serial{0};

// ---- value keys for hashing, grouping and DISTINCT ----

void AppendKey(const TExpValue& v, std::string* key) {
  // A string is stored without its trailing blanks, and an empty one as
  // NULL: keys of groups and DISTINCT rows are the values as stored.
  const bool blank = v.type == kFieldString && !v.null &&
                     v.s.find_first_not_of(' ') == std::string::npos;
  if (v.null || blank) {
    key->push_back('\0');
    return;
  }
  if (IsIntegerType(v.type) || IsFloatType(v.type)) {
    // Numbers of every width meet as long doubles (exact for 64-bit integers).
    long double d = IsIntegerType(v.type) ? static_cast<long double>(v.i) : v.f;
    if (d == 0) d = 0;  // -0 equals 0
    key->push_back('N');
    key->append(reinterpret_cast<const char*>(&d), 10);
    return;
  }
  key->push_back(static_cast<char>(v.type));
  if (v.type == kFieldTimestamp) {
    key->append(reinterpret_cast<const char*>(&v.f), 10);
  } else if (v.type == kFieldString) {
    const std::string_view text(v.s.data(), v.s.find_last_not_of(' ') + 1);
    const std::uint32_t n = static_cast<std::uint32_t>(text.size());
    key->append(reinterpret_cast<const char*>(&n), 4);
    key->append(text);
  } else if (IsByteType(v.type) || v.type == kFieldBlob) {
    const std::uint32_t n = static_cast<std::uint32_t>(v.s.size());
    key->append(reinterpret_cast<const char*>(&n), 4);
    key->append(v.s);
  } else {
    key->append(reinterpret_cast<const char*>(&v.i), 8);
  }
}

// ---- aggregates ----

struct TAccumulator {
  std::int64_t count = 0;
  std::int64_t isum = 0;
  long double fsum = 0;
  bool is_float = false;
  TExpValue best;                        // MIN / MAX
  std::unordered_set<std::string> seen;  // DISTINCT
};

struct TAggregate {
  std::uint8_t code = 0;  // kAggCount ...
  const TExpToken* node = nullptr;
  const TExpToken* operand = nullptr;  // null for COUNT(*)
  bool distinct = false;
};

// One output column of a canned production.
struct TOutColumn {
  std::string name;
  TValueShape shape;
  const TExpToken* tree = nullptr;           // expressions
  const TFieldDescriptor* direct = nullptr;  // plain columns (in the layout)
  TBlobFile* blobs = nullptr;                // BLOB columns: the source's BLOB file
  int aggregate = -1;                        // index into the aggregates
  std::string correlation;                   // of a plain column
};

// The longest string an expression can give, in characters.
int StringLength(const TExpToken& n) {
  if (n.kind == kNodeColumn && n.field) return n.field->Length();
  if (n.kind == kNodeConstant) return static_cast<int>(n.value.s.size());
  if (n.kind == kNodeBinary && n.left && n.right)
    return StringLength(*n.left) + StringLength(*n.right);
  if (n.kind == kNodeFunction && n.code == kFnCast) return n.cast.length;
  int longest = 0;
  if (n.kind == kNodeFunction)
    for (const auto& o : n.operands)
      if (o->type == kFieldString) longest = std::max(longest, StringLength(*o));
  return longest ? longest : n.size;
}

TValueShape ShapeOf(const TExpToken& n, const std::string& text) {
  if (n.kind == kNodeColumn && n.field) {
    TValueShape s = n.field->Shape();
    if (n.field->IsAutoInc()) s.subtype = kSubtypeNone;
    return s;
  }
  TValueShape s{n.type, 0, 0, 0};
  if (n.type == 0) s = {kFieldString, 0, 1, 0};
  if (n.type == kFieldString || IsByteType(n.type)) {
    const int length = n.type == kFieldString ? StringLength(n) : n.size;
    if (length > kMaxDeclaredLength)
      SqlFail("Column expression '" + text + "'" + " exceeds the maximum allowable field size");
    s.length = static_cast<std::uint8_t>(std::max(1, length));
  }
  if (n.type == kFieldBcd) s.scale = static_cast<std::uint8_t>(n.scale ? n.scale : 4);
  return s;
}

bool ValidNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

// Field names of a result table: the column names, cut to 30 characters,
// made unique, and replaced where they cannot be field names.
std::vector<std::string> FieldNames(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string n = names[i].substr(0, 30);
    if (n.empty() || !ValidNameStart(static_cast<unsigned char>(n[0])))
      n = "Column" + std::to_string(i + 1);
    std::string candidate = n;
    for (int k = 2;; ++k) {
      bool clash = false;
      for (const auto& o : out)
        clash = clash || SameName(o, candidate);
      if (!clash) break;
      std::string suffix(1, '_');
      suffix += std::to_string(k);
      candidate = n.substr(0, 30 - suffix.size()) + suffix;
    }
    out.push_back(candidate);
  }
  return out;
}

class TProduction {
 public:
  TProduction(TQueryStatement& s, TDataQuery& q) : s_(s), q_(q) {}

  // Opens, binds and produces the rows of this query block.
  void Run(bool writable_sources) {
    sources_ = std::make_unique<TSourceSet>(s_.Database(), q_.sources, writable_sources,
                                            static_cast<bool>(visit_));
    layout_ = std::make_unique<TRowLayout>(*sources_);
    PrepareSubSelects(s_, q_.where.get(), layout_.get());
    const std::uint32_t locale = q_.into_locale ? *q_.into_locale : sources_->Locale();
    evaluator_ = std::make_unique<TExpressionEvaluator>(
        SqlContext("WHERE clause"), &layout_->Data(), locale, LastAutoIncOf(s_.Database()));
    // Errors of the select list are reported as such.
    column_evaluator_ = std::make_unique<TExpressionEvaluator>(
        SqlContext("source column expression"), &layout_->Data(), locale,
        LastAutoIncOf(s_.Database()));
    Bind();
    if (before_produce_) before_produce_(*this);
    s_.Progress(0);
    Produce();
    Finish();
    s_.Progress(100);
  }

  // For UPDATE and DELETE over joined sources: called after binding, and
  // then for every joined row that passes, with the record number of its
  // source-0 record (0 when an outer join gave none) instead of producing it.
  void SetTargetVisitor(std::function<void(TProduction&)> before,
                        std::function<void(std::int32_t, const std::uint8_t*)> visit) {
    before_produce_ = std::move(before);
    visit_ = std::move(visit);
  }

  // After binding (from the before-produce hook): rows become record images
  // of `table`, a result table of the output columns, side by side, with
  // the ORDER BY values kept beside them, instead of value rows, so that a
  // row costs no allocation. For a block without grouping, DISTINCT and
  // UNION; the images are in production order, ImageOrder() is the result's.
  void ProduceImages(TDataTable* table) {
    image_table_ = table;
    image_size_ = static_cast<std::size_t>(table->Data().RecordSize());
    key_values_.assign(order_.size(), {});
    // A plain column whose field is stored as the result's field is (a
    // number of the same type and size) is copied as bytes; the others go
    // through their values.
    byte_copies_.clear();
    value_columns_.clear();
    const TDataFile& result = table->Data();
    for (std::size_t i = 0; i < out_.size(); ++i) {
      const TFieldDescriptor& to = result.Field(static_cast<int>(i) + 1);
      const TFieldDescriptor* from = out_[i].direct;
      const bool bytes = from && !from->IsAutoInc() && !from->Computed() && !to.IsAutoInc() &&
                         !to.Computed() && from->Type() == to.Type() &&
                         from->StorageSize() == to.StorageSize() &&
                         (IsIntegerType(to.Type()) || to.Type() == kFieldFloat);
      if (bytes)
        byte_copies_.push_back({static_cast<std::size_t>(from->Offset()),
                                static_cast<std::size_t>(to.Offset()),
                                std::size_t{1} + to.StorageSize()});
      else
        value_columns_.push_back(i);
    }
  }
  // The result's rows: ImageCount() images, in production order or, when
  // Ordered(), in the order of the positions ImageOrder() lists.
  std::size_t ImageCount() const { return image_count_; }
  const std::uint8_t* Image(std::size_t i) const { return images_.data() + i * image_size_; }
  bool Ordered() const { return !order_.empty(); }
  const std::vector<std::uint32_t>& ImageOrder() const { return image_order_; }
  void SetBeforeProduce(std::function<void(TProduction&)> before) {
    before_produce_ = std::move(before);
  }

  std::vector<TOutColumn>& Columns() { return out_; }
  std::vector<TResultRow>& Rows() { return rows_; }
  const TExpressionEvaluator& Evaluator() const { return *evaluator_; }
  TSourceSet& Sources() { return *sources_; }
  TRowLayout& Layout() { return *layout_; }

 private:
  // ---- binding ----
  void Bind() {
    if (q_.where)
      BindExpression(*q_.where, SqlContext("WHERE clause"), layout_->Resolver("WHERE clause"),
                     true);
    for (auto& s : q_.sources)
      if (s.join.condition)
        BindExpression(*s.join.condition, SqlContext("JOIN clause"),
                       layout_->Resolver("JOIN clause"), true);
    BindColumns();
    if (q_.columns.size() > static_cast<std::size_t>(kMaxFields) || out_.size() > kMaxFields)
      SqlFail("Maximum number of columns (" + std::to_string(kMaxFields) +
              ") in result set exceeded");
    BindGroups();
    if (q_.having) {
      BindExpression(*q_.having, SqlContext("HAVING clause"), layout_->Resolver("HAVING clause"),
                     true);
      CollectAggregates(*q_.having);
    }
    BindOrder();
  }

  void AddFieldColumns(std::size_t source) {
    TBlobFile* blobs = sources_->Table(source).Blobs();
    const TDataFile& d = sources_->Table(source).Data();
    const auto fields = layout_->SourceFields(source);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      TOutColumn c;
      c.name = d.Field(static_cast<int>(i) + 1).Name();
      c.direct = fields[i];
      c.shape = d.Field(static_cast<int>(i) + 1).Shape();
      if (d.Field(static_cast<int>(i) + 1).IsAutoInc()) c.shape.subtype = kSubtypeNone;
      if (c.shape.type == kFieldBlob) c.blobs = blobs;
      c.correlation = q_.sources[source].correlation;
      out_.push_back(c);
    }
  }

  void BindColumns() {
    for (auto& f : q_.columns) {
      if (f.all_columns) {
        bool any = false;
        for (std::size_t i = 0; i < q_.sources.size(); ++i) {
          if (!f.correlation.empty() && !SameName(f.correlation, q_.sources[i].correlation))
            continue;
          AddFieldColumns(i);
          any = true;
        }
        if (!any)
          SqlFail("Table correlation name '" + f.correlation + "'" +
                  " referenced in select list is not defined in the FROM clause");
        continue;
      }
      BindExpression(*f.tree, SqlContext("source column expression"),
                     layout_->Resolver("source column expression"), false);
      TOutColumn c;
      c.name = f.name;
      c.correlation = f.correlation;
      if (f.aggregate) {
        c.aggregate = AddAggregate(*f.tree);
        const TExpToken* operand = f.tree->operands.empty() ? nullptr : f.tree->operands[0].get();
        if ((f.tree->code == kAggMin || f.tree->code == kAggMax) && operand)
          c.shape = ShapeOf(*operand, f.text);
        else
          c.shape = ShapeOf(*f.tree, f.text);
        c.tree = f.tree.get();
      } else if (!f.is_expression && f.tree->field) {
        c.direct = f.tree->field;
        c.shape = ShapeOf(*f.tree, f.text);
        const TLayoutColumn origin = layout_->Origin(c.direct);
        if (c.shape.type == kFieldBlob) c.blobs = sources_->Table(origin.source).Blobs();
        if (c.correlation.empty()) c.correlation = q_.sources[origin.source].correlation;
      } else {
        c.tree = f.tree.get();
        c.shape = ShapeOf(*f.tree, f.text);
        if (c.shape.type == kFieldBlob && f.tree->kind == kNodeColumn && f.tree->field)
          c.blobs = sources_->Table(layout_->Origin(f.tree->field).source).Blobs();
      }
      out_.push_back(c);
    }
  }

  int AddAggregate(const TExpToken& node) {
    TAggregate a;
    a.code = node.code;
    a.node = &node;
    a.operand = node.count_all || node.operands.empty() ? nullptr : node.operands[0].get();
    a.distinct = node.distinct;
    aggregates_.push_back(a);
    return static_cast<int>(aggregates_.size()) - 1;
  }

  void CollectAggregates(TExpToken& n) {
    if (n.kind == kNodeFunction && IsAggregate(n.code)) {
      having_aggregates_.push_back({&n, AddAggregate(n)});
      return;
    }
    if (n.left) CollectAggregates(*n.left);
    if (n.right) CollectAggregates(*n.right);
    for (auto& o : n.operands)
      CollectAggregates(*o);
  }

  // A select-list position or a column of the sources, for GROUP BY and
  // ORDER BY items given by name.
  int OutputByName(const std::string& correlation, const std::string& name) const {
    for (std::size_t i = 0; i < out_.size(); ++i) {
      if (!SameName(out_[i].name, name)) continue;
      if (!correlation.empty() && !SameName(out_[i].correlation, correlation)) continue;
      return static_cast<int>(i);
    }
    return -1;
  }

  void BindGroups() {
    if (!q_.grouped) return;
    grouped_ = true;
    for (const auto& g : q_.group_by) {
      TGroupKey k;
      if (g.number) {
        if (g.number < 1 || g.number > static_cast<int>(out_.size()) ||
            out_[static_cast<std::size_t>(g.number - 1)].aggregate >= 0)
          SqlFail("Invalid column number '" + std::to_string(g.number) + "'" +
                  " specified in GROUP BY clause");
        k.output = g.number - 1;
      } else {
        k.output = OutputByName(g.correlation, g.name);
        if (k.output < 0 || out_[static_cast<std::size_t>(k.output)].aggregate >= 0) {
          k.output = -1;
          k.direct = layout_->Resolve(g.correlation, g.name, "GROUP BY clause");
          if (!k.direct)
            SqlFail("Invalid column name '" + g.name + "'" + " specified in GROUP BY clause");
        }
      }
      group_keys_.push_back(k);
    }
  }

  void BindOrder() {
    if (q_.order_by.size() > 1024)
      SqlFail("Maximum number of columns (" + std::string("1024") + ") in ORDER BY clause " +
              "exceeded");
    for (const auto& o : q_.order_by) {
      TOrderKey k;
      k.descending = o.descending;
      if (o.number) {
        if (o.number < 1 || o.number > static_cast<int>(out_.size()) ||
            out_[static_cast<std::size_t>(o.number - 1)].shape.type == kFieldBlob)
          SqlFail("Invalid column number '" + std::to_string(o.number) + "'" +
                  " specified in ORDER BY clause");
        k.column = o.number - 1;
      } else {
        k.column = OutputByName(o.correlation, o.name);
        if (k.column < 0) {
          const TFieldDescriptor* f =
              grouped_ ? nullptr : layout_->Resolve(o.correlation, o.name, "ORDER BY clause");
          if (!f)
            SqlFail("Invalid column name '" + o.name + "'" + " or table correlation name " + "'" +
                    o.correlation + "'" + " specified in ORDER BY clause");
          // A column that is not selected orders by a hidden value.
          TOutColumn hidden;
          hidden.name = o.name;
          hidden.direct = f;
          hidden.shape = f->Shape();
          k.column = static_cast<int>(out_.size() + hidden_.size());
          hidden_.push_back(hidden);
        } else if (out_[static_cast<std::size_t>(k.column)].shape.type == kFieldBlob) {
          SqlFail("Invalid column number '" + std::to_string(k.column + 1) + "'" +
                  " specified in ORDER BY clause");
        }
      }
      order_.push_back(k);
    }
  }

  // ---- production ----

  bool Full() const {
    if (q_.row_limit >= 0 && static_cast<std::int64_t>(produced_) >= q_.row_limit) return true;
    return q_.top >= 0 && q_.order_by.empty() && !grouped_ && !q_.distinct &&
           static_cast<std::int64_t>(produced_) >= q_.top;
  }

  struct TReadLocks {
    std::vector<TDataTable*> held;
    ~TReadLocks() {
      for (auto* t : held) {
        try {
          t->ReleaseReadLock();
        } catch (...) {
        }
      }
    }
  };

  void Produce() {
    TReadLocks locks;
    for (std::size_t i = 0; i < sources_->Count(); ++i) {
      sources_->Table(i).ReadLock();
      locks.held.push_back(&sources_->Table(i));
    }
    if (layout_->Single())
      ProduceSingle();
    else
      ProduceJoined();
  }

  void ProduceSingle() {
    TDataTable& table = sources_->Table(0);
    TTableRecordSource source(table);
    if (ProduceTopByIndex(table, source)) return;
    TRecordsBitmap bitmap;
    if (q_.where) {
      // Every slot to start with: an index-served condition narrows to live
      // records at once, and deleted slots read as none below.
      bitmap.SetSize(source.RecordLimit());
      bitmap.SetAll();
      TRecordSelector selector(source, *evaluator_);
      selector.Select(*q_.where, bitmap);
    } else {
      SelectLiveRecords(source, bitmap);
    }
    for (std::int32_t n = bitmap.FindNext(0); n > 0 && !Full(); n = bitmap.FindNext(n)) {
      const std::uint8_t* rec = source.ReadRecord(n);
      if (rec) Consume(rec);
    }
  }

  // TOP n ordered by one integer or date column that an ascending index
  // keeps in value order (NULLs first, as ORDER BY has them): the records
  // are visited in the index's order, forward or backward from where the
  // WHERE's bounds on the column put the first (`k BETWEEN a AND b`, `k <
  // b`, ...), and tested against WHERE until n have passed and the key moves
  // on from the n-th one's (its ties stay). They are then produced in record
  // order, as the full production has them before ordering, so that the
  // result holds the same rows in the same order as ordering every row that
  // passes would. A walk that visits more than a sixteenth of the table gives
  // up before producing anything, and every row is produced and ordered.
  bool ProduceTopByIndex(TDataTable& table, TTableRecordSource& source) {
    if (q_.top < 0 || order_.size() != 1 || grouped_ || q_.distinct || q_.row_limit >= 0 ||
        visit_)
      return false;
    const auto column = static_cast<std::size_t>(order_[0].column);
    const TOutColumn& c = column < out_.size() ? out_[column] : hidden_[column - out_.size()];
    if (!c.direct || c.direct->Computed() || c.direct->IsAutoInc()) return false;
    const std::uint8_t type = c.direct->Type();
    if (type != kFieldSmallInt && type != kFieldInteger && type != kFieldWord &&
        type != kFieldLargeInt && type != kFieldDate && type != kFieldTime)
      return false;
    TIndexFile* x = source.Indexes();
    if (!x) return false;
    const TDataFile& data = table.Data();
    const int field = layout_->Origin(c.direct).field;
    int slot = -1, segment = 0;
    for (int i = 0; i <= x->SecondaryCount() && slot < 0; ++i) {
      if ((i == 0 && x->NoPrimaryKey()) || !x->SlotInUse(i)) continue;
      const TIndexDefinition def = x->Definition(i);
      if (def.fields.empty() || def.fields[0] != field) continue;
      const KeyLayout layout = x->Layout(data, i);
      if (!layout.fields.empty() && !layout.descending && !layout.fields[0].descending) {
        slot = i;
        segment = layout.fields[0].SegmentSize();
      }
    }
    if (slot < 0) return false;
    const TFieldDescriptor& key_field = data.Field(field);
    std::optional<std::int64_t> lo, hi;
    Bounds(*c.direct, &lo, &hi);
    // The key of a record whose column holds v (its first segment counts).
    auto key_of = [&](std::int64_t v, std::vector<std::uint8_t>* key) {
      std::vector<std::uint8_t> bytes;
      if (!EncodeFieldValue(key_field.Shape(), TExpValue::Int(type, v), &bytes)) return false;
      std::vector<std::uint8_t> image(static_cast<std::size_t>(data.RecordSize()), 0);
      image[key_field.Offset()] = 1;
      std::copy(bytes.begin(), bytes.end(), image.begin() + key_field.Offset() + 1);
      *key = x->KeyOf(data, slot, image.data());
      return static_cast<int>(key->size()) >= segment;
    };
    TIndexTree tree = x->Tree(data, slot);
    const bool forward = !order_[0].descending;
    TIndexEntry e;
    std::vector<std::uint8_t> key;
    bool more = false;
    if (forward) {
      more = lo && key_of(*lo, &key) ? tree.Seek(key.data(), segment, e) : tree.First(e);
    } else {
      if (!(hi && key_of(*hi, &key) && tree.SeekAfter(key.data(), segment, e))) {
        // Past every key: the prior one is the last.
        e.key.assign(static_cast<std::size_t>(tree.format().key_size), 0xFF);
      }
      more = tree.Prior(e);
    }
    const std::size_t n = static_cast<std::size_t>(q_.top);
    const std::int64_t budget = std::max<std::int64_t>(1000, source.RecordLimit() / 16);
    std::int64_t visited = 0;
    std::vector<std::int32_t> chosen;
    TExpValue boundary;
    bool bounded = false;
    for (; more && n > 0; more = forward ? tree.Next(e) : tree.Prior(e)) {
      if (++visited > budget) return false;
      const std::uint8_t* rec = source.ReadRecord(e.record);
      if (!rec) continue;
      const TExpValue v = ReadFieldValue(data, key_field, rec, nullptr);
      if (bounded && (v.null != boundary.null || (!v.null && v.i != boundary.i))) break;
      // Past the bounds nothing passes (nor does a NULL, which no bound admits).
      if ((lo || hi) && (v.null || (forward ? hi && v.i > *hi : lo && v.i < *lo))) {
        if (forward && v.null) continue;
        break;
      }
      if (q_.where && !evaluator_->Evaluate(*q_.where, rec).IsTrue()) continue;
      chosen.push_back(e.record);
      if (chosen.size() == n) {
        boundary = v;
        bounded = true;
      }
    }
    std::sort(chosen.begin(), chosen.end());
    for (std::int32_t r : chosen)
      if (const std::uint8_t* rec = source.ReadRecord(r)) Consume(rec);
    return true;
  }

  // The bounds that the WHERE's AND terms put on column f (comparisons with
  // integer constants, BETWEEN): every row that passes lies within them.
  void Bounds(const TFieldDescriptor& f, std::optional<std::int64_t>* lo,
              std::optional<std::int64_t>* hi) const {
    if (!q_.where) return;
    auto tighten = [](std::optional<std::int64_t>* b, std::int64_t v, bool upper) {
      if (!*b || (upper ? v < **b : v > **b)) *b = v;
    };
    auto constant = [&](const TExpToken& t, std::int64_t* v) {
      if (t.HasColumns()) return false;
      const TExpValue value = evaluator_->Evaluate(t, nullptr);
      if (value.null || !(IsIntegerType(value.type) || value.type == f.Type())) return false;
      *v = value.i;
      return true;
    };
    auto is_column = [&](const TExpToken& t) { return t.kind == kNodeColumn && t.field == &f; };
    std::vector<const TExpToken*> stack{q_.where.get()};
    while (!stack.empty()) {
      const TExpToken* t = stack.back();
      stack.pop_back();
      std::int64_t a = 0, b = 0;
      if (t->kind == kNodeBinary && t->code == kOpAnd) {
        stack.push_back(t->left.get());
        stack.push_back(t->right.get());
      } else if (t->kind == kNodePredicate && t->code == kPredBetween && !t->negated &&
                 is_column(*t->operands[0]) && constant(*t->operands[1], &a) &&
                 constant(*t->operands[2], &b)) {
        tighten(lo, a, false);
        tighten(hi, b, true);
      } else if (t->kind == kNodeBinary && IsComparison(t->code) && t->code != kOpNotEqual) {
        std::uint8_t op = t->code;
        if (is_column(*t->right) && constant(*t->left, &a)) {
          // constant op column: the column's side of it
          if (op == kOpLess)
            op = kOpGreater;
          else if (op == kOpGreater)
            op = kOpLess;
          else if (op == kOpLessEqual)
            op = kOpGreaterEqual;
          else if (op == kOpGreaterEqual)
            op = kOpLessEqual;
        } else if (!(is_column(*t->left) && constant(*t->right, &a))) {
          continue;
        }
        if (op == kOpEqual || op == kOpGreaterEqual) tighten(lo, a, false);
        if (op == kOpEqual || op == kOpLessEqual) tighten(hi, a, true);
        if (op == kOpGreater && a < std::numeric_limits<std::int64_t>::max()) tighten(lo, a + 1, false);
        if (op == kOpLess && a > std::numeric_limits<std::int64_t>::min()) tighten(hi, a - 1, true);
      }
    }
  }

  struct TSourceRows {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;  // record size
    std::size_t count = 0;
    std::vector<std::int32_t> numbers;  // record number of each row
    const std::uint8_t* At(std::int32_t i) const {
      return i < 0 ? nullptr : bytes.data() + static_cast<std::size_t>(i) * size;
    }
  };

  void LoadSource(std::size_t i, TSourceRows* rows) {
    TDataTable& table = sources_->Table(i);
    TTableRecordSource source(table);
    TRecordsBitmap bitmap;
    SelectLiveRecords(source, bitmap);
    rows->size = static_cast<std::size_t>(table.Data().RecordSize());
    const auto count = static_cast<std::size_t>(bitmap.Count());
    rows->bytes.reserve(count * rows->size);
    rows->numbers.reserve(count);
    for (std::int32_t n = bitmap.FindNext(0); n > 0; n = bitmap.FindNext(n)) {
      const std::uint8_t* rec = source.ReadRecord(n);
      if (!rec) continue;
      rows->bytes.insert(rows->bytes.end(), rec, rec + rows->size);
      rows->numbers.push_back(n);
      ++rows->count;
    }
  }

  static void Conjuncts(const TExpToken* n, std::vector<const TExpToken*>* out) {
    if (!n) return;
    if (n->kind == kNodeBinary && n->code == kOpAnd) {
      Conjuncts(n->left.get(), out);
      Conjuncts(n->right.get(), out);
      return;
    }
    out->push_back(n);
  }

  // Equi-join keys of step k: (expression over earlier sources, expression
  // over k), and whether they are the whole ON condition.
  bool JoinKeys(std::size_t k, std::vector<std::pair<const TExpToken*, const TExpToken*>>* keys) {
    std::vector<const TExpToken*> on;
    Conjuncts(q_.sources[k].join.condition.get(), &on);
    std::size_t on_keys = 0;
    std::vector<const TExpToken*> conj;
    Conjuncts(q_.sources[k].join.condition.get(), &conj);
    if (q_.sources[k].join.kind == kJoinNone || q_.sources[k].join.kind == kJoinInner)
      Conjuncts(q_.where.get(), &conj);
    const std::uint64_t self = std::uint64_t{1} << k;
    const std::uint64_t before = self - 1;
    for (std::size_t i = 0; i < conj.size(); ++i) {
      const TExpToken* c = conj[i];
      if (c->kind != kNodeBinary || c->code != kOpEqual) continue;
      const std::uint64_t l = layout_->SourcesOf(*c->left), r = layout_->SourcesOf(*c->right);
      if (l == self && r && (r & ~before) == 0)
        keys->push_back({c->right.get(), c->left.get()});
      else if (r == self && l && (l & ~before) == 0)
        keys->push_back({c->left.get(), c->right.get()});
      else
        continue;
      if (i < on.size()) ++on_keys;
    }
    return on_keys == on.size();
  }



  void ProduceJoined() {
    const std::size_t n = sources_->Count();
    if (n > 63) SqlFail("Too many source tables in one query (at most 63)");
    std::vector<TSourceRows> data(n);
    for (std::size_t i = 0; i < n; ++i)
      LoadSource(i, &data[i]);
    // Tuples: one record index per source joined so far (-1: the NULL row).
    std::vector<std::int32_t> tuples;
    std::size_t width = 1;
    for (std::size_t r = 0; r < data[0].count; ++r)
      tuples.push_back(static_cast<std::int32_t>(r));
    std::vector<std::uint8_t> image(static_cast<std::size_t>(layout_->RecordSize()));
    std::vector<const std::uint8_t*> recs(n, nullptr);
    auto build = [&](const std::int32_t* tuple, std::size_t w, std::int32_t extra) {
      for (std::size_t i = 0; i < n; ++i)
        recs[i] = i < w ? data[i].At(tuple[i]) : (i == w ? data[i].At(extra) : nullptr);
      layout_->Combine(recs, image.data());
      return image.data();
    };
    for (std::size_t k = 1; k < n; ++k) {
      const TJoin& join = q_.sources[k].join;
      std::vector<std::pair<const TExpToken*, const TExpToken*>> keys;
      const bool keys_are_condition = !q_.no_join_optimize && JoinKeys(k, &keys);
      // One key, a plain integer column of the new table equated with an
      // integer: hashed on the value itself, read from the records as they
      // are. Integer equality is the key equality, so when the keys are the
      // whole ON condition a candidate needs no test.
      const bool integer_key =
          keys.size() == 1 && IsIntegerType(keys[0].first->type) &&
          IsIntegerType(keys[0].second->type) && keys[0].second->kind == kNodeColumn &&
          keys[0].second->field && layout_->Origin(keys[0].second->field).source == k;
      const bool test_candidates = !(integer_key && keys_are_condition);
      // The integer key's records: their positions grouped by key value (in
      // position order within a value), and each value's run of them.
      // NULL equals NULL in a join key as everywhere else: the NULL keys
      // have a run of their own.
      std::vector<std::int32_t> int_rows, int_nulls;
      std::unordered_map<std::int64_t, std::pair<std::size_t, std::size_t>> int_runs;
      if (integer_key) {
        const TDataFile& d = sources_->Table(k).Data();
        const TFieldDescriptor& f = d.Field(layout_->Origin(keys[0].second->field).field);
        std::vector<std::pair<std::int64_t, std::uint32_t>> values;
        values.reserve(data[k].count);
        // A stored 32-bit integer is read straight from its bytes.
        const bool plain = f.Type() == kFieldInteger && !f.IsAutoInc() && !f.Computed();
        for (std::size_t r = 0; r < data[k].count; ++r) {
          const std::uint8_t* rec = data[k].At(static_cast<std::int32_t>(r));
          if (plain) {
            if (rec[f.Offset()] != 0)
              values.push_back({static_cast<std::int32_t>(DecodeFixed32(rec + f.Offset() + 1)),
                                static_cast<std::uint32_t>(r)});
            else
              int_nulls.push_back(static_cast<std::int32_t>(r));
            continue;
          }
          const TExpValue v = ReadFieldValue(d, f, rec, nullptr);
          if (v.null)
            int_nulls.push_back(static_cast<std::int32_t>(r));
          else
            values.push_back({v.i, static_cast<std::uint32_t>(r)});
        }
        SortIntegerKeys(values, false);
        int_rows.reserve(values.size());
        for (std::size_t i = 0; i < values.size();) {
          std::size_t end = i;
          while (end < values.size() && values[end].first == values[i].first)
            int_rows.push_back(static_cast<std::int32_t>(values[end++].second));
          int_runs.emplace(values[i].first, std::make_pair(i, end - i));
          i = end;
        }
      }
      std::unordered_map<std::string, std::vector<std::int32_t>> hash;
      if (!keys.empty() && !integer_key) {
        for (std::size_t r = 0; r < data[k].count; ++r) {
          for (std::size_t i = 0; i < n; ++i)
            recs[i] = i == k ? data[k].At(static_cast<std::int32_t>(r)) : nullptr;
          layout_->Combine(recs, image.data());
          std::string key;
          for (const auto& kk : keys)
            AppendKey(evaluator_->Evaluate(*kk.second, image.data()), &key);
          hash[key].push_back(static_cast<std::int32_t>(r));
        }
      }
      std::vector<bool> right_matched(join.kind == kJoinRight ? data[k].count : 0, false);
      std::vector<std::int32_t> next;
      const std::size_t tuple_count = tuples.size() / width;
      std::vector<std::int32_t> all;
      if (keys.empty())
        for (std::size_t r = 0; r < data[k].count; ++r)
          all.push_back(static_cast<std::int32_t>(r));
      for (std::size_t t = 0; t < tuple_count; ++t) {
        const std::int32_t* tuple = &tuples[t * width];
        std::span<const std::int32_t> candidates(all);
        if (integer_key) {
          build(tuple, width, -1);
          const TExpValue v = evaluator_->Evaluate(*keys[0].first, image.data());
          auto it = v.null ? int_runs.end() : int_runs.find(v.i);
          candidates = v.null ? std::span<const std::int32_t>(int_nulls)
                       : it == int_runs.end()
                           ? std::span<const std::int32_t>()
                           : std::span<const std::int32_t>(int_rows.data() + it->second.first,
                                                           it->second.second);
        } else if (!keys.empty()) {
          build(tuple, width, -1);
          std::string key;
          for (const auto& kk : keys)
            AppendKey(evaluator_->Evaluate(*kk.first, image.data()), &key);
          auto it = hash.find(key);
          candidates = it == hash.end() ? std::span<const std::int32_t>()
                                        : std::span<const std::int32_t>(it->second);
        }
        bool matched = false;
        for (std::int32_t r : candidates) {
          if (join.condition && test_candidates) {
            build(tuple, width, r);
            if (!evaluator_->Evaluate(*join.condition, image.data()).IsTrue()) continue;
          }
          matched = true;
          if (!right_matched.empty()) right_matched[static_cast<std::size_t>(r)] = true;
          next.insert(next.end(), tuple, tuple + width);
          next.push_back(r);
        }
        if (!matched && join.kind == kJoinLeft) {
          next.insert(next.end(), tuple, tuple + width);
          next.push_back(-1);
        }
      }
      for (std::size_t r = 0; r < right_matched.size(); ++r) {
        if (right_matched[r]) continue;
        next.insert(next.end(), width, -1);
        next.push_back(static_cast<std::int32_t>(r));
      }
      tuples.swap(next);
      ++width;
    }
    const std::size_t tuple_count = tuples.size() / width;
    // Room for every joined row's image at once: only the pages the rows
    // that pass fill are ever touched, and none is copied by a regrowth.
    if (image_table_ && !visit_) images_.reserve(images_.size() + tuple_count * image_size_);
    for (std::size_t t = 0; t < tuple_count && !Full(); ++t) {
      const std::uint8_t* img = build(&tuples[t * width], width, -1);
      if (q_.where && !evaluator_->Evaluate(*q_.where, img).IsTrue()) continue;
      if (visit_) {
        const std::int32_t first = tuples[t * width];
        visit_(first < 0 ? 0 : data[0].numbers[static_cast<std::size_t>(first)], img);
        continue;
      }
      Consume(img);
    }
  }

  TExpValue OutValue(const TOutColumn& c, const std::uint8_t* rec) const {
    if (c.direct) return ReadFieldValue(layout_->Data(), *c.direct, rec, c.blobs);
    if (c.blobs && c.tree && c.tree->field)
      return ReadFieldValue(layout_->Data(), *c.tree->field, rec, c.blobs);
    return column_evaluator_->Evaluate(*c.tree, rec);
  }

  // A row that passed WHERE (single-table rows were narrowed by selection).
  void Consume(const std::uint8_t* rec) {
    ++produced_;
    if (image_table_) {
      if (image_count_ >= std::numeric_limits<std::uint32_t>::max())
        SqlFail("Too many rows in a result set");
      TDataFile& data = image_table_->Data();
      images_.resize(images_.size() + image_size_, 0);
      std::uint8_t* image = images_.data() + images_.size() - image_size_;
      // The flag byte and the value; a NULL (flag 0) is the image's zeros.
      for (const TByteCopy& c : byte_copies_)
        if (rec[c.from] != 0) std::memcpy(image + c.to, rec + c.from, c.size);
      for (std::size_t i : value_columns_)
        StoreFieldValue(*image_table_, data.Field(static_cast<int>(i) + 1), image,
                        OutValue(out_[i], rec));
      // Selected ORDER BY columns are read back from the images; the values
      // of the others are kept.
      for (std::size_t k = 0; k < order_.size(); ++k) {
        const std::size_t c = static_cast<std::size_t>(order_[k].column);
        if (c >= out_.size()) key_values_[k].push_back(OutValue(hidden_[c - out_.size()], rec));
      }
      ++image_count_;
      return;
    }
    if (!grouped_) {
      TResultRow row;
      row.reserve(out_.size() + hidden_.size());
      for (const auto& c : out_)
        row.push_back(OutValue(c, rec));
      for (const auto& c : hidden_)
        row.push_back(OutValue(c, rec));
      rows_.push_back(std::move(row));
      return;
    }
    std::string key;
    for (const auto& k : group_keys_) {
      const TExpValue v = k.output >= 0 ? OutValue(out_[static_cast<std::size_t>(k.output)], rec)
                                        : ReadFieldValue(layout_->Data(), *k.direct, rec, nullptr);
      AppendKey(v, &key);
    }
    auto [it, inserted] = group_index_.try_emplace(key, groups_.size());
    if (inserted) {
      TGroup g;
      g.image.assign(rec, rec + layout_->RecordSize());
      for (const auto& k : group_keys_)
        g.key.push_back(k.output >= 0 ? OutValue(out_[static_cast<std::size_t>(k.output)], rec)
                                      : ReadFieldValue(layout_->Data(), *k.direct, rec, nullptr));
      for (const auto& c : out_)
        g.first.push_back(c.aggregate >= 0 ? TExpValue() : OutValue(c, rec));
      g.acc.resize(aggregates_.size());
      groups_.push_back(std::move(g));
    }
    TGroup& g = groups_[it->second];
    for (std::size_t a = 0; a < aggregates_.size(); ++a)
      Accumulate(aggregates_[a], g.acc[a], rec);
  }

  void Accumulate(const TAggregate& a, TAccumulator& acc, const std::uint8_t* rec) const {
    if (!a.operand) {
      ++acc.count;
      return;
    }
    const TExpValue v = column_evaluator_->Evaluate(*a.operand, rec);
    if (v.null) return;
    if (a.distinct) {
      std::string key;
      AppendKey(v, &key);
      if (!acc.seen.insert(key).second) return;
    }
    ++acc.count;
    switch (a.code) {
      case kAggSum:
      case kAggRunSum:
      case kAggAvg:
        if (IsIntegerType(v.type) && !acc.is_float) {
          if (__builtin_add_overflow(acc.isum, v.i, &acc.isum))
            SqlContext("source column expression")
                .FailIn("Arithmetic overflow in " + a.node->source);
        } else {
          if (!acc.is_float) acc.fsum = static_cast<long double>(acc.isum);
          acc.is_float = true;
          acc.fsum += IsIntegerType(v.type) ? static_cast<long double>(v.i) : v.f;
        }
        break;
      case kAggMin:
      case kAggMax:
        if (acc.count == 1 || (a.code == kAggMin ? evaluator_->Compare(v, acc.best) < 0
                                                 : evaluator_->Compare(v, acc.best) > 0))
          acc.best = v;
        break;
      default:
        break;
    }
  }

  TExpValue AggregateValue(const TAggregate& a, const TAccumulator& acc) const {
    const std::uint8_t type = a.node->type;
    switch (a.code) {
      case kAggCount:
        return TExpValue::Int(type ? type : std::uint8_t{kFieldLargeInt}, acc.count);
      case kAggSum:
      case kAggRunSum:
        if (acc.count == 0) return TExpValue::Null(type);
        // The sum is kept in long double and given as the nearest double,
        // the value a FLOAT column holds.
        if (acc.is_float || IsFloatType(type))
          return TExpValue::Float(kFieldFloat, static_cast<double>(acc.is_float ? acc.fsum : static_cast<long double>(acc.isum)));
        return TExpValue::Int(kFieldLargeInt, acc.isum);
      case kAggAvg: {
        if (acc.count == 0) return TExpValue::Null(kFieldFloat);
        const long double sum = acc.is_float ? acc.fsum : static_cast<long double>(acc.isum);
        return TExpValue::Float(kFieldFloat,
                                static_cast<double>(sum / static_cast<long double>(acc.count)));
      }
      default:
        return acc.count ? acc.best : TExpValue::Null(type);
    }
  }

  void Finish() {
    if (image_table_) {
      if (!order_.empty()) {
        const TDataFile& data = image_table_->Data();
        image_order_ = SortedOrder(image_count_, [&](std::size_t k, std::uint32_t row) {
          const std::size_t c = static_cast<std::size_t>(order_[k].column);
          if (c < out_.size())
            return ReadFieldValue(data, data.Field(static_cast<int>(c) + 1), Image(row), nullptr);
          return key_values_[k][row];
        });
      }
      if (q_.top >= 0 && image_count_ > static_cast<std::size_t>(q_.top)) {
        image_count_ = static_cast<std::size_t>(q_.top);
        if (order_.empty())
          images_.resize(image_count_ * image_size_);
        else
          image_order_.resize(image_count_);
      }
      key_values_.clear();
      return;
    }
    if (grouped_) FinishGroups();
    if (q_.distinct) Distinct(&rows_, out_.size());
    Order();
    if (q_.top >= 0 && rows_.size() > static_cast<std::size_t>(q_.top))
      rows_.resize(static_cast<std::size_t>(q_.top));
    for (auto& r : rows_)
      r.resize(out_.size());
  }

  void FinishGroups() {
    // Without GROUP BY an aggregate query is one group, also over no rows.
    if (groups_.empty() && group_keys_.empty()) {
      TGroup g;
      g.acc.resize(aggregates_.size());
      g.first.resize(out_.size());
      for (std::size_t i = 0; i < out_.size(); ++i)
        if (out_[i].aggregate < 0) g.first[i] = TExpValue::Null(out_[i].shape.type);
      groups_.push_back(std::move(g));
    }
    // Groups come out in the order of their key values.
    std::vector<std::size_t> order(groups_.size());
    for (std::size_t i = 0; i < order.size(); ++i)
      order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return CompareRows(groups_[a].key, groups_[b].key, nullptr) < 0;
    });
    std::vector<long double> running(aggregates_.size(), 0);
    std::vector<std::int64_t> running_i(aggregates_.size(), 0);
    for (std::size_t gi : order) {
      TGroup& g = groups_[gi];
      std::vector<TExpValue> agg(aggregates_.size());
      for (std::size_t a = 0; a < aggregates_.size(); ++a) {
        agg[a] = AggregateValue(aggregates_[a], g.acc[a]);
        if (aggregates_[a].code == kAggRunSum && !agg[a].null) {
          if (IsIntegerType(agg[a].type)) {
            running_i[a] += agg[a].i;
            agg[a].i = running_i[a];
          } else {
            running[a] += agg[a].f;
            agg[a].f = static_cast<double>(running[a]);
          }
        }
      }
      if (q_.having) {
        for (auto& [node, index] : having_aggregates_) {
          node->kind = kNodeConstant;
          node->value = agg[static_cast<std::size_t>(index)];
        }
        bool pass = false;
        try {
          pass =
              evaluator_->Evaluate(*q_.having, g.image.empty() ? nullptr : g.image.data()).IsTrue();
        } catch (...) {
          RestoreHaving();
          throw;
        }
        RestoreHaving();
        if (!pass) continue;
      }
      TResultRow row;
      for (std::size_t i = 0; i < out_.size(); ++i)
        row.push_back(out_[i].aggregate >= 0 ? agg[static_cast<std::size_t>(out_[i].aggregate)]
                                             : g.first[i]);
      rows_.push_back(std::move(row));
    }
  }

  void RestoreHaving() {
    for (auto& [node, index] : having_aggregates_)
      node->kind = kNodeFunction;
  }

  // NULL first; strings under NOCASE compare upper-cased.
  int CompareValues(const TExpValue& a, const TExpValue& b) const {
    if (a.null || b.null) return a.null == b.null ? 0 : (a.null ? -1 : 1);
    // Numbers of one class compare without the evaluator's type dispatch.
    if (IsIntegerType(a.type) && IsIntegerType(b.type)) return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
    if (IsFloatType(a.type) && IsFloatType(b.type) && !std::isnan(a.f) && !std::isnan(b.f))
      return a.f < b.f ? -1 : (a.f > b.f ? 1 : 0);
    if (q_.order_nocase && a.type == kFieldString && b.type == kFieldString)
      return evaluator_->Compare(TExpValue::Str(kFieldString, evaluator_->Upper(a.s)),
                                 TExpValue::Str(kFieldString, evaluator_->Upper(b.s)));
    return evaluator_->Compare(a, b);
  }

  int CompareRows(const TResultRow& a, const TResultRow& b, const std::vector<bool>* desc) const {
    for (std::size_t i = 0; i < a.size(); ++i) {
      const int c = CompareValues(a[i], b[i]);
      if (c) return desc && (*desc)[i] ? -c : c;
    }
    return 0;
  }

  // When every ORDER BY column holds only integers (or only floats that are
  // numbers) and NULLs, sorts by copies of them side by side: the same
  // order as CompareValues gives, without a row's value vector per compare.
  // Sorts (value, position) pairs given in position order by value, up or
  // down, equal values keeping position order. Values spanning at most four
  // bytes (the usual case: numbers, moves, dates) go through a byte-wise
  // radix sort, which is stable and needs no comparisons; wider ones
  // through a comparison sort on the pair.
  static void SortIntegerKeys(std::vector<std::pair<std::int64_t, std::uint32_t>>& values,
                              bool desc) {
    if (values.size() < 2) return;
    std::int64_t lo = values[0].first, hi = values[0].first;
    for (const auto& v : values) {
      lo = std::min(lo, v.first);
      hi = std::max(hi, v.first);
    }
    // The distance from the first value in sort order, without overflow.
    const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    if (span > 0xffffffffu || values.size() > 0xffffffffu) {
      std::sort(values.begin(), values.end(), [desc](const auto& a, const auto& b) {
        if (a.first != b.first) return desc ? a.first > b.first : a.first < b.first;
        return a.second < b.second;
      });
      return;
    }
    auto rank = [lo, hi, desc](std::int64_t v) {
      return static_cast<std::uint32_t>(
          desc ? static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(v)
               : static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lo));
    };
    std::vector<std::pair<std::int64_t, std::uint32_t>> other(values.size());
    for (int shift = 0; shift < 32 && (span >> shift) != 0; shift += 8) {
      std::size_t counts[257] = {};
      for (const auto& v : values)
        ++counts[((rank(v.first) >> shift) & 0xff) + 1];
      for (int b = 0; b < 256; ++b)
        counts[b + 1] += counts[b];
      for (const auto& v : values)
        other[counts[(rank(v.first) >> shift) & 0xff]++] = v;
      values.swap(other);
    }
  }

  // `key(k, row)` is ORDER BY key k's value in row `row`.
  template <typename Key>
  bool OrderByNumbers(std::vector<std::uint32_t>& order, const Key& key) const {
    struct TKey {
      bool null;
      std::int64_t i;
      long double f;
    };
    std::vector<std::vector<TKey>> keys;
    std::vector<bool> integer;
    for (std::size_t kk = 0; kk < order_.size(); ++kk) {
      std::vector<TKey> column;
      column.reserve(order.size());
      bool ints = true, floats = true;
      for (std::uint32_t row = 0; row < order.size(); ++row) {
        const TExpValue& v = key(kk, row);
        if (!v.null) {
          ints = ints && IsIntegerType(v.type);
          floats = floats && IsFloatType(v.type) && !std::isnan(v.f);
          if (!ints && !floats) return false;
        }
        column.push_back({v.null, v.i, v.f});
      }
      keys.push_back(std::move(column));
      integer.push_back(ints);
    }
    if (keys.size() == 1 && integer[0]) {
      // One integer key: NULLs in their own run, the rest sorted as (value,
      // position) pairs, which is the stable order without indirection.
      const bool desc = order_[0].descending;
      std::vector<std::uint32_t> nulls;
      std::vector<std::pair<std::int64_t, std::uint32_t>> values;
      values.reserve(order.size());
      for (std::uint32_t x : order) {
        const TKey& k = keys[0][x];
        if (k.null)
          nulls.push_back(x);
        else
          values.push_back({k.i, x});
      }
      SortIntegerKeys(values, desc);
      std::size_t o = 0;
      if (!desc)
        for (std::uint32_t x : nulls)
          order[o++] = x;
      for (const auto& v : values)
        order[o++] = v.second;
      if (desc)
        for (std::uint32_t x : nulls)
          order[o++] = x;
      return true;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
      for (std::size_t k = 0; k < keys.size(); ++k) {
        const TKey& a = keys[k][x];
        const TKey& b = keys[k][y];
        int c;
        if (a.null || b.null)
          c = a.null == b.null ? 0 : (a.null ? -1 : 1);
        else if (integer[k])
          c = a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
        else
          c = a.f < b.f ? -1 : (a.f > b.f ? 1 : 0);
        if (c) return order_[k].descending ? c > 0 : c < 0;
      }
      return false;
    });
    return true;
  }

  // Sorts positions rather than the rows themselves (a row is a vector of
  // values: moving it costs more than the comparisons), then moves each row
  // once into its place.
  // The positions 0 .. n - 1 in ORDER BY order (stable).
  template <typename Key>
  std::vector<std::uint32_t> SortedOrder(std::size_t n, const Key& key) const {
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < order.size(); ++i)
      order[i] = static_cast<std::uint32_t>(i);
    if (OrderByNumbers(order, key)) return order;
    std::vector<std::vector<TExpValue>> columns(order_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) {
      columns[k].reserve(n);
      for (std::uint32_t row = 0; row < n; ++row)
        columns[k].push_back(key(k, row));
    }
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
      for (std::size_t k = 0; k < order_.size(); ++k) {
        const int c = CompareValues(columns[k][x], columns[k][y]);
        if (c) return order_[k].descending ? c > 0 : c < 0;
      }
      return false;
    });
    return order;
  }

  void Order() {
    if (order_.empty()) return;
    const std::vector<std::uint32_t> order =
        SortedOrder(rows_.size(), [this](std::size_t k, std::uint32_t row) -> const TExpValue& {
          return rows_[row][static_cast<std::size_t>(order_[k].column)];
        });
    std::vector<TResultRow> sorted;
    sorted.reserve(rows_.size());
    for (std::uint32_t i : order)
      sorted.push_back(std::move(rows_[i]));
    rows_.swap(sorted);
  }

 public:
  static void Distinct(std::vector<TResultRow>* rows, std::size_t width) {
    std::unordered_set<std::string> seen;
    std::vector<TResultRow> out;
    for (auto& r : *rows) {
      std::string key;
      for (std::size_t i = 0; i < width && i < r.size(); ++i)
        AppendKey(r[i], &key);
      if (seen.insert(key).second) out.push_back(std::move(r));
    }
    rows->swap(out);
  }

 private:
  struct TGroupKey {
    int output = -1;
    const TFieldDescriptor* direct = nullptr;
  };
  struct TOrderKey {
    int column = 0;
    bool descending = false;
  };
  struct TGroup {
    std::vector<TExpValue> key, first;
    std::vector<TAccumulator> acc;
    std::vector<std::uint8_t> image;  // the group's first row (HAVING's plain columns)
  };

  TQueryStatement& s_;
  TDataQuery& q_;
  std::unique_ptr<TSourceSet> sources_;
  std::unique_ptr<TRowLayout> layout_;
  std::unique_ptr<TExpressionEvaluator> evaluator_, column_evaluator_;
  std::vector<TOutColumn> out_, hidden_;
  std::vector<TAggregate> aggregates_;
  std::vector<std::pair<TExpToken*, int>> having_aggregates_;
  std::vector<TGroupKey> group_keys_;
  std::vector<TOrderKey> order_;
  bool grouped_ = false;
  std::size_t produced_ = 0;
  TDataTable* image_table_ = nullptr;  // see ProduceImages
  std::size_t image_size_ = 0;
  std::size_t image_count_ = 0;
  std::vector<std::uint8_t> images_;
  struct TByteCopy {
    std::size_t from, to, size;  // offsets in the row and the image; flag byte + value
  };
  std::vector<TByteCopy> byte_copies_;
  std::vector<std::size_t> value_columns_;  // the output columns stored by value
  // Per ORDER BY key on a column that is not selected, its value per image.
  std::vector<std::vector<TExpValue>> key_values_;
  std::vector<std::uint32_t> image_order_;
  std::vector<TResultRow> rows_;
  std::unordered_map<std::string, std::size_t> group_index_;
  std::vector<TGroup> groups_;
  std::function<void(TProduction&)> before_produce_;
  std::function<void(std::int32_t, const std::uint8_t*)> visit_;
};

// A UNION result column holds the values of every part: strings and bytes
// as long as the longest, numbers in their common type (an integer and a
// float make a float). Columns of unlike kinds keep the first part's shape,
// into which the other parts' values are converted.
void WidenShape(TValueShape* shape, const TValueShape& other) {
  const std::uint8_t a = shape->type, b = other.type;
  if (a == b && (a == kFieldString || IsByteType(a))) {
    shape->length = std::max(shape->length, other.length);
  } else if (IsNumericType(a) && IsNumericType(b) && a != b) {
    *shape = {CommonValueType(a, b), 0, 0, 0};
  } else if (a == kFieldDate && b == kFieldTimestamp) {
    *shape = other;
  } else if (a == b && a == kFieldBcd) {
    shape->scale = std::max(shape->scale, other.scale);
  }
  if (a == b && shape->subtype != other.subtype && a != kFieldBlob) shape->subtype = kSubtypeNone;
}

// Rows of a query block and its UNION parts, with shapes that hold them all.
std::vector<TResultRow> ProduceAll(TQueryStatement& s, TDataQuery& q,
                                   std::vector<TOutColumn>* columns) {
  TProduction first(s, q);
  first.Run(false);
  *columns = first.Columns();
  for (auto& c : *columns) {
    c.tree = nullptr;
    c.direct = nullptr;
    c.blobs = nullptr;
  }
  std::vector<TResultRow> rows = std::move(first.Rows());
  for (TDataQuery* prev = &q; prev->union_next; prev = prev->union_next) {
    TDataQuery* part = prev->union_next;
    TProduction p(s, *part);
    p.Run(false);
    if (p.Columns().size() != columns->size())
      SqlFail("Number of columns in UNIONed queries must be the same");
    for (std::size_t i = 0; i < columns->size(); ++i)
      WidenShape(&(*columns)[i].shape, p.Columns()[i].shape);
    for (auto& r : p.Rows())
      rows.push_back(std::move(r));
    // Each UNION applies to everything on its left, as written: in
    // A UNION B UNION ALL C the duplicates of C stay.
    if (!prev->union_all) TProduction::Distinct(&rows, columns->size());
  }
  return rows;
}

}  // namespace

std::vector<TResultRow> ProduceRows(TQueryStatement& statement, TDataQuery& query,
                                    std::vector<TValueShape>* shapes) {
  std::vector<TOutColumn> columns;
  std::vector<TResultRow> rows = ProduceAll(statement, query, &columns);
  if (shapes) {
    shapes->clear();
    for (const auto& c : columns)
      shapes->push_back(c.shape);
  }
  return rows;
}

std::map<std::int32_t, std::vector<TExpValue>> JoinedTargets(TQueryStatement& statement,
                                                             TDataQuery& query,
                                                             std::vector<TExpToken*> expressions) {
  std::map<std::int32_t, std::vector<TExpValue>> targets;
  TProduction p(statement, query);
  p.SetTargetVisitor(
      [&](TProduction& self) {
        for (TExpToken* e : expressions)
          BindExpression(*e, SqlContext("SQL statement"), self.Layout().Resolver("SQL statement"),
                         false);
      },
      [&](std::int32_t record, const std::uint8_t* image) {
        if (record == 0 || targets.count(record)) return;
        std::vector<TExpValue>& values = targets[record];
        for (TExpToken* e : expressions)
          values.push_back(p.Evaluator().Evaluate(*e, image));
      });
  p.Run(true);
  return targets;
}

namespace {

bool SourceOf(const TDataQuery& q, const std::string& correlation) {
  for (const auto& s : q.sources)
    if (SameName(s.correlation, correlation)) return true;
  return false;
}

// The columns of a sub-select's WHERE that name a table of the queries
// around it (not of the sub-select itself), as left by the parser or by an
// earlier run.
void OuterReferences(const TDataQuery& sub, TExpToken* n, std::vector<TExpToken*>* out) {
  if (!n) return;
  if (n->outer_reference ||
      (n->kind == kNodeColumn && !n->correlation.empty() && !SourceOf(sub, n->correlation))) {
    out->push_back(n);
    return;
  }
  OuterReferences(sub, n->left.get(), out);
  OuterReferences(sub, n->right.get(), out);
  for (auto& o : n->operands)
    OuterReferences(sub, o.get(), out);
}

void BareColumns(TExpToken* n, std::vector<TExpToken*>* out) {
  if (!n) return;
  if (n->kind == kNodeColumn && n->correlation.empty() && !n->outer_reference) {
    out->push_back(n);
    return;
  }
  BareColumns(n->left.get(), out);
  BareColumns(n->right.get(), out);
  for (auto& o : n->operands)
    BareColumns(o.get(), out);
}

// Columns of a sub-select's WHERE named without a table that no table of the
// sub-select has but the query around it does: references to the outer
// query, as SQL reads them (a column of the sub-select's own tables wins).
void BareOuterReferences(TQueryStatement& statement, TDataQuery& sub, const TRowLayout& outer,
                         std::vector<TExpToken*>* out) {
  std::vector<TExpToken*> bare;
  BareColumns(sub.where.get(), &bare);
  if (bare.empty()) return;
  TSourceSet sources(statement.Database(), sub.sources, false);
  TRowLayout layout(sources);
  for (TExpToken* n : bare)
    if (!layout.Resolve("", n->column, "WHERE clause") &&
        outer.Resolve("", n->column, "WHERE clause"))
      out->push_back(n);
}

// A correlated IN (SELECT ...): the sub-select runs for each distinct
// combination of the outer values it refers to (these become constants of
// its WHERE for the run, so that an index can serve them), and its values
// are kept per combination for the rest of the outer run.
void PrepareCorrelated(TQueryStatement& statement, TDataQuery& sub, TExpToken& node,
                       std::vector<TExpToken*> refs, const TRowLayout& outer) {
  struct TState {
    std::vector<std::pair<TExpToken*, const TFieldDescriptor*>> refs;
    const TDataFile* data = nullptr;
    std::unordered_map<std::string, std::vector<TExpValue>> cache;
  };
  auto state = std::make_shared<TState>();
  state->data = &outer.Data();
  for (TExpToken* r : refs) {
    const TFieldDescriptor* f = outer.Resolve(r->correlation, r->column, "WHERE clause");
    if (!f)
      SqlFail("Invalid column name '" + r->column + "'" + " of table correlation name '" +
              r->correlation + "'" + " referenced in sub-select query");
    state->refs.emplace_back(r, f);
  }
  TQueryStatement* s = &statement;
  TDataQuery* q = &sub;
  node.in_select = [state, s, q](const TExpressionEvaluator& ev, const TExpValue& probe,
                                 const std::uint8_t* record) {
    std::string key;
    std::vector<TExpValue> values;
    for (const auto& [ref, f] : state->refs) {
      values.push_back(ReadFieldValue(*state->data, *f, record, nullptr));
      AppendKey(values.back(), &key);
    }
    auto it = state->cache.find(key);
    if (it == state->cache.end()) {
      for (std::size_t i = 0; i < values.size(); ++i) {
        TExpToken& ref = *state->refs[i].first;
        ref.kind = kNodeConstant;
        ref.outer_reference = true;
        ref.field = nullptr;
        ref.type = values[i].null ? std::uint8_t{0} : values[i].type;
        ref.size = static_cast<int>(values[i].s.size());
        ref.value = values[i];
      }
      std::vector<TExpValue> list;
      for (auto& row : ProduceRows(*s, *q, nullptr))
        list.push_back(std::move(row[0]));
      it = state->cache.emplace(std::move(key), std::move(list)).first;
    }
    // As IN (list): the probe equals a value under the NULL rules.
    for (const TExpValue& v : it->second)
      if (ev.CompareOp(kOpEqual, probe, v)) return true;
    return false;
  };
}

}  // namespace

void PrepareSubSelects(TQueryStatement& statement, TExpToken* n, const TRowLayout* outer) {
  if (!n) return;
  if (TDataQuery* sub = statement.SubSelect(n)) {
    n->code = kPredInSelect;
    n->operands.resize(1);
    n->in_select = nullptr;
    PrepareSubSelects(statement, n->operands[0].get(), outer);
    std::vector<TExpToken*> refs;
    OuterReferences(*sub, sub->where.get(), &refs);
    if (outer) BareOuterReferences(statement, *sub, *outer, &refs);
    if (!refs.empty()) {
      if (!outer) SqlFail("A correlated sub-select query is not allowed here");
      PrepareCorrelated(statement, *sub, *n, std::move(refs), *outer);
      return;
    }
    std::vector<TResultRow> rows = ProduceRows(statement, *sub, nullptr);
    std::unordered_set<std::string> seen;
    for (auto& r : rows) {
      std::string key;
      AppendKey(r[0], &key);
      if (!seen.insert(key).second) continue;
      auto c = std::make_unique<TExpToken>();
      c->kind = kNodeConstant;
      // Type errors name the sub-select's column.
      c->text = sub->columns.empty() ? std::string("SELECT") : sub->columns[0].text;
      c->type = r[0].type;
      c->size = static_cast<int>(r[0].s.size());
      c->value = std::move(r[0]);
      c->parent = n;
      n->operands.push_back(std::move(c));
    }
    n->code = kPredIn;
    return;
  }
  PrepareSubSelects(statement, n->left.get(), outer);
  PrepareSubSelects(statement, n->right.get(), outer);
  for (auto& o : n->operands)
    PrepareSubSelects(statement, o.get(), outer);
}

// ---- results ----

class TSelectExecution {
 public:
  TSelectExecution(TQueryStatement& s, TDataQuery& q) : s_(s), q_(q) {}

  std::unique_ptr<TQueryResult> Run() {
    if (LiveCandidate()) {
      if (auto live = TryLive()) return live;
    }
    return Canned();
  }

 private:
  bool LiveCandidate() const {
    // The only query of its statement: no UNION part, no sub-select.
    const bool only = !q_.has_union && !HasSubSelect(q_.where.get());
    return q_.request_live && !q_.has_into && !q_.distinct && q_.sources.size() == 1 &&
           !q_.multiple_tables && !q_.grouped && !q_.has_having && q_.top < 0 && only;
  }

  bool HasSubSelect(const TExpToken* n) const {
    if (!n) return false;
    if (s_.SubSelect(n)) return true;
    if (HasSubSelect(n->left.get()) || HasSubSelect(n->right.get())) return true;
    for (const auto& o : n->operands)
      if (HasSubSelect(o.get())) return true;
    return false;
  }

  // Field number of the source table for an ORDER BY item, 0 when the item
  // is an expression column (which forbids a live result).
  int OrderField(const TOrderByField& o, const TDataFile& data) const {
    const bool star = q_.select_all;
    if (o.number) {
      const int count = star ? data.FieldCount() : static_cast<int>(q_.columns.size());
      if (o.number < 1 || o.number > count)
        SqlFail("Invalid column number '" + std::to_string(o.number) + "'" +
                " specified in ORDER BY clause");
      if (star) return o.number;
      const TResultField& f = q_.columns[static_cast<std::size_t>(o.number - 1)];
      if (f.is_expression || f.all_columns || !f.tree) return 0;
      return FieldPosition(data, f.tree->column);
    }
    for (const auto& f : q_.columns)
      if (f.is_expression && SameName(f.name, o.name)) return 0;
    if (!o.correlation.empty() && !SameName(o.correlation, q_.sources[0].correlation))
      SqlFail("Invalid column name '" + o.name + "'" + " or table correlation name " + "'" +
              o.correlation + "'" + " specified in ORDER BY clause");
    // A select-list alias of a plain column names that column.
    for (const auto& f : q_.columns)
      if (!f.is_expression && !f.all_columns && f.tree && SameName(f.name, o.name))
        return FieldPosition(data, f.tree->column);
    const int p = FieldPosition(data, o.name);
    if (!p)
      SqlFail("Invalid column name '" + o.name + "'" + " or table correlation name " + "'" +
              o.correlation + "'" + " specified in ORDER BY clause");
    return p;
  }

  static int FieldPosition(const TDataFile& data, const std::string& name) {
    for (int p = 1; p <= data.FieldCount(); ++p)
      if (SameName(data.Field(p).Name(), name)) return p;
    return 0;
  }

  // The first index whose leading key fields are the ORDER BY columns with
  // their directions (and, for strings, the NOCASE choice); -1 none.
  int MatchIndex(TDataTable& table, const std::vector<int>& fields) const {
    TIndexFile* index = dynamic_cast<TIndexFile*>(&table.Index());
    if (!index) return -1;
    const TDataFile& data = table.Data();
    for (int slot = 0; slot <= index->SecondaryCount(); ++slot) {
      if (slot == 0 && index->NoPrimaryKey()) continue;
      if (!index->SlotInUse(slot)) continue;
      const TIndexDefinition def = index->Definition(slot);
      if (def.fields.size() < fields.size()) continue;
      bool match = true;
      for (std::size_t i = 0; i < fields.size() && match; ++i) {
        const bool desc =
            i < def.field_descending.size() ? def.field_descending[i] : def.descending;
        match = def.fields[i] == fields[i] && desc == q_.order_by[i].descending;
        if (match && data.Field(fields[i]).Type() == kFieldString)
          match = def.case_insensitive == q_.order_nocase;
      }
      if (match) return slot;
    }
    return -1;
  }

  std::unique_ptr<TQueryResult> TryLive() {
    PrepareSubSelects(s_, q_.where.get());
    TSourceSet sources(s_.Database(), q_.sources, true);
    TDataTable& table = sources.Table(0);
    const TDataFile& data = table.Data();
    int index = -1;
    if (!q_.order_by.empty()) {
      std::vector<int> fields;
      for (const auto& o : q_.order_by) {
        const int f = OrderField(o, data);
        if (!f) return nullptr;
        fields.push_back(f);
      }
      index = MatchIndex(table, fields);
      if (index < 0) return nullptr;
    }
    TRowLayout layout(sources);
    const std::uint32_t locale = q_.into_locale ? *q_.into_locale : sources.Locale();
    auto result = std::unique_ptr<TQueryResult>(new TQueryResult());
    result->evaluator_ =
        std::make_unique<TExpressionEvaluator>(SqlContext("WHERE clause"), &data, locale,
                                               LastAutoIncOf(s_.Database()));
    if (q_.where)
      BindExpression(*q_.where, SqlContext("WHERE clause"), layout.Resolver("WHERE clause"), true);
    for (auto& f : q_.columns) {
      if (f.all_columns) {
        if (!f.correlation.empty() && !SameName(f.correlation, q_.sources[0].correlation))
          SqlFail("Table correlation name '" + f.correlation + "'" +
                  " referenced in select list is not defined in the FROM clause");
        for (int p = 1; p <= data.FieldCount(); ++p)
          result->columns_.push_back({data.Field(p).Name(), data.Field(p).Shape(), p, nullptr});
        continue;
      }
      BindExpression(*f.tree, SqlContext("source column expression"),
                     layout.Resolver("source column expression"), false);
      TResultColumn c;
      c.name = f.name;
      if (!f.is_expression && f.tree->field) {
        c.field = FieldPosition(data, f.tree->field->Name());
        c.shape = f.tree->field->Shape();
      } else {
        c.expression = f.tree.get();
        c.shape = ShapeOf(*f.tree, f.text);
      }
      result->columns_.push_back(c);
    }
    if (result->columns_.size() > static_cast<std::size_t>(kMaxFields))
      SqlFail("Maximum number of columns (" + std::to_string(kMaxFields) +
              ") in result set exceeded");
    TDataCursor& cursor = *q_.sources[0].cursor;
    if (index >= 0) cursor.SetActiveIndex(index);
    if (q_.where) {
      const TExpToken* where = q_.where.get();
      const TExpressionEvaluator* ev = result->evaluator_.get();
      // The record set comes from record selection, which walks an index
      // where one serves the condition; single records changed later are
      // tested by evaluation.
      cursor.AddFilter(
          [where, ev](const std::uint8_t* rec) { return ev->Evaluate(*where, rec).IsTrue(); },
          [where, ev](TRecordSource& source, TRecordsBitmap& bitmap) {
            TRecordSelector(source, *ev).Select(*where, bitmap);
          });
    }
    cursor.First();
    result->live_ = true;
    result->read_only_ = false;
    result->directory_ = &sources.Directory(0);
    result->shared_ = q_.sources[0].shared;
    result->cursor_ = std::move(q_.sources[0].cursor);
    sources.Release(0);
    q_.sources[0].shared = nullptr;
    q_.rows_affected = result->cursor_->RecordCount();
    return result;
  }

  std::unique_ptr<TQueryResult> Canned() {
    // A single block into a generated table is produced as record images.
    if (!q_.union_next && !q_.distinct && !q_.grouped && q_.into_name.empty() &&
        q_.encrypted_password.empty() && !q_.into_locale)
      return CannedFromImages();
    std::vector<TOutColumn> columns;
    std::vector<TResultRow> rows = ProduceAll(s_, q_, &columns);
    return CannedFromRows(columns, rows);
  }

  std::unique_ptr<TQueryResult> CannedFromImages() {
    TProduction p(s_, q_);
    std::vector<TOutColumn> columns;
    // The in-memory table the images are made for: the statement's spare
    // result, or a new one. BLOB values need the table's BLOB file, so their
    // rows stay value rows.
    std::unique_ptr<TQueryResult> result;
    bool recycled = false;  // the spare, still holding its rows
    p.SetBeforeProduce([&](TProduction& production) {
      columns = OutputShapes(production.Columns());
      for (const auto& c : columns)
        if (c.shape.type == kFieldBlob) return;
      result = Recycled(columns, 0, false);
      recycled = result != nullptr;
      if (!result) {
        result = std::unique_ptr<TQueryResult>(new TQueryResult());
        CreateResultTable(*result, columns, 0);
      }
      production.ProduceImages(result->own_table_.get());
    });
    p.Run(false);
    if (!result) return CannedFromRows(columns, p.Rows());
    const std::vector<std::uint32_t>& order = p.ImageOrder();
    const std::size_t count = p.ImageCount();
    if (!InMemory(columns, count) && !q_.into_memory &&
        !s_.Database().Session().PrivateDirectory().empty()) {
      // Too many rows to keep in memory: a table of the same columns (and so
      // the same record layout) in the private directory takes them.
      result.reset();
      recycled = false;
      result = std::unique_ptr<TQueryResult>(new TQueryResult());
      CreateResultTable(*result, columns, count);
    }
    TDataTable& table = *result->own_table_;
    table.SetBulkLoad(true);
    std::vector<std::uint8_t> sorted;
    const std::uint8_t* images = p.Image(0);
    if (p.Ordered()) {
      const std::size_t rs = static_cast<std::size_t>(table.Data().RecordSize());
      sorted.resize(count * rs);
      for (std::size_t i = 0; i < count; ++i)
        std::memcpy(sorted.data() + i * rs, p.Image(order[i]), rs);
      images = sorted.data();
    }
    // The spare of as many rows as before (a prepared statement run again)
    // takes the new ones in place; else it is emptied and refilled.
    if (!recycled || !table.ReplaceRecords(images, count)) {
      if (recycled) table.Empty();  // without writing: a bulk load
      table.AppendRecords(images, count);
    }
    table.SetBulkLoad(false);
    return OpenCanned(std::move(result), columns);
  }

  // The output columns as a result table's columns (names and shapes).
  static std::vector<TOutColumn> OutputShapes(const std::vector<TOutColumn>& out) {
    std::vector<TOutColumn> columns = out;
    for (auto& c : columns) {
      c.tree = nullptr;
      c.direct = nullptr;
      c.blobs = nullptr;
    }
    return columns;
  }

  std::unique_ptr<TQueryResult> CannedFromRows(const std::vector<TOutColumn>& columns,
                                               std::vector<TResultRow>& rows) {
    std::unique_ptr<TQueryResult> result = Recycled(columns, rows.size());
    if (!result) {
      result = std::unique_ptr<TQueryResult>(new TQueryResult());
      CreateResultTable(*result, columns, rows.size());
    }
    TDataTable& table = *result->own_table_;
    TDataFile& data = table.Data();
    // The rows become record images side by side (each row's values freed
    // as it is stored), then go into the table in one append.
    const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
    std::vector<std::uint8_t> images(rows.size() * rs, 0);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      std::uint8_t* rec = images.data() + r * rs;
      for (std::size_t i = 0; i < columns.size(); ++i)
        StoreFieldValue(table, data.Field(static_cast<int>(i) + 1), rec, rows[r][i]);
      TResultRow().swap(rows[r]);
    }
    table.SetBulkLoad(true);
    table.AppendRecords(images.data(), rows.size());
    table.SetBulkLoad(false);
    return OpenCanned(std::move(result), columns);
  }

  // Flushes a filled result table (unless only its own cursor will read it)
  // and opens its cursor on the first row.
  std::unique_ptr<TQueryResult> OpenCanned(std::unique_ptr<TQueryResult> result,
                                           const std::vector<TOutColumn>& columns) {
    TDataTable& table = *result->own_table_;
    TDataFile& data = table.Data();
    // A generated result in memory is read by its own cursor only, through
    // the table's caches, and discarded on close: writing its files back
    // would serve no reader.
    if (!(result->generated_ && q_.into_name.empty() && table.Directory().empty())) table.Flush();
    result->columns_.clear();
    for (std::size_t i = 0; i < columns.size(); ++i)
      result->columns_.push_back({data.Field(static_cast<int>(i) + 1).Name(), columns[i].shape,
                                  static_cast<int>(i) + 1, nullptr});
    result->cursor_ = std::make_unique<TDataCursor>(table);
    result->cursor_->Open(true);
    result->cursor_->First();
    result->live_ = false;
    q_.rows_affected = result->cursor_->RecordCount();
    return result;
  }

  // The statement's previous result when its table is generated, in memory,
  // of the same column shapes and names, and may hold the new rows there;
  // emptied for refilling. Null otherwise (the spare is then closed).
  // `empty` false: the caller empties it (or puts the new rows in place).
  std::unique_ptr<TQueryResult> Recycled(const std::vector<TOutColumn>& columns, std::size_t rows,
                                         bool empty = true) {
    std::unique_ptr<TQueryResult> spare = s_.TakeSpareResult();
    if (!spare || !spare->generated_ || !spare->own_table_ || !q_.into_name.empty() ||
        !q_.encrypted_password.empty() || !InMemory(columns, rows))
      return nullptr;
    TDataTable& t = *spare->own_table_;
    if (!t.Directory().empty() || t.Data().FieldCount() != static_cast<int>(columns.size()))
      return nullptr;
    std::vector<std::string> names;
    for (const auto& c : columns)
      names.push_back(c.name);
    const std::vector<std::string> field_names = FieldNames(names);
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const TFieldDescriptor& f = t.Data().Field(static_cast<int>(i) + 1);
      const TValueShape& b = columns[i].shape;
      const std::uint8_t subtype = b.subtype == kSubtypeAutoInc ? std::uint8_t{0} : b.subtype;
      const int length = HasDeclaredLength(b.type) ? std::max<int>(1, b.length) : 0;
      if (f.Type() != b.type || f.Subtype() != subtype ||
          (HasDeclaredLength(b.type) && f.Length() != length) ||
          (b.type == kFieldBcd && f.Scale() != b.scale) || f.Name() != field_names[i])
        return nullptr;
    }
    spare->cursor_->Close();
    spare->cursor_.reset();
    if (!empty) return spare;
    // Emptied without writing: the filling that follows is a bulk load too.
    t.SetBulkLoad(true);
    t.Empty();
    t.SetBulkLoad(false);
    return spare;
  }

  // Results whose records take up to this many bytes are kept in memory
  // even when the session has a private directory: writing, reading back and
  // deleting files would cost more than the memory, which production has
  // held for the rows anyway. Larger ones go to files there.
  static constexpr std::size_t kMemoryResultBytes = std::size_t{64} << 20;

  // Whether `rows` rows of these columns stay within kMemoryResultBytes.
  static bool InMemory(const std::vector<TOutColumn>& columns, std::size_t rows) {
    std::size_t record = kRecordHeaderSize;
    for (const auto& c : columns)
      record += static_cast<std::size_t>(std::max(0, StorageSize(c.shape.type,
                                                                 std::max<int>(1, c.shape.length)))) +
                1;
    return rows <= kMemoryResultBytes / record;
  }

  void CreateResultTable(TQueryResult& result, const std::vector<TOutColumn>& columns,
                         std::size_t rows) {
    std::vector<std::string> names;
    for (const auto& c : columns)
      names.push_back(c.name);
    const std::vector<std::string> field_names = FieldNames(names);
    std::vector<TFieldDefinition> defs;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      TFieldDefinition d;
      d.name = field_names[i];
      d.type = columns[i].shape.type;
      d.subtype = columns[i].shape.subtype == kSubtypeAutoInc ? std::uint8_t{kSubtypeNone}
                                                              : columns[i].shape.subtype;
      d.length = HasDeclaredLength(d.type) ? std::max<int>(1, columns[i].shape.length) : 0;
      d.scale = d.type == kFieldBcd ? columns[i].shape.scale : 0;
      defs.push_back(d);
    }
    TTableOptions options;
    TDataDirectory& db = s_.Database();
    if (q_.into_locale) {
      options.locale_language = static_cast<std::uint16_t>(*q_.into_locale & 0xffff);
      options.locale_sort = static_cast<std::uint16_t>(*q_.into_locale >> 16);
    }
    if (!q_.encrypted_password.empty()) {
      options.encrypted = true;
      options.password = q_.encrypted_password;
    }
    std::string directory;
    std::string name = q_.into_name;
    bool memory = q_.into_memory;
    bool generated = name.empty();
    if (generated) {
      name = "~result" + std::to_string(++result_serial);
      const std::string& priv = db.Session().PrivateDirectory();
      if (!memory && (priv.empty() || InMemory(columns, rows))) memory = true;
      if (!memory) directory = priv;
    } else if (!memory) {
      const std::size_t slash = name.find_last_of("\\/");
      if (slash != std::string::npos) {
        directory = name.substr(0, slash + 1);
        name = name.substr(slash + 1);
      } else {
        directory = db.IsMemory() ? std::string() : db.Path();
        memory = db.IsMemory();
      }
    }
    result.own_table_ =
        std::make_unique<TDataTable>(directory, name, db.Session().StorageSettings(), memory);
    result.own_table_->Create(defs, options, TIndexCreateOptions{true});
    result.generated_ = generated || memory;
  }

  TQueryStatement& s_;
  TDataQuery& q_;
};

}  // namespace kura

namespace kura {

std::unique_ptr<TQueryResult> ExecuteSelect(TQueryStatement& statement, TDataQuery& query) {
  return TSelectExecution(statement, query).Run();
}

// ---- TQueryResult ----

TQueryResult::~TQueryResult() {
  try {
    if (cursor_) cursor_->Close();
  } catch (...) {
  }
  cursor_.reset();
  if (shared_ && directory_) {
    try {
      directory_->CloseTable(*shared_);
    } catch (...) {
    }
  }
  if (own_table_) {
    try {
      own_table_->Close(generated_);
      if (generated_) own_table_->Delete();
    } catch (...) {
      // A result table that cannot be removed is left behind; nothing of
      // the source tables depends on it.
    }
  }
}

TExpValue TQueryResult::Value(int position, const std::uint8_t* record) const {
  const TResultColumn& c = Column(position);
  TDataTable& table = cursor_->Table();
  if (c.expression) return evaluator_->Evaluate(*c.expression, record);
  return ReadFieldValue(table.Data(), table.Data().Field(c.field), record, table.Blobs());
}

std::string TQueryResult::TableName() const {
  return cursor_->Table().Name();
}

}  // namespace kura
