#include "db/engine/dataset/kura_db_data_set.h"

#include "db/dataset/messages.h"
#include "db/storage/engine_error.h"

namespace kura {

// The most derived dataset closes itself (its handle overrides are gone by
// now); a use still counted is given back.
TKuraDBDataSet::~TKuraDBDataSet() {
  if (uses_ != 0 && session_ && database_) {
    try {
      session_->CloseDatabase(*database_);
    } catch (...) {
    }
  }
}

void TKuraDBDataSet::SetDatabaseName(const std::string& name) {
  if (Active()) DatabaseError(kDataSetOpen);
  database_name_ = name;
}

void TKuraDBDataSet::SetSessionName(const std::string& name) {
  if (Active()) DatabaseError(kDataSetOpen);
  session_name_ = name;
}

void TKuraDBDataSet::AcquireDatabase(TDatabaseUse use) {
  if (uses_ & use) return;
  if (uses_ == 0) {
    TKuraSession& session = TKuraSessionList::Global().FindSession(session_name_);
    database_ = &session.OpenDatabase(database_name_, owner_);
    session_ = &session;
  }
  uses_ |= use;
}

void TKuraDBDataSet::ReleaseDatabase(TDatabaseUse use) {
  if (!(uses_ & use)) return;
  uses_ &= static_cast<std::uint8_t>(~use);
  if (uses_ != 0) return;
  TKuraSession* session = session_;
  TKuraDatabase* database = database_;
  session_ = nullptr;
  database_ = nullptr;
  session->CloseDatabase(*database);
}

TDataDirectory& TKuraDBDataSet::DataDirectory() {
  if (!database_) RaiseTableError(kErrNotInitialized, "");
  return database_->DataDirectory();
}

void TKuraDBDataSet::OpenCursor() {
  AcquireDatabase(kCursorUse);
  try {
    TKuraDataSet::OpenCursor();
  } catch (...) {
    ReleaseDatabase(kCursorUse);
    throw;
  }
}

void TKuraDBDataSet::CloseCursor() {
  try {
    TKuraDataSet::CloseCursor();
  } catch (...) {
    ReleaseDatabase(kCursorUse);
    throw;
  }
  ReleaseDatabase(kCursorUse);
}

}  // namespace kura
