// The clock of StampedSample::t_host_ns (feltwise_comm/stamped_sample.h).
#ifndef FELTWISE_COMMS_SAMPLE_STAMP_H
#define FELTWISE_COMMS_SAMPLE_STAMP_H

#include <chrono>
#include <cstdint>

#include "feltwise_comm/stamped_sample.h"

namespace feltwise_comm {

inline std::int64_t steadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_SAMPLE_STAMP_H
