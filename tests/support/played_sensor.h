// A sensor played by a thread of the test on the master side of a PtyPair:
// it streams samples at a steady pace and answers register requests between
// them, as the firmware does, for as long as the object lives.
//
// Every sample carries a running counter: value i of sample k is k + i,
// written so that a torn, shifted or invented sample is recognisable
// (isCounterSample). In binary frames each 14-bit counter is spread over two
// 7-bit bytes, so that no byte of a payload is 0xFF and the only FF FF on the
// line is a sync word: a reader that joins the stream anywhere can never take
// a payload for a frame.
#ifndef FELTWISE_TESTS_SUPPORT_PLAYED_SENSOR_H
#define FELTWISE_TESTS_SUPPORT_PLAYED_SENSOR_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace feltwise_test {

class PlayedSensor {
 public:
  enum class Wire {
    kBinary,  // version-1 frames; version-4 register replies and status frames
    kText,    // version-0 lines; version-3 register replies and acknowledgements
  };

  struct Options {
    Wire wire = Wire::kBinary;
    std::size_t values = 4;
    std::chrono::microseconds period{1000};
    bool answer_registers = false;
  };

  PlayedSensor(PtyPair& pty, Options options);
  ~PlayedSensor();
  PlayedSensor(const PlayedSensor&) = delete;
  PlayedSensor& operator=(const PlayedSensor&) = delete;

  // Stops streaming (register requests are still answered) and resumes.
  void setStreaming(bool streaming) { streaming_.store(streaming); }

  std::uint64_t samplesSent() const { return samples_sent_.load(); }
  std::uint64_t requestsAnswered() const { return requests_answered_.load(); }

  // A read reply carries the request's address, low byte first, as its data.
  static std::vector<std::uint8_t> replyDataFor(std::uint16_t address) {
    return {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8)};
  }

 private:
  void run();
  std::string nextSample();
  void answerRequests(std::string& pending);
  // Writes all of `bytes` unless the object is being destroyed.
  void sendWhole(const std::string& bytes);

  PtyPair& pty_;
  Options options_;
  std::uint32_t counter_ = 0;
  std::atomic<bool> streaming_{true};
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> samples_sent_{0};
  std::atomic<std::uint64_t> requests_answered_{0};
  std::thread thread_;
};

// True when `sample` has `values` elements counting up by one from its first
// (modulo the counter's range of the wire): a sample the sensor sent, whole.
bool isCounterSample(const std::vector<double>& sample, std::size_t values, PlayedSensor::Wire wire);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_PLAYED_SENSOR_H
