#include "db/storage/engine_error.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace kura {
namespace {

// One row of the code table. `places` names, in order, the context string
// that fills each "%s" of the message: T table, F field, I index, X extra
// message, O operating-system code, S server, U user, D database.
struct TMessageRow {
  std::uint16_t code;
  const char* places;
  const char* text;
};

constexpr TMessageRow kMessages[] = {
    {8705, "T", "Beginning of table '%s' unexpectedly encountered"},
    {8706, "T", "End of table '%s' unexpectedly encountered"},
    {8708, "T",
     "Record has been changed or deleted by another user, session, or table cursor in the "
     "table '%s'"},
    {8709, "T", "No current record in the table '%s'"},
    {8710, "T", "Record not found in the table '%s'"},
    {8711, "T", "End of blob data in the table '%s' reached prematurely"},
    {8961, "T", "Header information corrupt in the table '%s'"},
    {8962, "T", "Data record buffers corrupt in the table '%s'"},
    {8963, "T", "BLOB block buffers corrupt in the table '%s'"},
    {8965, "T", "Index page buffers corrupt in the table '%s'"},
    {9217, "T", "Error reading from the table '%s'"},
    {9218, "T", "Error writing to the table '%s'"},
    {9220, "T", "Cannot delete the table '%s'"},
    {9221, "T", "Error accessing header information for the table '%s'"},
    {9477, "T", "Maximum record size exceeded in the table '%s'"},
    {9479, "T", "The table '%s' is full and cannot contain any more data"},
    {9482, "T", "Too many filters defined for the table '%s'"},
    {9487, "T",
     "Maximum or minimum limits on number of indexes or fields in an index exceeded in the "
     "table '%s'"},
    {9492, "T",
     "Maximum or minimum limits on number of fields, auto-increment field value, or field size "
     "exceeded in the table '%s'"},
    {9494, "T", "Too many blobs opened in the table '%s'"},
    {9498, "T", "Too many blob fields or invalid blob block size specified for the table '%s'"},
    {9729, "IT", "Duplicate key found in the index '%s' of the table '%s'"},
    {9730, "FT",
     "The value for the field '%s' in the table '%s' is below the minimum allowable value"},
    {9731, "FT",
     "The value for the field '%s' in the table '%s' is above the maximum allowable value"},
    {9732, "FT", "A value must be provided for the field '%s' in the table '%s'"},
    {9985, "FT", "Invalid field number or name '%s' specified for the table '%s'"},
    {9993, "T", "A primary index is already defined for the table '%s' and cannot be added again"},
    {9998, "T", "Invalid blob offset into the table '%s' specified"},
    {10000, "FT", "Invalid field definition specified for the field '%s' in the table '%s'"},
    {10006, "FT",
     "Invalid default, min or max validity check, or expression specified for the field '%s' in "
     "the table '%s'"},
    {10010, "T", "The secondary index name is missing or not specified for the table '%s'"},
    {10015, "T", "Password provided for the table '%s' is invalid"},
    {10022, "IT", "Invalid secondary index name '%s' specified for the table '%s'"},
    {10023, "FIT", "Invalid field number '%s' specified in the index '%s' for the table '%s'"},
    {10026, "IT", "Invalid key size specified in the index '%s' for the table '%s'"},
    {10027, "IT", "The secondary index '%s' already exists for the table '%s'"},
    {10029, "T", "Invalid blob length in the table '%s'"},
    {10030, "T", "Invalid blob handle for the table '%s' specified"},
    {10031, "T", "The table '%s' is already in use"},
    {10038, "FT", "Invalid or duplicate field name '%s' specified for the table '%s'"},
    {10050, "T", "Invalid filter handle specified for the table '%s'"},
    {10051, "TX", "Filter error for the table '%s' - %s"},
    {10055, "T", "The primary index cannot be removed from the table '%s'"},
    {10241, "T", "The table '%s' is already locked by another user"},
    {10242, "T", "Cannot unlock table or record in the table '%s'"},
    {10249, "T", "General lock failure with the table '%s'"},
    {10253, "T", "The table '%s' must be opened exclusively"},
    {10258, "T", "Record in the table '%s' is in use by another user"},
    {10498, "T", "Insufficient rights to the table '%s', a password is required"},
    {10753, "FT", "Invalid blob field '%s' specified for the table '%s'"},
    {10758, "", "The database engine is not initialized"},
    {11010, "TX", "Table '%s' does not exist%s"},
    {11012, "T", "Too many operating system files open while attempting to open the table '%s'"},
    {11013, "T", "Access denied to table '%s'"},
    {11014, "T", "Invalid operating system file handle for the table '%s'"},
    {11016, "",
     "There is insufficient operating system memory available for the current operation"},
    {11017, "T", "Invalid length for the in-memory table '%s'"},
    {11023, "T", "Access denied to logical operating system device for the table '%s'"},
    {11025, "T", "The table '%s' has been moved"},
    {11047, "OT", "An unknown operating system error %s occurred with the table '%s'"},
    // Remote mode: the client side of a database server.
    {11276, "S", "The connection to the database server at '%s' has been lost"},
    {11279, "XS",
     "An unknown error ('%s') occurred with the connection to the database server at '%s', "
     "please check the server log"},
    {11280, "S", "A connection to the database server at '%s' cannot be established"},
    {11281, "S",
     "A connection to the database server at '%s' cannot be established, the server is not "
     "responding"},
    {11282, "S",
     "A connection to the database server at '%s' cannot be established, the server refused the "
     "connection"},
    {11283, "S",
     "A connection to the database server at '%s' cannot be established, the server has reached "
     "its connection limit"},
    {11285, "S", "A server callback error occurred for the database server at '%s'"},
    {11286, "S",
     "A call to the database server at '%s' failed, the client engine version does not match the "
     "server"},
    {11287, "S", "A call to the database server at '%s' failed, the request is invalid"},
    {11288, "US", "The user '%s' is not known to the database server at '%s'"},
    {11289, "US", "The password of the user '%s' is invalid for the database server at '%s'"},
    {11290, "US", "The user '%s' already exists on the database server at '%s'"},
    {11291, "US", "The user '%s' cannot be removed from the database server at '%s'"},
    {11292, "US", "The user '%s' has insufficient rights on the database server at '%s'"},
    {11293, "US", "The user '%s' is already connected to the database server at '%s'"},
    {11294, "DS", "The database '%s' is not known to the database server at '%s'"},
    {11295, "DS", "The database '%s' already exists on the database server at '%s'"},
    {11296, "DS", "The database '%s' cannot be removed from the database server at '%s'"},
    {11297, "DS", "The database '%s' is in use on the database server at '%s'"},
    {11298, "UDS",
     "The user '%s' has insufficient rights to the database '%s' on the database server at '%s'"},
    {11299, "S", "The administration request to the database server at '%s' failed"},
    {11300, "TX", "An error occurred during the import into the table '%s' - %s"},
    {11301, "TX", "An error occurred during the export from the table '%s' - %s"},
    {11949, "X", "SQL error - %s"},
    {12035, "T", "The table '%s' is not the correct version"},
    {12292, "FIT", "Invalid field '%s' specified for the index '%s' in the table '%s'"},
    {13060, "T", "The table '%s' already exists"},
    {15001, "", "Error compressing data"},
    {15002, "", "Error uncompressing data"},
    {15878, "T", "The language driver for the table '%s' is not available or installed"},
};

const TMessageRow* FindRow(std::uint16_t code) {
  const auto* end = std::end(kMessages);
  const auto* it = std::find_if(std::begin(kMessages), end,
                                [code](const TMessageRow& r) { return r.code == code; });
  return it == end ? nullptr : it;
}

std::string PlaceText(char place, const TErrorContext& c) {
  switch (place) {
    case 'T':
      return c.table_name;
    case 'F':
      return c.field_name;
    case 'I':
      return c.index_name;
    case 'X':
      return c.extra_message;
    case 'O':
      return std::to_string(c.os_code);
    case 'S':
      return c.server_name;
    case 'U':
      return c.user_name;
    case 'D':
      return c.database_name;
    default:
      return std::string();
  }
}

std::mutex& ErrorContextMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

std::string_view EngineMessageTemplate(std::uint16_t code) {
  const TMessageRow* row = FindRow(code);
  return row ? std::string_view(row->text) : std::string_view();
}

std::string FormatEngineMessage(std::uint16_t code, const TErrorContext& context) {
  std::string out = "Kura Engine Error # " + std::to_string(code) + " ";
  const TMessageRow* row = FindRow(code);
  if (row == nullptr) return out + "Unknown engine error";
  const std::string_view text = row->text;
  const char* place = row->places;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's') {
      if (*place != '\0') out += PlaceText(*place++, context);
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

EKuraEngineError::EKuraEngineError(std::uint16_t code, const TErrorContext& context)
    : EDatabaseError(FormatEngineMessage(code, context)), code_(code), context_(context) {}

void RaiseEngineError(std::uint16_t code, const TErrorContext& context) {
  std::unique_lock<std::mutex> lock(ErrorContextMutex());
  EKuraEngineError error(code, context);
  lock.unlock();
  throw error;
}

void RaiseTableError(std::uint16_t code, std::string_view table, int os_code) {
  TErrorContext context;
  context.table_name = std::string(table);
  context.os_code = os_code;
  RaiseEngineError(code, context);
}

std::uint16_t EngineCodeOf(const std::exception& e) {
  if (const auto* k = dynamic_cast<const EKuraEngineError*>(&e)) return k->Code();
  return kErrUnknownOs;
}

}  // namespace kura
