#include "models/polynomial.h"

#include <cmath>
#include <cstddef>

namespace feltwise_comm {

double evaluate_polynomial(const std::vector<double>& coefs, double x) noexcept {
  const std::size_t count = coefs.size();
  double sum = 0.0;
  // The first two terms without pow, and with the same result: pow(x, 0) is 1
  // for every x, NaN included, and pow(x, 1) is x (pow is computed to far
  // within half an ulp, so a power that is a double comes out exact). The
  // higher powers stay pow's: x * x can round the other way.
  if (count > 0) sum += coefs[0];
  if (count > 1) sum += x * coefs[1];
  for (std::size_t k = 2; k < count; ++k) sum += std::pow(x, static_cast<double>(k)) * coefs[k];
  return sum;
}

}  // namespace feltwise_comm
