// The protocol versions a test runs on, taken from the protocol table, so
// that a protocol added to the table is tested by every test of its kind
// without a list here to extend.
#ifndef FELTWISE_TESTS_SUPPORT_PROTOCOL_VERSIONS_H
#define FELTWISE_TESTS_SUPPORT_PROTOCOL_VERSIONS_H

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "protocols/protocol_table.h"

namespace feltwise_test {

// The versions of the rows of this wire and with or without registers; all
// rows when neither is given.
inline std::vector<int> protocolVersions(std::optional<feltwise_comm::Wire> wire = std::nullopt,
                                         std::optional<feltwise_comm::Registers> registers = std::nullopt) {
  std::vector<int> versions;
  for (const feltwise_comm::ProtocolEntry& row : feltwise_comm::protocolTable()) {
    if ((!wire || row.wire == *wire) && (!registers || row.registers == *registers)) versions.push_back(row.version);
  }
  return versions;
}

inline bool isTextVersion(int version) {
  const feltwise_comm::ProtocolEntry* row = feltwise_comm::findProtocol(version);
  return row != nullptr && row->wire == feltwise_comm::Wire::text;
}

// The name of a test of one version: "V3".
inline std::string versionName(const ::testing::TestParamInfo<int>& param_info) {
  return "V" + std::to_string(param_info.param);
}

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_PROTOCOL_VERSIONS_H
