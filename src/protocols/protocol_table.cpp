#include "protocols/protocol_table.h"

#include <iterator>

#include "protocols/protocol_binary.h"
#include "protocols/protocol_binary_configurable.h"
#include "protocols/protocol_binary_encrypt.h"
#include "protocols/protocol_string.h"
#include "protocols/protocol_string_configurable.h"

namespace feltwise_comm {

namespace {

template <typename ProtocolClass>
std::unique_ptr<Protocol> make() {
  return std::make_unique<ProtocolClass>();
}

// One row per line: the fuzz build reads these rows (see the header).
constexpr ProtocolEntry kRows[] = {
    {0, "ProtocolString", Wire::text, Registers::no, &make<ProtocolString>},
    {1, "ProtocolBinary", Wire::binary, Registers::no, &make<ProtocolBinary>},
    {2, "ProtocolBinaryEncrypt", Wire::binary, Registers::no, &make<ProtocolBinaryEncrypt>},
    {3, "ProtocolStringConfigurable", Wire::text, Registers::yes, &make<ProtocolStringConfigurable>},
    {4, "ProtocolBinaryConfigurable", Wire::binary, Registers::yes, &make<ProtocolBinaryConfigurable>},
};

constexpr bool versionsRunFromZero() {
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    if (kRows[i].version != static_cast<std::int32_t>(i)) return false;
  }
  return true;
}
static_assert(versionsRunFromZero(), "protocol versions are the row numbers: 0, 1, 2, ... without a gap");

}  // namespace

ProtocolRows protocolTable() { return {kRows, std::size(kRows)}; }

const ProtocolEntry* findProtocol(std::int32_t version) {
  if (version < 0 || static_cast<std::size_t>(version) >= std::size(kRows)) return nullptr;
  return &kRows[version];
}

}  // namespace feltwise_comm
