// The sensor parameter file: one msgpack array, [protocol version, group,
// group, ...], each group an array of record maps. The records of all groups
// are taken in file order into one flat list.
//
// Nothing is rolled back on an error: the protocol version stays written and
// the records appended before the failing one stay in the holder's list.
#ifndef FELTWISE_PARAMETERS_PARAMETER_FILE_H
#define FELTWISE_PARAMETERS_PARAMETER_FILE_H

#include <msgpack.hpp>

#include <cstdint>
#include <string>

#include "parameters/parameter_holder.h"

namespace feltwise_comm {

// The whole file, unchanged. "Cannot find sensor parameter file" when it
// cannot be opened, "Cannot open sensor parameter file" when it opens but
// cannot be read (a directory, for instance).
std::string read_parameter_file(const std::string& path);

// Writes the protocol version into `comms` as soon as it is read, then appends
// the records one by one. Raises the "Invalid sensor parameter data format (n)"
// errors, ParameterTypeError ("bad cast"), and msgpack-c's unpacking errors.
// A group that is not an array and a record that is not a map are "bad cast".
void decode_parameters(ParameterHolder& comms, const std::string& bytes);

// The first non-negative "sensor_type" under a "SensorParameters" key of the
// record map, before the record is converted (it chooses the record's class).
// Keys may be str or bin here; the conversion refuses bin keys afterwards.
std::int32_t detect_sensor_type(const msgpack::v1::object& record_map);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_PARAMETER_FILE_H
