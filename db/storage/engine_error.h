// The engine's one exception type and the table of its codes and messages.
//
// Every failure of the engine is raised as EKuraEngineError through
// RaiseEngineError(): the helper looks the code up, fills the "%s" places of
// the code's message from the context strings in the order the code's row
// names them, and throws. The message reads
//   "Kura Engine Error # " + decimal code + " " + message with context.
// Codes are 16-bit and stable: callers, tools and stored messages rely on them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "db/common/database_error.h"

namespace kura {

// Context strings of an engine error; each fills the "%s" places its code's
// message names. `os_code` is the operating-system error number (errno).
struct TErrorContext {
  std::string server_name;
  std::string user_name;
  std::string database_name;
  std::string table_name;
  std::string field_name;
  std::string index_name;
  std::string extra_message;
  std::int32_t os_code = 0;
  std::int32_t native_code = 0;  // the second numeric code (remote mode)
};

// Engine error codes. DO NOT CHANGE THESE VALUES: they are reported to users
// and compared by callers.
enum TEngineCode : std::uint16_t {
  kErrBeginningOfTable = 8705,
  kErrEndOfTable = 8706,
  kErrRecordChanged = 8708,
  kErrNoCurrentRecord = 8709,
  kErrRecordNotFound = 8710,
  kErrEndOfBlob = 8711,
  kErrHeaderCorrupt = 8961,
  kErrRecordBuffersCorrupt = 8962,
  kErrBlobBuffersCorrupt = 8963,
  kErrPageBuffersCorrupt = 8965,
  kErrReading = 9217,
  kErrWriting = 9218,
  kErrCannotDelete = 9220,
  kErrHeaderAccess = 9221,
  kErrMaxRecordSize = 9477,
  kErrTableFull = 9479,
  kErrTooManyFilters = 9482,
  kErrIndexLimits = 9487,
  kErrFieldLimits = 9492,
  kErrTooManyBlobsOpen = 9494,
  kErrBlobFields = 9498,
  kErrDuplicateKey = 9729,
  kErrBelowMinimum = 9730,
  kErrAboveMaximum = 9731,
  kErrValueRequired = 9732,
  kErrInvalidField = 9985,
  kErrPrimaryExists = 9993,
  kErrBlobOffset = 9998,
  kErrFieldDefinition = 10000,
  kErrValidityCheck = 10006,
  kErrIndexNameMissing = 10010,
  kErrInvalidPassword = 10015,
  kErrInvalidIndexName = 10022,
  kErrIndexFieldNumber = 10023,
  kErrKeySize = 10026,
  kErrIndexExists = 10027,
  kErrBlobLength = 10029,
  kErrBlobHandle = 10030,
  kErrTableInUse = 10031,
  kErrFieldName = 10038,
  kErrFilterHandle = 10050,
  kErrFilter = 10051,
  kErrPrimaryRemove = 10055,
  kErrTableLocked = 10241,
  kErrUnlock = 10242,
  kErrLockFailure = 10249,
  kErrMustBeExclusive = 10253,
  kErrRecordInUse = 10258,
  kErrPasswordRequired = 10498,
  kErrBlobField = 10753,
  kErrNotInitialized = 10758,
  kErrTableMissing = 11010,
  kErrTooManyFiles = 11012,
  kErrAccessDenied = 11013,
  kErrInvalidHandle = 11014,
  kErrOutOfMemory = 11016,
  kErrMemoryTableLength = 11017,
  kErrDeviceDenied = 11023,
  kErrTableMoved = 11025,
  kErrUnknownOs = 11047,
  kErrConnectionLost = 11276,
  kErrConnectionUnknown = 11279,
  kErrSql = 11949,
  kErrVersion = 12035,
  kErrIndexField = 12292,
  kErrTableExists = 13060,
  kErrCompress = 15001,
  kErrUncompress = 15002,
  kErrLanguageDriver = 15878,
};

class EKuraEngineError : public EDatabaseError {
 public:
  EKuraEngineError(std::uint16_t code, const TErrorContext& context);

  std::uint16_t Code() const { return code_; }
  std::int32_t OsCode() const { return context_.os_code; }
  std::int32_t NativeCode() const { return context_.native_code; }
  const TErrorContext& Context() const { return context_; }
  const std::string& TableName() const { return context_.table_name; }

 private:
  std::uint16_t code_;
  TErrorContext context_;
};

// The message of a code with its "%s" places unfilled, or an empty view for a
// code the table does not know.
std::string_view EngineMessageTemplate(std::uint16_t code);

// "Kura Engine Error # <code> <message with context>". An unknown code gets
// the generic text "Unknown engine error".
std::string FormatEngineMessage(std::uint16_t code, const TErrorContext& context);

// The one raising helper. The context is formatted under a process-wide lock
// so that concurrent errors in two sessions never mix their contexts.
[[noreturn]] void RaiseEngineError(std::uint16_t code, const TErrorContext& context);

// Shorthand for the common case: a table-level error.
[[noreturn]] void RaiseTableError(std::uint16_t code, std::string_view table, int os_code = 0);

// The engine code of an exception: its code for EKuraEngineError, 11047 for
// anything else.
std::uint16_t EngineCodeOf(const std::exception& e);

}  // namespace kura
