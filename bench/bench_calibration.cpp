// Calibration and parameter loading, against baselines measured in this run.
//
// Models: one 1,024-value raw sample calibrated by a skin made of one model
// kind (1,024 taxels, or 256 triaxial units of four channels), in ns per unit;
// the baseline is a plain loop copying the sample, in ns per value.
// Loader: a file of 1,000 records read and decoded, against msgpack-c
// unpacking the same bytes without the walk and the record conversion.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "models/taxel_lookup_model.h"
#include "models/taxel_polyfit_model.h"
#include "models/triaxial_polyfit_model.h"
#include "parameters/parameter_file.h"
#include "sensor_types/sensor_type_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using feltwise_comm::SensorModel;

constexpr std::size_t kSampleValues = 1024;

// Keeps the compiler from dropping work whose result nobody reads.
template <typename T>
void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

// Best of five rounds on a shared machine: the seconds of one call of `work`.
template <typename Work>
double seconds_per_call(Work work, int calls) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) work();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count() / calls);
  }
  return best;
}

// A raw sample around the units' rest value: some unloaded, some pressed.
std::vector<double> raw_sample() {
  std::vector<double> raw(kSampleValues);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = 800.0 + static_cast<double>((i * 37) % 1500);
  return raw;
}

std::vector<std::shared_ptr<SensorModel>> taxel_polyfit_skin() {
  std::vector<std::shared_ptr<SensorModel>> models;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(kSampleValues); ++i) {
    auto record = std::make_shared<feltwise_comm::TaxelPolyfitParameters>();
    record->input_map = {{i, 0}};
    record->output_map = {{0, i}};
    record->lower = 20.0;
    record->upper = 4000.0;
    record->offset = 812.0;
    record->coefs = {0.0, 0.0123, 1.7e-6, -2.9e-10};
    auto model = std::make_shared<feltwise_comm::TaxelPolyfitModel>();
    model->configure(record);
    models.push_back(model);
  }
  return models;
}

std::vector<std::shared_ptr<SensorModel>> triaxial_skin() {
  std::vector<std::shared_ptr<SensorModel>> models;
  for (std::int32_t u = 0; u < static_cast<std::int32_t>(kSampleValues / 4); ++u) {
    auto record = std::make_shared<feltwise_comm::TriaxialPolyfitParameters>();
    for (std::int32_t slot = 0; slot < 4; ++slot) record->input_map[4 * u + slot] = slot;
    for (std::int32_t axis = 0; axis < 3; ++axis) record->output_map[axis] = 3 * u + axis;
    record->lower = {8, 8, 8, 8};
    record->offset = {1010, 1022, 998, 1005};
    record->coefs_x = record->coefs_y = {0.0, 0.0021};
    record->coefs_z = {0.0, 0.0009, 1.1e-8};
    auto model = std::make_shared<feltwise_comm::TriaxialPolyfitModel>();
    model->configure(record);
    models.push_back(model);
  }
  return models;
}

std::vector<std::shared_ptr<SensorModel>> lookup_skin() {
  std::vector<std::shared_ptr<SensorModel>> models;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(kSampleValues); ++i) {
    auto record = std::make_shared<feltwise_comm::TaxelLookupParameters>();
    record->input_map = {{i, 0}};
    record->output_map = {{0, i}};
    record->lower = 0.0;
    record->upper = 3000.0;
    record->offset = 900.0;
    record->lut = {0.0, 0.05, 0.14, 0.3, 0.55, 0.9, 1.4, 2.05, 2.9, 4.0, 5.4};
    auto model = std::make_shared<feltwise_comm::TaxelLookupModel>();
    model->configure(record);
    models.push_back(model);
  }
  return models;
}

// As the acquisition thread does: zero the output, apply every model.
double ns_per_sample(const std::vector<std::shared_ptr<SensorModel>>& models, const std::vector<double>& raw) {
  std::vector<double> out(kSampleValues, 0.0);
  return 1e9 * seconds_per_call(
                   [&] {
                     std::fill(out.begin(), out.end(), 0.0);
                     for (const auto& model : models) model->apply(out, raw);
                     keep(out);
                   },
                   2000);
}

// 1,000 records: taxel polynomial, triaxial and lookup in turn.
std::string parameter_file() {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pack(buffer);
  pack.pack_array(2);
  pack.pack(1);
  pack.pack_array(1000);
  for (int i = 0; i < 1000; ++i) {
    const int kind = i % 3 == 0 ? 1 : i % 3 == 1 ? 0 : 2;
    pack.pack_map(kind == 0 ? 7 : 5);
    pack.pack(std::string("SensorParameters"));
    pack.pack_map(3);
    pack.pack(std::string("sensor_type"));
    pack.pack(kind);
    pack.pack(std::string("input_map"));
    if (kind == 0) {
      pack.pack(std::map<int, int>{{4 * i, 0}, {4 * i + 1, 1}, {4 * i + 2, 2}, {4 * i + 3, 3}});
    } else {
      pack.pack(std::map<int, int>{{i, 0}});
    }
    pack.pack(std::string("output_map"));
    pack.pack(kind == 0 ? std::map<int, int>{{0, 3 * i}, {1, 3 * i + 1}, {2, 3 * i + 2}} : std::map<int, int>{{0, i}});
    if (kind == 0) {
      for (const char* key : {"lower", "upper", "offset"}) {
        pack.pack(std::string(key));
        pack.pack(std::vector<double>{8.0, 8.0, 8.0, 8.0});
      }
      for (const char* key : {"coefs_x", "coefs_y", "coefs_z"}) {
        pack.pack(std::string(key));
        pack.pack(std::vector<double>{0.0, 0.0021, 1.1e-8});
      }
    } else {
      pack.pack(std::string("lower"));
      pack.pack(kind == 1 ? 20.0 : 0.0);
      pack.pack(std::string("upper"));
      pack.pack(kind == 1 ? 4000.0 : 3000.0);
      pack.pack(std::string("offset"));
      pack.pack(812.0);
      pack.pack(std::string(kind == 1 ? "coefs" : "lut"));
      pack.pack(kind == 1 ? std::vector<double>{0.0, 0.0123, 1.7e-6, -2.9e-10}
                          : std::vector<double>{0.0, 0.05, 0.14, 0.3, 0.55, 0.9, 1.4, 2.05, 2.9, 4.0, 5.4});
    }
  }
  return std::string(buffer.data(), buffer.size());
}

}  // namespace

int main() {
  const std::vector<double> raw = raw_sample();
  std::vector<double> copy(kSampleValues, 0.0);
  const double copy_ns = 1e9 * seconds_per_call(
                                   [&] {
                                     for (std::size_t i = 0; i < raw.size(); ++i) copy[i] = raw[i];
                                     keep(copy);
                                   },
                                   20000);
  const double per_value = copy_ns / kSampleValues;

  std::printf("%-26s %6s %12s %10s %9s\n", "model (1,024-value sample)", "units", "ns/sample", "ns/unit", "ratio");
  std::printf("%-26s %6zu %12.0f %10.2f %9.1f\n", "baseline: copy the sample", kSampleValues, copy_ns, per_value, 1.0);
  const struct {
    const char* name;
    std::vector<std::shared_ptr<SensorModel>> models;
  } skins[] = {{"TaxelPolyfitModel", taxel_polyfit_skin()},
               {"TriaxialPolyfitModel", triaxial_skin()},
               {"TaxelLookupModel", lookup_skin()}};
  for (const auto& skin : skins) {
    const double ns = ns_per_sample(skin.models, raw);
    const double per_unit = ns / static_cast<double>(skin.models.size());
    std::printf("%-26s %6zu %12.0f %10.2f %9.1f\n", skin.name, skin.models.size(), ns, per_unit, per_unit / per_value);
  }
  std::printf("ratio = ns per unit / ns per value of the copy\n\n");

  const std::string bytes = parameter_file();
  const std::string path = "/tmp/feltwise-bench-params-" + std::to_string(::getpid()) + ".msgpack";
  std::ofstream(path, std::ios::binary) << bytes;
  const double unpack_us = 1e6 * seconds_per_call(
                                     [&] {
                                       msgpack::v1::object_handle handle =
                                           msgpack::v1::unpack(bytes.data(), bytes.size());
                                       keep(handle);
                                     },
                                     200);
  const double decode_us = 1e6 * seconds_per_call(
                                     [&] {
                                       feltwise_comm::ParameterHolder holder;
                                       feltwise_comm::decode_parameters(holder, bytes, feltwise_comm::decodeRecord);
                                       keep(holder);
                                     },
                                     200);
  const double load_us = 1e6 * seconds_per_call(
                                   [&] {
                                     feltwise_comm::ParameterHolder holder;
                                     feltwise_comm::decode_parameters(holder, feltwise_comm::read_parameter_file(path),
                                                                      feltwise_comm::decodeRecord);
                                     keep(holder);
                                   },
                                   200);
  std::remove(path.c_str());
  std::printf("%-42s %8s %9s\n", "loader (1,000 records)", "us", "ratio");
  std::printf("%-42s %8.0f %9.2f\n", "baseline: msgpack-c unpack alone", unpack_us, 1.0);
  std::printf("%-42s %8.0f %9.2f\n", "decode_parameters", decode_us, decode_us / unpack_us);
  std::printf("%-42s %8.0f %9.2f\n", "read_parameter_file + decode_parameters", load_us, load_us / unpack_us);
  std::printf("file: %zu bytes\n", bytes.size());
  return 0;
}
