#include "support/taxel_file.h"

#include <gtest/gtest.h>
#include <msgpack.hpp>

#include <cstdint>
#include <fstream>
#include <map>
#include <vector>

namespace feltwise_test {

std::string writeTaxelFile(const std::string& name, int records, double gain, int version) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_array(2);
  pk.pack(version);
  pk.pack_array(static_cast<std::uint32_t>(records));
  for (int i = 0; i < records; ++i) {
    pk.pack_map(5);
    pk.pack(std::string("SensorParameters"));
    pk.pack_map(3);
    pk.pack(std::string("sensor_type"));
    pk.pack(1);
    pk.pack(std::string("input_map"));
    pk.pack(std::map<int, int>{{i, 0}});
    pk.pack(std::string("output_map"));
    pk.pack(std::map<int, int>{{0, i}});
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
