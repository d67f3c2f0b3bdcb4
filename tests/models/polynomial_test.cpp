// The calibration polynomial is term by term with pow, bit for bit: checked
// against that sum written out, over the values a model meets and the odd ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "models/polynomial.h"

namespace {

double termByTerm(const std::vector<double>& coefs, double x) {
  double sum = 0.0;
  for (std::size_t k = 0; k < coefs.size(); ++k) sum += std::pow(x, static_cast<double>(k)) * coefs[k];
  return sum;
}

std::uint64_t bits(double value) {
  std::uint64_t out = 0;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

class PolynomialBits : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(PolynomialBits, SameBitsAsPowTermByTerm) {
  const std::vector<double>& coefs = GetParam();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::vector<double> xs = {0.0,  -0.0,   1.0,   -1.0,   0.5,      1.1,  3.0,   -2.5,        65535.0,
                            1e-9, -1e-12, 1e150, -1e150, 4.9e-324, kInf, -kInf, std::nan("")};
  std::mt19937_64 random(24);
  std::uniform_real_distribution<double> raw(-1000.0, 66000.0);
  std::uniform_real_distribution<double> small(-2.0, 2.0);
  for (int i = 0; i < 2000; ++i) xs.push_back(i % 2 ? raw(random) : small(random));
  for (const double x : xs) {
    const double expected = termByTerm(coefs, x);
    const double got = feltwise_comm::evaluate_polynomial(coefs, x);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(got)) << "x = " << x;
    } else {
      EXPECT_EQ(bits(got), bits(expected)) << "x = " << x << ": " << got << " against " << expected;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Coefficients, PolynomialBits,
                         ::testing::Values(std::vector<double>{}, std::vector<double>{-0.0}, std::vector<double>{0.5},
                                           std::vector<double>{0.0, 0.0123},
                                           std::vector<double>{0.0, 0.0123, 1.7e-06, -2.9e-10},
                                           std::vector<double>{0.5, 0.25, 0.1, 0.3, 0.7, 0.9},
                                           std::vector<double>{-3.0, 1e300, -1e-300}));

}  // namespace
