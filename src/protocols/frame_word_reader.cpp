#include "protocols/frame_word_reader.h"

#include "protocols/protocol.h"

namespace feltwise_comm {

bool FrameWordReader::read(serial::Serial& port, std::vector<std::uint8_t>& scratch, std::uint16_t& word) {
  scratch.clear();
  const bool carried = carry_sync_byte_ && port_ == &port;
  carry_sync_byte_ = false;
  port_ = &port;
  std::size_t wanted = 2;
  if (carried) {
    scratch.push_back(0xFF);
    wanted = 1;
  }
  // A time-out means the stream paused; the sensor starts afresh after it, so a
  // carried byte is dropped with the rest.
  if (port.read(scratch, wanted) != wanted) return false;
  word = decodeWord(scratch);
  return true;
}

}  // namespace feltwise_comm
