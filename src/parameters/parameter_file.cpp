#include "parameters/parameter_file.h"

#include <array>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "parameters/bounded_unpack.h"
#include "parameters/msgpack_values.h"
#include "parameters/parameter_type_error.h"
#include "parameters/record_conversion.h"

namespace feltwise_comm {

std::string read_parameter_file(const std::string& path) {
  // std::ifstream shares the file with other readers and writers on every
  // system, and an input stream never creates the file.
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (file.fail()) throw std::runtime_error("Cannot find sensor parameter file");
  if (!file.is_open()) throw std::runtime_error("Cannot open sensor parameter file");

  // The end position is only a hint for the buffer: a directory opens as well
  // and reports an end near 2^63 (its read then fails), and a file may change
  // length while it is read. So the bytes are read until the real end.
  const std::streamoff end = file.tellg();
  file.seekg(0);
  std::string bytes;
  constexpr std::streamoff plausible = std::streamoff{1} << 30;
  if (end > 0 && end < plausible) bytes.reserve(static_cast<std::size_t>(end));
  std::array<char, 1 << 16> chunk;
  while (file.read(chunk.data(), chunk.size()) || file.gcount() > 0) {
    bytes.append(chunk.data(), static_cast<std::size_t>(file.gcount()));
  }
  if (file.bad()) throw std::runtime_error("Cannot open sensor parameter file");
  return bytes;
}

std::int32_t detect_sensor_type(const msgpack::v1::object& record_map) {
  const msgpack::v1::object_map& record = as_map(record_map);
  for (std::uint32_t i = 0; i < record.size; ++i) {
    const msgpack::v1::object& key = record.ptr[i].key;
    if (key.type != msgpack::v1::type::STR && key.type != msgpack::v1::type::BIN) throw ParameterTypeError();
    if (!is_str_or_bin_key(key, "SensorParameters")) continue;

    const msgpack::v1::object_map& base = as_map(record.ptr[i].val);
    for (std::uint32_t j = 0; j < base.size; ++j) {
      const msgpack::v1::object& base_key = base.ptr[j].key;
      if (base_key.type != msgpack::v1::type::STR && base_key.type != msgpack::v1::type::BIN) {
        throw ParameterTypeError();
      }
      if (!is_str_or_bin_key(base_key, "sensor_type")) continue;
      const std::int32_t type = to_int32(base.ptr[j].val);
      if (type >= 0) return type;
    }
  }
  throw std::runtime_error("Invalid sensor parameter data format (3)");
}

namespace {

template <typename Record>
std::shared_ptr<SensorParameters> make_record(const msgpack::v1::object& record_map) {
  auto record = std::make_shared<Record>();
  record_map.convert(*record);
  return record;
}

std::shared_ptr<SensorParameters> decode_record(const msgpack::v1::object& record_map) {
  switch (detect_sensor_type(record_map)) {
    case sensor_type::triaxial_polyfit:
      return make_record<TriaxialPolyfitParameters>(record_map);
    case sensor_type::taxel_polyfit:
      return make_record<TaxelPolyfitParameters>(record_map);
    case sensor_type::taxel_lookup:
      return make_record<TaxelLookupParameters>(record_map);
    default:
      throw std::runtime_error("Invalid sensor parameter data format (4) ");
  }
}

}  // namespace

void decode_parameters(ParameterHolder& comms, const std::string& bytes) {
  const msgpack::v1::object_handle handle = unpack_bounded(bytes.data(), bytes.size());
  const msgpack::v1::object& file = handle.get();
  if (file.type != msgpack::v1::type::ARRAY) {
    throw std::runtime_error("Invalid sensor parameter data format (1)");
  }
  const msgpack::v1::object_array& elements = file.via.array;
  if (elements.size == 0) throw std::runtime_error("Invalid sensor parameter data format (2)");

  comms.protocol_version_ = to_int32(elements.ptr[0]);

  for (std::uint32_t g = 1; g < elements.size; ++g) {
    const msgpack::v1::object_array& group = as_array(elements.ptr[g]);
    for (std::uint32_t r = 0; r < group.size; ++r) comms.records_.push_back(decode_record(group.ptr[r]));
  }
}

}  // namespace feltwise_comm
