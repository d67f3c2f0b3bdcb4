// The table of wire protocols: one row per protocol version.
//
// Everything that needs to know which versions exist reads this table: the
// factory (createProtocol), the reading of `init`'s text as a version
// (protocolVersionFromText), the Python tools (feltwise._native.protocols()),
// the tests and the fuzz targets. The rows are written once, in
// protocol_rows.def, which the fuzz build reads too (one read_sample target
// per row, one register_reply target per row with registers). Adding a
// protocol is its own files plus one row in protocol_rows.def, its header
// included in protocol_table.cpp.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_TABLE_H
#define FELTWISE_PROTOCOLS_PROTOCOL_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocols/protocol.h"

namespace feltwise_comm {

// Text protocols read lines of numbers; binary ones read frames.
enum class Wire { text, binary };
// Whether the protocol carries register requests and replies.
enum class Registers { no, yes };

struct ProtocolEntry {
  std::int32_t version;
  const char* class_name;
  Wire wire;
  Registers registers;
  std::unique_ptr<Protocol> (*create)();
};

// The rows in version order; the versions run from 0 without a gap.
struct ProtocolRows {
  const ProtocolEntry* first;
  std::size_t count;
  const ProtocolEntry* begin() const { return first; }
  const ProtocolEntry* end() const { return first + count; }
};

ProtocolRows protocolTable();

// The row of `version`, or nullptr when no protocol has that version.
const ProtocolEntry* findProtocol(std::int32_t version);

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_TABLE_H
