#include "serial/impl/memory_line.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/exceptions.h"

namespace serial::impl {

MemoryLine& MemoryLine::instance() {
  static MemoryLine line;
  return line;
}

void MemoryLine::load(const std::uint8_t* data, std::size_t size) {
  bytes_.clear();
  markers_.clear();
  position_ = 0;
  next_marker_ = 0;
  parse(data, size);
  std::lock_guard<std::mutex> lock(written_mutex_);
  written_ = 0;
}

void MemoryLine::append(const std::string& more) {
  parse(reinterpret_cast<const std::uint8_t*>(more.data()), more.size());
}

void MemoryLine::parse(const std::uint8_t* data, std::size_t size) {
  const std::size_t pause_size = std::strlen(kPause);
  const std::size_t unplug_size = std::strlen(kUnplug);
  std::size_t i = 0;
  while (i < size) {
    const std::size_t left = size - i;
    if (data[i] == '<' && left >= pause_size && std::memcmp(data + i, kPause, pause_size) == 0) {
      markers_.push_back({bytes_.size(), Stop::kPause});
      i += pause_size;
    } else if (data[i] == '<' && left >= unplug_size && std::memcmp(data + i, kUnplug, unplug_size) == 0) {
      markers_.push_back({bytes_.size(), Stop::kUnplug});
      i += unplug_size;
    } else {
      bytes_.push_back(data[i++]);
    }
  }
}

bool MemoryLine::exhausted() const { return position_ == bytes_.size() && next_marker_ == markers_.size(); }

std::size_t MemoryLine::available() const {
  const std::size_t end = next_marker_ < markers_.size() ? markers_[next_marker_].at : bytes_.size();
  return end - position_;
}

void MemoryLine::passMarker() {
  if (next_marker_ == markers_.size() || markers_[next_marker_].at != position_) return;
  const Stop stop = markers_[next_marker_++].stop;
  if (stop == Stop::kUnplug) FELTWISE_THROW_IO("Error while reading from the serial port: " + std::to_string(EIO));
}

std::size_t MemoryLine::readSome(std::uint8_t* into, std::size_t capacity) {
  const std::size_t take = std::min(capacity, available());
  if (take == 0) {
    passMarker();
    return 0;
  }
  std::memcpy(into, bytes_.data() + position_, take);
  position_ += take;
  return take;
}

void MemoryLine::write(const std::uint8_t*, std::size_t size) {
  std::lock_guard<std::mutex> lock(written_mutex_);
  written_ += size;
  written_cv_.notify_all();
}

bool MemoryLine::waitForWritten(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(written_mutex_);
  return written_cv_.wait_for(lock, limit, [&] { return written_ >= count; });
}

}  // namespace serial::impl
