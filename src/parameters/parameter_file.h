// The sensor parameter file: one msgpack array, [protocol version, group,
// group, ...], each group an array of record maps. The records of all groups
// are taken in file order into one flat list.
//
// Only a regular file is read, and only up to kMaxParameterFileSize: a
// FIFO, a device (/dev/zero, a tty) or a directory would otherwise block the
// caller or fill its memory. Checked before the file is opened and again on
// the opened file, which is opened without waiting for a writer, so that one
// swapped in between is refused too.
//
// Decoding reads the bytes in place (PackedValue), record by record; no tree
// of the whole file is built. The most memory in use while a file is decoded,
// the records it yields included, is at most 24 times the file's size plus a
// few KiB: a map entry of two one-byte integers becomes a 40-byte tree node, a
// one-byte number in a vector 8 bytes; nothing else grows with the file.
// (Loading holds the file's bytes too: one more times its size.)
//
// Nothing is rolled back on an error: the protocol version stays written and
// the records appended before the failing one stay in the holder's list.
#ifndef FELTWISE_PARAMETERS_PARAMETER_FILE_H
#define FELTWISE_PARAMETERS_PARAMETER_FILE_H

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "parameters/packed_value.h"
#include "parameters/parameter_holder.h"

namespace feltwise_comm {

// A skin's file is a few hundred KiB; 64 MiB leaves room for any real one.
constexpr std::size_t kMaxParameterFileSize = std::size_t{64} << 20;

// The whole file, unchanged. Raises ParameterFileError:
//   "Cannot find sensor parameter file"  it does not exist or cannot be opened;
//   "Cannot open sensor parameter file"  it is not a regular file (a
//       directory, FIFO or device), or reading it fails;
//   "Sensor parameter file is larger than 64 MiB"  before reading when its
//       size says so, or as soon as more than that has been read from it.
std::string read_parameter_file(const std::string& path);

// Makes the record of `sensor_type` from a record map (ParameterTypeError when
// a field does not convert), or returns nullptr when no record class has that
// type. The sensor-type table's decodeRecord is the library's
// (sensor_types/sensor_type_table.h); the loader knows no record class itself.
using RecordDecoder = std::shared_ptr<SensorParameters> (*)(std::int32_t sensor_type, const PackedValue& record_map);

// Where decoding got to: the place, in file order from 0, of the record being
// decoded; empty outside a record.
struct DecodeProgress {
  std::optional<std::size_t> record;
};

// Writes the protocol version into `comms` as soon as it is read, then appends
// the records one by one, each made by `decode_record` from its detected type.
// Raises the "Invalid sensor parameter data format (n)" errors ((4): a type
// `decode_record` has no record for), ParameterTypeError ("bad cast"), and
// msgpack-c's unpacking errors ("insufficient bytes", "parse error", "depth
// size overflow"), which come first: the whole object is walked before
// anything is decoded. A group that is not an array and a record that is not
// a map are "bad cast". `progress`, when given, tells where a failure came.
void decode_parameters(ParameterHolder& comms, const std::string& bytes, RecordDecoder decode_record,
                       DecodeProgress* progress = nullptr);

// read_parameter_file, then decode_parameters, each failure raised as the
// public ParameterFileError or ParameterValueError (parameter_file_error.h)
// with the same what(), the path, and the record and field where known.
void load_parameter_file(ParameterHolder& comms, const std::string& path, RecordDecoder decode_record);

// The first non-negative "sensor_type" under a "SensorParameters" key of the
// record map, before the record is converted (it chooses the record's class).
// Keys may be str or bin here; the conversion refuses bin keys afterwards.
std::int32_t detect_sensor_type(const PackedValue& record_map);
std::int32_t detect_sensor_type(const msgpack::v1::object& record_map);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_PARAMETER_FILE_H
