#include "tm_stats/normal.h"

#include <cmath>
#include <limits>

namespace tm_stats::normal {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kSqrtTwoPi = 2.5066282746310002;
// Beyond 10/sqrt(2) the rational approximation gives way to the continued fraction.
constexpr double kTailStart = 7.071067811865475;
constexpr double kSaturation = 37.0;

// Acklam's region boundaries.
constexpr double kLowerRegion = 0.02425;
constexpr double kUpperRegion = 0.97575;

// Numerator P(a) and denominator R(a) of Hart's upper-tail approximation.
double hart_p(double a) {
  return ((((((0.03526249659989109 * a + 0.700383064443688) * a + 6.37396220353165) * a + 33.912866078383) * a +
            112.079291497871) *
               a +
           221.213596169931) *
              a +
          220.206867912376);
}

double hart_r(double a) {
  return (((((((0.08838834764831845 * a + 1.75566716318264) * a + 16.064177579207) * a + 86.7807322029461) * a +
             296.564248779674) *
                a +
            637.333633378831) *
               a +
           793.826512519948) *
              a +
          440.413735824752);
}

double acklam_a(double r) {
  return (((((-39.69683028665376 * r + 220.9460984245205) * r - 275.9285104469687) * r + 138.357751867269) * r -
           30.66479806614716) *
              r +
          2.506628277459239);
}

double acklam_b(double r) {
  return (((((-54.47609879822406 * r + 161.5858368580409) * r - 155.6989798598866) * r + 66.80131188771972) * r -
           13.28068155288572) *
              r +
          1);
}

double acklam_c(double q) {
  return (((((-0.007784894002430293 * q - 0.3223964580411365) * q - 2.400758277161838) * q - 2.549732539343734) * q +
           4.374664141464968) *
              q +
          2.938163982698783);
}

double acklam_d(double q) {
  return ((((0.007784695709041462 * q + 0.3224671290700398) * q + 2.445134137142996) * q + 3.754408661907416) * q +
          1);
}

}  // namespace

double cdf(double x) {
  if (std::isnan(x)) return x;
  const double a = std::fabs(x);
  if (a > kSaturation) return x > 0 ? 1.0 : 0.0;
  const double g = std::exp(-(a * a) / 2);
  double q;  // the upper tail 1 - cdf(a)
  if (a < kTailStart) {
    q = g * hart_p(a) / hart_r(a);
  } else {
    double f = a;
    for (int k = 16; k >= 1; --k) f = a + k / f;
    q = g / (kSqrtTwoPi * f);
  }
  return x > 0 ? 1 - q : q;
}

double inverse_cdf(double p) {
  if (std::isnan(p) || p < 0 || p > 1) return std::numeric_limits<double>::quiet_NaN();
  if (p == 0) return -kInfinity;
  if (p == 1) return kInfinity;

  double x;
  if (p < kLowerRegion) {
    const double q = std::sqrt(-2 * std::log(p));
    x = acklam_c(q) / acklam_d(q);
  } else if (p <= kUpperRegion) {
    const double q = p - 0.5;
    const double r = q * q;
    x = acklam_a(r) * q / acklam_b(r);
  } else {
    const double q = std::sqrt(-2 * std::log(1 - p));
    x = -acklam_c(q) / acklam_d(q);
  }

  // The Halley step measures the estimate's error through cdf, which is
  // evaluated only up to |x| = 37 and constant beyond. Below p of about 6e-300
  // the step would chase that constant (and for subnormal p turn the estimate
  // into NaN, as exp(x^2/2) overflows), so there the estimate is the answer.
  if (std::fabs(x) > kSaturation) return x;
  const double e = cdf(x) - p;
  const double u = e * kSqrtTwoPi * std::exp(x * x / 2);
  return x - u / (1 + x * u / 2);
}

}  // namespace tm_stats::normal
