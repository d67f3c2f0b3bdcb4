// The calibration record of one sensor unit. Records are shared between the
// comms object's list and the model built from each one; zeroing writes a new
// `offset` into the record, so a record is live state, not a copy of the file.
//
// Each record class lists its fields once, beside its members (record_field.h):
// the base fields in SensorParameters::baseFields(), a class's own in its
// ownFields(), named and ordered as in the file. A new sensor type is its
// record class here, its model, and one row of the sensor-type table
// (sensor_types/sensor_type_table.cpp).
#ifndef FELTWISE_PARAMETERS_SENSOR_PARAMETERS_H
#define FELTWISE_PARAMETERS_SENSOR_PARAMETERS_H

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "parameters/record_field.h"

namespace feltwise_comm {

// Values of `sensor_type`: which model calibrates the unit.
namespace sensor_type {
constexpr std::int32_t kTriaxialPolyfit = 0;
constexpr std::int32_t kTaxelPolyfit = 1;
constexpr std::int32_t kTaxelLookup = 2;
}  // namespace sensor_type

class SensorParameters {
 public:
  virtual ~SensorParameters() = default;

  std::int32_t sensor_type;
  // Raw sample index -> the model's input slot.
  std::map<std::int32_t, std::int32_t> input_map;
  // The model's output slot -> calibrated output index.
  std::map<std::int32_t, std::int32_t> output_map;

  // The fields of the record's "SensorParameters" map.
  static constexpr auto baseFields() {
    return std::tuple{
        recordField("sensor_type", &SensorParameters::sensor_type, Need::kRequired),
        recordField("input_map", &SensorParameters::input_map, Need::kRequired),
        recordField("output_map", &SensorParameters::output_map, Need::kRequired),
    };
  }

 protected:
  // A record starts out as the kind of its class: should the file's first
  // "SensorParameters" map lack "sensor_type" (the loader found the type in a
  // later one), the record still names the model that fits it.
  explicit SensorParameters(std::int32_t kind) : sensor_type(kind) {}
  SensorParameters(const SensorParameters&) = default;
  SensorParameters& operator=(const SensorParameters&) = default;
};

class TriaxialPolyfitParameters : public SensorParameters {
 public:
  TriaxialPolyfitParameters() : SensorParameters(sensor_type::kTriaxialPolyfit) {}

  std::vector<double> lower;   // per channel slot: dead band after the offset
  std::vector<double> upper;   // kept from the file; no model uses it
  std::vector<double> offset;  // per channel slot: raw value at rest
  std::vector<double> coefs_x;
  std::vector<double> coefs_y;
  std::vector<double> coefs_z;

  static constexpr auto ownFields() {
    using Self = TriaxialPolyfitParameters;
    return std::tuple{
        recordField("lower", &Self::lower, Need::kRequired),
        recordField("upper", &Self::upper, Need::kRequired),
        recordField("offset", &Self::offset, Need::kRequired),
        recordField("coefs_x", &Self::coefs_x, Need::kNonEmpty),
        recordField("coefs_y", &Self::coefs_y, Need::kNonEmpty),
        recordField("coefs_z", &Self::coefs_z, Need::kNonEmpty),
    };
  }
};

// A map that lacks "lower", "upper" or "offset" leaves 0.0.
class TaxelPolyfitParameters : public SensorParameters {
 public:
  TaxelPolyfitParameters() : SensorParameters(sensor_type::kTaxelPolyfit) {}

  double lower = 0.0;  // end of the straight segment near zero
  double upper = 0.0;  // kept from the file; no model uses it
  double offset = 0.0;
  std::vector<double> coefs;  // constant term first

  static constexpr auto ownFields() {
    using Self = TaxelPolyfitParameters;
    return std::tuple{
        recordField("lower", &Self::lower, Need::kRequired),
        recordField("upper", &Self::upper, Need::kRequired),
        recordField("offset", &Self::offset, Need::kRequired),
        recordField("coefs", &Self::coefs, Need::kNonEmpty),
    };
  }
};

class TaxelLookupParameters : public SensorParameters {
 public:
  TaxelLookupParameters() : SensorParameters(sensor_type::kTaxelLookup) {}

  double lower = 0.0;  // input of the first table entry
  double upper = 0.0;  // input of the last table entry
  double offset = 0.0;
  std::vector<double> lut;  // outputs at equally spaced inputs

  static constexpr auto ownFields() {
    using Self = TaxelLookupParameters;
    return std::tuple{
        recordField("lower", &Self::lower, Need::kRequired),
        recordField("upper", &Self::upper, Need::kRequired),
        recordField("offset", &Self::offset, Need::kRequired),
        recordField("lut", &Self::lut, Need::kNonEmpty),
    };
  }
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_SENSOR_PARAMETERS_H
