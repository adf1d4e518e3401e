#include "tools/kura/filter_command.h"

#include <ostream>
#include <vector>

#include "db/engine/cursor/data_cursor.h"
#include "db/common/code_page.h"
#include "db/storage/table/data_table.h"
#include "db/storage/storage_settings.h"
#include "tools/kura/index_commands.h"
#include "tools/kura/row_text.h"

namespace kura::tool {

int FilterCommand(const std::vector<std::string>& args, std::ostream& out) {
  std::vector<std::string> rest;
  std::string index_name;
  bool count_only = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--index") {
      if (i + 1 >= args.size()) throw TIndexUsageError("--index needs a name");
      index_name = args[++i];
    } else if (args[i] == "--count") {
      count_only = true;
    } else if (args[i].starts_with("--")) {
      throw TIndexUsageError("unknown option: " + args[i]);
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.size() != 3) throw TIndexUsageError("filter takes DIR TABLE \"EXPRESSION\"");
  // Names and string constants are CP932 in the table; the command line is UTF-8.
  const auto table_name = Utf8ToCp932Exact(rest[1]);
  const auto expression = Utf8ToCp932Exact(rest[2]);
  if (!table_name || !expression) {
    throw TIndexUsageError("the table name and the expression must be CP932 text");
  }

  TDataTable table(rest[0], *table_name, DefaultStorageSettings());
  table.Open(false, true);
  {
    TDataCursor cursor(table);
    cursor.Open();
    if (!index_name.empty()) {
      const auto name = Utf8ToCp932Exact(index_name);
      const int number = name ? cursor.IndexNumber(*name) : -1;
      if (number < 0) throw TIndexUsageError("no index named " + index_name);
      cursor.SetActiveIndex(number);
    }
    cursor.AddFilter(*expression);
    if (count_only) {
      out << cursor.RecordCount() << "\n";
    } else {
      const TDataFile& data = table.Data();
      std::vector<std::uint8_t> record(static_cast<std::size_t>(cursor.RecordSize()));
      cursor.First();
      while (cursor.Next(record.data()) == TDataCursor::kOk) {
        for (int pos = 1; pos <= data.FieldCount(); ++pos) {
          if (pos > 1) out << "\t";
          out << FieldText(data, record.data(), data.Field(pos));
        }
        out << "\n";
      }
    }
    cursor.Close();
  }
  table.Close();
  return 0;
}

std::string FilterHelpText() {
  return R"HELP(
Filters:
  kura filter DIR TABLE "EXPRESSION" [--index NAME] [--count]
      Opens a cursor on the table (in the order of the primary index, or of
      the secondary index NAME), adds EXPRESSION as its filter and prints the
      records it lets through, one a line, their values tab-separated in field
      order as dump prints them (\N for NULL); with --count only their number.
      An expression that does not compile is the engine's error 10051 with the
      reason.
)HELP";
}

}  // namespace kura::tool
