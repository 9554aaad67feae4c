// A three-component vector for the orbit code. Which frame and unit a vector is in is said by the
// type or the name of what holds it (TStateTeme::PositionKm, ...), not by this type.
#pragma once

#include <cmath>

namespace lrptgeo {

struct TVec3 {
    double X = 0, Y = 0, Z = 0;

    friend TVec3 operator+(TVec3 a, TVec3 b) { return {a.X + b.X, a.Y + b.Y, a.Z + b.Z}; }
    friend TVec3 operator-(TVec3 a, TVec3 b) { return {a.X - b.X, a.Y - b.Y, a.Z - b.Z}; }
    friend TVec3 operator-(TVec3 a) { return {-a.X, -a.Y, -a.Z}; }
    friend TVec3 operator*(double s, TVec3 a) { return {s * a.X, s * a.Y, s * a.Z}; }
    friend TVec3 operator*(TVec3 a, double s) { return s * a; }
};

inline double Dot(TVec3 a, TVec3 b) {
    return a.X * b.X + a.Y * b.Y + a.Z * b.Z;
}
inline TVec3 Cross(TVec3 a, TVec3 b) {
    return {a.Y * b.Z - a.Z * b.Y, a.Z * b.X - a.X * b.Z, a.X * b.Y - a.Y * b.X};
}
inline double Norm(TVec3 a) {
    return std::sqrt(Dot(a, a));
}
inline TVec3 Normalized(TVec3 a) {
    return (1.0 / Norm(a)) * a;
}

} // namespace lrptgeo
