#include "protocols/text_register_lines.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "protocols/c_locale_numbers.h"

namespace feltwise_comm {
namespace {

namespace status = text_register_status;

// strtol's rules: leading white space and a sign allowed, anything after the
// digits ignored; no digits or a value out of range is a failure.
bool readInteger(const char* text, long& value) {
  char* stop = nullptr;
  errno = 0;
  value = strtolC(text, &stop, 10);
  return stop != text && errno != ERANGE;
}

void appendHexBytes(const char* begin, const char* end, std::vector<std::uint8_t>& bytes) {
  const char* p = begin;
  while (true) {
    while (p != end && isSpaceC(*p)) ++p;
    if (p == end) return;
    char group[3] = {};
    std::size_t n = 0;
    while (p != end && n < 2 && !isSpaceC(*p)) group[n++] = *p++;
    bytes.push_back(static_cast<std::uint8_t>(strtolC(group, nullptr, 16) & 0xFF));
  }
}

}  // namespace

std::string formatReadRequest(std::uint16_t address, std::uint16_t id) {
  return "r" + std::to_string(address) + "," + std::to_string(id) + ",0\n";
}

std::string formatWriteRequest(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string request =
      "w" + std::to_string(address) + "," + std::to_string(id) + "," + std::to_string(data.size()) + ",";
  request.reserve(request.size() + 2 * data.size() + 1);
  for (std::uint8_t byte : data) {
    request += kDigits[byte >> 4];
    request += kDigits[byte & 0x0F];
  }
  request += '\n';
  return request;
}

std::uint16_t decodeReadReply(const std::string& line, std::vector<std::uint8_t>& bytes) noexcept {
  bytes.clear();
  if (line.empty()) return status::kWrongFieldCount;
  try {
    const char* const end = line.data() + line.size();
    const char* fields[5] = {};
    std::size_t count = 0;
    const char* field = line.c_str() + 1;
    // A fifth field is looked for only to be refused.
    while (count < 5 && field != end && *field != ',') {
      fields[count++] = field;
      const void* comma = std::memchr(field, ',', static_cast<std::size_t>(end - field));
      field = comma == nullptr ? end : static_cast<const char*>(comma) + 1;
    }
    if (count != 4) return status::kWrongFieldCount;

    // Each conversion stops at its field's comma: a comma never continues a
    // base-10 integer.
    long values[3] = {};
    for (std::size_t k = 0; k < 3; ++k) {
      if (!readInteger(fields[k], values[k])) return status::kUnreadable;
    }
    const std::size_t byte_count = static_cast<std::uint16_t>(values[2]);
    const char* const data = fields[3];
    const void* comma = std::memchr(data, ',', static_cast<std::size_t>(end - data));
    const char* const data_end = comma == nullptr ? end : static_cast<const char*>(comma);
    if (static_cast<std::size_t>(data_end - data) != 2 * byte_count + 1) return status::kWrongDataLength;

    appendHexBytes(data, data_end, bytes);
    return status::kOk;
  } catch (...) {
    bytes.clear();
    return status::kUnreadable;
  }
}

}  // namespace feltwise_comm
