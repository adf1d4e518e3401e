// The kura tool's index commands and options: --primary and --index at
// create, update, find, dump --index, and the B-tree part of verify.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/storage/table/data_table.h"
#include "db/storage/index/index_file.h"

namespace kura::tool {

// A usage error of an index command or option (exit status 2).
class TIndexUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Index definitions given at create: "--primary FIELD[,FIELD...]" and
// "--index NAME:FIELD[,FIELD...][:desc][:nocase][:unique][:compress=MODE]".
struct TIndexOptions {
  std::string primary;               // the field list, empty when none
  std::vector<std::string> indexes;  // the definitions as given
  bool empty() const { return primary.empty() && indexes.empty(); }
};

// Takes args[i] (and its value) when it is an index option of create;
// returns false for any other argument.
bool TakeIndexOption(const std::vector<std::string>& args, std::size_t& i, TIndexOptions* options);
// Adds the indexes to a freshly created table.
void ApplyIndexOptions(TDataTable& table, const TIndexOptions& options);

// kura update DIR TABLE RECNO (the new row on standard input).
int UpdateCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out);
// kura find DIR TABLE INDEX VALUE...
int FindCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out);
// Whether dump was asked for an index (--index NAME among the arguments).
bool WantsIndexDump(const std::vector<std::string>& args);
// kura dump DIR TABLE --index NAME
int DumpIndexCommand(const std::vector<std::string>& args, std::ostream& out);
// The B-tree checks of verify: one line per problem (empty when sound).
std::vector<std::string> VerifyIndexes(TDataTable& table);

// The help text of the index commands and options.
std::string IndexHelpText();

}  // namespace kura::tool
