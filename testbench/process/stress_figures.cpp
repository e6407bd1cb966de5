#include "stress_figures.h"

#include <cmath>

namespace testbench {

namespace {

// P(X <= count) for a Poisson variable of the given mean.
double AtMost(unsigned count, double mean) {
  double term = std::exp(-mean);
  double sum = term;
  for (unsigned i = 1; i <= count; ++i) {
    term *= mean / i;
    sum += term;
  }
  return sum;
}

// The mean at which P(X <= count) falls to `chance` (it falls as the mean grows).
double MeanWhereAtMostIs(unsigned count, double chance) {
  double low = 0.0;
  double high = count + 10.0 + 10.0 * std::sqrt(count + 1.0);
  for (int i = 0; i < 200; ++i) {
    const double middle = (low + high) / 2;
    if (AtMost(count, middle) > chance) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return (low + high) / 2;
}

}  // namespace

MeanInterval PoissonInterval95(unsigned count) {
  // Low end: P(X >= count) = 2.5%, that is P(X <= count - 1) = 97.5%.
  const double low = count == 0 ? 0.0 : MeanWhereAtMostIs(count - 1, 0.975);
  return {low, MeanWhereAtMostIs(count, 0.025)};
}

}  // namespace testbench
