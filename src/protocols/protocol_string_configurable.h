// Protocol version 3: the sample lines of version 0, plus register access
// over text requests and replies on the same line (text_register_lines.h).
//
// The acquisition thread reads every line. Lines of fewer than two bytes are
// dropped; the first byte sorts the rest: "R"/"r" is a read reply, "O" an
// acknowledgement, "E" a device error (echoed to standard output as
// "ERR " + line + "\n" through console/console_sink.h, which shows the line's
// control bytes as \xHH), anything else a sample line. A register call writes
// its request from the caller's thread and waits until the acquisition thread
// posts a completion or the time-out passes.
//
// Completions (register_completion.h): one slot per request kind. A read
// reply completes the read kind only; an acknowledgement, an error line or a
// malformed read reply completes both. Each kind keeps its own status so that
// a completion of one kind never rewrites the status another kind's waiter is
// about to read.
//
// One request of each kind at a time: the device answers in order and its
// replies name no request.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_STRING_CONFIGURABLE_H
#define FELTWISE_PROTOCOLS_PROTOCOL_STRING_CONFIGURABLE_H

#include <cstdint>
#include <vector>

#include "protocols/protocol_string.h"
#include "protocols/register_completion.h"

namespace feltwise_comm {

class ProtocolStringConfigurable : public ProtocolString {
 public:
  // True only for a sample line that parseLine accepted.
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;

  // Writes "r<address>,<id>,0" and waits up to `timeout_ms` for the reply;
  // `out` then holds its data. Throws std::runtime_error "Timeout must be
  // greater than 0 ms" (nothing sent), "Register read timeout" (`out`
  // emptied) or "Register read error: <status>" (`out` untouched); port
  // errors while writing the request propagate.
  void readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out, PortHolder& comms,
                    std::int64_t timeout_ms) override;

  // Writes "w<address>,<id>,<count>,<HEX>" and waits up to `timeout_ms` for
  // the acknowledgement. Throws "Timeout must be greater than 0 ms",
  // "Register write timeout" or "Register write error: <status>".
  void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                     PortHolder& comms, std::int64_t timeout_ms) override;

 protected:
  // Ends both pending requests with `status`.
  void completeAll(std::uint16_t status);

 private:
  void handleReadReply();

  // The acquisition thread's scratch for the reply being decoded.
  std::vector<std::uint8_t> decoded_bytes_;

  // An acknowledgement that ends a read hands over the data of the last read
  // reply that decoded.
  RegisterCompletion read_{"read"};
  RegisterCompletion write_{"write"};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_STRING_CONFIGURABLE_H
