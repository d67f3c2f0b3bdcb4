// A parameter file for tests that need calibration but not any particular
// model: single-taxel records, record i reading channel i into output i with
// P(x) = gain * x.
#ifndef FELTWISE_TESTS_SUPPORT_TAXEL_FILE_H
#define FELTWISE_TESTS_SUPPORT_TAXEL_FILE_H

#include <string>

namespace feltwise_test {

// Writes the file into the test's temporary directory and returns its path.
std::string writeTaxelFile(const std::string& name, int records, double gain = 1.0, int version = 1);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_TAXEL_FILE_H
