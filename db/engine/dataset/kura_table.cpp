#include "db/engine/dataset/kura_table.h"

#include "db/dataset/messages.h"
#include "db/engine/dataset/dataset_messages.h"
#include "db/storage/engine_error.h"

namespace kura {

TKuraTable::~TKuraTable() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the cursor and the database use go below.
  }
  own_cursor_.reset();
}

void TKuraTable::SetTableName(const std::string& name) {
  if (Active()) DatabaseError(kDataSetOpen);
  table_name_ = name;
}

void TKuraTable::SetExclusive(bool value) {
  if (Active()) DatabaseError(kDataSetOpen);
  exclusive_ = value;
}

void TKuraTable::SetReadOnly(bool value) {
  if (Active()) DatabaseError(kDataSetOpen);
  read_only_ = value;
}

int TKuraTable::IndexNumberOf(TDataCursor& cursor, const std::string& name) const {
  if (name.empty()) return 0;
  const int number = cursor.IndexNumber(name);
  if (number < 0) {
    TErrorContext context;
    context.table_name = table_name_;
    context.index_name = name;
    RaiseEngineError(kErrInvalidIndexName, context);
  }
  return number;
}

void TKuraTable::SetIndexName(const std::string& name) {
  if (!Active()) {
    index_name_ = name;
    return;
  }
  CheckBrowseMode();
  UpdateCursorPos();
  Cursor()->SetActiveIndex(IndexNumberOf(*Cursor(), name));
  index_name_ = name;
  ActiveIndexChanged();
}

TDataCursor* TKuraTable::CreateHandle() {
  if (table_name_.empty()) DatabaseError(kErrorCreatingHandle);
  TCursorOpenOptions options;
  options.read_only = read_only_;
  options.exclusive = exclusive_;
  own_cursor_ = std::make_unique<TDataCursor>(DataDirectory(), table_name_, options);
  try {
    if (!index_name_.empty()) own_cursor_->SetActiveIndex(IndexNumberOf(*own_cursor_, index_name_));
  } catch (...) {
    own_cursor_.reset();  // gives the shared table back before the database goes
    throw;
  }
  return own_cursor_.get();
}

void TKuraTable::DestroyHandle() {
  own_cursor_.reset();
}

}  // namespace kura
