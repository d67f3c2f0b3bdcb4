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

constexpr ProtocolEntry kRows[] = {
#define FELTWISE_PROTOCOL(version, class_name, wire, registers) \
  {version, #class_name, Wire::wire, Registers::registers, &make<class_name>},
#include "protocols/protocol_rows.def"
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
