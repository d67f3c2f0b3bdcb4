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

  // False when nothing arrived within the port's read time-out (`sample`
  // untouched) or the line was rejected (`sample` empty). A line ends at its
  // line feed, after kMaxLineBytes, or when it has been silent for the read
  // time-out: then it is parsed as far as it came. Bytes still arriving never
  // cut it.
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;

  // Splits one line into `sample`. False, with `sample` empty, when the line
  // is rejected.
  virtual bool parseLine(std::vector<double>& sample, const std::string& text) noexcept;

 protected:
  // Replaces `line_` with the next line from the port, its line feed
  // included when one came.
  void receiveLine(PortHolder& comms);

  std::string line_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_STRING_H
