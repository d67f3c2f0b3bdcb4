#include "protocols/protocol_string.h"

#include <cerrno>
#include <cstring>

#include "protocols/c_locale_numbers.h"

namespace feltwise_comm {
namespace {

const std::string kLineFeed("\n");

}  // namespace

void ProtocolString::startStream(PortHolder& comms, StreamStart start, SampleRule rule) {
  rule_ = rule;
  at_line_start_ =
      rule == SampleRule::kAsReceived && start == StreamStart::kPortOpened && portOf(comms).bytesDroppedAtOpen() == 0;
}

void ProtocolString::receiveLine(PortHolder& comms) {
  serial::Serial& port = portOf(comms);
  // Cleared, not replaced: the capacity stays for the next line.
  line_.clear();
  port.readLine(line_, kMaxLineBytes, kLineFeed);
  if (line_.empty()) return;
  const bool ended = line_.back() == '\n';
  // A line without its line feed was cut by silence or by the size limit.
  const bool cut_taken_as_whole = rule_ == SampleRule::kAsReceived;
  line_is_whole_ = at_line_start_ && (ended || cut_taken_as_whole);
  at_line_start_ = ended || line_is_whole_;
}

bool ProtocolString::readSample(std::vector<double>& sample, PortHolder& comms) {
  receiveLine(comms);
  if (line_.empty() || !line_is_whole_) return false;
  return parseLine(sample, line_);
}

bool ProtocolString::parseLine(std::vector<double>& sample, const std::string& text) noexcept {
  sample.clear();
  try {
    const char* const end = text.data() + text.size();
    const char* field = text.c_str();
    // Converting in place, without copying the field out: no number strtod
    // accepts in the "C" locale contains a comma, so the conversion stops
    // inside its own field, exactly where it would on the field alone.
    while (field != end && *field != ',') {
      char* stop = nullptr;
      errno = 0;
      const double value = strtodC(field, &stop);
      if (stop == field || errno == ERANGE) {
        sample.clear();
        return false;
      }
      sample.push_back(value);
      const void* comma = std::memchr(stop, ',', static_cast<std::size_t>(end - stop));
      if (comma == nullptr) break;
      field = static_cast<const char*>(comma) + 1;
    }
    return true;
  } catch (...) {
    sample.clear();
    return false;
  }
}

}  // namespace feltwise_comm
