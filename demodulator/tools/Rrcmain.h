// RRC filter designer: 15 root-raised-cosine taps and their listing. A design aid only; the
// receiver's matched filter has fixed coefficients.
#pragma once

#include <array>
#include <string>
#include <vector>

// h[i] for t = i - 6.9999 (i = 0..14), pi taken as 3.14159, d = 4 alpha t / T:
// (4 alpha / (pi sqrt T)) (cos((1 + alpha) pi t / T) + sin((1 - alpha) pi t / T) / d) / (1 - d^2).
std::array<double, 15> RrcTaps(double aAlpha, double aT);

// The lines one Run appends (empty lines included). Values for which the taps are not finite
// (T not positive, d at 0 or +-1) give two empty lines and one line saying so instead.
std::vector<std::string> RrcListing(double aAlpha, double aT, int aScale);
