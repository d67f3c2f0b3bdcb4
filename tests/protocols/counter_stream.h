// The samples the paced-line tests play: sample k of a stream carries the
// counters k, k + 1, ... in the wire form of its protocol version (a frame
// for the binary versions, enciphered for ProtocolBinaryEncrypt's; a line of
// decimal numbers for the text ones), written so that a torn, shifted or
// invented sample is recognisable (isCounterSample, support/played_sensor.h).
#ifndef FELTWISE_TESTS_PROTOCOLS_COUNTER_STREAM_H
#define FELTWISE_TESTS_PROTOCOLS_COUNTER_STREAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/played_sensor.h"
#include "support/protocol_versions.h"

namespace feltwise_test {

using Bytes = std::vector<std::uint8_t>;

PlayedSensor::Wire wireOf(int version);

// Sample `k` with `count` values (binary) or numbers (text). Text numbers
// have five digits each, so a line is six bytes a value.
Bytes counterSampleBytes(int version, std::uint16_t count, std::uint32_t k);

// Values a whole sample holds: an enciphered frame of count 1023 carries 512 in its blocks.
std::size_t counterValuesOf(int version, std::uint16_t count);

// A sample of a stream of `count` values, whole: as the device sent it.
bool isWholeCounterSample(const std::vector<double>& sample, int version, std::uint16_t count);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_PROTOCOLS_COUNTER_STREAM_H
