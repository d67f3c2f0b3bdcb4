// Protocol version 0: one sample per text line.
//
//   1.5,2,-3e2\n
//
// Field k (split at commas) becomes sample element k. A field is read as
// strtod reads it, in the "C" locale: leading white space is skipped and
// whatever follows the number up to the comma is ignored, so "1.5, 2\r\n"
// gives 1.5, 2. An empty field ends the line ("1,,2" gives 1); a field with no
// number, or one out of the range of a double, rejects the whole line.
// There is no header, checksum or fixed field count.
//
// Where a stream starts, nothing marks a line's beginning but the line feed
// before it: a line in flight when the port opened arrives as its tail
// ("3.45" of "123.45", 3 of 6 values), which parses as a plausible sample.
// startStream sets the rule (protocol.h, SampleRule):
// - kWholeSamples (feltwise.Sensor, the tools): the first sample is the line
//   after the first line feed received on this stream, always; the tail is
//   dropped, and so is a whole line that happened to come first (one sample
//   on every connect). Lines cut by silence or by kMaxLineBytes, and what
//   follows them up to the next line feed, are dropped as well.
// - kAsReceived (FeltwiseComms): a line the device writes after connect is
//   read, the first one included. The evidence of a line in flight that
//   leaves such a line alone: bytes the port held, and dropped, as it opened
//   (the device was sending before we listened), and a reopen of a port whose
//   device sent a moment before it closed (kJoined, comms/comms_state.h).
//   Then the tail is dropped; otherwise the first line is read whole. Timing
//   cannot tell more: the first byte of a device that is mid-line and that of
//   a line written just after connect both come within microseconds of the
//   open. So a device that is mid-line when the port opens with nothing in
//   it yet (between two of its adapter's chunks) can still give its tail as
//   sample 1 here. Lines cut by silence or by kMaxLineBytes are parsed as
//   far as they came, and their rest read as the next line.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_STRING_H
#define FELTWISE_PROTOCOLS_PROTOCOL_STRING_H

#include <cstddef>
#include <string>
#include <vector>

#include "protocols/protocol.h"

namespace feltwise_comm {

class ProtocolString : public Protocol {
 public:
  // Longer lines arrive in pieces of this size, each parsed on its own.
  static constexpr std::size_t kMaxLineBytes = 65536;

  // False when nothing arrived within the port's read time-out or the line
  // is no whole one under the stream's rule (`sample` untouched both times),
  // or the line was rejected (`sample` empty). A line ends at its line feed,
  // after kMaxLineBytes, or when it has been silent for the read time-out:
  // then, read as received, it is parsed as far as it came. Bytes still
  // arriving never cut it.
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;

  // Sets the rule above for the stream that starts. Acquisition thread only.
  void startStream(PortHolder& comms, StreamStart start, SampleRule rule) override;

  // Splits one line into `sample`. False, with `sample` empty, when the line
  // is rejected.
  virtual bool parseLine(std::vector<double>& sample, const std::string& text) noexcept;

 protected:
  // Replaces `line_` with the next line from the port, its line feed
  // included when one came, and tells whether it may become a sample under
  // the stream's rule (`lineIsWhole`).
  void receiveLine(PortHolder& comms);
  bool lineIsWhole() const { return line_is_whole_; }

  std::string line_;

 private:
  SampleRule rule_ = SampleRule::kAsReceived;
  // The next byte from the port begins a line.
  bool at_line_start_ = true;
  bool line_is_whole_ = true;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_STRING_H
