#include "tools/kura/sql_command.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <istream>
#include <ostream>
#include <stdexcept>

#include "db/common/code_page.h"
#include "db/engine/query/query_result.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/data/field_types.h"
#include "db/storage/engine_error.h"
#include "tools/kura/row_text.h"

namespace kura::tool {
namespace {

enum class TFormat { kTable, kTsv };

struct TSqlOptions {
  std::string dir;
  std::string command;
  bool has_command = false;
  TFormat format = TFormat::kTsv;
  bool format_given = false;
  std::vector<TExpValue> params;
};

struct TSqlUsage {
  std::string message;
};

// In the statement `utf8`, the number of the string literal (from 0) that
// holds byte `at`; -1 when `at` is outside every literal.
int LiteralAt(const std::string& utf8, std::size_t at) {
  int literals = 0;
  bool inside = false;
  for (std::size_t i = 0; i < utf8.size() && i <= at; ++i) {
    if (utf8[i] != '\'') continue;
    if (inside && i + 1 < utf8.size() && utf8[i + 1] == '\'') {
      ++i;  // a quote within the literal
      continue;
    }
    if (i == at) return -1;
    if (inside) ++literals;
    inside = !inside;
  }
  return inside ? literals : -1;
}

// Counts the string literals of `n` in the order they were written, down
// to the `target`-th; true when it is within n.
bool HoldsLiteral(const TExpToken& n, int target, int* seen) {
  if (n.left && HoldsLiteral(*n.left, target, seen)) return true;
  if (n.kind == kNodeConstant && !n.is_param && n.type == kFieldString &&
      !(n.text.size() > 1 && n.text[0] == '#') && (*seen)++ == target)
    return true;
  if (n.right && HoldsLiteral(*n.right, target, seen)) return true;
  for (const auto& o : n.operands)
    if (HoldsLiteral(*o, target, seen)) return true;
  return false;
}

// The column that the literal holding byte `at` of the statement is the
// value of, when it is a value of INSERT ... VALUES or UPDATE ... SET (the
// statement parsed with the characters CP932 lacks replaced); else "".
std::string ColumnOfValueAt(TDataDirectory& db, const std::string& utf8, std::size_t at) {
  const int literal = LiteralAt(utf8, at);
  if (literal < 0) return {};
  try {
    TQueryStatement statement(db);
    TExpressionParser parser(TExpressionContext{kErrSql, "", "SQL statement"});
    parser.SetText(Utf8ToCp932(utf8));
    parser.NextToken();
    const TDataQuery& q = ParseStatement(statement, parser);
    if (q.kind != kStmtInsert && q.kind != kStmtUpdate) return {};
    int seen = 0;
    for (std::size_t i = 0; i < q.update_values.size(); ++i) {
      if (!HoldsLiteral(*q.update_values[i].tree, literal, &seen)) continue;
      if (i < q.update_fields.size()) return "column '" + Cp932ToUtf8(q.update_fields[i].name) + "'";
      return "value " + std::to_string(i + 1);
    }
  } catch (const EKuraEngineError&) {
    // Not a statement the parser takes: the character alone is named.
  }
  return {};
}

// The CP932 text of `utf8`. A character CP932 lacks would be stored as "?",
// another text than the one given: it is refused, named (with the column
// whose value it is in, when `db` is given), and nothing runs.
std::string ExactCp932(const std::string& utf8, const std::string& what,
                       TDataDirectory* db = nullptr) {
  if (auto cp932 = Utf8ToCp932Exact(utf8)) return *cp932;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    const std::string character = utf8.substr(i, length);
    if (!Utf8ToCp932Exact(character)) {
      const std::string column = db ? ColumnOfValueAt(*db, utf8, i) : std::string();
      throw std::runtime_error(what + " holds '" + character + "', a character CP932 lacks" +
                               (column.empty() ? "" : ", in the value of " + column) +
                               "; nothing was run");
    }
    i += length;
  }
  throw std::runtime_error(what + " cannot be written in CP932; nothing was run");
}

TExpValue ParamValue(const std::string& text) {
  std::int64_t i = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
  if (ec == std::errc() && p == text.data() + text.size() && !text.empty())
    return TExpValue::Int(kFieldLargeInt, i);
  double d = 0;
  auto [q, ec2] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec2 == std::errc() && q == text.data() + text.size() && !text.empty() && std::isfinite(d))
    return TExpValue::Float(kFieldFloat, d);
  if (!IsValidUtf8(text)) throw TSqlUsage{"--param value is not UTF-8"};
  try {
    return TExpValue::Str(kFieldString, ExactCp932(text, "--param " + text));
  } catch (const std::runtime_error& e) {
    throw TSqlUsage{e.what()};
  }
}

TSqlOptions ParseOptions(const std::vector<std::string>& args) {
  TSqlOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw TSqlUsage{a + " needs a value"};
      return args[++i];
    };
    if (a == "-c") {
      o.command = value();
      o.has_command = true;
    } else if (a == "--format") {
      const std::string& f = value();
      if (f == "table")
        o.format = TFormat::kTable;
      else if (f == "tsv")
        o.format = TFormat::kTsv;
      else
        throw TSqlUsage{"unknown format: " + f};
      o.format_given = true;
    } else if (a == "--param") {
      o.params.push_back(ParamValue(value()));
    } else if (a.starts_with("-")) {
      throw TSqlUsage{"unknown option: " + a};
    } else if (o.dir.empty()) {
      o.dir = a;
    } else {
      throw TSqlUsage{"sql takes one directory"};
    }
  }
  if (o.dir.empty()) throw TSqlUsage{"sql needs a directory"};
  if (o.has_command && !IsValidUtf8(o.command)) throw TSqlUsage{"the SQL text is not UTF-8"};
  return o;
}

std::string Escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out = "0x";
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// The text of a value: shortest round-trip floats, true/false, ISO dates
// and times (as kura append reads them), strings as UTF-8.
std::string ValueText(const TExpValue& v, const TValueShape& shape) {
  if (v.null) return "\\N";
  switch (v.type) {
    case kFieldBoolean:
      return v.i ? "true" : "false";
    case kFieldString:
      return Escaped(Cp932ToUtf8(v.s));
    case kFieldBlob:
      return shape.subtype == kSubtypeMemo || shape.subtype == kSubtypeFormattedMemo
                 ? Escaped(Cp932ToUtf8(v.s))
                 : Hex(v.s);
    case kFieldBytes:
    case kFieldVarBytes:
      return Hex(v.s);
    case kFieldFloat: {
      char buf[64];
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<double>(v.f));
      return ec == std::errc() ? std::string(buf, p) : "NaN";
    }
    default:
      break;
  }
  if (IsIntegerType(v.type)) return std::to_string(v.i);
  // Dates, times, timestamps, BCD and extended floats in the field text form.
  TValueShape s = shape;
  s.type = v.type;
  if (s.type == kFieldBcd && s.scale == 0) s.scale = 4;
  std::vector<std::uint8_t> bytes;
  if (EncodeFieldValue(s, v, &bytes)) return FormatValue(s, bytes.data());
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17Lg", v.f);
  return buf;
}

class TShell {
 public:
  TShell(const TSqlOptions& o, std::ostream& out, std::ostream& err)
      : o_(o), out_(out), err_(err), db_(&session_.OpenDirectory(o.dir, o.dir)) {}

  // Runs one text; false when it failed.
  bool Run(const std::string& utf8) {
    try {
      TQueryStatement s(*db_);
      s.SetRequestLive(false);
      s.Prepare(ExactCp932(utf8, "the statement", db_));
      // Every "?" takes one --param, and every --param a "?".
      const std::size_t wanted = s.Parameters().size(), given = o_.params.size();
      if (given < wanted)
        throw std::runtime_error("No value for parameter " + std::to_string(given + 1) + " (the "
                                 "statement has " + std::to_string(wanted) + ", --param gave " +
                                 std::to_string(given) + "); nothing was run");
      // A shell session's --param serve the statements that have "?".
      if (given > wanted && (o_.has_command || wanted > 0))
        throw std::runtime_error("the statement has " + std::to_string(wanted) +
                                 " parameters, --param gave " + std::to_string(given) +
                                 "; nothing was run");
      TQueryResult* r = s.Execute(o_.params);
      if (r) Print(*r);
      char time[32];
      std::snprintf(time, sizeof time, "%.3f", s.ExecutionTime());
      err_ << s.RowsAffected() << (r ? " rows" : " rows affected") << ", " << time << " s\n";
      return true;
    } catch (const EKuraEngineError& e) {
      err_ << Cp932ToUtf8(e.what()) << "\n";
    } catch (const std::exception& e) {
      err_ << "kura: " << e.what() << "\n";
    }
    return false;
  }

 private:
  void Print(TQueryResult& r) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    for (int i = 1; i <= r.ColumnCount(); ++i)
      header.push_back(Cp932ToUtf8(r.Column(i).name));
    TDataCursor& c = r.Cursor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
    c.First();
    const bool tsv = o_.format == TFormat::kTsv;
    if (tsv) WriteTsv(header);
    while (c.Next(rec.data()) == TDataCursor::kOk) {
      std::vector<std::string> row;
      for (int i = 1; i <= r.ColumnCount(); ++i)
        row.push_back(ValueText(r.Value(i, rec.data()), r.Column(i).shape));
      if (tsv)
        WriteTsv(row);
      else
        rows.push_back(std::move(row));
    }
    if (!tsv) WriteTable(header, rows);
    out_.flush();
  }

  void WriteTsv(const std::vector<std::string>& row) {
    for (std::size_t i = 0; i < row.size(); ++i)
      out_ << (i ? "\t" : "") << row[i];
    out_ << "\n";
  }

  void WriteTable(const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows) {
    std::vector<int> width(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
      for (std::size_t i = 0; i < row.size(); ++i)
        width[i] = std::max(width[i], DisplayWidth(row[i]));
    };
    measure(header);
    for (const auto& r : rows)
      measure(r);
    auto line = [&](const std::vector<std::string>& row) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        out_ << (i ? " | " : "") << row[i];
        if (i + 1 < row.size())
          out_ << std::string(static_cast<std::size_t>(width[i] - DisplayWidth(row[i])), ' ');
      }
      out_ << "\n";
    };
    line(header);
    for (std::size_t i = 0; i < header.size(); ++i)
      out_ << (i ? "-+-" : "") << std::string(static_cast<std::size_t>(width[i]), '-');
    out_ << "\n";
    for (const auto& r : rows)
      line(r);
  }

  const TSqlOptions& o_;
  std::ostream& out_;
  std::ostream& err_;
  TDataSession session_;
  TDataDirectory* db_;
};

bool Blank(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) > 32) return false;
  return true;
}

}  // namespace

int DisplayWidth(std::string_view s) {
  int width = 0;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp = c;
    std::size_t n = 1;
    if (c >= 0xF0 && i + 3 < s.size() + 0) {
      cp = (c & 7u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu);
      n = 4;
    } else if (c >= 0xE0 && i + 2 < s.size()) {
      cp = (c & 15u) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < s.size()) {
      cp = (c & 31u) << 6 | (s[i + 1] & 0x3Fu);
      n = 2;
    }
    i += n;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    width += wide ? 2 : 1;
  }
  return width;
}

int SqlCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err, bool input_is_terminal, bool output_is_terminal) {
  TSqlOptions o;
  try {
    o = ParseOptions(args);
  } catch (const TSqlUsage& u) {
    err << "kura: " << u.message << "; see kura --help\n";
    return 2;
  }
  if (!o.format_given) o.format = output_is_terminal ? TFormat::kTable : TFormat::kTsv;
  TShell shell(o, out, err);
  if (o.has_command) return shell.Run(o.command) ? 0 : 1;
  bool failed = false;
  std::string text, line;
  auto prompt = [&] {
    if (input_is_terminal) out << (text.empty() ? "kura> " : "   -> ") << std::flush;
  };
  prompt();
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    text += line;
    text += '\n';
    std::size_t end = line.find_last_not_of(" \t");
    if (end != std::string::npos && line[end] == ';') {
      if (!IsValidUtf8(text)) {
        err << "kura: the statement is not UTF-8\n";
        failed = true;
      } else if (!Blank(text)) {
        failed = !shell.Run(text) || failed;
      }
      text.clear();
    }
    prompt();
  }
  if (!Blank(text)) {
    if (!IsValidUtf8(text)) {
      err << "kura: the statement is not UTF-8\n";
      failed = true;
    } else {
      failed = !shell.Run(text) || failed;
    }
  }
  return failed ? 1 : 0;
}

std::string SqlHelpText() {
  return R"(
  kura sql DIR [--format table|tsv] [--param VALUE]...
  kura sql DIR -c "SQL" [--format table|tsv] [--param VALUE]...
      Runs SQL on the tables of DIR: statements read from standard input (a
      statement ends at a ";" that ends a line, or at the end of the input),
      or the one text of -c (a script of statements is allowed). A SELECT
      prints its rows; after every statement the rows affected and the time
      go to standard error. An error prints the engine's message and the
      shell goes on; the exit status is 1 when any statement failed.
      --format tsv prints the column names, then one line per row, values
      separated by tabs: NULL as \N, tab, line break and backslash in text as
      \t, \n, \\; --format table aligns the columns (the default on a
      terminal). --param binds the "?" parameters in order (an integer, a
      decimal or text): a statement with "?" runs only when it has one for
      each --param, as does the text of -c. Text CP932 cannot hold (a statement or a --param with, say,
      an emoji) is refused, the character named, and nothing runs.
)";
}

}  // namespace kura::tool
