// The standard normal distribution function and its inverse, in double
// precision. Every step is evaluated in the order written in normal.cpp, with
// no fused multiply-add, so results are reproducible to the last bit.
#pragma once

namespace tm_stats::normal {

// Hart (1968), "Computer Approximations": algorithm 5666, with a continued-fraction tail.
// NaN gives NaN; below -37 the result is 0 and above 37 it is 1.
double cdf(double x);

// Acklam (2003): rational approximation of the inverse normal, plus one Halley step.
// p NaN or outside [0, 1] gives NaN; 0 gives minus infinity and 1 plus infinity.
double inverse_cdf(double p);

}  // namespace tm_stats::normal
