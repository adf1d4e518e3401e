#include "tools/kura/kura_commands.h"

#include <unistd.h>
#include <charconv>
#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <ostream>

#include "db/common/code_page.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/language_table.h"
#include "db/storage/table/data_table.h"
#include "db/storage/table/table_repair.h"
#include "tools/kura/blob_commands.h"
#include "tools/kura/filter_command.h"
#include "tools/kura/index_commands.h"
#include "tools/kura/row_text.h"
#include "tools/kura/sql_command.h"

namespace kura::tool {
namespace {

// A usage error: printed with a pointer to --help, exit status 2.
struct TUsageError {
  std::string message;
};
// A data error of the tool itself (not an engine error): exit status 1.
struct TDataError {
  std::string message;
};

struct TContext {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

std::string TableName(const std::string& utf8) {
  if (utf8.empty() || !IsValidUtf8(utf8) || IsPath(utf8))
    throw TUsageError{"invalid table name: " + utf8};
  return Utf8ToCp932(utf8);
}

void RequireArgs(const std::vector<std::string>& args, std::size_t n, const char* command) {
  if (args.size() < n) throw TUsageError{std::string("missing arguments for ") + command};
}

// ---- create ----

int Create(const std::vector<std::string>& args, TContext&) {
  RequireArgs(args, 3, "create");
  std::vector<TFieldDefinition> fields;
  TTableOptions options;
  TIndexOptions indexes;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (TakeIndexOption(args, i, &indexes)) continue;
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw TUsageError{a + " needs a value"};
      return args[++i];
    };
    if (a == "--locale") {
      const auto row = FindLanguage(value());
      if (!row) throw TUsageError{"unknown locale: " + args[i]};
      options.locale_language = LanguageTable()[static_cast<std::size_t>(*row)].language_id;
    } else if (a == "--description") {
      const std::string& d = value();
      if (!IsValidUtf8(d)) throw TUsageError{"description is not UTF-8"};
      options.description = Utf8ToCp932(d);
      if (options.description.size() > 50) throw TUsageError{"description longer than 50 bytes"};
    } else if (a == "--blob-block-size") {
      const std::string& v = value();
      int n = 0;
      auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || p != v.data() + v.size())
        throw TUsageError{"blob block size is not a number: " + v};
      options.blob_block_size = n;
    } else if (a.starts_with("--")) {
      throw TUsageError{"unknown option: " + a};
    } else {
      std::string why;
      auto f = ParseFieldDefinition(a, &why);
      if (!f) throw TUsageError{why};
      fields.push_back(*f);
    }
  }
  if (fields.empty()) throw TUsageError{"create needs at least one field"};
  TDataTable table(args[0], TableName(args[1]), DefaultStorageSettings());
  // No primary-key fields can be given here, so the table keeps its records in
  // physical order.
  table.Create(fields, options, TIndexCreateOptions{true});
  ApplyIndexOptions(table, indexes);
  table.Close();
  return kExitOk;
}

// ---- append ----

// Rows are read and checked a batch at a time; each batch is appended as
// one commit, so a kill or a power loss leaves whole batches only. A batch
// ends at kAppendBatchBytes of record images and BLOB values.
constexpr std::size_t kAppendBatchBytes = std::size_t{128} << 20;

// One batch of rows checked and ready: their record images one after
// another, and what only some rows have.
struct TAppendBatch {
  std::vector<std::uint8_t> images;
  std::size_t rows = 0;
  std::size_t bytes = 0;
  std::vector<std::optional<std::int32_t>> auto_incs;  // empty: none was given
  std::vector<TBlobValues> blob_values;                // empty: the table has no BLOB field
};

void AppendBatch(TDataTable& table, TAppendBatch& batch) {
  if (batch.rows == 0) return;
  const std::size_t rs = static_cast<std::size_t>(table.Data().RecordSize());
  if (batch.auto_incs.empty() && batch.blob_values.empty()) {
    // The bulk path: one lock, one journaled commit, indexes of an empty
    // table built from their sorted keys.
    table.BulkAppend(batch.images.data(), batch.rows, true);
  } else {
    table.StartTransaction(true);
    try {
      for (std::size_t i = 0; i < batch.rows; ++i) {
        std::uint8_t* record = batch.images.data() + i * rs;
        if (!batch.blob_values.empty()) StoreBlobValues(table, batch.blob_values[i], record);
        table.InsertRecord(record, batch.auto_incs.empty() ? std::nullopt : batch.auto_incs[i]);
      }
      table.CommitJournaled(true);
    } catch (...) {
      table.Rollback();
      throw;
    }
  }
  batch = TAppendBatch{};
}

int Append(const std::vector<std::string>& args, TContext& c) {
  if (args.size() != 2) throw TUsageError{"append takes DIR TABLE"};
  TDataTable table(args[0], TableName(args[1]), DefaultStorageSettings());
  table.Open(false);
  TDataFile& data = table.Data();
  const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
  const bool has_blobs = table.Blobs() != nullptr;
  TAppendBatch batch;
  std::string line;
  long line_number = 0;
  while (std::getline(c.in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::uint8_t> record = table.BlankRecord();
    std::optional<std::int32_t> auto_inc;
    std::string why;
    // Each row is checked completely before anything of its batch is written.
    TBlobValues blob_values;
    if (auto e = TakeBlobValues(data, &line, &blob_values)) {
      const std::string where = "line " + std::to_string(line_number) + ": " + e->message;
      if (e->unreadable) throw TUsageError{where};
      throw TDataError{where};
    }
    if (!FillRecord(data, line, &record, &auto_inc, &why))
      throw TDataError{"line " + std::to_string(line_number) + ": " + why};
    if (auto_inc && batch.auto_incs.empty()) batch.auto_incs.resize(batch.rows);
    if (!batch.auto_incs.empty()) batch.auto_incs.push_back(auto_inc);
    batch.images.insert(batch.images.end(), record.begin(), record.end());
    batch.bytes += rs;
    if (has_blobs) {
      for (const auto& [field, value] : blob_values.values)
        batch.bytes += value.size();
      batch.blob_values.push_back(std::move(blob_values));
    }
    ++batch.rows;
    if (batch.bytes >= kAppendBatchBytes) AppendBatch(table, batch);
  }
  AppendBatch(table, batch);
  table.Close();
  return kExitOk;
}

// ---- delete ----

int Delete(const std::vector<std::string>& args, TContext& c) {
  (void)c;
  RequireArgs(args, 3, "delete");
  std::vector<std::int32_t> numbers;
  for (std::size_t i = 2; i < args.size(); ++i) {
    std::int32_t n = 0;
    const std::string& a = args[i];
    auto [p, ec] = std::from_chars(a.data(), a.data() + a.size(), n);
    if (ec != std::errc() || p != a.data() + a.size() || n <= 0)
      throw TUsageError{"not a record number: " + a};
    numbers.push_back(n);
  }
  TDataTable table(args[0], TableName(args[1]), DefaultStorageSettings());
  table.Open(false);
  for (std::int32_t n : numbers) {
    TWriteLockGuard lock(table);
    table.DeleteRecord(n);
  }
  table.Close();
  return kExitOk;
}

// ---- dump ----

std::string Quoted(const std::string& cp932) {
  std::string out = "\"";
  for (char ch : Cp932ToUtf8(cp932)) {
    if (ch == '"' || ch == '\\') out += '\\';
    out += ch;
  }
  return out + "\"";
}

std::string LocaleText(std::uint16_t language, std::uint16_t sort) {
  std::string name = "unknown";
  for (const TLanguageEntry& e : LanguageTable())
    if (e.language_id == language) name = e.name;
  return std::to_string(language) + " (" + name + "), sort " + std::to_string(sort) + " (" +
         (sort < 2 ? SortOrderName(sort) : "unknown") + ")";
}

void DumpHeader(TDataTable& table, std::ostream& out) {
  TDataFile& d = table.Data();
  const auto h = d.HeaderCopy();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%.8f", DecodeDouble(&h[data_header::kLastWrite]));
  out << "table: " << Cp932ToUtf8(table.Name()) << "\n"
      << "version: " << int{h[data_header::kVersion]} << "\n"
      << "change counter: " << d.ChangeCounter() << "\n"
      << "blob block size: " << (DecodeFixed32(&h[data_header::kBlobBlockSize]) & 0xFFFF) << "\n"
      << "free chain head: " << d.FreeHead() << "\n"
      << "next record number: " << d.NextRecordNumber() << "\n"
      << "last auto-increment: " << d.LastAutoInc() << "\n"
      << "record size: " << d.RecordSize() << "\n"
      << "field count: " << d.FieldCount() << "\n"
      << "blob field count: " << d.BlobFieldCount() << "\n"
      << "last write stamp: " << stamp << "\n"
      << "description: " << Quoted(d.Description()) << "\n"
      << "encrypted: " << (d.Encrypted() ? "yes" : "no") << "\n"
      << "locale: " << LocaleText(d.LocaleLanguage(), d.LocaleSort()) << "\n"
      << "user version: " << d.UserMajor() << "." << d.UserMinor() << "\n"
      << "last blob stamp: " << d.LastBlobStamp() << "\n"
      << "writer stamp: " << static_cast<std::int64_t>(DecodeFixed64(&h[data_header::kWriter]))
      << "\n"
      << "live records: " << table.Index().RecordCount() << "\n"
      << "no primary key: " << (table.Index().NoPrimaryKey() ? "yes" : "no") << "\n";
}

void DumpFields(TDataFile& d, std::ostream& out) {
  out << "fields:\n";
  for (int pos = 1; pos <= d.FieldCount(); ++pos) {
    const TFieldDescriptor& f = d.Field(pos);
    out << "  " << f.Number() << " " << Quoted(f.Name()) << " " << TypeName(f.Type(), f.Subtype())
        << " type " << int{f.Type()} << " subtype " << int{f.Subtype()} << " length "
        << int{f.Length()} << " scale " << int{f.Scale()} << " size " << int{f.StorageSize()}
        << " offset " << f.Offset() << " required " << (f.Required() ? "yes" : "no") << " case "
        << int{f.CharCase()} << " computed " << (f.Computed() ? "yes" : "no") << " description "
        << Quoted(f.Description()) << " min " << Quoted(f.Minimum()) << " max "
        << Quoted(f.Maximum()) << " default " << Quoted(f.Default()) << "\n";
  }
}

void DumpRecords(TDataFile& d, TBlobFile* blobs, std::ostream& out) {
  out << "records:\n";
  for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
    TRecordPin r = d.GetRecord(n);
    out << "  " << n << (r->Deleted() ? " deleted link " : " live recno ") << r->Link()
        << " autoinc " << r->AutoInc();
    for (int pos = 1; pos <= d.FieldCount(); ++pos) {
      const TFieldDescriptor& f = d.Field(pos);
      out << "\t"
          << (f.Type() == kFieldBlob && blobs ? BlobFieldText(d, *blobs, r->Data(), f)
                                              : FieldText(d, r->Data(), f));
    }
    out << "\n";
  }
}

int Dump(const std::vector<std::string>& args, TContext& c) {
  if (WantsIndexDump(args)) return DumpIndexCommand(args, c.out);
  bool records = false;
  std::vector<std::string> rest;
  for (const std::string& a : args) {
    if (a == "--records")
      records = true;
    else if (a.starts_with("--"))
      throw TUsageError{"unknown option: " + a};
    else
      rest.push_back(a);
  }
  if (rest.size() != 2) throw TUsageError{"dump takes DIR TABLE [--records]"};
  TDataTable table(rest[0], TableName(rest[1]), DefaultStorageSettings());
  table.Open(false, true);
  {
    TReadLockGuard lock(table);
    DumpHeader(table, c.out);
    DumpFields(table.Data(), c.out);
    if (records) DumpRecords(table.Data(), table.Blobs(), c.out);
  }
  table.Close();
  return kExitOk;
}

// ---- verify ----

int Verify(const std::vector<std::string>& args, TContext& c) {
  if (args.size() != 2) throw TUsageError{"verify takes DIR TABLE"};
  TDataTable table(args[0], TableName(args[1]), DefaultStorageSettings());
  table.Open(false, true);
  {
    TReadLockGuard lock(table);
    table.Verify();
    table.Data().CheckConsistency();
    std::vector<std::string> problems = VerifyIndexes(table);
    if (table.Blobs()) {
      for (const TBlobProblem& p : CheckBlobChains(table.Data(), *table.Blobs()).problems)
        problems.push_back((p.record
                                ? "record " + std::to_string(p.record) + " field " + p.field + ": "
                                : std::string()) +
                           p.message);
    }
    for (const std::string& p : problems)
      c.err << "kura: " << Cp932ToUtf8(p) << "\n";
    if (!problems.empty()) {
      table.Close();
      return kExitError;
    }
  }
  table.Close();
  c.out << "ok\n";
  return kExitOk;
}

}  // namespace

std::string HelpText() {
  return R"HELP(kura: inspect and edit the tables of a Kura database directory.

Usage:
  kura create DIR TABLE FIELD:TYPE[:LENGTH[:SCALE]]... [--locale NAME]
              [--description TEXT] [--blob-block-size N]
      Creates TABLE (files TABLE.DAT and TABLE.IDX) in the directory DIR.
      TYPE is one of string, date, blob, memo, graphic, boolean, smallint,
      integer, autoinc, float, money, bcd, bytes, varbytes, time, timestamp,
      word, unsigned, extended, largeint. string, bytes and varbytes need a
      LENGTH of 1..250; bcd takes a SCALE (bcd:S or bcd:0:S). --locale names
      the table's language ("English (USA)", "German (Standard)", ...);
      without it the table uses the built-in byte ordering. Without
      --primary (below) the table has no primary-key fields: records stay in
      the order appended. --blob-block-size sets the BLOB file's block size.

  kura append DIR TABLE
      Appends the rows on standard input, one per line, values separated by
      tabs in field order. \N is NULL (for an autoinc field: a new value; a
      number supplies the value). Dates are YYYY-MM-DD, times HH:MM:SS[.mmm],
      timestamps YYYY-MM-DDTHH:MM:SS[.mmm]; booleans true/false or 1/0; BCD
      and floats decimal text; bytes and varbytes the text's bytes or 0x and
      hex digits. Text is UTF-8; strings are stored as CP932. Empty lines are
      skipped. Rows are checked and appended in batches (up to 128 MB of
      records and BLOB values each); a batch is one commit under the table's
      lock, so a kill or a power loss leaves every batch whole or absent, and
      another process's append waits for it. A bad row stops the command
      before its batch is written; earlier batches stay appended. Into an
      empty table without BLOB fields the indexes are built from their
      sorted keys.

  kura delete DIR TABLE RECNO...
      Deletes the records with these physical record numbers.

  kura dump DIR TABLE [--records]
      Prints the header and the field descriptors; with --records every slot
      (live or deleted, record number or free-chain link, auto-increment
      value, field values).

  kura verify DIR TABLE
      Verifies the table's files; prints "ok", or the engine error.

  kura --help
      Prints this text.

Exit status: 0 success; 1 an error (one line on standard error, the engine's
message for engine errors); 2 bad usage.
)HELP" + IndexHelpText() +
         FilterHelpText() + BlobHelpText() + SqlHelpText();
}

int RunKura(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err) {
  TContext c{in, out, err};
  static const std::map<std::string, std::function<int(const std::vector<std::string>&, TContext&)>>
      commands = {
          {"create", Create},
          {"append", Append},
          {"delete", Delete},
          {"dump", Dump},
          {"verify", Verify},
          {"update", [](const auto& a, TContext& c) { return UpdateCommand(a, c.in, c.out); }},
          {"find", [](const auto& a, TContext& c) { return FindCommand(a, c.in, c.out); }},
          {"filter", [](const auto& a, TContext& c) { return FilterCommand(a, c.out); }},
          {"cat", [](const auto& a, TContext& c) { return CatCommand(a, c.out, c.err); }},
          {"repair", [](const auto& a, TContext& c) { return RepairCommand(a, c.out, c.err); }},
          {"sql", [](const auto& a, TContext& c) {
             return SqlCommand(a, c.in, c.out, c.err, ::isatty(0) == 1, ::isatty(1) == 1);
           }}};
  if (args.empty()) {
    err << "kura: no command; see kura --help\n";
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    out << HelpText();
    return kExitOk;
  }
  const auto it = commands.find(args[0]);
  if (it == commands.end()) {
    err << "kura: unknown command: " << args[0] << "; see kura --help\n";
    return kExitUsage;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const std::string& a : rest)
    if (a == "--help") {
      out << HelpText();
      return kExitOk;
    }
  try {
    return it->second(rest, c);
  } catch (const TUsageError& e) {
    err << "kura: " << e.message << "; see kura --help\n";
    return kExitUsage;
  } catch (const TIndexUsageError& e) {
    err << "kura: " << e.what() << "; see kura --help\n";
    return kExitUsage;
  } catch (const TDataError& e) {
    err << "kura: " << e.message << "\n";
    return kExitError;
  } catch (const EKuraEngineError& e) {
    err << Cp932ToUtf8(e.what()) << "\n";
    return kExitError;
  } catch (const std::exception& e) {
    err << "kura: " << e.what() << "\n";
    return kExitError;
  }
}

}  // namespace kura::tool
