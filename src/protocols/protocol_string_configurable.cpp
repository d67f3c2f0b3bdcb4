#include "protocols/protocol_string_configurable.h"

#include <stdexcept>
#include <string>

#include "console/console_sink.h"
#include "protocols/text_register_lines.h"

namespace feltwise_comm {
namespace {

namespace status = text_register_status;

const std::string kLineFeed("\n");

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
  // A reply is sorted as one also where it might be the tail of a line that
  // began before the stream did: a reply or error that begins with its own
  // letter is far likelier than a tail that does, and a device that answers
  // the first request after connect before it sends anything else must not
  // have its answer dropped.
  switch (line_[0]) {
    case 'E':
      echoDeviceError(line_);
      register_line_.post(ReplyKind::kError, status::kDeviceError);
      return false;
    case 'O':
      register_line_.post(ReplyKind::kAcknowledgement, status::kOk);
      return false;
    case 'R':
    case 'r':
      handleReadReply();
      return false;
    default:
      return lineIsWhole() && parseLine(sample, line_);
  }
}

void ProtocolStringConfigurable::handleReadReply() {
  const std::uint16_t result = decodeReadReply(line_, decoded_bytes_);
  if (result != status::kOk) {
    register_line_.post(ReplyKind::kData, result);
    return;
  }
  try {
    register_line_.post(ReplyKind::kData, status::kOk, decoded_bytes_);
  } catch (const std::exception&) {
    // The waiting read must still end, if not with the data.
    register_line_.post(ReplyKind::kData, status::kUnreadable);
  }
}

void ProtocolStringConfigurable::readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out,
                                              PortHolder& comms, std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  const std::string request = formatReadRequest(address, id);
  RegisterCompletion::Turn turn(register_line_, RegisterKind::kRead, timeout_ms, &out);
  sendWhole(port, turn, request);
  turn.await();
}

void ProtocolStringConfigurable::writeRegister(std::uint16_t address, std::uint16_t id,
                                               const std::vector<std::uint8_t>& data, PortHolder& comms,
                                               std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  const std::string request = formatWriteRequest(address, id, data);
  RegisterCompletion::Turn turn(register_line_, RegisterKind::kWrite, timeout_ms);
  sendWhole(port, turn, request);
  turn.await();
}

void ProtocolStringConfigurable::sendWhole(serial::Serial& port, RegisterCompletion::Turn& turn,
                                           const std::string& request) {
  // Only the turn's holder gets here, so the flag needs no lock of its own.
  if (cut_line_open_) {
    if (port.write(kLineFeed) != kLineFeed.size()) turn.giveUp();
    cut_line_open_ = false;
  }
  if (port.write(request) == request.size()) return;
  // What is still queued is dropped, and a line feed ends what already left:
  // the device reads one bad line (its error reply is owed to this request,
  // which gives up) and starts afresh with the next request. A port that
  // cannot take even the line feed gets it before the next request.
  port.discardOutput();
  cut_line_open_ = port.write(kLineFeed) != kLineFeed.size();
  turn.giveUp();
}

}  // namespace feltwise_comm
