// The calibration polynomials, evaluated exactly as the sensor's maker fitted
// them: term by term with std::pow and a double exponent, k rising from 0,
// summed from 0.0. Horner's rule would be faster but rounds differently, and
// calibrated values must match the maker's bit for bit.
#ifndef FELTWISE_MODELS_POLYNOMIAL_H
#define FELTWISE_MODELS_POLYNOMIAL_H

#include <vector>

namespace feltwise_comm {

// sum over k of pow(x, k) * coefs[k]; 0.0 for no coefficients.
double evaluate_polynomial(const std::vector<double>& coefs, double x) noexcept;

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_POLYNOMIAL_H
