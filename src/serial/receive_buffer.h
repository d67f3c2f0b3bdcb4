// Bytes read from the device but not handed out yet, in one block allocated
// when the port is made. A platform read refills the whole block once the
// readers have taken everything; the readers take from the front. Guarded by
// the facade's read lock.
#ifndef FELTWISE_SERIAL_RECEIVE_BUFFER_H
#define FELTWISE_SERIAL_RECEIVE_BUFFER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace serial {

class ReceiveBuffer {
 public:
  explicit ReceiveBuffer(std::size_t capacity) : bytes_(capacity) {}

  std::size_t size() const { return end_ - begin_; }
  const std::uint8_t* data() const { return bytes_.data() + begin_; }
  void consume(std::size_t count) { begin_ += count; }
  void clear() { begin_ = end_ = 0; }

  // Copies up to `count` bytes from the front; returns how many are held in all.
  std::size_t peek(std::uint8_t* into, std::size_t count) const {
    std::copy_n(data(), std::min(size(), count), into);
    return size();
  }

  // The whole block for a platform read, which then reports `filled(n)`.
  std::uint8_t* space() { return bytes_.data(); }
  std::size_t capacity() const { return bytes_.size(); }
  void filled(std::size_t count) {
    begin_ = 0;
    end_ = count;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace serial

#endif  // FELTWISE_SERIAL_RECEIVE_BUFFER_H
