#include "tm_stats/normal.h"

#include <array>
#include <cmath>
#include <cstddef>
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

// Evaluates c[0] x^(N-1) + ... + c[N-1] in Horner's order:
// ((c[0] x + c[1]) x + c[2]) x + ..., one rounding per operation.
template <std::size_t N>
double horner(const std::array<double, N>& c, double x) {
  double acc = c[0];
  for (std::size_t i = 1; i < N; ++i) acc = acc * x + c[i];
  return acc;
}

// Numerator P(a) and denominator R(a) of Hart's upper-tail approximation.
constexpr std::array<double, 7> kHartP = {0.03526249659989109, 0.700383064443688, 6.37396220353165,
                                          33.912866078383,     112.079291497871,  221.213596169931,
                                          220.206867912376};
constexpr std::array<double, 8> kHartR = {0.08838834764831845, 1.75566716318264, 16.064177579207,
                                          86.7807322029461,    296.564248779674, 637.333633378831,
                                          793.826512519948,    440.413735824752};

// Acklam's coefficients: A / B in the central region, C / D in the tails.
constexpr std::array<double, 6> kAcklamA = {-39.69683028665376, 220.9460984245205,
                                            -275.9285104469687, 138.357751867269,
                                            -30.66479806614716, 2.506628277459239};
constexpr std::array<double, 6> kAcklamB = {-54.47609879822406, 161.5858368580409,
                                            -155.6989798598866, 66.80131188771972,
                                            -13.28068155288572, 1};
constexpr std::array<double, 6> kAcklamC = {-0.007784894002430293, -0.3223964580411365,
                                            -2.400758277161838,    -2.549732539343734,
                                            4.374664141464968,     2.938163982698783};
constexpr std::array<double, 5> kAcklamD = {0.007784695709041462, 0.3224671290700398,
                                            2.445134137142996, 3.754408661907416, 1};

}  // namespace

double cdf(double x) {
  if (std::isnan(x)) return x;
  const double a = std::fabs(x);
  if (a > kSaturation) return x > 0 ? 1.0 : 0.0;
  const double g = std::exp(-(a * a) / 2);
  double q;  // the upper tail 1 - cdf(a)
  if (a < kTailStart) {
    q = g * horner(kHartP, a) / horner(kHartR, a);
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
    x = horner(kAcklamC, q) / horner(kAcklamD, q);
  } else if (p <= kUpperRegion) {
    const double q = p - 0.5;
    const double r = q * q;
    x = horner(kAcklamA, r) * q / horner(kAcklamB, r);
  } else {
    const double q = std::sqrt(-2 * std::log(1 - p));
    x = -horner(kAcklamC, q) / horner(kAcklamD, q);
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
