// The calibration polynomials: term by term with std::pow and a double
// exponent, k rising from 0, summed from 0.0. Calibrated values are promised
// bit for bit in exactly this order; Horner's rule would be faster but rounds
// differently.
#ifndef FELTWISE_MODELS_POLYNOMIAL_H
#define FELTWISE_MODELS_POLYNOMIAL_H

#include <vector>

namespace feltwise_comm {

// sum over k of pow(x, k) * coefs[k]; 0.0 for no coefficients.
double evaluate_polynomial(const std::vector<double>& coefs, double x) noexcept;

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_POLYNOMIAL_H
