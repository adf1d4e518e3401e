// TKuraDBDataSet: a TKuraDataSet that reaches its tables through a database
// of a session: DatabaseName (a database component's name, a directory, or
// "Memory") and SessionName (empty: the built-in session "Default").
//
// Database uses: the dataset counts why it needs its database in a small
// set of use flags (kCursorUse while a cursor is open; a statement that
// stays prepared adds one of its own). The first flag set opens the
// database through the session (found or created as a temporary one, and
// connected), the last flag cleared gives it back (a temporary database
// without users is freed, one without KeepConnection disconnects).
#pragma once

#include <cstdint>
#include <string>

#include "db/engine/dataset/kura_data_set.h"
#include "db/engine/session/kura_session.h"

namespace kura {

class TKuraDBDataSet : public TKuraDataSet {
 public:
  // `owner` is the component that owns the dataset: a database component of
  // the same owner is preferred when names match.
  explicit TKuraDBDataSet(const void* owner = nullptr) : owner_(owner) {}
  ~TKuraDBDataSet() override;

  const std::string& DatabaseName() const { return database_name_; }
  // Only while inactive ("Cannot perform this operation on an open dataset").
  void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& name);

  // The database while the dataset uses it (null otherwise).
  TKuraDatabase* Database() const { return database_; }

 protected:
  enum TDatabaseUse : std::uint8_t { kCursorUse = 1, kStatementUse = 2 };
  // Sets or clears one use flag, opening or releasing the database at the
  // first and the last.
  void AcquireDatabase(TDatabaseUse use);
  void ReleaseDatabase(TDatabaseUse use);
  // The engine database; 10758 while the dataset holds no database.
  TDataDirectory& DataDirectory();

  void OpenCursor() override;
  void CloseCursor() override;

 private:
  const void* owner_;
  std::string database_name_;
  std::string session_name_;
  std::uint8_t uses_ = 0;
  TKuraSession* session_ = nullptr;    // while uses_ != 0
  TKuraDatabase* database_ = nullptr;  // while uses_ != 0
};

}  // namespace kura
