#include "db/engine/sql/query_statement.h"

#include <algorithm>
#include <cstring>

#include "db/engine/query/execution_support.h"
#include "db/engine/query/query_result.h"
#include "db/engine/query/statement_execution.h"
#include "db/engine/session/data_session.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

TExpressionContext StatementContext() {
  return TExpressionContext{kErrSql, std::string(), "SQL statement"};
}

// A string parameter loses its trailing blanks; an empty one is NULL.
TExpValue Normalised(TExpValue v) {
  if (!v.null && v.type == kFieldString) {
    while (!v.s.empty() && v.s.back() == ' ')
      v.s.pop_back();
    if (v.s.empty()) v.null = true;
  }
  return v;
}

void BindParameter(TExpToken& node, const TExpValue& given) {
  const TExpValue v = Normalised(given);
  node.value = v;
  node.type = v.type;
  node.size = v.type == kFieldString || IsByteType(v.type) ? static_cast<int>(v.s.size()) : 0;
}

// One parameter from its descriptor and value slot.
TExpValue DescriptorValue(const std::uint8_t* values, const std::uint8_t* d) {
  namespace pd = param_descriptor;
  const std::uint8_t type = d[pd::kType];
  const std::uint8_t subtype = d[pd::kSubtype];
  const std::uint8_t size = d[pd::kValueSize];
  const std::uint8_t* slot = values + DecodeFixed16(d + pd::kSlotOffset);
  if (slot[0] == 0) return TExpValue::Null(type);
  const std::uint8_t* bytes = slot + 1;
  if (type == kFieldBlob) {
    // Length, then the address of the bytes (a full pointer on this platform).
    const std::uint32_t length = DecodeFixed32(bytes);
    const std::uint8_t* data = nullptr;
    std::memcpy(&data, bytes + 4, sizeof data);
    TExpValue v = TExpValue::Str(
        subtype == kSubtypeMemo ? kFieldString : kFieldBlob,
        length && data ? std::string(reinterpret_cast<const char*>(data), length) : std::string());
    return v;
  }
  if (type == kFieldString) {
    const char* text = reinterpret_cast<const char*>(bytes);
    return TExpValue::Str(kFieldString, std::string(text, strnlen(text, size)));
  }
  if (!IsValidFieldType(type))
    StatementContext().Fail("Invalid type " + std::to_string(type) + " of parameter " +
                            std::to_string(DecodeFixed16(d + pd::kNumber)));
  TValueShape shape{type, subtype, size, d[pd::kScale]};
  std::uint8_t buf[kBcdSize + 8] = {};
  std::memcpy(buf, bytes, std::min<std::size_t>(size ? size : StorageSize(type, size), sizeof buf));
  return DecodeFieldValue(shape, buf);
}

}  // namespace

TQueryStatement::TQueryStatement(TDataDirectory& database) : database_(database) {}

TQueryStatement::~TQueryStatement() {
  CloseResult();
  CloseSources();
}

void TQueryStatement::CloseSources() {
  for (auto it = queries_.rbegin(); it != queries_.rend(); ++it)
    kura::CloseSources(**it);
}

void TQueryStatement::Reset() {
  CloseResult();
  CloseSources();
  main_ = nullptr;
  params_.clear();
  sub_selects_.clear();
  queries_.clear();
  parser_.reset();
  rest_ = std::string::npos;
  first_queries_ = 0;
}

std::unique_ptr<TQueryResult> TQueryStatement::TakeSpareResult() {
  return std::move(spare_);
}

void TQueryStatement::CloseResult() {
  result_.reset();
  spare_.reset();
}

TDataQuery& TQueryStatement::NewQuery() {
  queries_.push_back(std::make_unique<TDataQuery>());
  return *queries_.back();
}

TDataQuery* TQueryStatement::SubSelect(const TExpToken* node) const {
  auto it = sub_selects_.find(node);
  return it == sub_selects_.end() ? nullptr : it->second;
}

void TQueryStatement::SetRowLimit(std::int32_t limit) {
  row_limit_ = limit;
  if (main_ && main_->kind == kStmtSelect) main_->row_limit = limit;
}

void TQueryStatement::Prepare(std::string_view text) {
  Reset();
  text_.assign(text);
  parser_ = std::make_unique<TExpressionParser>(StatementContext());
  parser_->SetText(text_);
  parser_->NextToken();
  try {
    TDataQuery& q = ParseStatement(*this, *parser_);
    if (q.kind != kStmtSelect) q.row_limit = -1;
    if (q.kind != kStmtSelect) q.request_live = true;
    main_ = &q;
    params_ = parser_->Parameters();
    first_queries_ = queries_.size();
    if (!parser_->IsToken(kTokEnd)) rest_ = parser_->TokenStart();
  } catch (...) {
    Reset();
    throw;
  }
  if (prepared_cb_) prepared_cb_(main_->kind, main_->select_all, main_->request_live, false);
}

TQueryResult* TQueryStatement::Execute(int count, const std::uint8_t* values,
                                       const std::uint8_t* descriptors) {
  if (count < 0 || count > param_descriptor::kMaxParameters)
    StatementContext().Fail("Too many parameters (at most " +
                            std::to_string(param_descriptor::kMaxParameters) + ")");
  std::vector<TExpValue> params;
  for (int i = 0; i < count; ++i)
    params.push_back(DescriptorValue(
        values, descriptors + static_cast<std::size_t>(i) * param_descriptor::kSize));
  return Execute(params);
}

TQueryResult* TQueryStatement::Execute(const std::vector<TExpValue>& params) {
  if (!main_) StatementContext().Fail("The statement is not prepared");
  // A single statement may recycle its last result table; a script starts afresh.
  std::unique_ptr<TQueryResult> spare =
      rest_ == std::string::npos && result_ && !result_->Live() ? std::move(result_) : nullptr;
  CloseResult();
  spare_ = std::move(spare);
  DropScriptQueries();
  rows_affected_ = 0;
  execution_time_ = 0;
  std::int32_t mark = 0;
  auto run = [&](TDataQuery& q, const std::vector<TExpToken*>& nodes, std::size_t first_param) {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const std::size_t k = first_param + i;
      BindParameter(*nodes[i], k < params.size() ? params[k] : TExpValue::Null());
    }
    result_.reset();
    ExecuteQuery(*this, q, &result_);
    spare_.reset();
    kind_ = q.kind;
    execution_time_ += q.execution_time;
    if (q.kind == kStmtStartTransaction)
      mark = rows_affected_;
    else if (q.kind == kStmtRollback)
      rows_affected_ = mark;
    else
      rows_affected_ += q.rows_affected;
    result_live_ = result_ && result_->Live();
    result_read_only_ = result_ && result_->ReadOnly();
    select_all_ = q.select_all;
  };
  run(*main_, params_, 0);
  if (rest_ == std::string::npos) return result_.get();
  TExpressionParser next(StatementContext());
  next.SetText(std::string_view(text_).substr(rest_));
  next.NextToken();
  // Each further statement is parsed only after the one before it ran; its
  // query objects stay until the next run (the result may refer to them).
  std::size_t used = 0;
  while (!next.IsToken(kTokEnd)) {
    TDataQuery& q = ParseStatement(*this, next);
    if (q.kind != kStmtSelect) {
      q.row_limit = -1;
      q.request_live = true;
    }
    const auto& all = next.Parameters();
    std::vector<TExpToken*> nodes(all.begin() + static_cast<std::ptrdiff_t>(used), all.end());
    const std::size_t first_param = params_.size() + used;
    used = all.size();
    run(q, nodes, first_param);
  }
  return result_.get();
}

void TQueryStatement::DropScriptQueries() {
  if (queries_.size() <= first_queries_) return;
  for (auto it = sub_selects_.begin(); it != sub_selects_.end();) {
    bool dropped = false;
    for (std::size_t i = first_queries_; i < queries_.size(); ++i)
      dropped = dropped || queries_[i].get() == it->second;
    it = dropped ? sub_selects_.erase(it) : std::next(it);
  }
  for (std::size_t i = first_queries_; i < queries_.size(); ++i)
    kura::CloseSources(*queries_[i]);
  queries_.resize(first_queries_);
}

}  // namespace kura
