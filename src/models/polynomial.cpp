#include "models/polynomial.h"

#include <cmath>
#include <cstddef>

namespace feltwise_comm {

double evaluate_polynomial(const std::vector<double>& coefs, double x) noexcept {
  double sum = 0.0;
  for (std::size_t k = 0; k < coefs.size(); ++k) sum += std::pow(x, static_cast<double>(k)) * coefs[k];
  return sum;
}

}  // namespace feltwise_comm
