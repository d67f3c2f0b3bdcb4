// A parameter file for tests that need calibration but not any particular
// model: single-taxel records, record i reading channel i into output i with
// P(x) = gain * x.
#ifndef FELTWISE_TESTS_SUPPORT_TAXEL_FILE_H
#define FELTWISE_TESTS_SUPPORT_TAXEL_FILE_H

#include <map>
#include <string>
#include <vector>

namespace feltwise_test {

// Writes the file into the test's temporary directory and returns its path.
std::string writeTaxelFile(const std::string& name, int records, double gain = 1.0, int version = 1);

// The same with record i's output map given: outputs[i] maps the record's
// value slots to output indices.
std::string writeTaxelFile(const std::string& name, const std::vector<std::map<int, int>>& outputs, double gain,
                           int version);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_TAXEL_FILE_H
