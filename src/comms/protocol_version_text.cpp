#include "comms/protocol_version_text.h"

#include <cctype>
#include <cstddef>
#include <limits>

#include "protocols/protocol_table.h"

namespace feltwise_comm {

std::optional<std::int32_t> protocolVersionFromText(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;

  // Accumulate with a cap so that an overlong number is "out of range", not a wrap.
  constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kCap) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  if (findProtocol(static_cast<std::int32_t>(value)) == nullptr) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace feltwise_comm
