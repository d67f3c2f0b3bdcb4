#include "support/taxel_file.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>

#include <cstdint>
#include <fstream>
#include <map>
#include <vector>

namespace feltwise_test {

std::string writeTaxelFile(const std::string& name, int records, double gain, int version) {
  std::vector<std::map<int, int>> outputs;
  for (int i = 0; i < records; ++i) outputs.push_back({{0, i}});
  return writeTaxelFile(name, outputs, gain, version);
}

std::string writeTaxelFile(const std::string& name, const std::vector<std::map<int, int>>& outputs, double gain,
                           int version) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_array(2);
  pk.pack(version);
  pk.pack_array(static_cast<std::uint32_t>(outputs.size()));
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    pk.pack_map(5);
    pk.pack(std::string("SensorParameters"));
    pk.pack_map(3);
    pk.pack(std::string("sensor_type"));
    pk.pack(1);
    pk.pack(std::string("input_map"));
    pk.pack(std::map<int, int>{{static_cast<int>(i), 0}});
    pk.pack(std::string("output_map"));
    pk.pack(outputs[i]);
    pk.pack(std::string("lower"));
    pk.pack(0.0);
    pk.pack(std::string("upper"));
    pk.pack(0.0);
    pk.pack(std::string("offset"));
    pk.pack(0.0);
    pk.pack(std::string("coefs"));
    pk.pack(std::vector<double>{0.0, gain});
  }
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  return path;
}

}  // namespace feltwise_test
