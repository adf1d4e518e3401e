#include "db/engine/session/data_session.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "db/common/code_page.h"
#include "db/common/undo_on_throw.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/table/commit_journal.h"

namespace kura {
namespace {

// "A connection to the database server at '%s' cannot be established".
constexpr std::uint16_t kErrNoServerConnection = 11280;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string ProcessCurrentDirectory() {
  std::string buffer(4096, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return std::string();
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return NormalizeDatabasePath(buffer);
}

// Runs f on every table from the last opened to the first; every table gets
// its turn, and the first failure passes on afterwards.
template <typename F>
void EachLastFirst(std::vector<std::unique_ptr<TSharedTable>>& tables, F f) {
  std::exception_ptr first;
  for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
    try {
      f(**it);
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace

std::string TrimName(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin]))
    ++begin;
  while (end > begin && IsBlank(text[end - 1]))
    --end;
  return std::string(text.substr(begin, end - begin));
}

bool IsDatabasePath(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsCp932LeadByte(c)) {
      ++i;  // the second byte may be 0x5C without being a separator
    } else if (c == '\\' || c == '/' || c == ':') {
      return true;
    }
  }
  return false;
}

std::string NormalizeDatabasePath(std::string_view path) {
  std::string out = TrimName(path);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (IsCp932LeadByte(static_cast<unsigned char>(out[i])))
      ++i;
    else if (out[i] == '\\')
      out[i] = '/';
  }
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

void RaiseRemoteNotAvailable() {
  TErrorContext context;
  context.server_name = std::string(kDefaultServerAddress);
  RaiseEngineError(kErrNoServerConnection, context);
}

// ---- TDataDirectory ----

TDataDirectory::TDataDirectory(TDataSession& session, std::string name, std::string path)
    : session_(session), name_(std::move(name)), path_(std::move(path)) {}

TDataDirectory::~TDataDirectory() {
  try {
    Rollback();
  } catch (...) {
    // Destruction cannot report; the tables close below regardless.
  }
  in_transaction_ = false;
  for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) {
    try {
      (*it)->table_->Close();
    } catch (...) {
    }
  }
}

TSharedTable* TDataDirectory::FindTable(std::string_view name, bool in_memory) const {
  const std::string wanted = TrimName(name);
  in_memory = in_memory || IsMemory();
  for (const auto& t : tables_)
    if (t->in_memory_ == in_memory && SameTextIgnoringCase(t->name_, wanted)) return t.get();
  return nullptr;
}

std::vector<std::unique_ptr<TSharedTable>>::iterator TDataDirectory::Position(
    const TSharedTable& t) {
  return std::find_if(tables_.begin(), tables_.end(),
                      [&t](const std::unique_ptr<TSharedTable>& p) { return p.get() == &t; });
}

TSharedTable& TDataDirectory::OpenTable(std::string_view name, bool read_only, bool exclusive,
                                        bool in_memory) {
  // A cursor's read-only request does not make the shared table read-only:
  // later cursors of the same table may write.
  (void)read_only;
  in_memory = in_memory || IsMemory();
  const std::string table_name = TrimName(name);
  if (TSharedTable* match = FindTable(table_name, in_memory)) {
    if (match->exclusive_ || exclusive) RaiseTableError(kErrAccessDenied, table_name);
    ++match->ref_count_;
    return *match;
  }
  auto shared = std::make_unique<TSharedTable>();
  shared->name_ = table_name;
  shared->in_memory_ = in_memory;
  shared->exclusive_ = exclusive;
  shared->table_ =
      std::make_unique<TDataTable>(path_, table_name, session_.StorageSettings(), in_memory);
  TDataTable& table = *shared->table_;
  table.Open(exclusive, false);
  try {
    CheckPassword(*shared);
    if (in_transaction_) table.StartTransaction(true);
  } catch (...) {
    try {
      if (table.InTransaction()) table.Rollback();
      table.Close(true);
    } catch (...) {
    }
    throw;
  }
  shared->ref_count_ = 1;
  tables_.push_back(std::move(shared));
  return *tables_.back();
}

void TDataDirectory::CheckPassword(TSharedTable& shared) const {
  const TDataFile& data = shared.table_->Data();
  if (!data.Encrypted()) return;
  if (!session_.KnowsPassword(data.Password())) RaiseTableError(kErrPasswordRequired, shared.name_);
}

void TDataDirectory::CloseTable(TSharedTable& table, bool discard) {
  if (table.ref_count_ > 0) --table.ref_count_;
  if (table.ref_count_ > 0 || in_transaction_) return;
  auto it = Position(table);
  if (it == tables_.end()) return;
  std::unique_ptr<TSharedTable> owned = std::move(*it);
  tables_.erase(it);
  owned->table_->Close(discard);
}

void TDataDirectory::CloseUnused() {
  std::vector<std::unique_ptr<TSharedTable>> unused;
  for (auto it = tables_.begin(); it != tables_.end();) {
    if ((*it)->ref_count_ == 0) {
      unused.push_back(std::move(*it));
      it = tables_.erase(it);
    } else {
      ++it;
    }
  }
  EachLastFirst(unused, [](TSharedTable& t) { t.table_->Close(); });
}

bool TDataDirectory::StartTransaction() {
  if (in_transaction_) return false;
  try {
    for (auto& t : tables_)
      t->table_->StartTransaction(true);
  } catch (...) {
    try {
      EachLastFirst(tables_, [](TSharedTable& t) { t.table_->Rollback(); });
    } catch (...) {
      // The start's own failure is the one to report.
    }
    throw;
  }
  in_transaction_ = true;
  return true;
}

void TDataDirectory::EndAll() {
  std::exception_ptr failure;
  try {
    EachLastFirst(tables_, [](TSharedTable& t) { t.table_->EndTransaction(); });
  } catch (...) {
    failure = std::current_exception();
  }
  in_transaction_ = false;
  try {
    CloseUnused();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::Commit(bool flush) {
  if (!in_transaction_) return;
  // Preparation: every table must still be able to write back its changes
  // (open, and holding its table lock inside its transaction) before any
  // table commits.
  for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) {
    TDataTable& t = *(*it)->table_;
    if (!t.IsOpen()) RaiseTableError(kErrInvalidHandle, (*it)->name_);
    if (!t.ReadOnly() && !(t.InTransaction() && (t.TableLocked() || t.Exclusive())))
      RaiseTableError(kErrLockFailure, (*it)->name_);
  }
  try {
    // The tables' writes are collected and go to disk through the journal
    // as one: a commit killed half-way is finished by the next writer.
    TCommitJournal journal(path_, session_.StorageSettings());
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) {
      TDataTable& t = *(*it)->table_;
      if (!t.ReadOnly() && !(*it)->in_memory_) journal.Capture(t);
    }
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it)
      (*it)->table_->Commit();
    // Readers of other processes are kept out while the tables are written
    // (the table lock alone lets them in): none sees a table half-written.
    std::vector<TDataTable*> locked;
    TUndoOnThrow unlock([&locked] {
      for (TDataTable* t : locked)
        t->ReleaseWriteLock();
    });
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) {
      TDataTable& t = *(*it)->table_;
      if (t.ReadOnly() || (*it)->in_memory_) continue;
      t.WriteLockForCommit();
      locked.push_back(&t);
    }
    journal.Apply(flush);
    for (TDataTable* t : locked)
      t->ReleaseWriteLock();
  } catch (...) {
    try {
      EndAll();
    } catch (...) {
    }
    throw;
  }
  EndAll();
}

void TDataDirectory::Rollback() {
  if (!in_transaction_) return;
  EndAll();
}

// ---- TDataSession ----

TDataSession::TDataSession(TSessionSettings settings)
    : settings_(std::move(settings)), current_dir_(ProcessCurrentDirectory()) {
  if (!TrimName(settings_.private_dir).empty())
    private_dir_ = NormalizeDatabasePath(settings_.private_dir);
}

TDataSession::~TDataSession() {
  while (!directories_.empty())
    directories_.pop_back();
}

TStorageSettings TDataSession::StorageSettings() const {
  TStorageSettings s = DefaultStorageSettings();
  s.strict_change_detection = settings_.strict_change_detection;
  s.force_buffer_flush = settings_.force_buffer_flush;
  s.lock_retry_count = settings_.lock_retry_count;
  s.lock_wait_time = settings_.lock_wait_time;
  return s;
}

TDataDirectory& TDataSession::OpenDirectory(std::string_view name, std::string_view path,
                                            bool remote) {
  if (remote) RaiseRemoteNotAvailable();
  const std::string db_name = TrimName(name);
  std::string normalized;
  if (!TrimName(path).empty())
    normalized = NormalizeDatabasePath(path);
  else if (!SameTextIgnoringCase(db_name, kMemoryDatabaseName))
    normalized = current_dir_;
  for (auto& d : directories_) {
    if (SameTextIgnoringCase(d->path_, normalized)) {
      ++d->ref_count_;
      return *d;
    }
  }
  directories_.push_back(std::make_unique<TDataDirectory>(*this, db_name, normalized));
  directories_.back()->ref_count_ = 1;
  return *directories_.back();
}

void TDataSession::CloseDirectory(TDataDirectory& directory) {
  auto it = std::find_if(directories_.begin(), directories_.end(),
                         [&directory](const auto& d) { return d.get() == &directory; });
  if (it == directories_.end()) return;
  if (--directory.ref_count_ > 0) return;
  std::unique_ptr<TDataDirectory> owned = std::move(*it);
  directories_.erase(it);
}

void TDataSession::AddPassword(std::string_view password) {
  if (!KnowsPassword(password)) passwords_.emplace_back(password);
}

void TDataSession::RemovePassword(std::string_view password) {
  std::erase(passwords_, std::string(password));
}

bool TDataSession::KnowsPassword(std::string_view password) const {
  return std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end();
}

}  // namespace kura
