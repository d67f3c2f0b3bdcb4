#include "parameters/record_conversion.h"

#include "parameters/msgpack_values.h"
#include "parameters/parameter_type_error.h"

namespace feltwise_comm {
namespace detail {

// One pass over the map: every key is checked to be a str before any field
// is converted.
void findFirstValues(const PackedValue& map, const std::string_view* names, std::optional<PackedValue>* values,
                     std::size_t count) {
  map.for_each_entry(map_size(map), [&](const msgpack::v1::object& key, const PackedValue& value) {
    if (key.type != msgpack::v1::type::STR) throw ParameterTypeError();
    for (std::size_t i = 0; i < count; ++i) {
      if (is_str_key(key, names[i])) {
        if (!values[i]) values[i] = value;
        break;
      }
    }
    return true;
  });
}

void readField(const PackedValue& value, std::int32_t& field) { field = to_int32(value); }
void readField(const PackedValue& value, double& field) { field = to_double(value); }
void readField(const PackedValue& value, std::vector<double>& field) { field = to_double_vector(value); }
void readField(const PackedValue& value, std::map<std::int32_t, std::int32_t>& field) { field = to_int32_map(value); }

}  // namespace detail
}  // namespace feltwise_comm
