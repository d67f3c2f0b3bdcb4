// libFuzzer target: arbitrary bytes as one text line, given to the sample-line
// parser of versions 0 and 3 (ProtocolString::parseLine) and to the read-reply
// decoder of version 3 (decodeReadReply).
//
// Each is checked against a plain restatement of its rule below, which copies
// every field out before converting it; the library converts in place and
// relies on no number containing a comma. The process runs in a decimal-comma
// locale when the system has one: both sides must read numbers the "C" way
// whatever the host program set.
#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocols/protocol_string.h"
#include "protocols/text_register_lines.h"

namespace {

namespace status = feltwise_comm::text_register_status;

locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

// Fields are split at commas; an empty field, or the end of the text, ends them.
std::vector<std::string> fieldsOf(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t comma = text.find(',', at);
    std::string field = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (field.empty()) break;
    fields.push_back(std::move(field));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return fields;
}

bool parseReference(const std::string& text, std::vector<double>& sample) {
  sample.clear();
  for (const std::string& field : fieldsOf(text)) {
    char* stop = nullptr;
    errno = 0;
    const double value = strtod_l(field.c_str(), &stop, cLocale());
    if (stop == field.c_str() || errno == ERANGE) {
      sample.clear();
      return false;
    }
    sample.push_back(value);
  }
  return true;
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::uint16_t decodeReference(const std::string& line, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const std::vector<std::string> fields = fieldsOf(line.empty() ? line : line.substr(1));
  if (fields.size() != 4) return status::kWrongFieldCount;
  long values[3] = {};
  for (int k = 0; k < 3; ++k) {
    char* stop = nullptr;
    errno = 0;
    values[k] = strtol_l(fields[k].c_str(), &stop, 10, cLocale());
    if (stop == fields[k].c_str() || errno == ERANGE) return status::kUnreadable;
  }
  const std::size_t count = static_cast<std::uint16_t>(values[2]);
  const std::string& data = fields[3];
  if (data.size() != 2 * count + 1) return status::kWrongDataLength;
  std::size_t at = 0;
  while (true) {
    while (at < data.size() && isSpace(data[at])) ++at;
    if (at == data.size()) break;
    std::string group;
    while (at < data.size() && group.size() < 2 && !isSpace(data[at])) group += data[at++];
    bytes.push_back(static_cast<std::uint8_t>(strtol_l(group.c_str(), nullptr, 16, cLocale()) & 0xFF));
  }
  return status::kOk;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) std::fprintf(stderr, "no de_DE.UTF-8 locale: fuzzing in C\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  feltwise_comm::ProtocolString protocol;
  // Filled beforehand, as the acquisition thread's scratch is.
  std::vector<double> sample(3, 7.0);
  std::vector<double> expected;
  const bool accepted = protocol.parseLine(sample, text);
  check(accepted == parseReference(text, expected), "parseLine accepts what the rule refuses, or the reverse");
  check(sameBits(sample, expected), "parseLine's values differ from the rule's");

  std::vector<std::uint8_t> bytes{0x55};
  std::vector<std::uint8_t> expected_bytes;
  const std::uint16_t result = feltwise_comm::decodeReadReply(text, bytes);
  check(result == decodeReference(text, expected_bytes), "decodeReadReply's status differs from the rule's");
  if (result == status::kOk) check(bytes == expected_bytes, "decodeReadReply's bytes differ from the rule's");
  return 0;
}
