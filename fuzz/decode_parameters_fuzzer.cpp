// libFuzzer target: arbitrary bytes as a sensor parameter file.
//
// A file is refused only with the errors the loader documents; anything else
// (another exception, a sanitizer report, an allocation beyond libFuzzer's
// limit) is a finding. The records a file yields are then handed to their
// models, configured, applied and zeroed as the comms object would, so that a
// record that loads but breaks a model is found too.
//
// A second oracle checks the allocation-free walk in front of the decoding:
// whatever it accepts, msgpack-c alone must accept as the same object, and
// what it refuses as truncated or malformed, msgpack-c alone must refuse too.
// The loader then reads the accepted bytes in place (PackedValue): what it
// reads must be that same object, value by value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "parameters/bounded_unpack.h"
#include "parameters/packed_value.h"
#include "parameters/parameter_file.h"
#include "sensor_types/sensor_type_table.h"

namespace {

void exercise_models(const feltwise_comm::ParameterHolder& holder) {
  // The comms object sizes the output from the largest output index; capped
  // here, which also checks that models skip outputs beyond it.
  std::int32_t largest = -1;
  for (const auto& record : holder.records_) {
    for (const auto& entry : record->output_map) largest = std::max(largest, entry.second);
  }
  std::vector<double> output(static_cast<std::size_t>(std::min(largest, 255) + 1), 0.0);

  std::vector<double> raw(64);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<double>((i * 977) % 4096) - 100.0;
  const std::vector<double> short_raw(raw.begin(), raw.begin() + 8);

  for (const auto& record : holder.records_) {
    // The model of the record's type, as init would make it; a record whose
    // sensor_type field names no row has none.
    const feltwise_comm::SensorTypeEntry* type = feltwise_comm::findSensorType(record->sensor_type);
    if (type == nullptr) continue;
    const std::shared_ptr<feltwise_comm::SensorModel> model = type->create_model();
    try {
      model->configure(record);
    } catch (const std::runtime_error&) {
      continue;
    }
    model->apply(output, raw);
    model->apply(output, short_raw);
    try {
      model->zero({raw, short_raw});
    } catch (const std::runtime_error&) {
    }
    model->apply(output, raw);
  }
}

// Objects compared bit for bit: msgpack-c's operator== compares floats by
// value, and a NaN is not equal to itself. Depth is bounded by the walk.
bool same_bytes(const char* a, const char* b, std::size_t size) { return size == 0 || std::memcmp(a, b, size) == 0; }

bool same(const msgpack::v1::object& a, const msgpack::v1::object& b) {
  namespace type = msgpack::v1::type;
  if (a.type != b.type) return false;
  switch (a.type) {
    case type::NIL:
      return true;
    case type::BOOLEAN:
      return a.via.boolean == b.via.boolean;
    case type::POSITIVE_INTEGER:
      return a.via.u64 == b.via.u64;
    case type::NEGATIVE_INTEGER:
      return a.via.i64 == b.via.i64;
    case type::FLOAT32:
    case type::FLOAT64:
      return std::memcmp(&a.via.f64, &b.via.f64, sizeof a.via.f64) == 0;
    case type::STR:
      return a.via.str.size == b.via.str.size && same_bytes(a.via.str.ptr, b.via.str.ptr, a.via.str.size);
    case type::BIN:
      return a.via.bin.size == b.via.bin.size && same_bytes(a.via.bin.ptr, b.via.bin.ptr, a.via.bin.size);
    case type::EXT:
      // The type byte comes first, then size bytes of data.
      return a.via.ext.size == b.via.ext.size && same_bytes(a.via.ext.ptr, b.via.ext.ptr, a.via.ext.size + 1u);
    case type::ARRAY:
      if (a.via.array.size != b.via.array.size) return false;
      for (std::uint32_t i = 0; i < a.via.array.size; ++i) {
        if (!same(a.via.array.ptr[i], b.via.array.ptr[i])) return false;
      }
      return true;
    case type::MAP:
      if (a.via.map.size != b.via.map.size) return false;
      for (std::uint32_t i = 0; i < a.via.map.size; ++i) {
        if (!same(a.via.map.ptr[i].key, b.via.map.ptr[i].key) || !same(a.via.map.ptr[i].val, b.via.map.ptr[i].val)) {
          return false;
        }
      }
      return true;
  }
  return false;
}

// A container's head carries its type and size only.
bool same_head(const msgpack::v1::object& head, const msgpack::v1::object& unpacked) {
  namespace type = msgpack::v1::type;
  if (head.type == type::ARRAY || head.type == type::MAP) {
    return head.type == unpacked.type && head.via.array.size == unpacked.via.array.size;
  }
  return same(head, unpacked);
}

// The loader reads the bytes in place: every head, every step to the next
// value and every element handed over must be what msgpack-c unpacks.
bool same_in_place(const feltwise_comm::PackedValue& packed, const msgpack::v1::object& unpacked) {
  const msgpack::v1::object head = packed.head();
  if (!same_head(head, unpacked)) return false;
  if (head.type != msgpack::v1::type::ARRAY && head.type != msgpack::v1::type::MAP) return true;
  // A map's keys and values, in order, as if it were an array of twice its size.
  const bool is_map = head.type == msgpack::v1::type::MAP;
  const std::uint32_t count = is_map ? 2 * head.via.map.size : head.via.array.size;
  const auto unpacked_element = [&](std::uint32_t i) -> const msgpack::v1::object& {
    if (!is_map) return unpacked.via.array.ptr[i];
    return i % 2 == 0 ? unpacked.via.map.ptr[i / 2].key : unpacked.via.map.ptr[i / 2].val;
  };
  std::uint32_t handed = 0;
  bool same_elements = true;
  packed.for_each_element([&](const msgpack::v1::object& element) {
    same_elements = handed < count && same_head(element, unpacked_element(handed++));
    return same_elements;
  });
  if (!same_elements || handed != count) return false;
  if (count == 0) return true;
  feltwise_comm::PackedValue element = packed.first_element();
  for (std::uint32_t i = 0;; ++i) {
    if (!same_in_place(element, unpacked_element(i))) return false;
    if (i + 1 == count) return true;
    element = element.next();
  }
}

void check_walk_against_msgpack(const char* data, std::size_t size) {
  msgpack::v1::unpack_limit bounded(size, size, size, size, size);
  try {
    const msgpack::v1::object_handle walked = feltwise_comm::unpack_bounded(data, size);
    const msgpack::v1::object_handle plain = msgpack::v1::unpack(data, size, nullptr, nullptr, bounded);
    if (!same(walked.get(), plain.get())) std::abort();
    if (!same_in_place(feltwise_comm::PackedValue(data, size, 0), plain.get())) std::abort();
  } catch (const msgpack::v1::depth_size_overflow&) {
  } catch (const msgpack::v1::insufficient_bytes&) {
    try {
      msgpack::v1::unpack(data, size, nullptr, nullptr, bounded);
      std::abort();
    } catch (const msgpack::v1::insufficient_bytes&) {
    } catch (const msgpack::v1::size_overflow&) {
    }
  } catch (const msgpack::v1::parse_error&) {
    try {
      msgpack::v1::unpack(data, size, nullptr, nullptr, bounded);
      std::abort();
    } catch (const msgpack::v1::parse_error&) {
    } catch (const msgpack::v1::size_overflow&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  feltwise_comm::ParameterHolder holder;
  try {
    feltwise_comm::decode_parameters(holder, bytes, feltwise_comm::decodeRecord);
  } catch (const std::runtime_error&) {  // the loader's messages and msgpack-c's unpacking errors
  } catch (const msgpack::v1::type_error&) {
  }
  exercise_models(holder);
  check_walk_against_msgpack(bytes.data(), bytes.size());
  return 0;
}
