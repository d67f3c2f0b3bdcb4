// Protocol version 3: the sample lines of version 0, plus register access
// over text requests and replies on the same line (text_register_lines.h).
//
// The acquisition thread reads every line. Lines of fewer than two bytes are
// dropped; the first byte sorts the rest: "R"/"r" is a read reply, "O" an
// acknowledgement, "E" a device error (echoed to standard output as
// "ERR " + line + "\n" through console/console_sink.h, which shows the line's
// control bytes as \xHH), anything else a sample line. Sample lines follow the
// stream's rule (protocol_string.h): one that began before the stream did is
// dropped. Replies are sorted by their first letter also there, so that a
// device that answers the first request after connect before it sends
// anything else is heard. A reply line that arrives while no request waits
// costs that line alone, which was no sample. A register call writes
// its request from the caller's thread and waits until the acquisition thread
// posts its reply or the time-out passes.
//
// How a reply finds its request is register_completion.h: one request on the
// line at a time; a read reply, well-formed or not, ends only a read; an
// acknowledgement ends only a write; an error line ends whichever waits;
// after a request gave up, the next waits for its late reply or kSettle of
// quiet before it is written.
//
// A request the port could not send whole fails with the time-out error. What
// is still queued is dropped and a line feed ends the part that left, so the
// device reads one bad line and the next request arrives as a line of its
// own; the device's error reply to the bad line is owed to the request that
// gave up.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_STRING_CONFIGURABLE_H
#define FELTWISE_PROTOCOLS_PROTOCOL_STRING_CONFIGURABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "protocols/protocol_string.h"
#include "protocols/register_completion.h"

namespace feltwise_comm {

class ProtocolStringConfigurable : public ProtocolString {
 public:
  // True only for a whole sample line that parseLine accepted.
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;

  // Writes "r<address>,<id>,0" and waits up to `timeout_ms` for the reply;
  // `out` then holds its data. Throws std::runtime_error "Timeout must be
  // greater than 0 ms" (nothing sent), "Register read timeout" (no reply in
  // time, or the request not sent whole; `out` emptied) or "Register read
  // error: <status>" (`out` untouched); port errors while writing the
  // request propagate.
  void readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out, PortHolder& comms,
                    std::int64_t timeout_ms) override;

  // Writes "w<address>,<id>,<count>,<HEX>" and waits up to `timeout_ms` for
  // the acknowledgement. Throws "Timeout must be greater than 0 ms",
  // "Register write timeout" (no acknowledgement in time, or the request not
  // sent whole) or "Register write error: <status>".
  void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data, PortHolder& comms,
                     std::int64_t timeout_ms) override;

 private:
  void handleReadReply();
  void sendWhole(serial::Serial& port, RegisterCompletion::Turn& turn, const std::string& request);

  // The acquisition thread's scratch for the reply being decoded.
  std::vector<std::uint8_t> decoded_bytes_;

  RegisterCompletion register_line_;
  // A cut request whose line feed the port could not take either: the next
  // request sends it first. Touched only by the turn's holder.
  bool cut_line_open_ = false;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_STRING_CONFIGURABLE_H
