#include "db/engine/dataset/field_mapping.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "db/storage/coding.h"
#include "db/storage/data/field_types.h"

namespace kura {
namespace {

using HostType = ::kura::TFieldType;  // the host framework's field types

HostType BlobType(std::uint8_t subtype) {
  switch (subtype) {
    case kSubtypeMemo:
      return HostType::ftMemo;
    case kSubtypeFormattedMemo:
      return HostType::ftFmtMemo;
    case kSubtypeGraphic:
      return HostType::ftGraphic;
    case kSubtypeTypedBinary:
      return HostType::ftTypedBinary;
    default:
      return HostType::ftBlob;
  }
}

template <typename T>
void Put(std::byte* native, std::size_t size, T value) {
  if (size >= sizeof value) std::memcpy(native, &value, sizeof value);
}

template <typename T>
T Get(const std::byte* native, std::size_t size) {
  T value{};
  if (size >= sizeof value) std::memcpy(&value, native, sizeof value);
  return value;
}

}  // namespace

TFieldDef HostFieldDef(const TFieldDescriptor& f) {
  TFieldDef def;
  def.name = f.Name();
  def.field_no = f.Number();
  def.required = f.Required();
  switch (f.Type()) {
    case kFieldString:
      def.data_type = f.Subtype() == kSubtypeFixed ? HostType::ftFixedChar : HostType::ftString;
      def.size = f.Length();
      break;
    case kFieldDate:
      def.data_type = HostType::ftDate;
      break;
    case kFieldBlob:
      def.data_type = BlobType(f.Subtype());
      break;
    case kFieldBoolean:
      def.data_type = HostType::ftBoolean;
      break;
    case kFieldSmallInt:
      def.data_type = HostType::ftSmallint;
      break;
    case kFieldInteger:
      def.data_type = f.IsAutoInc() ? HostType::ftAutoInc : HostType::ftInteger;
      break;
    case kFieldFloat:
      def.data_type = f.Subtype() == kSubtypeMoney ? HostType::ftCurrency : HostType::ftFloat;
      break;
    case kFieldBcd:
      def.data_type = HostType::ftBCD;
      def.size = kBcdSize;
      break;
    case kFieldBytes:
    case kFieldVarBytes:
      def.data_type = HostType::ftBytes;
      def.size = f.StorageSize();
      break;
    case kFieldTime:
      def.data_type = HostType::ftTime;
      break;
    case kFieldTimestamp:
      def.data_type = HostType::ftDateTime;
      break;
    case kFieldWord:
      def.data_type = HostType::ftWord;
      break;
    case kFieldExtended:
      def.data_type = HostType::ftFloat;
      break;
    case kFieldUnsigned:
    case kFieldLargeInt:
      def.data_type = HostType::ftLargeint;
      break;
    default:
      def.data_type = HostType::ftUnknown;
      def.internal = true;  // no host form: not shown as a field
      break;
  }
  return def;
}

void EngineToNative(const TFieldDescriptor& f, const std::uint8_t* v, std::byte* native,
                    std::size_t size) {
  switch (f.Type()) {
    case kFieldString: {
      const std::size_t n = std::min<std::size_t>(f.StorageSize(), size);
      std::memcpy(native, v, n);
      if (n > 0) native[n - 1] = std::byte{0};
      return;
    }
    case kFieldDate:
    case kFieldTime:
    case kFieldInteger:
      return Put(native, size, static_cast<std::int32_t>(DecodeFixed32(v)));
    case kFieldBoolean:
    case kFieldSmallInt:
      return Put(native, size, static_cast<std::int16_t>(DecodeFixed16(v)));
    case kFieldWord:
      return Put(native, size, DecodeFixed16(v));
    case kFieldFloat:
    case kFieldTimestamp:
      return Put(native, size, DecodeDouble(v));
    case kFieldExtended:
      return Put(native, size, static_cast<double>(DecodeExtended(v)));
    case kFieldUnsigned:
      return Put(native, size, static_cast<std::int64_t>(DecodeFixed32(v)));
    case kFieldLargeInt:
      return Put(native, size, static_cast<std::int64_t>(DecodeFixed64(v)));
    case kFieldBlob:
      return;  // read through a BLOB stream
    default:
      std::memcpy(native, v, std::min<std::size_t>(f.StorageSize(), size));
      return;
  }
}

std::optional<std::vector<std::uint8_t>> NativeToEngine(const TFieldDescriptor& f,
                                                        const std::byte* native, std::size_t size) {
  std::vector<std::uint8_t> out(f.StorageSize(), 0);
  switch (f.Type()) {
    case kFieldDate:
    case kFieldTime:
    case kFieldInteger:
      EncodeFixed32(out.data(), static_cast<std::uint32_t>(Get<std::int32_t>(native, size)));
      break;
    case kFieldBoolean:
      EncodeFixed16(out.data(), Get<std::int16_t>(native, size) != 0 ? 1 : 0);
      break;
    case kFieldSmallInt:
      EncodeFixed16(out.data(), static_cast<std::uint16_t>(Get<std::int16_t>(native, size)));
      break;
    case kFieldWord:
      EncodeFixed16(out.data(), Get<std::uint16_t>(native, size));
      break;
    case kFieldFloat:
    case kFieldTimestamp: {
      const double d = Get<double>(native, size);
      if (!std::isfinite(d)) return std::nullopt;
      EncodeDouble(out.data(), d);
      break;
    }
    case kFieldExtended: {
      const double d = Get<double>(native, size);
      if (!std::isfinite(d)) return std::nullopt;
      EncodeExtended(out.data(), d);
      break;
    }
    case kFieldUnsigned: {
      const std::int64_t n = Get<std::int64_t>(native, size);
      if (n < 0 || n > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      EncodeFixed32(out.data(), static_cast<std::uint32_t>(n));
      break;
    }
    case kFieldLargeInt:
      EncodeFixed64(out.data(), static_cast<std::uint64_t>(Get<std::int64_t>(native, size)));
      break;
    default:
      std::memcpy(out.data(), native, std::min(out.size(), size));
      break;
  }
  return out;
}

}  // namespace kura
