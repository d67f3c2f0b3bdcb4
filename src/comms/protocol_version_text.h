// Reading `init`'s argument as a protocol version number.
#ifndef FELTWISE_COMMS_PROTOCOL_VERSION_TEXT_H
#define FELTWISE_COMMS_PROTOCOL_VERSION_TEXT_H

#include <cstdint>
#include <optional>
#include <string>

namespace feltwise_comm {

// The version a text names, read as the standard string-to-integer conversion
// reads it (leading white space, an optional sign, decimal digits; the rest is
// ignored), when that number fits 32 bits and is a version of the protocol table (0 to 4). "3", " 3",
// "3_params.bin" and "0x10" (that is 0) name a version; "7", "-1", "params.bin"
// and numbers beyond 32 bits do not: they are file names.
std::optional<std::int32_t> protocolVersionFromText(const std::string& text);

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_PROTOCOL_VERSION_TEXT_H
