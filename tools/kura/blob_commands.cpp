#include "tools/kura/blob_commands.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <ostream>

#include "db/storage/blob/blob_buffer.h"
#include "db/storage/table/table_repair.h"
#include "db/common/code_page.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "tools/kura/kura_commands.h"
#include "tools/kura/row_text.h"

namespace kura::tool {
namespace {

int Usage(std::ostream& err, const std::string& message) {
  err << "kura: " << message << "; see kura --help\n";
  return kExitUsage;
}

std::optional<std::string> TableArgument(const std::string& utf8) {
  if (utf8.empty() || !IsValidUtf8(utf8) || IsPath(utf8)) return std::nullopt;
  return Utf8ToCp932(utf8);
}

bool IsMemo(const TFieldDescriptor& f) {
  return f.Subtype() == kSubtypeMemo || f.Subtype() == kSubtypeFormattedMemo;
}

// "1-3,7,9-10": the blocks of a chain with consecutive runs folded.
std::string ChainText(const std::vector<std::int32_t>& blocks) {
  std::string text;
  for (std::size_t i = 0; i < blocks.size();) {
    std::size_t j = i + 1;
    while (j < blocks.size() && blocks[j] == blocks[j - 1] + 1)
      ++j;
    if (!text.empty()) text += ',';
    text += std::to_string(blocks[i]);
    if (j - i > 1) text += '-' + std::to_string(blocks[j - 1]);
    i = j;
  }
  return text;
}

}  // namespace

std::optional<TBlobValueError> TakeBlobValues(const TDataFile& data, std::string* line,
                                              TBlobValues* values) {
  values->values.clear();
  if (data.BlobFieldCount() == 0) return std::nullopt;
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line->find('\t', start);
    parts.push_back(line->substr(start, tab == std::string::npos ? tab : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  bool changed = false;
  for (int pos = 1; pos <= data.FieldCount() && pos <= static_cast<int>(parts.size()); ++pos) {
    const TFieldDescriptor& f = data.Field(pos);
    if (f.Type() != kFieldBlob) continue;
    std::string& text = parts[static_cast<std::size_t>(pos - 1)];
    const std::string name = Cp932ToUtf8(f.Name());
    if (text == "\\N" || text.empty()) {
      text = "\\N";
      changed = true;
      continue;
    }
    std::vector<std::uint8_t> bytes;
    if (text[0] == '@') {
      std::ifstream in(text.substr(1), std::ios::binary);
      if (!in) return TBlobValueError{"field " + name + ": cannot read " + text.substr(1), true};
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (in.bad())
        return TBlobValueError{"field " + name + ": cannot read " + text.substr(1), true};
    } else {
      if (!IsValidUtf8(text)) return TBlobValueError{"field " + name + ": text is not UTF-8"};
      std::optional<std::string> stored = text;
      if (IsMemo(f)) stored = Utf8ToCp932Exact(text);
      if (!stored) return TBlobValueError{"field " + name + ": a character has no CP932 form"};
      bytes.assign(stored->begin(), stored->end());
    }
    if (!bytes.empty()) values->values.emplace_back(pos, std::move(bytes));
    text = "\\N";
    changed = true;
  }
  if (changed) {
    std::string rebuilt;
    for (std::size_t i = 0; i < parts.size(); ++i)
      rebuilt += (i ? "\t" : "") + parts[i];
    *line = std::move(rebuilt);
  }
  return std::nullopt;
}

void StoreBlobValues(TDataTable& table, const TBlobValues& values, std::uint8_t* record) {
  if (values.values.empty()) return;
  TBlobFile* blobs = table.Blobs();
  if (blobs == nullptr) RaiseTableError(kErrBlobField, table.Name());
  for (const auto& [pos, bytes] : values.values)
    WriteBlobField(*blobs, table.Data(), record, table.Data().Field(pos), bytes);
}

std::string BlobFieldText(const TDataFile& data, TBlobFile& blobs, const std::uint8_t* record,
                          const TFieldDescriptor& field) {
  (void)data;
  const TBlobRef ref = GetBlobRef(record, field);
  if (ref.first_block == 0) return "\\N";
  std::string text =
      "blob:" + std::to_string(ref.first_block) + " stamp:" + std::to_string(ref.stamp);
  try {
    const std::vector<std::int32_t> chain = blobs.ChainBlocks(ref);
    const std::int32_t length = blobs.GetBlock(ref.first_block)->total_length;
    return text + " length:" + std::to_string(length) + " chain:" + ChainText(chain);
  } catch (const EKuraEngineError& e) {
    return text + " error:" + std::to_string(e.Code());
  }
}

int CatCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 4) return Usage(err, "cat takes DIR TABLE RECNO FIELD");
  const auto name = TableArgument(args[1]);
  if (!name) return Usage(err, "invalid table name: " + args[1]);
  std::int32_t recno = 0;
  const std::string& r = args[2];
  auto [p, ec] = std::from_chars(r.data(), r.data() + r.size(), recno);
  if (ec != std::errc() || p != r.data() + r.size() || recno <= 0)
    return Usage(err, "not a record number: " + r);
  if (!IsValidUtf8(args[3])) return Usage(err, "field name is not UTF-8");
  TDataTable table(args[0], *name, DefaultStorageSettings());
  table.Open(false, true);
  std::vector<std::uint8_t> value;
  {
    TReadLockGuard lock(table);
    TDataFile& data = table.Data();
    const TFieldDescriptor* field = data.FieldByName(Utf8ToCp932(args[3]));
    if (field == nullptr) {
      TErrorContext context;
      context.table_name = table.Name();
      context.field_name = Utf8ToCp932(args[3]);
      RaiseEngineError(kErrInvalidField, context);
    }
    if (recno >= data.NextRecordNumber()) RaiseTableError(kErrRecordNotFound, table.Name());
    TRecordPin rec = data.GetRecord(recno);
    if (rec->Deleted()) RaiseTableError(kErrRecordNotFound, table.Name());
    if (table.Blobs() == nullptr) {
      TErrorContext context;
      context.table_name = table.Name();
      context.field_name = field->Name();
      RaiseEngineError(kErrBlobField, context);
    }
    value = ReadBlobField(*table.Blobs(), data, rec->Data(), *field);
  }
  table.Close();
  out.write(reinterpret_cast<const char*>(value.data()),
            static_cast<std::streamsize>(value.size()));
  return kExitOk;
}

int RepairCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2) return Usage(err, "repair takes DIR TABLE");
  const auto name = TableArgument(args[1]);
  if (!name) return Usage(err, "invalid table name: " + args[1]);
  const TRepairReport report = RepairTableFiles(args[0], *name, DefaultStorageSettings());
  out << "backups: " << Cp932ToUtf8(*name) << ".DBK, .IBK" << (report.blob_file ? ", .BBK" : "")
      << "\n"
      << "records indexed: " << report.records_indexed << "\n"
      << "unfinished appends removed: " << report.slots_cut << "\n"
      << "missing slots added as deleted: " << report.slots_added << "\n"
      << "records dropped (not whole on disk): " << report.records_dropped << "\n"
      << "free chain rebuilt: " << (report.free_chain_rebuilt ? "yes" : "no") << "\n"
      << "blob values kept: " << report.values_kept << "\n"
      << "blob values lost: " << report.values_lost << "\n"
      << "free blob blocks: " << report.blocks_freed << "\n";
  if (report.blocks_missing > 0)
    out << "blob blocks missing from the file: " << report.blocks_missing << "\n";
  if (report.blocks_adopted > 0)
    out << "blob blocks found past the count: " << report.blocks_adopted << "\n";
  for (const std::string& note : report.notes)
    out << Cp932ToUtf8(note) << "\n";
  out << "ok\n";
  return kExitOk;
}

std::string BlobHelpText() {
  return R"HELP(BLOBs:
  BLOB and memo values in appended rows: "@PATH" reads the value from the
      file PATH (its bytes as they are); any other text is the value (memo
      text is stored as CP932, other BLOB text as its UTF-8 bytes); \N or
      nothing leaves the field NULL.

  kura cat DIR TABLE RECNO FIELD
      Writes the value of the BLOB or memo field FIELD of record RECNO to
      standard output, byte for byte.

  kura repair DIR TABLE
      Mends a table after a crash or a damaged file: copies its files to
      TABLE.DBK, TABLE.IBK and TABLE.BBK, cuts off appends whose header was
      never written, adds slots the file lacks as deleted ones, drops
      slots marked live that hold no whole record (each is listed),
      rebuilds the data file's free chain when it is broken, keeps every
      BLOB value whose chain is sound under its record's stamp, empties
      every other value (each is listed: a chain under another stamp may
      hold another record's value), puts every other block on a new free
      chain, and
      rebuilds every index from the data file. Prints what it did and "ok".
      Two live records with the same key in a unique index are not mended
      (either would be lost): repair then, as on any failure, copies the
      backups back, leaving the files as they were, and says why.
)HELP";
}

}  // namespace kura::tool
