// Protocol version 1: binary sample frames.
//
//   FF FF | count (u16 LE) | count x value (u16 LE)
//
// A count of 1 to 1023 carries values; 0 or more than 1023 is a frame without
// values (true, empty sample). Values become doubles unscaled (0 to 65535).
// There is no checksum; a value 0xFFFF inside a payload is not special.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_BINARY_H
#define FELTWISE_PROTOCOLS_PROTOCOL_BINARY_H

#include <cstdint>
#include <vector>

#include "protocols/frame_word_reader.h"
#include "protocols/protocol.h"

namespace feltwise_comm {

class ProtocolBinary : public Protocol {
 public:
  static constexpr std::uint16_t kSampleWord = 0xFFFF;
  static constexpr std::uint16_t kMaxCount = 1023;

  bool readSample(std::vector<double>& sample, PortHolder& comms) override;
  void startStream(PortHolder& comms, StreamStart start, SampleRule rule) override;

  // A whole frame with values already in the port's buffer: sync word, a
  // count of 1 to 1023 and all its values. Only right after a frame was read,
  // when the stream is at a frame boundary.
  bool sampleWaiting(PortHolder& comms) override;

  // Reads count and values after a sync word. False when the count word is
  // incomplete (sample untouched) or the values are (sample empty).
  virtual bool readPayload(std::vector<double>& sample, PortHolder& comms);

 protected:
  enum class HeldFrame { kTaken, kSilent, kNone };

  // The common case in one port call: when the bytes the port holds (waited
  // for as for a first word while it holds none) begin with a whole frame
  // of sync word and count, that frame is decoded where it lies into
  // `sample` (kTaken); kSilent when the line stayed silent (readSample's
  // false); kNone when the stream is not known to be at a frame boundary
  // (a byte carried by the search for one) or what is held begins no whole
  // frame: a frame still arriving, a register reply, bytes between frames.
  // Those are then read word by word from the same bytes.
  HeldFrame takeHeldFrame(std::vector<double>& sample, serial::Serial& port);

  std::vector<std::uint8_t> buffer_;
  std::uint16_t header_ = 0;
  std::uint16_t count_ = 0;
  FrameWordReader first_word_;
  // Whether the bytes held after the frame takeHeldFrame took begin a whole
  // frame with values: sampleWaiting's answer without another port call.
  // Only the acquisition thread reads the port, so nothing can take them in
  // between.
  bool next_known_ = false;
  bool next_waiting_ = false;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_BINARY_H
