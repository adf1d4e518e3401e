#include "tools/kura/index_commands.h"

#include <charconv>
#include <cstdio>
#include <deque>
#include <istream>
#include <memory>
#include <ostream>
#include <set>

#include "db/common/code_page.h"
#include "db/storage/data/field_types.h"
#include "tools/kura/row_text.h"

namespace kura::tool {
namespace {

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::string Cp932(const std::string& utf8, const char* what) {
  if (!IsValidUtf8(utf8)) throw TIndexUsageError(std::string(what) + " is not UTF-8");
  return Utf8ToCp932(utf8);
}

std::vector<int> FieldNumbers(const TDataFile& data, const std::string& list) {
  std::vector<int> numbers;
  for (const std::string& name : Split(list, ',')) {
    const TFieldDescriptor* f = data.FieldByName(Cp932(name, "a field name"));
    if (f == nullptr) throw TIndexUsageError("no field named " + name);
    numbers.push_back(f->Number());
  }
  return numbers;
}

std::int32_t RecordNumber(const std::string& text) {
  std::int32_t n = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || p != text.data() + text.size() || n <= 0) {
    throw TIndexUsageError("not a record number: " + text);
  }
  return n;
}

std::unique_ptr<TDataTable> OpenTable(const std::string& dir, const std::string& name,
                                      bool read_only) {
  auto table =
      std::make_unique<TDataTable>(dir, Cp932(name, "the table name"), DefaultStorageSettings());
  table->Open(false, read_only);
  return table;
}

TIndexFile& IndexOf(TDataTable& table) {
  return dynamic_cast<TIndexFile&>(table.Index());
}

// The slot of an index named on the command line: a secondary index by name,
// "primary" for the primary index, "Sys Deleted" for the built-in one.
int SlotNamed(TIndexFile& index, const std::string& name) {
  const std::string cp = Cp932(name, "the index name");
  int slot = index.SlotOf(cp);
  if (slot < 0 && (name == "primary" || name == "PRIMARY")) slot = index.SlotOf("");
  if (slot < 0 || slot == kSysTextSlot) throw TIndexUsageError("no index named " + name);
  return slot;
}

std::string Hex(const std::uint8_t* p, int n) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

void PrintRecord(const TDataFile& data, const std::uint8_t* record, std::ostream& out) {
  for (int pos = 1; pos <= data.FieldCount(); ++pos) {
    out << "\t" << FieldText(data, record, data.Field(pos));
  }
  out << "\n";
}

}  // namespace

bool TakeIndexOption(const std::vector<std::string>& args, std::size_t& i, TIndexOptions* options) {
  const std::string& a = args[i];
  if (a != "--primary" && a != "--index") return false;
  if (i + 1 >= args.size()) throw TIndexUsageError(a + " needs a value");
  const std::string& value = args[++i];
  if (a == "--primary") {
    if (!options->primary.empty()) throw TIndexUsageError("--primary given twice");
    options->primary = value;
  } else {
    options->indexes.push_back(value);
  }
  return true;
}

void ApplyIndexOptions(TDataTable& table, const TIndexOptions& options) {
  TIndexFile& index = IndexOf(table);
  TDataFile& data = table.Data();
  if (!options.primary.empty()) {
    TIndexDefinition def;
    def.fields = FieldNumbers(data, options.primary);
    def.unique = true;
    index.AddPrimaryIndex(data, def);
  }
  for (const std::string& definition : options.indexes) {
    const std::vector<std::string> parts = Split(definition, ':');
    if (parts.size() < 2) throw TIndexUsageError("--index needs NAME:FIELDS: " + definition);
    TIndexDefinition def;
    def.name = Cp932(parts[0], "the index name");
    def.fields = FieldNumbers(data, parts[1]);
    for (std::size_t p = 2; p < parts.size(); ++p) {
      const std::string& flag = parts[p];
      if (flag == "desc") {
        def.descending = true;
      } else if (flag == "nocase") {
        def.case_insensitive = true;
      } else if (flag == "unique") {
        def.unique = true;
      } else if (flag == "compress=none") {
        def.compression = kCompressNone;
      } else if (flag == "compress=dupbyte") {
        def.compression = kCompressDuplicate;
      } else if (flag == "compress=trailbyte") {
        def.compression = kCompressTrailing;
      } else if (flag == "compress=full") {
        def.compression = kCompressFull;
      } else {
        throw TIndexUsageError("unknown index option " + flag + " in " + definition);
      }
    }
    index.AddSecondaryIndex(data, def);
  }
  table.Flush();
}

int UpdateCommand(const std::vector<std::string>& args, std::istream& in, std::ostream&) {
  if (args.size() != 3) throw TIndexUsageError("update takes DIR TABLE RECNO");
  const std::int32_t n = RecordNumber(args[2]);
  std::unique_ptr<TDataTable> owned = OpenTable(args[0], args[1], false);
  TDataTable& table = *owned;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) break;
  }
  if (line.empty()) throw TIndexUsageError("update needs a row on standard input");
  std::vector<std::uint8_t> record = table.BlankRecord();
  std::optional<std::int32_t> auto_inc;
  std::string why;
  if (!FillRecord(table.Data(), line, &record, &auto_inc, &why)) {
    throw TIndexUsageError("bad row: " + why);
  }
  {
    TWriteLockGuard lock(table);
    table.UpdateRecord(n, record.data());
  }
  table.Close();
  return 0;
}

// Prints the records whose key in index `slot` equals `values` (fewer values
// than key fields: a partial key), in index order: logical position, record
// number, field values. The caller holds a read lock.
void PrintMatches(TDataTable& table, int slot, const std::vector<std::string>& values,
                  std::ostream& out) {
  TIndexFile& index = IndexOf(table);
  TDataFile& data = table.Data();
  const TIndexDefinition def = index.Definition(slot);
  if (values.size() > def.fields.size()) {
    throw TIndexUsageError("more values than the index has fields");
  }
  std::vector<std::uint8_t> record = table.BlankRecord();
  const KeyLayout layout = index.Layout(data, slot);
  int length = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const TFieldDescriptor& f = *data.FieldByNumber(def.fields[i]);
    const std::string& text = values[i];
    length += layout.fields[i].SegmentSize();
    if (text == "\\N") {
      data.PutNull(record.data(), f, true);
    } else if (f.Type() == kFieldString) {
      data.PutString(record.data(), f, Cp932(text, "a value"), true);
    } else {
      std::string why;
      const auto value = ParseValueText(f.Shape(), text, &why);
      if (!value) throw TIndexUsageError("value " + text + ": " + why);
      data.PutField(record.data(), f, *value, true);
    }
  }
  const std::vector<std::uint8_t> key = index.KeyOf(data, slot, record.data());
  TIndexTree tree = index.Tree(data, slot);
  const KeyComparator compare(layout);
  TIndexEntry e;
  const std::size_t size = static_cast<std::size_t>(data.RecordSize());
  std::vector<std::uint8_t> row(size);
  for (bool more = tree.Seek(key.data(), length, e); more; more = tree.Next(e)) {
    if (compare.Compare(e.key.data(), key.data(), length) != 0) break;
    {
      TRecordPin rec = data.GetRecord(e.record);
      std::copy(rec->Data(), rec->Data() + size, row.begin());
    }
    out << (e.ordinal + 1) << "\t" << e.record;
    PrintRecord(data, row.data(), out);
  }
}

int FindCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out) {
  if (args.size() < 4) {
    throw TIndexUsageError("find takes DIR TABLE INDEX VALUE... or DIR TABLE INDEX -");
  }
  std::unique_ptr<TDataTable> owned = OpenTable(args[0], args[1], true);
  TDataTable& table = *owned;
  int slot = 0;
  {
    TReadLockGuard lock(table);
    slot = SlotNamed(IndexOf(table), args[2]);
    if (slot == kSysDeletedSlot) throw TIndexUsageError("find cannot search \"Sys Deleted\"");
    if (args.size() > 4 || args[3] != "-") {
      PrintMatches(table, slot, {args.begin() + 3, args.end()}, out);
    }
  }
  if (args.size() == 4 && args[3] == "-") {
    // One key per line, its values tab-separated; each lookup takes the read
    // lock on its own, so writers are not kept waiting on standard input.
    std::string line;
    for (long number = 1; std::getline(in, line); ++number) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      try {
        TReadLockGuard lock(table);
        PrintMatches(table, slot, Split(line, '\t'), out);
      } catch (const TIndexUsageError& e) {
        throw TIndexUsageError("line " + std::to_string(number) + ": " + e.what());
      }
    }
  }
  table.Close();
  return 0;
}

bool WantsIndexDump(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--index") return true;
  }
  return false;
}

int DumpIndexCommand(const std::vector<std::string>& args, std::ostream& out) {
  std::vector<std::string> rest;
  std::string name;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--index") {
      if (i + 1 >= args.size()) throw TIndexUsageError("--index needs a name");
      name = args[++i];
    } else if (args[i].starts_with("--")) {
      throw TIndexUsageError("unknown option: " + args[i]);
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.size() != 2) throw TIndexUsageError("dump takes DIR TABLE --index NAME");
  std::unique_ptr<TDataTable> owned = OpenTable(rest[0], rest[1], true);
  TDataTable& table = *owned;
  {
    TReadLockGuard lock(table);
    TIndexFile& index = IndexOf(table);
    const int slot = SlotNamed(index, name);
    const TIndexDefinition def = index.Definition(slot);
    TIndexTree tree = index.Tree(table.Data(), slot);
    const PageFormat& f = tree.format();
    out << "index " << slot << " \"" << Cp932ToUtf8(def.name) << "\" key size " << f.key_size
        << " unique " << (f.unique ? "yes" : "no") << " compression " << int{f.compression}
        << " root " << index.RootPage(slot) << " free head " << index.FreeHead(slot) << "\n";
    // Level by level from the root, each level in key order.
    std::deque<std::pair<std::int32_t, int>> queue;
    if (index.RootPage(slot) != 0) queue.emplace_back(index.RootPage(slot), 0);
    std::set<std::int32_t> seen;
    while (!queue.empty()) {
      const auto [n, level] = queue.front();
      queue.pop_front();
      if (!seen.insert(n).second || level >= kMaxTreeDepth) {
        out << "page " << n << ": reached twice, stopping\n";
        break;
      }
      TPageRef page(&index, index.GetPage(slot, n));
      out << "page " << n << " level " << level << " type " << int{page->type()} << " entries "
          << page->count() << " prev " << page->prev() << " next " << page->next();
      if (page->IsLeaf() && f.Compressed()) out << " encoded " << page->EncodedSize();
      out << "\n";
      for (int i = 1; i <= page->count(); ++i) {
        out << "  " << Hex(page->Key(i), f.key_size);
        if (page->IsLeaf()) {
          out << " record " << page->Pointer(i) << "\n";
        } else {
          out << " child " << page->Pointer(i);
          if (f.with_counts) out << " count " << page->SubtreeCount(i);
          out << "\n";
          queue.emplace_back(page->Pointer(i), level + 1);
        }
      }
    }
    out << "free pages:";
    std::int32_t n = index.FreeHead(slot);
    for (std::int32_t steps = 0; n != 0 && steps <= index.PageCount(); ++steps) {
      out << " " << n;
      TPageRef page(&index, index.GetPage(slot, n));
      n = page->next();
    }
    out << "\n";
  }
  table.Close();
  return 0;
}

std::vector<std::string> VerifyIndexes(TDataTable& table) {
  return IndexOf(table).CheckTrees(table.Data());
}

std::string IndexHelpText() {
  return R"HELP(
Indexes:
  kura create ... [--primary FIELD[,FIELD...]]
                  [--index NAME:FIELD[,FIELD...][:desc][:nocase][:unique]
                          [:compress=none|dupbyte|trailbyte|full]]...
      --primary gives the table a primary index (unique keys; deleted slots
      are then reused); each --index adds a secondary index. desc orders the
      whole index descending, nocase compares strings upper-cased, unique
      refuses duplicate keys (error 9729). append, update and delete keep
      every index.

  kura update DIR TABLE RECNO
      Replaces the field values of live record RECNO by the row on standard
      input (same format as append).

  kura find DIR TABLE INDEX VALUE...
  kura find DIR TABLE INDEX -
      Prints the records whose key in INDEX ("primary" for the primary
      index) equals the values, in index order: logical position, record
      number, field values (tab-separated, as dump prints them). Fewer values
      than key fields search a partial key; \N is null. With - the keys come
      from standard input, one a line with its values tab-separated (empty
      lines are skipped), and the matches of each key are printed in turn.

  kura dump DIR TABLE --index NAME
      Prints the B-tree of the index page by page, level by level: type,
      entry count, level links, keys (hex) with their children and subtree
      counts or record numbers, then the index's free pages.

  verify also checks every B-tree: key order, subtree counts, level links,
  free chains, and exactly one key per live record in every index.

)HELP";
}

}  // namespace kura::tool
