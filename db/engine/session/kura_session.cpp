#include "db/engine/session/kura_session.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "db/storage/engine_error.h"
#include "db/storage/file/file_list.h"
#include "db/storage/file/file_system.h"

namespace kura {
namespace {

constexpr std::string_view kAutoNamePrefix = "Session_";

[[noreturn]] void RaiseNotInitialized() {
  RaiseEngineError(kErrNotInitialized, TErrorContext{});
}

bool SameName(std::string_view a, std::string_view b) {
  return SameTextIgnoringCase(TrimName(a), TrimName(b));
}

}  // namespace

std::string FormatDatabaseMessage(std::string_view pattern, std::string_view argument) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's') {
      out += argument;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

// ---- TKuraSessionList ----

TKuraSessionList& TKuraSessionList::Global() {
  // The registry of open files and the storage defaults are created first so
  // that they outlive the list: the built-in session closes its tables when
  // the list is destroyed at exit.
  static const bool storage_ready = (TFileList::Global(), DefaultStorageSettings(), true);
  (void)storage_ready;
  static TKuraSessionList list;
  return list;
}

TKuraSessionList::TKuraSessionList() {
  default_.reset(new TKuraSession(TKuraSession::TBuiltIn{}));
  default_->list_ = this;
  sessions_.push_back(default_.get());
}

TKuraSessionList::~TKuraSessionList() {
  default_.reset();
}

TKuraSession& TKuraSessionList::FindSession(std::string_view name) {
  if (TrimName(name).empty()) return *default_;
  if (TKuraSession* s = FindSessionOrNull(name)) return *s;
  throw EDatabaseError(FormatDatabaseMessage(kSessionNameInvalid, name));
}

TKuraSession* TKuraSessionList::FindSessionOrNull(std::string_view name) {
  std::lock_guard<std::mutex> lock(list_mutex_);
  for (TKuraSession* s : sessions_)
    if (SameName(s->SessionName(), name)) return s;
  return nullptr;
}

void TKuraSessionList::Add(TKuraSession& session) {
  std::lock_guard<std::mutex> lock(list_mutex_);
  if (std::find(sessions_.begin(), sessions_.end(), &session) == sessions_.end())
    sessions_.push_back(&session);
}

void TKuraSessionList::Remove(TKuraSession& session) {
  std::lock_guard<std::mutex> lock(list_mutex_);
  std::erase(sessions_, &session);
}

std::size_t TKuraSessionList::Count() {
  std::lock_guard<std::mutex> lock(list_mutex_);
  return sessions_.size();
}

std::string TKuraSessionList::TakeAutoName() {
  std::lock_guard<std::mutex> lock(list_mutex_);
  std::size_t n = 0;
  while (n < auto_numbers_.size() && auto_numbers_[n])
    ++n;
  if (n == auto_numbers_.size()) auto_numbers_.push_back(false);
  auto_numbers_[n] = true;
  return std::string(kAutoNamePrefix) + std::to_string(n + 1);
}

void TKuraSessionList::ReleaseAutoName(std::string_view name) {
  if (!name.starts_with(kAutoNamePrefix)) return;
  const std::string digits(name.substr(kAutoNamePrefix.size()));
  if (digits.empty() || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return;
  const std::size_t n = std::stoul(digits);
  std::lock_guard<std::mutex> lock(list_mutex_);
  if (n >= 1 && n <= auto_numbers_.size()) auto_numbers_[n - 1] = false;
}

// ---- TKuraSession ----

TKuraSession::TKuraSession(TBuiltIn) : session_name_(kDefaultSessionName), built_in_(true) {}

TKuraSession::TKuraSession(std::string name)
    : session_name_(std::move(name)), list_(&TKuraSessionList::Global()) {
  list_->Add(*this);
}

TKuraSession::~TKuraSession() {
  try {
    Close();
  } catch (...) {
    // Destruction cannot report; the engine session is gone regardless.
  }
  for (TKuraDatabase* db : databases_)
    db->session_ = nullptr;
  databases_.clear();
  if (!built_in_) {
    list_->Remove(*this);
    if (!auto_name_.empty()) list_->ReleaseAutoName(auto_name_);
  }
}

TDataSession& TKuraSession::Engine() {
  if (!engine_) RaiseNotInitialized();
  return *engine_;
}

void TKuraSession::Open() {
  std::lock_guard<std::recursive_mutex> lock(list_->CriticalSection());
  if (Active()) return;
  try {
    if (OnStartup) OnStartup(*this);
    if (auto_session_name_ && auto_name_.empty()) {
      auto_name_ = list_->TakeAutoName();
      session_name_ = auto_name_;
    }
    if (TrimName(session_name_).empty()) throw EDatabaseError(std::string(kSessionNameMissing));
    if (!built_in_) list_->DefaultSession().Open();
    if (session_type_ == TSessionType::kRemote) RaiseRemoteNotAvailable();
    engine_ = std::make_unique<TDataSession>(settings_);
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
}

void TKuraSession::Close() {
  std::lock_guard<std::recursive_mutex> lock(list_->CriticalSection());
  std::exception_ptr failure;
  while (!temporary_.empty()) {
    try {
      FreeTemporary(*temporary_.back());
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  for (TKuraDatabase* db : databases_) {
    try {
      db->Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  engine_.reset();
  if (failure) std::rethrow_exception(failure);
}

void TKuraSession::Attach(TKuraDatabase& database) {
  if (std::find(databases_.begin(), databases_.end(), &database) == databases_.end())
    databases_.push_back(&database);
  database.session_ = this;
}

void TKuraSession::Detach(TKuraDatabase& database) {
  std::erase(databases_, &database);
  if (database.session_ == this) database.session_ = nullptr;
}

TKuraDatabase* TKuraSession::FindDatabase(std::string_view name, const void* owner) {
  if (owner != nullptr)
    for (TKuraDatabase* db : databases_)
      if (db->owner_ == owner && SameName(db->database_name_, name)) return db;
  for (TKuraDatabase* db : databases_)
    if (SameName(db->database_name_, name)) return db;
  return nullptr;
}

TKuraDatabase& TKuraSession::OpenDatabase(std::string_view name, const void* owner) {
  TKuraDatabase* db = FindDatabase(name, owner);
  if (db == nullptr) {
    std::unique_ptr<TKuraDatabase> made(new TKuraDatabase(TKuraDatabase::TTemporary{}, *this));
    made->database_name_ = TrimName(name);
    made->directory_ =
        SameTextIgnoringCase(made->database_name_, kMemoryDatabaseName) ? "" : made->database_name_;
    made->keep_connection_ = keep_connections_;
    db = made.get();
    temporary_.push_back(std::move(made));
  }
  try {
    Open();
    db->Open();
  } catch (...) {
    if (db->temporary_ && db->use_count_ == 0) {
      try {
        FreeTemporary(*db);
      } catch (...) {
      }
    }
    throw;
  }
  ++db->use_count_;
  return *db;
}

void TKuraSession::CloseDatabase(TKuraDatabase& database) {
  if (database.use_count_ > 0) --database.use_count_;
  if (database.use_count_ > 0 || database.keep_connection_) return;
  if (database.temporary_)
    FreeTemporary(database);
  else
    database.Close();
}

void TKuraSession::FreeTemporary(TKuraDatabase& database) {
  auto it = std::find_if(temporary_.begin(), temporary_.end(),
                         [&database](const auto& p) { return p.get() == &database; });
  if (it == temporary_.end()) return;
  std::unique_ptr<TKuraDatabase> owned = std::move(*it);
  temporary_.erase(it);
  Detach(*owned);
  owned->Close();
}

// ---- TKuraDatabase ----

TKuraDatabase::TKuraDatabase(const void* owner, std::string session_name)
    : owner_(owner), session_name_(std::move(session_name)) {
  TKuraSessionList::Global().FindSession(session_name_).Attach(*this);
}

TKuraDatabase::TKuraDatabase(TTemporary, TKuraSession& session)
    : session_name_(session.SessionName()), temporary_(true) {
  session.Attach(*this);
}

TKuraDatabase::~TKuraDatabase() {
  try {
    Close();
  } catch (...) {
    // Destruction cannot report; the directory is released regardless.
  }
  if (session_ != nullptr) session_->Detach(*this);
}

TKuraSession& TKuraDatabase::Session() {
  if (session_ == nullptr) TKuraSessionList::Global().FindSession(session_name_).Attach(*this);
  return *session_;
}

void TKuraDatabase::SetSessionName(std::string name) {
  if (SameName(name, session_name_)) return;
  TKuraSession& target = TKuraSessionList::Global().FindSession(name);
  Close();
  if (session_ != nullptr) session_->Detach(*this);
  session_name_ = std::move(name);
  target.Attach(*this);
}

void TKuraDatabase::Open() {
  if (Connected()) return;
  TKuraSession& session = Session();
  session.Open();
  if (BeforeConnect) BeforeConnect(*this);
  const bool is_path = IsDatabasePath(database_name_);
  if (is_path && !temporary_)
    throw EDatabaseError(FormatDatabaseMessage(kDatabaseNameInvalid, database_name_));
  directory_object_ = &session.Engine().OpenDirectory(is_path ? std::string() : database_name_,
                                                      directory_, remote_database_);
}

void TKuraDatabase::Close() {
  if (!Connected()) return;
  TDataDirectory* directory = directory_object_;
  directory_object_ = nullptr;
  directory->Session().CloseDirectory(*directory);
}

TDataDirectory& TKuraDatabase::DataDirectory() {
  if (directory_object_ == nullptr) RaiseNotInitialized();
  return *directory_object_;
}

void TKuraDatabase::StartTransaction() {
  DataDirectory().StartTransaction();
}

void TKuraDatabase::Commit(bool flush) {
  DataDirectory().Commit(flush);
}

void TKuraDatabase::Rollback() {
  DataDirectory().Rollback();
}

bool TKuraDatabase::InTransaction() const {
  return directory_object_ != nullptr && directory_object_->InTransaction();
}

}  // namespace kura
