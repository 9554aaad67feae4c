// Angle constants of the geo library, one definition for every file.
#pragma once

#include <numbers>

namespace lrptgeo {

inline constexpr double kDeg = std::numbers::pi / 180; // radians per degree
inline constexpr double kTwoPi = 2 * std::numbers::pi;

} // namespace lrptgeo
