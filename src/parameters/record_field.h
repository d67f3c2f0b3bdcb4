// How a record class declares its fields: once, beside its members, as a
// tuple of {file name, member, need} in the order the file's map lists them:
//
//   static constexpr auto ownFields() {
//     return std::tuple{
//         recordField("lower", &TaxelLookupParameters::lower, Need::kRequired),
//         ...
//     };
//   }
//
// Everything else follows from that list: the loader's conversion of a record
// map (record_conversion.h), the tools' view of a record's values
// (record_fields.h) and the field list feltwise._native exports with the
// sensor-type table. A field's kind follows from its member's type.
#ifndef FELTWISE_PARAMETERS_RECORD_FIELD_H
#define FELTWISE_PARAMETERS_RECORD_FIELD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "feltwise_comm/tables.h"

namespace feltwise_comm {

// The C++ types a field may have, as the file holds them.
template <typename Value>
struct FieldKindOf;
template <>
struct FieldKindOf<std::int32_t> {
  static constexpr FieldKind kKind = FieldKind::kInteger;
};
template <>
struct FieldKindOf<double> {
  static constexpr FieldKind kKind = FieldKind::kNumber;
};
template <>
struct FieldKindOf<std::vector<double>> {
  static constexpr FieldKind kKind = FieldKind::kNumbers;
};
template <>
struct FieldKindOf<std::map<std::int32_t, std::int32_t>> {
  static constexpr FieldKind kKind = FieldKind::kIntegerMap;
};

// What a file should hold for the model to calibrate. The loader never
// insists: a field the map lacks keeps its default. The tools
// (`feltwise params check`) point out a required field that is missing, and a
// non-empty one that holds no value.
enum class Need {
  kOptional,
  kRequired,
  kNonEmpty,  // required, and a list of at least one value
};

template <typename Owner, typename ValueType>
struct RecordField {
  using Value = ValueType;
  const char* name;  // the key in the file's record map
  Value Owner::*member;
  Need need;
};

template <typename Owner, typename Value>
constexpr RecordField<Owner, Value> recordField(const char* name, Value Owner::*member, Need need) {
  static_assert(sizeof(FieldKindOf<Value>) > 0, "a record field has one of FieldKind's types");
  return {name, member, need};
}

// A field without its member: what the tools are told of it.
struct FieldInfo {
  const char* name;
  FieldKind kind;
  Need need;
};

// Calls visit(index, field) for the fields of a declaration, in order.
template <typename Fields, typename Visit>
constexpr void forEachField(const Fields& fields, Visit&& visit) {
  std::apply(
      [&](const auto&... field) {
        std::size_t index = 0;
        (visit(index++, field), ...);
      },
      fields);
}

// The names, kinds and needs of a declaration's fields.
template <typename... Fields>
constexpr std::array<FieldInfo, sizeof...(Fields)> fieldInfos(const std::tuple<Fields...>& fields) {
  return std::apply(
      [](const auto&... field) {
        return std::array<FieldInfo, sizeof...(Fields)>{
            FieldInfo{field.name, FieldKindOf<typename std::decay_t<decltype(field)>::Value>::kKind, field.need}...};
      },
      fields);
}

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_RECORD_FIELD_H
