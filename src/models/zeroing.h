// Zeroing: the rest value of a raw channel is its mean raw reading over a list
// of samples taken while the sensor is not touched.
#ifndef FELTWISE_MODELS_ZEROING_H
#define FELTWISE_MODELS_ZEROING_H

#include <cstdint>
#include <vector>

namespace feltwise_comm {

// The mean of samples[s][channels[i]] over s, for each i. Every sample is
// checked before anything is returned, so a caller that stores the result
// changes nothing when a sample is bad. Refuses an empty list ("No samples to
// zero the sensor with."), an empty sample ("Sensor not reading, data size is
// 0.") and a channel outside a sample ("Sensor requested zeroing is not
// plugged in.").
std::vector<double> mean_raw_values(const std::vector<std::vector<double>>& samples,
                                    const std::vector<std::int32_t>& channels);

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_ZEROING_H
