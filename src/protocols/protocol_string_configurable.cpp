#include "protocols/protocol_string_configurable.h"

#include <stdexcept>
#include <string>

#include "console/console_sink.h"
#include "protocols/text_register_lines.h"

namespace feltwise_comm {
namespace {

namespace status = text_register_status;
// Through the console sink, which never lets a console that nobody reads
// hold up this thread (the acquisition thread), and shows the device's
// control bytes instead of passing them to the terminal.
void echoDeviceError(const std::string& line) { console::postDeviceText("ERR ", line, "\n"); }

}  // namespace

bool ProtocolStringConfigurable::readSample(std::vector<double>& sample, PortHolder& comms) {
  receiveLine(comms);
  // Also drops a lone line feed, and one byte cut off by the time-out, which
  // could not be told apart from the start of a reply.
  if (line_.size() < 2) return false;
  switch (line_[0]) {
    case 'E':
      echoDeviceError(line_);
      completeAll(status::kDeviceError);
      return false;
    case 'O':
      completeAll(status::kOk);
      return false;
    case 'R':
    case 'r':
      handleReadReply();
      return false;
    default:
      return parseLine(sample, line_);
  }
}

void ProtocolStringConfigurable::handleReadReply() {
  const std::uint16_t result = decodeReadReply(line_, decoded_bytes_);
  if (result != status::kOk) {
    completeAll(result);
    return;
  }
  try {
    read_.post(status::kOk, decoded_bytes_);
  } catch (const std::exception&) {
    // The waiting read must still end, if not with the data.
    completeAll(status::kUnreadable);
  }
}

void ProtocolStringConfigurable::completeAll(std::uint16_t result) {
  RegisterCompletion::postBoth(read_, write_, result);
}

void ProtocolStringConfigurable::readRegister(std::uint16_t address, std::uint16_t id,
                                              std::vector<std::uint8_t>& out, PortHolder& comms,
                                              std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  const std::string request = formatReadRequest(address, id);
  read_.arm();
  port.write(request);
  read_.await(timeout_ms, &out);
}

void ProtocolStringConfigurable::writeRegister(std::uint16_t address, std::uint16_t id,
                                               const std::vector<std::uint8_t>& data, PortHolder& comms,
                                               std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  const std::string request = formatWriteRequest(address, id, data);
  write_.arm();
  port.write(request);
  write_.await(timeout_ms);
}

}  // namespace feltwise_comm
