#include "parameters/parameter_file.h"

#include <memory>
#include <optional>
#include <stdexcept>

#include "feltwise_comm/parameter_file_error.h"
#include "parameters/bounded_unpack.h"
#include "parameters/msgpack_values.h"
#include "parameters/packed_value.h"
#include "parameters/parameter_type_error.h"
#include "parameters/regular_file.h"

namespace feltwise_comm {

std::string read_parameter_file(const std::string& path) {
  std::string bytes;
  switch (read_regular_file(path, kMaxParameterFileSize, bytes)) {
    case FileRead::read:
      return bytes;
    case FileRead::missing:
      throw ParameterFileError("Cannot find sensor parameter file", ParameterFileReason::kMissing, path);
    case FileRead::too_large:
      throw ParameterFileError("Sensor parameter file is larger than 64 MiB", ParameterFileReason::kTooLarge, path);
    case FileRead::not_regular:
    case FileRead::failed:
      break;
  }
  throw ParameterFileError("Cannot open sensor parameter file", ParameterFileReason::kNotOpened, path);
}

std::int32_t detect_sensor_type(const PackedValue& record_map) {
  const auto str_or_bin = [](const msgpack::v1::object& key) {
    if (key.type != msgpack::v1::type::STR && key.type != msgpack::v1::type::BIN) throw ParameterTypeError();
  };
  std::optional<std::int32_t> found;
  record_map.for_each_entry(map_size(record_map), [&](const msgpack::v1::object& key, const PackedValue& value) {
    str_or_bin(key);
    if (!is_str_or_bin_key(key, "SensorParameters")) return true;
    value.for_each_entry(map_size(value), [&](const msgpack::v1::object& base_key, const PackedValue& base_value) {
      str_or_bin(base_key);
      if (!is_str_or_bin_key(base_key, "sensor_type")) return true;
      std::int32_t type = 0;
      try {
        type = to_int32(base_value);
      } catch (ParameterTypeError& refused) {
        refused.name_field("sensor_type");
        throw;
      }
      if (type >= 0) found = type;
      return !found;
    });
    return !found;
  });
  if (!found) throw std::runtime_error("Invalid sensor parameter data format (3)");
  return *found;
}

std::int32_t detect_sensor_type(const msgpack::v1::object& record_map) {
  const msgpack::v1::sbuffer bytes = pack_exactly(record_map);
  return detect_sensor_type(PackedValue(bytes.data(), bytes.size(), 0));
}

namespace {

std::shared_ptr<SensorParameters> decode_typed_record(const PackedValue& record_map, RecordDecoder decode_record) {
  std::shared_ptr<SensorParameters> record = decode_record(detect_sensor_type(record_map), record_map);
  if (!record) throw std::runtime_error("Invalid sensor parameter data format (4) ");
  return record;
}

// The elements of an array in order; the next one is only stepped to when it
// is wanted, so that nothing past the file's object is ever read.
template <typename Take>
void for_each_in_array(const PackedValue& array, std::uint32_t size, Take take) {
  if (size == 0) return;
  PackedValue element = array.first_element();
  for (std::uint32_t i = 0;; ++i) {
    take(element);
    if (i + 1 == size) return;
    element = element.next();
  }
}

}  // namespace

void decode_parameters(ParameterHolder& comms, const std::string& bytes, RecordDecoder decode_record,
                       DecodeProgress* progress) {
  check_bounded(bytes.data(), bytes.size());
  const PackedValue file(bytes.data(), bytes.size(), 0);
  const msgpack::v1::object head = file.head();
  if (head.type != msgpack::v1::type::ARRAY) throw std::runtime_error("Invalid sensor parameter data format (1)");
  if (head.via.array.size == 0) throw std::runtime_error("Invalid sensor parameter data format (2)");

  bool version_read = false;
  std::size_t record_index = 0;
  for_each_in_array(file, head.via.array.size, [&](const PackedValue& element) {
    if (!version_read) {
      comms.protocol_version_ = to_int32(element);
      version_read = true;
      return;
    }
    const msgpack::v1::object group = element.head();
    if (group.type != msgpack::v1::type::ARRAY) throw ParameterTypeError();
    for_each_in_array(element, group.via.array.size, [&](const PackedValue& record) {
      if (progress != nullptr) progress->record = record_index;
      comms.records_.push_back(decode_typed_record(record, decode_record));
      ++record_index;
      if (progress != nullptr) progress->record.reset();
    });
  });
}

void load_parameter_file(ParameterHolder& comms, const std::string& path, RecordDecoder decode_record) {
  const std::string bytes = read_parameter_file(path);
  DecodeProgress progress;
  try {
    decode_parameters(comms, bytes, decode_record, &progress);
  } catch (const ParameterTypeError& refused) {
    throw ParameterValueError(path, progress.record, refused.field() == nullptr ? "" : refused.field());
  } catch (const msgpack::v1::unpack_error& unreadable) {
    throw ParameterFileError(unreadable.what(), ParameterFileReason::kNotMsgpack, path);
  } catch (const std::runtime_error& malformed) {
    throw ParameterFileError(malformed.what(), ParameterFileReason::kFormat, path, progress.record);
  }
}

}  // namespace feltwise_comm
