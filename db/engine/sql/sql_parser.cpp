// The SQL grammar, parsed by hand on the expression parser's tokenizer.
// Keywords are words compared ignoring case at the places the grammar asks
// for them; there is no reserved-word table. Every failure is 11949 with the
// detail text; texts ending in "instead found '" get the token and "'".
#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <string_view>

#include "db/engine/sql/query_statement.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "db/storage/language_table.h"

namespace kura {
namespace {

constexpr int kMaxNesting = 32;  // sub-selects and UNION parts of one statement

constexpr std::array<std::string_view, 15> kNotCorrelation = {
    "LEFT", "RIGHT", "INNER", "JOIN",      "WHERE",    "ORDER",          "GROUP", "HAVING",
    "TOP",  "RANGE", "WITH",  "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "UNION"};

struct TTypeKeyword {
  std::string_view name;
  std::uint8_t type, subtype;
};
constexpr std::array<TTypeKeyword, 28> kTypeKeywords = {{
    {"SMALLINT", kFieldSmallInt, 0},
    {"WORD", kFieldWord, 0},
    {"INTEGER", kFieldInteger, 0},
    {"INT", kFieldInteger, 0},
    {"LARGEINT", kFieldLargeInt, 0},
    {"AUTOINC", kFieldInteger, kSubtypeAutoInc},
    {"DECIMAL", kFieldBcd, 0},
    {"NUMERIC", kFieldBcd, 0},
    {"FLOAT", kFieldFloat, 0},
    {"MONEY", kFieldFloat, kSubtypeMoney},
    {"CHARACTER", kFieldString, 0},
    {"CHAR", kFieldString, 0},
    {"VARCHAR", kFieldString, 0},
    {"BYTES", kFieldBytes, 0},
    {"VARBYTES", kFieldVarBytes, 0},
    {"BINARY", kFieldBytes, 0},
    {"VARBINARY", kFieldVarBytes, 0},
    {"DATE", kFieldDate, 0},
    {"TIME", kFieldTime, 0},
    {"TIMESTAMP", kFieldTimestamp, 0},
    {"BOOLEAN", kFieldBoolean, 0},
    {"BOOL", kFieldBoolean, 0},
    {"BIT", kFieldBoolean, 0},
    {"BLOB", kFieldBlob, kSubtypeBinary},
    {"LONGVARBINARY", kFieldBlob, kSubtypeBinary},
    {"LONGVARCHAR", kFieldBlob, kSubtypeMemo},
    {"MEMO", kFieldBlob, kSubtypeMemo},
    {"GRAPHIC", kFieldBlob, kSubtypeGraphic},
}};

class TSqlParser {
 public:
  TSqlParser(TQueryStatement& s, TExpressionParser& p) : s_(s), p_(p) {}

  TDataQuery& Statement() {
    p_.SetContextName("SQL statement");
    if (p_.IsToken('(')) return ParenthesizedSelect();
    if (Is("SELECT")) return Finish(Select(false, false));
    if (Is("INSERT")) return Finish(Insert());
    if (Is("UPDATE")) return Finish(Update());
    if (Is("DELETE")) return Finish(Delete());
    if (Is("CREATE")) return Finish(Create());
    if (Is("ALTER")) return Finish(Alter());
    if (Is("DROP")) return Finish(Drop());
    if (Is("START")) return Finish(Start());
    if (Is("ROLLBACK") || Is("COMMIT")) return Finish(EndTransaction());
    FailFound(
        "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
  }

 private:
  // ---- helpers ----
  bool Is(std::string_view w) const { return p_.IsToken(kTokWord) && p_.IsKeyword(w); }
  bool Take(std::string_view w) {
    if (!Is(w)) return false;
    p_.NextToken();
    return true;
  }
  bool IsName() const {
    return p_.IsToken(kTokWord) || p_.IsToken(kTokQuotedName) || p_.IsToken(kTokBracketName);
  }
  [[noreturn]] void Fail(const std::string& detail) const { p_.Context().Fail(detail); }
  [[noreturn]] void FailFound(const std::string& prefix) const {
    Fail(prefix + p_.TokenText() + "'");
  }
  void Expect(std::string_view w, const std::string& message) {
    if (!Take(w)) FailFound(message);
  }
  // A punctuation token that must stand here, such as '(' or ')'.
  void ExpectToken(std::uint8_t token, const std::string& message) {
    if (!p_.IsToken(token)) FailFound(message);
    p_.NextToken();
  }
  // item [, item]...: `item` reads one element; after each comma it is
  // called again, and the list ends at the first element without one.
  template <class F>
  void CommaList(F item) {
    for (;;) {
      item();
      if (!p_.IsToken(',')) break;
      p_.NextToken();
    }
  }
  // DESC or DESCENDING gives true; otherwise an ASC or ASCENDING is skipped.
  bool Descending() {
    if (Take("DESC") || Take("DESCENDING")) return true;
    if (!Take("ASC")) Take("ASCENDING");
    return false;
  }
  std::string Name(const std::string& message) {
    if (!IsName()) FailFound(message);
    std::string n = p_.TokenText();
    p_.NextToken();
    return n;
  }
  std::int32_t Integer(const std::string& message) {
    if (!p_.IsToken(kTokInteger)) FailFound(message);
    const std::string t = p_.TokenText();
    std::int32_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size()) FailFound(message);
    p_.NextToken();
    return v;
  }
  std::string StringConstant(const std::string& message) {
    if (!p_.IsToken(kTokString)) FailFound(message);
    std::string t = p_.TokenText();
    p_.NextToken();
    return t;
  }
  std::unique_ptr<TExpToken> Expression(const char* context, int flags) {
    p_.SetContextName(context);
    auto tree = p_.ParseExpression(flags);
    p_.SetContextName("SQL statement");
    return tree;
  }

  TDataQuery& Finish(TDataQuery& q) {
    if (p_.IsToken(';')) {
      p_.NextToken();
      return q;
    }
    if (!p_.IsToken(kTokEnd))
      Fail("End of " + StatementKindName(q.kind) + " statement expected, " + "instead found " +
           "'" + p_.TokenText() + "'");
    return q;
  }

  TDataQuery& ParenthesizedSelect() {
    p_.NextToken();
    if (!Is("SELECT")) FailFound("SELECT keyword expected, instead found '");
    TDataQuery& q = Select(false, false);
    q.began_with_paren = true;
    ExpectToken(')', "Right parentheses expected after SELECT statement, instead found '");
    return Finish(q);
  }

  // ---- SELECT ----

  TDataQuery& Select(bool sub_select, bool union_part) {
    if (++depth_ > kMaxNesting)
      Fail("Too many nested sub-select or UNION queries (at most " + std::to_string(kMaxNesting) +
           ")");
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtSelect;
    q.is_sub_select = sub_select;
    q.request_live = s_.RequestLive();
    q.row_limit = s_.RowLimit();
    p_.NextToken();  // SELECT
    Take("ALL");
    if (Take("DISTINCT")) q.distinct = true;
    SelectList(q);
    if (Is("INTO")) {
      if (sub_select || union_part) Fail("The INTO clause can only be used with the master query");
      p_.NextToken();
      Into(q);
    }
    Expect("FROM", "FROM keyword expected, instead found '");
    const bool insert_source = insert_source_;
    insert_source_ = false;
    Sources(q, "Table name expected after FROM keyword, instead found '", insert_source);
    SelectTail(q, sub_select, union_part);
    --depth_;
    return q;
  }

  void SelectList(TDataQuery& q) {
    CommaList([&] { q.columns.push_back(SelectItem(q)); });
    q.select_all =
        q.columns.size() == 1 && q.columns[0].all_columns && q.columns[0].correlation.empty();
  }

  TResultField SelectItem(TDataQuery& q) {
    TResultField f;
    f.tree = Expression("source column expression",
                        kAllowAggregates | kAllowAllColumns | kAllowPredicates);
    f.text = p_.ExpressionText();
    const TExpToken& t = *f.tree;
    if (t.kind == kNodeColumn) {
      f.name = t.column;
      f.correlation = t.correlation;
      f.all_columns = t.column == "*";
    } else {
      f.is_expression = true;
      q.has_expressions = true;
      f.name = f.text;
    }
    CheckAggregates(t, true);
    if (IsAggregate(t.code) && t.kind == kNodeFunction) {
      f.aggregate = AggregateKind(t.code);
      f.aggregate_distinct = t.distinct;
      q.grouped = true;
    }
    if (f.all_columns) {
      // "*" takes no column name.
    } else if (Take("AS")) {
      f.name = Name("Symbol or string expected after AS keyword, instead found '");
      AliasTail(f);
    } else if (IsName() && !Is("INTO") && !Is("FROM")) {
      f.name = p_.TokenText();
      p_.NextToken();
      AliasTail(f);
    }
    return f;
  }

  void AliasTail(TResultField& f) {
    if (!p_.IsToken('.')) return;
    p_.NextToken();
    f.name = Name("Symbol or string expected after table correlation name, instead found '");
  }

  static std::uint8_t AggregateKind(std::uint8_t code) {
    switch (code) {
      case kAggSum:
        return kAggKindSum;
      case kAggRunSum:
        return kAggKindRunSum;
      case kAggMin:
        return kAggKindMin;
      case kAggMax:
        return kAggKindMax;
      case kAggAvg:
        return kAggKindAvg;
      default:
        return kAggKindCount;
    }
  }

  // An aggregate must be a whole select-list item.
  void CheckAggregates(const TExpToken& n, bool root) const {
    const bool agg = n.kind == kNodeFunction && IsAggregate(n.code);
    if (agg && !root) Fail("Aggregate functions cannot be used within expressions");
    if (agg) {
      for (const auto& o : n.operands)
        if (ContainsAggregate(*o)) Fail("Aggregate functions cannot be nested");
      return;
    }
    if (n.left) CheckAggregates(*n.left, false);
    if (n.right) CheckAggregates(*n.right, false);
    for (const auto& o : n.operands)
      CheckAggregates(*o, false);
  }
  static bool ContainsAggregate(const TExpToken& n) {
    if (n.kind == kNodeFunction && IsAggregate(n.code)) return true;
    if (n.left && ContainsAggregate(*n.left)) return true;
    if (n.right && ContainsAggregate(*n.right)) return true;
    for (const auto& o : n.operands)
      if (ContainsAggregate(*o)) return true;
    return false;
  }

  void Into(TDataQuery& q) {
    q.has_into = true;
    if (Take("MEMORY")) q.into_memory = true;
    if (IsName() && !Is("FROM")) {
      q.into_name = p_.TokenText();
      p_.NextToken();
      if (p_.IsToken('\\')) {
        p_.NextToken();
        q.into_name += "\\" + Name("Result table name expected in INTO clause, instead found '");
      }
    } else if (!q.into_memory) {
      FailFound("Result table name expected in INTO clause, instead found '");
    }
    if (q.into_name.size() > 255)
      Fail("Result table name expected in INTO clause, instead found '" + q.into_name + "'");
  }

  // FROM list with joins; `from_message` is the missing-table text.
  void Sources(TDataQuery& q, const std::string& from_message, bool insert_source) {
    Source(q, from_message, insert_source, kJoinNone);
    for (;;) {
      if (p_.IsToken(',')) {
        p_.NextToken();
        Source(q, from_message, insert_source, kJoinNone);
        continue;
      }
      const std::uint8_t kind = JoinKind();
      if (kind == kJoinNone) break;
      JoinedSource(q, insert_source, kind);
    }
    q.multiple_tables = q.sources.size() > 1;
  }

  // INNER JOIN, JOIN, LEFT [OUTER] JOIN or RIGHT [OUTER] JOIN as its join
  // kind; kJoinNone, with nothing read, where none of them stands.
  std::uint8_t JoinKind() {
    if (Take("INNER")) {
      Expect("JOIN", "JOIN keyword expected after INNER keyword, instead found '");
      return kJoinInner;
    }
    if (Take("JOIN")) return kJoinInner;
    if (Take("LEFT")) {
      Take("OUTER");
      Expect("JOIN", "JOIN keyword expected after LEFT or OUTER keyword, instead found '");
      return kJoinLeft;
    }
    if (Take("RIGHT")) {
      Take("OUTER");
      Expect("JOIN", "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
      return kJoinRight;
    }
    return kJoinNone;
  }

  // The table after the join keywords, and its ON condition.
  void JoinedSource(TDataQuery& q, bool insert_source, std::uint8_t kind) {
    Source(q, "Table name expected after JOIN keyword, instead found '", insert_source, kind);
    Expect("ON", "ON keyword expected in JOIN clause, instead found '");
    q.sources.back().join.condition = Expression("JOIN clause", kAllowPredicates | kAllowParams);
  }

  void Source(TDataQuery& q, const std::string& message, bool insert_source, std::uint8_t join) {
    TSourceTable t;
    t.in_memory = Take("MEMORY");
    t.name = Name(message);
    if (p_.IsToken('\\')) {
      p_.NextToken();
      t.database = t.name;
      t.name = Name(message);
    }
    if (t.name.size() > 255) Fail(message + t.name + "'");
    t.correlation = DefaultCorrelation(t.name);
    if (Take("AS")) {
      t.correlation = Name("Symbol or string expected after AS keyword, instead found '");
    } else if (IsName() && !ExcludedCorrelation(insert_source)) {
      t.correlation = p_.TokenText();
      p_.NextToken();
    }
    t.position = static_cast<int>(q.sources.size()) + 1;
    t.join.kind = join;
    q.sources.push_back(std::move(t));
  }

  bool ExcludedCorrelation(bool insert_source) const {
    if (!p_.IsToken(kTokWord)) return false;
    for (std::string_view w : kNotCorrelation)
      if (p_.IsKeyword(w)) return true;
    if (insert_source && (p_.IsKeyword("NOAUTOINC") || p_.IsKeyword("COMMIT"))) return true;
    // UPDATE t SET ...: SET is never the table's correlation name.
    return p_.IsKeyword("SET") || p_.IsKeyword("FULL") || p_.IsKeyword("ON");
  }

  static std::string DefaultCorrelation(const std::string& name) {
    std::string n = name;
    const std::size_t slash = n.find_last_of("\\/");
    if (slash != std::string::npos) n = n.substr(slash + 1);
    const std::size_t dot = n.rfind('.');
    if (dot != std::string::npos && dot > 0) n = n.substr(0, dot);
    return n;
  }

  void SelectTail(TDataQuery& q, bool sub_select, bool union_part) {
    if (Take("WHERE")) {
      q.has_where = true;
      q.where = EnclosedWhere(q);
    }
    if (Take("GROUP")) {
      Expect("BY", "BY keyword expected after GROUP keyword, instead found '");
      CommaList([&] {
        TGroupByField g;
        ColumnItem("Column name or column number expected in GROUP BY clause, instead found '",
                   &g.name, &g.correlation, &g.number);
        q.group_by.push_back(std::move(g));
      });
      q.grouped = true;
    }
    if (Take("HAVING")) {
      q.has_having = true;
      q.having = Expression("HAVING clause", kAllowAggregates);
    }
    if (Is("ORDER")) {
      if (union_part) Fail("You cannot use an ORDER BY clause within a UNIONed query");
      if (sub_select) Fail("You cannot use an ORDER BY clause within a sub-select query");
      p_.NextToken();
      Expect("BY", "BY keyword expected after ORDER keyword, instead found '");
      CommaList([&] {
        TOrderByField o;
        ColumnItem("Column name or column number expected in ORDER BY clause, instead found '",
                   &o.name, &o.correlation, &o.number);
        o.descending = Descending();
        q.order_by.push_back(std::move(o));
      });
      q.has_order_by = true;
      if (Take("NOCASE")) q.order_nocase = true;
    }
    TrailingOptions(q);
    if (Is("UNION")) {
      if (q.has_order_by) Fail("You cannot use an ORDER BY clause within a UNIONed query");
      p_.NextToken();
      q.has_union = true;
      q.union_all = Take("ALL");
      if (!Is("SELECT")) FailFound("SELECT keyword expected, instead found '");
      q.union_next = &Select(sub_select, true);
    }
    if (!sub_select && !union_part) Checks(q);
  }

  void ColumnItem(const std::string& message, std::string* name, std::string* correlation,
                  int* number) {
    if (p_.IsToken(kTokInteger)) {
      const std::string t = p_.TokenText();
      int v = 0;
      auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
      if (ec != std::errc() || end != t.data() + t.size() || v < 1) v = 0x7fffffff;
      *number = v;
      p_.NextToken();
      return;
    }
    if (!IsName()) FailFound(message);
    *name = p_.TokenText();
    p_.NextToken();
    if (p_.IsToken('.')) {
      p_.NextToken();
      *correlation = *name;
      *name = Name(message);
    }
  }

  void TrailingOptions(TDataQuery& q) {
    if (Take("TOP")) q.top = Integer("Integer value expected after TOP keyword, instead found '");
    if (Take("WITH")) {
      Expect("LOCKS", "LOCKS keyword expected after WITH keyword, instead found '");
      q.with_locks = true;
    }
    if (Take("LANGUAGE")) {
      std::uint16_t language = 0, sort = 0;
      Locale(&language, &sort);
      q.into_locale = language | static_cast<std::uint32_t>(sort) << 16;
    }
    if (Take("ENCRYPTED")) {
      Expect("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
      q.encrypted_password =
          StringConstant("Password expected after WITH keyword, instead found '");
    }
    if (Take("NOJOINOPTIMIZE")) q.no_join_optimize = true;
  }

  // LANGUAGE 'name' [SORT 'name'], LANGUAGE already read.
  void Locale(std::uint16_t* language, std::uint16_t* sort) {
    const std::string name =
        StringConstant("String constant expected after LANGUAGE keyword, instead found '");
    const auto row = FindLanguage(name);
    if (!row)
      Fail("Invalid language constant '" + name + "'" + " specified after LANGUAGE keyword");
    *language = LanguageTable()[static_cast<std::size_t>(*row)].language_id;
    if (Take("SORT")) {
      const std::string s =
          StringConstant("String constant expected after SORT keyword, instead found '");
      const auto id = FindSortOrder(*row, s);
      if (!id) Fail("Invalid sort constant '" + s + "'" + " specified after SORT keyword");
      *sort = static_cast<std::uint16_t>(*id);
    }
  }

  // The checks that need no table.
  void Checks(TDataQuery& q) {
    for (TDataQuery* part = &q; part; part = part->union_next) {
      if (part->has_having && part->group_by.empty())
        Fail("A GROUP BY clause must exist in order to use the HAVING clause");
      if (part->grouped) part->distinct = false;
      for (std::size_t i = 0; i < part->sources.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
          if (SameName(part->sources[i].correlation, part->sources[j].correlation))
            Fail("Duplicate table correlation name '" + part->sources[i].correlation + "'" +
                 " found in source tables");
      if (part->where) CheckCorrelations(*part, *part->where);
    }
  }

  // A WHERE clause whose sub-selects may refer to the columns of `q` (and
  // of the queries around it) by their correlation names.
  std::unique_ptr<TExpToken> EnclosedWhere(TDataQuery& q) {
    enclosing_.push_back(&q);
    struct TPop {
      std::vector<const TDataQuery*>& v;
      ~TPop() { v.pop_back(); }
    } pop{enclosing_};
    return Expression("WHERE clause", kAllowPredicates | kAllowParams | kAllowSubSelects);
  }

  void CheckCorrelations(const TDataQuery& q, const TExpToken& n) const {
    if (n.kind == kNodeColumn && !n.correlation.empty()) {
      bool found = false;
      for (const auto& s : q.sources)
        found = found || SameName(s.correlation, n.correlation);
      // A sub-select may name the tables of the queries around it.
      for (const TDataQuery* e : enclosing_)
        if (e != &q)
          for (const auto& s : e->sources)
            found = found || SameName(s.correlation, n.correlation);
      if (!found)
        Fail("Table correlation name '" + n.correlation + "'" +
             " referenced in WHERE clause is not defined in the FROM clause");
    }
    if (n.left) CheckCorrelations(q, *n.left);
    if (n.right) CheckCorrelations(q, *n.right);
    for (const auto& o : n.operands)
      CheckCorrelations(q, *o);
  }

  static bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::toupper(static_cast<unsigned char>(x)) ==
                    std::toupper(static_cast<unsigned char>(y));
           });
  }

  // ---- INSERT, UPDATE, DELETE ----

  void TargetTable(TDataQuery& q, const std::string& message) {
    q.table_in_memory = Take("MEMORY");
    q.table_name = Name(message);
    if (p_.IsToken('\\')) {
      p_.NextToken();
      q.table_name += "\\" + Name(message);
    }
    TSourceTable t;
    t.name = q.table_name;
    t.in_memory = q.table_in_memory;
    t.correlation = DefaultCorrelation(q.table_name);
    t.position = 1;
    q.sources.push_back(std::move(t));
  }

  void CommitOptions(TDataQuery& q) {
    if (!Take("COMMIT")) return;
    q.commit_given = true;
    bool any = false;
    if (Take("INTERVAL")) {
      q.commit_interval = Integer("Integer value expected after INTERVAL keyword, instead found '");
      any = true;
    }
    if (Take("FLUSH")) {
      q.commit_flush = true;
      any = true;
    }
    if (!any)
      FailFound("INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
  }

  TDataQuery& Insert() {
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtInsert;
    p_.NextToken();
    Expect("INTO", "INTO keyword expected, instead found '");
    TargetTable(q, "Table name expected after INTO keyword, instead found '");
    if (p_.IsToken('(')) {
      p_.NextToken();
      CommaList([&] {
        q.update_fields.push_back(
            {Name("Right parentheses expected after list of table columns, instead found '")});
      });
      ExpectToken(')', "Right parentheses expected after list of table columns, instead found '");
    }
    if (Take("VALUES")) {
      ExpectToken('(', "Left parentheses expected after VALUES keyword, instead found '");
      CommaList([&] { UpdateValue(q); });
      ExpectToken(')', "Right parentheses expected after list of values, instead found '");
    } else if (Is("SELECT")) {
      insert_source_ = true;
      q.insert_select = &Select(true, false);
      insert_source_ = false;
      q.insert_select->is_sub_select = false;
      Checks(*q.insert_select);
    } else {
      FailFound("VALUES or SELECT  keyword expected, instead found '");
    }
    if (Take("NOAUTOINC")) q.no_auto_inc = true;
    CommitOptions(q);
    return q;
  }

  // One value of INSERT's VALUES list or of UPDATE's SET clause, with its text.
  void UpdateValue(TDataQuery& q) {
    TUpdateValue v;
    v.tree = Expression("SQL statement", kAllowPredicates | kAllowParams);
    v.text = p_.ExpressionText();
    q.update_values.push_back(std::move(v));
  }

  TDataQuery& Update() {
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtUpdate;
    p_.NextToken();
    TargetTable(q, "Table name expected, instead found '");
    TargetCorrelation(q);
    Expect("SET", "SET keyword expected, instead found '");
    CommaList([&] {
      q.update_fields.push_back({Name("Column name expected in SET clause, instead found '")});
      ExpectToken('=', "Assignment (=) operator expected after column name, instead found '");
      UpdateValue(q);
    });
    if (Take("FROM")) {
      TDataQuery tmp;
      Sources(tmp, "Table name expected after FROM keyword, instead found '", false);
      for (auto& t : tmp.sources) {
        t.position = static_cast<int>(q.sources.size()) + 1;
        q.sources.push_back(std::move(t));
      }
      q.multiple_tables = q.sources.size() > 1;
    }
    WhereAndOptions(q, true);
    return q;
  }

  TDataQuery& Delete() {
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtDelete;
    p_.NextToken();
    Expect("FROM", "FROM keyword expected, instead found '");
    TargetTable(q, "Table name expected after FROM keyword, instead found '");
    TargetCorrelation(q);
    // Further sources and joins as in SELECT.
    while (p_.IsToken(',') || Is("INNER") || Is("JOIN") || Is("LEFT") || Is("RIGHT")) {
      if (p_.IsToken(',')) p_.NextToken();
      const std::uint8_t kind = JoinKind();
      if (kind == kJoinNone)
        Source(q, "Table name expected after FROM keyword, instead found '", false, kJoinNone);
      else
        JoinedSource(q, false, kind);
    }
    q.multiple_tables = q.sources.size() > 1;
    WhereAndOptions(q, false);
    return q;
  }

  void TargetCorrelation(TDataQuery& q) {
    TSourceTable& t = q.sources.back();
    if (Take("AS"))
      t.correlation = Name("Symbol or string expected after AS keyword, instead found '");
    else if (IsName() && !ExcludedCorrelation(true) && !Is("WHERE"))
      t.correlation = Name("Table name expected, instead found '");
  }

  void WhereAndOptions(TDataQuery& q, bool update) {
    if (Take("WHERE")) {
      q.has_where = true;
      q.where = EnclosedWhere(q);
    }
    if (update && Take("NOAUTOINC")) q.no_auto_inc = true;
    CommitOptions(q);
    if (Take("NOJOINOPTIMIZE")) q.no_join_optimize = true;
    Checks(q);
  }

  // ---- transactions ----

  TDataQuery& Start() {
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtStartTransaction;
    p_.NextToken();
    Expect("TRANSACTION", "TRANSACTION keyword expected after START keyword, instead found '");
    return q;
  }

  TDataQuery& EndTransaction() {
    TDataQuery& q = s_.NewQuery();
    q.kind = Is("COMMIT") ? kStmtCommit : kStmtRollback;
    p_.NextToken();
    Take("WORK");
    if (q.kind == kStmtCommit && Take("FLUSH")) q.commit_flush = true;
    return q;
  }

  // ---- DDL ----

  TDataQuery& Create() {
    p_.NextToken();
    if (Is("TABLE")) return CreateTable();
    TCreateIndex index;
    for (;;) {
      if (Take("UNIQUE"))
        index.unique = true;
      else if (Take("NOCASE"))
        index.nocase = true;
      else if (Take("DESC") || Take("DESCENDING"))
        index.descending = true;
      else if (!(Take("ASC") || Take("ASCENDING")))
        break;
    }
    if (!Is("INDEX"))
      FailFound("TABLE or INDEX keyword expected after CREATE keyword, instead found '");
    p_.NextToken();
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtCreateIndex;
    IfNotExists(q);
    index.name = Name("Index name expected, instead found '");
    Expect("ON", "ON keyword expected after index name, instead found '");
    q.table_in_memory = Take("MEMORY");
    index.table = q.table_name = Name("Table name expected after ON keyword, instead found '");
    IndexFields(index, "Left parentheses expected after table name, instead found '");
    index.compression = Compression();
    q.create_indexes.push_back(std::move(index));
    return q;
  }

  void IfNotExists(TDataQuery& q) {
    if (!Take("IF")) return;
    Expect("NOT", "NOT keyword expected after IF keyword, instead found '");
    Expect("EXISTS", "EXISTS keyword expected after NOT keyword, instead found '");
    q.if_not_exists = true;
  }

  void IndexFields(TCreateIndex& index, const std::string& left_message) {
    ExpectToken('(', left_message);
    CommaList([&] {
      TCreateIndexField f;
      f.name = Name("Column name expected in list of index columns, instead found '");
      f.descending = Descending();
      index.fields.push_back(std::move(f));
    });
    ExpectToken(')', "Right parentheses expected after list of index columns, instead found '");
  }

  std::uint8_t Compression() {
    if (!Take("COMPRESS")) return kCompressNone;
    if (Take("NONE")) return kCompressNone;
    if (Take("DUPBYTE")) return kCompressDuplicate;
    if (Take("TRAILBYTE")) return kCompressTrailing;
    if (Take("FULL")) return kCompressFull;
    FailFound(
        "NONE, DUPBYTE, TRAILBYTE, or FULL keyword expected after COMPRESS keyword, instead found "
        "'");
  }

  TDataQuery& CreateTable() {
    p_.NextToken();
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtCreateTable;
    IfNotExists(q);
    q.table_in_memory = Take("MEMORY");
    q.table_name = Name("Table name expected after TABLE keyword, instead found '");
    ExpectToken('(', "Left parentheses expected after table name, instead found '");
    CommaList([&] { TableElement(q); });
    ExpectToken(')',
                "Right parentheses expected after list of column definitions, instead found '");
    TableOptions(q);
    return q;
  }

  // A column definition, or [CONSTRAINT name] PRIMARY KEY (columns).
  void TableElement(TDataQuery& q) {
    if (Take("CONSTRAINT")) {
      Name("Constraint name expected after CONSTRAINT keyword, instead found '");
      if (!Is("PRIMARY"))
        FailFound("PRIMARY keyword expected after constraint name, instead found '");
    }
    if (!Take("PRIMARY")) {
      q.create_fields.push_back(ColumnDefinition(false));
      return;
    }
    Expect("KEY", "KEY keyword expected after PRIMARY keyword, instead found '");
    if (!q.create_indexes.empty()) Fail("A primary key can only be defined once");
    TCreateIndex key;
    key.unique = true;
    IndexFields(key, "Left parentheses expected after KEY keyword, instead found '");
    key.compression = Compression();
    q.create_indexes.push_back(std::move(key));
  }

  TCreateField ColumnDefinition(bool alter_add) {
    TCreateField f;
    f.name = Name("Column name expected, instead found '");
    if (!p_.IsToken(kTokWord)) FailFound("Data type expected after column name, instead found '");
    f.type_name = p_.TokenText();
    const TTypeKeyword* type = nullptr;
    for (const auto& t : kTypeKeywords)
      if (p_.IsKeyword(t.name)) type = &t;
    if (!type) FailFound("Data type expected after column name, instead found '");
    f.type = type->type;
    f.subtype = type->subtype;
    p_.NextToken();
    if (p_.IsToken('(')) {
      p_.NextToken();
      f.length = Integer("Integer value expected for the size of the column, instead found '");
      if (p_.IsToken(',')) {
        p_.NextToken();
        f.scale = Integer("Integer value expected for the scale of the column, instead found '");
      }
      ExpectToken(')', "Right parentheses expected after column size, instead found '");
    }
    for (;;) {
      if (Take("NOT")) {
        Expect("NULL", "NULL keyword expected after NOT keyword, instead found '");
        f.not_null = true;
      } else if (Take("DEFAULT")) {
        f.default_value = ConstantText("DEFAULT");
      } else if (Take("MIN") || Take("MINIMUM")) {
        f.minimum = ConstantText("MINIMUM");
      } else if (Take("MAX") || Take("MAXIMUM")) {
        f.maximum = ConstantText("MAXIMUM");
      } else if (Take("CHARCASE")) {
        if (Take("UPPER"))
          f.char_case = 2;
        else if (Take("LOWER"))
          f.char_case = 1;
        else if (Take("NOCHANGE"))
          f.char_case = 0;
        else
          FailFound(
              "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
      } else if (Take("DESCRIPTION")) {
        f.description =
            StringConstant("String constant expected after DESCRIPTION keyword, instead found '");
      } else if (alter_add && Take("AT")) {
        f.at_column =
            std::to_string(Integer("Integer value expected after AT keyword, instead found '"));
      } else {
        break;
      }
    }
    return f;
  }

  // A constant of DEFAULT, MIN or MAX as the text the table stores.
  std::string ConstantText(const char* keyword) {
    std::string sign;
    if (p_.IsToken('-')) {
      sign = "-";
      p_.NextToken();
    }
    if (p_.IsToken(kTokInteger) || p_.IsToken(kTokFloat) ||
        (sign.empty() && (p_.IsToken(kTokString) || Is("TRUE") || Is("FALSE")))) {
      std::string t = p_.TokenText();
      if (Is("TRUE") || Is("FALSE"))
        for (char& c : t)
          c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      p_.NextToken();
      return sign + t;
    }
    FailFound(std::string("Constant value expected after ") + keyword +
              " keyword, instead found '");
  }

  void TableOptions(TDataQuery& q) {
    if (Take("DESCRIPTION"))
      q.table_description =
          StringConstant("String constant expected after DESCRIPTION keyword, instead found '");
    if (Take("LANGUAGE")) {
      Locale(&q.table_language, &q.table_sort);
      q.table_locale_given = true;
    }
    if (Take("ENCRYPTED")) {
      Expect("WITH", "WITH keyword expected after ENCRYPTED keyword, instead found '");
      q.table_password = StringConstant("Password expected after WITH keyword, instead found '");
    }
    if (Take("BLOB")) {
      Expect("BLOCK", "BLOCK keyword expected after BLOB keyword, instead found '");
      Expect("SIZE", "SIZE keyword expected after BLOCK keyword, instead found '");
      q.blob_block_size = Integer("Integer value expected after SIZE keyword, instead found '");
    }
  }

  TDataQuery& Alter() {
    p_.NextToken();
    Expect("TABLE", "TABLE keyword expected after ALTER keyword, instead found '");
    TDataQuery& q = s_.NewQuery();
    q.kind = kStmtAlterTable;
    q.table_in_memory = Take("MEMORY");
    q.table_name = Name("Table name expected after TABLE keyword, instead found '");
    CommaList([&] { q.alter_actions.push_back(AlterAction()); });
    return q;
  }

  TAlterAction AlterAction() {
    TAlterAction a;
    if (Take("ADD")) {
      Take("COLUMN");
      a.kind = TAlterAction::kAdd;
      a.field = ColumnDefinition(true);
    } else if (Take("DROP")) {
      Take("COLUMN");
      a.kind = TAlterAction::kDrop;
      a.column = Name("Column name expected, instead found '");
    } else if (Take("REDEFINE")) {
      Take("COLUMN");
      a.kind = TAlterAction::kRedefine;
      // REDEFINE name type ...: the column keeps its name and place.
      a.field = ColumnDefinition(false);
      a.column = a.field.name;
    } else {
      FailFound("ADD, DROP, or REDEFINE keyword expected, instead found '");
    }
    return a;
  }

  TDataQuery& Drop() {
    p_.NextToken();
    TDataQuery& q = s_.NewQuery();
    if (Take("TABLE")) {
      q.kind = kStmtDropTable;
      if (Take("IF")) {
        Expect("EXISTS", "EXISTS keyword expected after IF keyword, instead found '");
        q.if_exists = true;
      }
      q.table_in_memory = Take("MEMORY");
      q.table_name = Name("Table name expected after TABLE keyword, instead found '");
      return q;
    }
    if (!Take("INDEX"))
      FailFound("TABLE or INDEX keyword expected after DROP keyword, instead found '");
    q.kind = kStmtDropIndex;
    q.table_in_memory = Take("MEMORY");
    q.table_name = Name("Table name expected after INDEX keyword, instead found '");
    ExpectToken('.', "Period (.) expected after table name, instead found '");
    q.index_name = Name("Index name expected after table name, instead found '");
    return q;
  }

 public:
  // IN (SELECT ...) from the expression parser: SELECT is current, ")" is left current.
  void SubSelect(TExpToken& node) {
    TDataQuery& sub = Select(true, false);
    if (sub.columns.size() != 1 || sub.columns[0].all_columns)
      Fail("Only one column may be selected by a sub-select query");
    Checks(sub);
    s_.SetSubSelect(&node, &sub);
    if (!p_.IsToken(')'))
      FailFound("Right parentheses expected after sub-select query, instead found '");
  }

 private:
  TQueryStatement& s_;
  TExpressionParser& p_;
  int depth_ = 0;
  bool insert_source_ = false;
  std::vector<const TDataQuery*> enclosing_;  // queries whose WHERE is being parsed
};

}  // namespace

std::string StatementKindName(std::uint8_t kind) {
  static constexpr std::array<const char*, 13> kNames = {
      "UNKNOWN",           "SELECT",      "INSERT",     "UPDATE",       "DELETE",
      "CREATE TABLE",      "ALTER TABLE", "DROP TABLE", "CREATE INDEX", "DROP INDEX",
      "START TRANSACTION", "ROLLBACK",    "COMMIT"};
  return kind < kNames.size() ? kNames[kind] : "UNKNOWN";
}

TDataQuery& ParseStatement(TQueryStatement& statement, TExpressionParser& parser) {
  TSqlParser sql(statement, parser);
  parser.sub_select = [&sql](TExpressionParser&, TExpToken& node) { sql.SubSelect(node); };
  struct TReset {
    TExpressionParser& p;
    ~TReset() { p.sub_select = nullptr; }
  } reset{parser};
  return sql.Statement();
}

}  // namespace kura
