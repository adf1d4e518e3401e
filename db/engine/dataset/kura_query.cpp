#include "db/engine/dataset/kura_query.h"

#include <cstring>

#include "db/dataset/data_source.h"
#include "db/dataset/messages.h"
#include "db/engine/dataset/dataset_messages.h"
#include "db/engine/expression/expression.h"
#include "db/engine/query/query_result.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/coding.h"
#include "db/storage/data/field_types.h"
#include "db/storage/engine_error.h"

namespace kura {

namespace {

namespace pd = param_descriptor;

// Engine type, subtype and value size of a parameter of host type `type`
// whose string value (for the string types) is `text`.
struct TParamShape {
  std::uint8_t type = 0;
  std::uint8_t subtype = 0;
  std::uint8_t size = 0;
  std::uint8_t scale = 0;
};

constexpr std::size_t kLongestStringParam = 250;

TParamShape ShapeOf(const TParam& param) {
  const auto text_size = [&] {
    return static_cast<std::uint8_t>(std::min(param.AsString().size(), kLongestStringParam) + 1);
  };
  switch (param.DataType()) {
    case TFieldType::ftString:
      if (!param.IsNull() && param.AsString().size() > kLongestStringParam)
        return {kFieldBlob, kSubtypeMemo, 8, 0};
      return {kFieldString, 0, text_size(), 0};
    case TFieldType::ftFixedChar:
      return {kFieldString, kSubtypeFixed, text_size(), 0};
    case TFieldType::ftWideString:
      return {kFieldString, 32, text_size(), 0};
    case TFieldType::ftSmallint:
      return {kFieldSmallInt, 0, 2, 0};
    case TFieldType::ftInteger:
      return {kFieldInteger, 0, 4, 0};
    case TFieldType::ftAutoInc:
      return {kFieldInteger, kSubtypeAutoInc, 4, 0};
    case TFieldType::ftWord:
      return {kFieldWord, 0, 2, 0};
    case TFieldType::ftBoolean:
      return {kFieldBoolean, 0, 2, 0};
    case TFieldType::ftFloat:
      return {kFieldFloat, 0, 8, 0};
    case TFieldType::ftCurrency:
      return {kFieldFloat, kSubtypeMoney, 8, 0};
    case TFieldType::ftBCD:
      return {kFieldBcd, 0, kBcdSize, 4};
    case TFieldType::ftDate:
      return {kFieldDate, 0, 4, 0};
    case TFieldType::ftTime:
      return {kFieldTime, 0, 4, 0};
    case TFieldType::ftDateTime:
      return {kFieldTimestamp, 0, 8, 0};
    case TFieldType::ftBytes:
      return {kFieldBytes, 0, text_size(), 0};
    case TFieldType::ftVarBytes:
      return {kFieldVarBytes, 0, text_size(), 0};
    case TFieldType::ftBlob:
    case TFieldType::ftParadoxOle:
    case TFieldType::ftDBaseOle:
      return {kFieldBlob, 0, 8, 0};
    case TFieldType::ftMemo:
      return {kFieldBlob, kSubtypeMemo, 8, 0};
    case TFieldType::ftGraphic:
      return {kFieldBlob, kSubtypeGraphic, 8, 0};
    case TFieldType::ftFmtMemo:
      return {kFieldBlob, kSubtypeFormattedMemo, 8, 0};
    case TFieldType::ftTypedBinary:
      return {kFieldBlob, kSubtypeTypedBinary, 8, 0};
    case TFieldType::ftOraBlob:
    case TFieldType::ftOraClob:
      return {kFieldBlob, 0, 8, 0};
    case TFieldType::ftLargeint:
      return {kFieldLargeInt, 0, 8, 0};
    case TFieldType::ftUnknown:
      break;
  }
  return {};
}

// The parameter's value as the engine's value of its shape.
TExpValue EngineValue(const TParam& param, const TParamShape& shape) {
  if (param.IsNull()) return TExpValue::Null(shape.type);
  switch (shape.type) {
    case kFieldString:
    case kFieldBytes:
    case kFieldVarBytes:
    case kFieldBlob:
      return TExpValue::Str(shape.type, param.AsString());
    case kFieldFloat:
    case kFieldBcd:
    case kFieldTimestamp:
      return TExpValue::Float(shape.type, param.AsFloat());
    case kFieldBoolean:
      return TExpValue::Bool(param.AsBoolean());
    default:
      return TExpValue::Int(shape.type, param.AsLargeInt());
  }
}

// The parameters as descriptors and one value buffer of slots (an indicator
// byte, then the value in its field encoding; a BLOB slot holds the length
// and the address of bytes kept in `blobs`).
struct TBoundParams {
  std::vector<std::uint8_t> descriptors;
  std::vector<std::uint8_t> values;
  std::vector<std::string> blobs;
};

TBoundParams Bind(const TParams& params) {
  TBoundParams bound;
  const int count = params.Count();
  bound.descriptors.assign(static_cast<std::size_t>(count) * pd::kSize, 0);
  bound.blobs.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const TParam& param = params[i];
    const TParamShape shape = ShapeOf(param);
    if (shape.type == 0) DatabaseError(kNoParameterValue, param.Name());
    std::uint8_t* d = &bound.descriptors[static_cast<std::size_t>(i) * pd::kSize];
    EncodeFixed16(d + pd::kNumber, static_cast<std::uint16_t>(i + 1));
    EncodeShortString(d + pd::kName, pd::kNameCapacity, param.Name().substr(0, pd::kNameCapacity));
    d[pd::kType] = shape.type;
    d[pd::kSubtype] = shape.subtype;
    d[pd::kValueSize] = shape.size;
    d[pd::kScale] = shape.scale;
    const std::size_t slot = bound.values.size();
    // Slot offsets are 16-bit: the values of all parameters must fit in 64 KB.
    if (slot > 0xFFFF) throw EDatabaseError("The values of the parameters exceed 65,535 bytes");
    EncodeFixed16(d + pd::kSlotOffset, static_cast<std::uint16_t>(slot));
    // A BLOB slot holds a full address after the length, whatever its
    // declared size of 8.
    const std::size_t room =
        shape.type == kFieldBlob ? 4 + sizeof(const std::uint8_t*) : std::size_t{shape.size};
    bound.values.resize(slot + 1 + room, 0);
    TExpValue value = EngineValue(param, shape);
    if (shape.type == kFieldString && !value.null) {
      // Trailing blanks go; a string of blanks is NULL.
      const std::size_t end = value.s.find_last_not_of(' ');
      value.s.resize(end == std::string::npos ? 0 : end + 1);
      if (value.s.empty()) value = TExpValue::Null(shape.type);
    }
    if (value.null) continue;
    std::uint8_t* out = &bound.values[slot];
    if (shape.type == kFieldBlob) {
      bound.blobs.push_back(value.s);
      const std::string& bytes = bound.blobs.back();
      out[0] = 1;
      EncodeFixed32(out + 1, static_cast<std::uint32_t>(bytes.size()));
      const std::uint8_t* address = reinterpret_cast<const std::uint8_t*>(bytes.data());
      std::memcpy(out + 5, &address, sizeof address);
      continue;
    }
    std::vector<std::uint8_t> encoded;
    const TValueShape field_shape{shape.type, shape.subtype, shape.size, shape.scale};
    if (!EncodeFieldValue(field_shape, value, &encoded))
      DatabaseError(kNoParameterValue, param.Name());
    out = &bound.values[slot];
    out[0] = 1;
    std::memcpy(out + 1, encoded.data(), std::min<std::size_t>(encoded.size(), shape.size));
  }
  return bound;
}

}  // namespace

TKuraQuery::TKuraQuery(const void* owner) : TKuraDBDataSet(owner) {}

TKuraQuery::~TKuraQuery() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the statement and the database use go below.
  }
  UnPrepare();
}

void TKuraQuery::SetSQL(std::vector<std::string> lines) {
  sql_ = std::move(lines);
  SqlChanged();
}

void TKuraQuery::AddSQL(const std::string& line) {
  sql_.push_back(line);
  SqlChanged();
}

void TKuraQuery::SqlChanged() {
  Close();
  UnPrepare();
  std::string joined;
  for (std::size_t i = 0; i < sql_.size(); ++i) {
    if (i > 0) joined += "\r\n";
    joined += sql_[i];
  }
  if (!param_check_) {
    text_ = joined;
    return;
  }
  TParams fresh;
  text_ = fresh.ParseSQL(joined, true);
  fresh.AssignValues(params_);
  params_ = std::move(fresh);
}

void TKuraQuery::SetRequestLive(bool value) {
  if (Active()) DatabaseError(kDataSetOpen);
  if (value != request_live_) UnPrepare();
  request_live_ = value;
}

void TKuraQuery::SetMaxRowCount(std::int32_t value) {
  if (Active()) DatabaseError(kDataSetOpen);
  if (value != max_row_count_) UnPrepare();
  max_row_count_ = value;
}

void TKuraQuery::SetReadOnly(bool value) {
  if (Active()) DatabaseError(kDataSetOpen);
  read_only_ = value;
}

void TKuraQuery::Prepare() {
  if (statement_) return;
  if (Active()) DatabaseError(kDataSetOpen);
  if (sql_.empty() || text_.size() < 2) DatabaseError(kNoSqlStatement);
  AcquireDatabase(kStatementUse);
  try {
    statement_ = std::make_unique<TQueryStatement>(DataDirectory());
    statement_->SetRequestLive(request_live_);
    statement_->SetRowLimit(max_row_count_);
    statement_->Prepare(text_);
  } catch (...) {
    statement_.reset();
    ReleaseDatabase(kStatementUse);
    throw;
  }
}

void TKuraQuery::UnPrepare() {
  if (!statement_) return;
  statement_.reset();
  ReleaseDatabase(kStatementUse);
}

void TKuraQuery::BindMasterValues() {
  TDataSet* master = data_source_ != nullptr ? data_source_->DataSet() : nullptr;
  if (master == nullptr || !master->Active()) return;
  for (int i = 0; i < params_.Count(); ++i) {
    TParam& param = params_[i];
    if (param.Bound()) continue;
    if (const TField* field = master->FindField(param.Name())) param.AssignField(*field);
  }
}

TDataCursor* TKuraQuery::Execute() {
  const TBoundParams bound = Bind(params_);
  try {
    statement_->Execute(params_.Count(), bound.values.data(), bound.descriptors.data());
  } catch (const EKuraEngineError& e) {
    if (e.Code() == kErrSql) UnPrepare();
    throw;
  }
  rows_affected_ = statement_->RowsAffected();
  execution_time_ = statement_->ExecutionTime();
  TQueryResult* result = statement_->Result();
  if (result == nullptr) return nullptr;
  if (result->ReadOnly() || result->Cursor().ReadOnly()) read_only_ = true;
  return &result->Cursor();
}

TDataCursor* TKuraQuery::CreateHandle() {
  if (sql_.empty()) DatabaseError(kNoSqlStatement);
  Prepare();
  BindMasterValues();
  return Execute();
}

std::vector<TKuraDataSet::TShownColumn> TKuraQuery::ShownColumns() {
  TQueryResult* result = statement_ ? statement_->Result() : nullptr;
  std::vector<TShownColumn> columns;
  if (result == nullptr || !result->Live()) return columns;
  for (int p = 1; p <= result->ColumnCount(); ++p) {
    const TResultColumn& c = result->Column(p);
    TShownColumn shown{c.field, c.name, c.shape, nullptr};
    if (c.field == 0) {
      shown.value = [result, p](const std::uint8_t* record) { return result->Value(p, record); };
    }
    columns.push_back(std::move(shown));
  }
  return columns;
}

void TKuraQuery::DestroyHandle() {
  if (statement_) statement_->CloseResult();
}

void TKuraQuery::CloseCursor() {
  try {
    TKuraDBDataSet::CloseCursor();
  } catch (...) {
    UnPrepare();
    throw;
  }
  UnPrepare();
}

void TKuraQuery::ExecSQL() {
  if (Active()) DatabaseError(kDataSetOpen);
  Prepare();
  BindMasterValues();
  Execute();
  statement_->CloseResult();
}

}  // namespace kura
