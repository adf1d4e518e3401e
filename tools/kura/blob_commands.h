// The kura tool's BLOB and repair side: BLOB and memo values in appended
// rows ("@path" reads the value from a file, anything else is the value's
// text), BLOB values in dumps (length and block chain), `kura cat` (one BLOB
// value to standard output) and `kura repair` (mends a table after a crash).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "db/storage/table/data_table.h"

namespace kura::tool {

// The BLOB values of one input row, by field position.
struct TBlobValues {
  std::vector<std::pair<int, std::vector<std::uint8_t>>> values;
};

struct TBlobValueError {
  std::string message;
  bool unreadable = false;  // a file named with "@" could not be read
};

// Takes the values of the BLOB fields out of a tab-separated row, leaving
// "\N" in their places for the row parser. A value "@path" is the file's
// bytes; other text is the value (memo text converted from UTF-8 to CP932).
// "\N" and an empty value leave the field null.
std::optional<TBlobValueError> TakeBlobValues(const TDataFile& data, std::string* line,
                                              TBlobValues* values);
// Writes the values into their chains and the record image. Call under the
// table's write lock.
void StoreBlobValues(TDataTable& table, const TBlobValues& values, std::uint8_t* record);

// A BLOB field of a record for dumps: "blob:FIRST stamp:S length:L
// chain:1-3,7", or the engine error that reading the chain gives.
std::string BlobFieldText(const TDataFile& data, TBlobFile& blobs, const std::uint8_t* record,
                          const TFieldDescriptor& field);

// kura cat DIR TABLE RECNO FIELD; kura repair DIR TABLE. Usage errors are
// reported here (exit status 2); engine errors are thrown to the caller.
int CatCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RepairCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The help text of the commands above.
std::string BlobHelpText();

}  // namespace kura::tool
