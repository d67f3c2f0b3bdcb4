// Reads the first word of each binary frame and keeps frames in sync.
//
// The sensor streams frames back to back with no gap, and nothing but the
// first word marks where a frame starts. A reader that only ever takes whole
// 2-byte steps stays one byte off for as long as the stream runs if it starts
// at an odd offset (which happens on every other connect). All first words the
// sensor sends end in 0xFF (FF FF, FB FF, FA FF), so after a word that is not
// recognised and whose second byte is 0xFF, that byte is kept as the first
// byte of the next candidate: the reader slides one byte at a time until it
// lands on a frame boundary.
#ifndef FELTWISE_PROTOCOLS_FRAME_WORD_READER_H
#define FELTWISE_PROTOCOLS_FRAME_WORD_READER_H

#include <cstdint>
#include <vector>

#include "serial/serial.h"

namespace feltwise_comm {

class FrameWordReader {
 public:
  // Reads the next candidate word into `word`, using `scratch` for the bytes.
  // False when the line fell silent for the read time-out first (the bytes
  // that came are dropped).
  bool read(serial::Serial& port, std::vector<std::uint8_t>& scratch, std::uint16_t& word);

  // `word` started no frame: keep its second byte if it may start the next one.
  void reject(std::uint16_t word) { carry_sync_byte_ = (word >> 8) == 0xFF; }

  // Whether a byte is carried into the next word read from `port`; one
  // carried from another port's stream is forgotten.
  bool carries(const serial::Serial& port) {
    if (port_ != &port) {
      carry_sync_byte_ = false;
      port_ = &port;
    }
    return carry_sync_byte_;
  }

  // A new stream starts: nothing carried belongs to it.
  void restart() { carry_sync_byte_ = false; }

 private:
  bool carry_sync_byte_ = false;
  // The carried byte belongs to this port's stream and to no other.
  const serial::Serial* port_ = nullptr;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_FRAME_WORD_READER_H
