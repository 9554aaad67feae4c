// An analytic swath for the map tests: rows march along a great circle at a fixed ground step, each
// row's columns lie on the perpendicular great circle at a fixed ground step, column 0 to the right
// of the flight direction. It has an exact inverse, so a map pixel can be traced back to the picture
// position that should have filled it, independently of the tie-point interpolation under test.
#pragma once

#include "maps/GeoTiePoints.h"

#include <cmath>
#include <numbers>
#include <optional>

namespace lrptgeo {

struct TSwathModel {
    static constexpr double kEarthKm = 6371.0;
    int Width = 1568;
    int Height = 2000;
    double RowKm = 1.05;
    double ColKm = 1.0;
    double P0[3], T0[3], R[3]; // start point, flight direction there, pole of the track (constant)

    // The track starts at (aLatDeg, aLonDeg) heading aAzimuthDeg (clockwise from north).
    TSwathModel(double aLatDeg, double aLonDeg, double aAzimuthDeg, int aWidth = 1568, int aHeight = 2000)
        : Width(aWidth), Height(aHeight) {
        const double lat = Rad(aLatDeg), lon = Rad(aLonDeg), az = Rad(aAzimuthDeg);
        const double p[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
        const double north[3] = {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon),
                                 std::cos(lat)};
        const double east[3] = {-std::sin(lon), std::cos(lon), 0};
        for (int k = 0; k < 3; ++k) {
            P0[k] = p[k];
            T0[k] = std::cos(az) * north[k] + std::sin(az) * east[k];
        }
        // Right of the flight direction: T x P.
        R[0] = T0[1] * P0[2] - T0[2] * P0[1];
        R[1] = T0[2] * P0[0] - T0[0] * P0[2];
        R[2] = T0[0] * P0[1] - T0[1] * P0[0];
    }

    TLatLonDeg Locate(double aCol, double aRow) const {
        const double theta = aRow * RowKm / kEarthKm, phi = ((Width - 1) / 2.0 - aCol) * ColKm / kEarthKm;
        double q[3];
        for (int k = 0; k < 3; ++k)
            q[k] = (P0[k] * std::cos(theta) + T0[k] * std::sin(theta)) * std::cos(phi) + R[k] * std::sin(phi);
        return {Deg(std::atan2(q[2], std::hypot(q[0], q[1]))), Deg(std::atan2(q[1], q[0]))};
    }

    // Picture coordinates (col, row) of a ground point, unbounded (outside the picture when < 0 or
    // beyond Width - 1 / Height - 1).
    void PictureOf(TLatLonDeg aPoint, double& aCol, double& aRow) const {
        const double lat = Rad(aPoint.LatDeg), lon = Rad(aPoint.LonDeg);
        const double q[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
        const double qr = q[0] * R[0] + q[1] * R[1] + q[2] * R[2];
        const double qp = q[0] * P0[0] + q[1] * P0[1] + q[2] * P0[2];
        const double qt = q[0] * T0[0] + q[1] * T0[1] + q[2] * T0[2];
        aRow = std::atan2(qt, qp) * kEarthKm / RowKm;
        aCol = (Width - 1) / 2.0 - std::asin(qr) * kEarthKm / ColKm;
    }

    TGeoTiePoints Ties(int aRowStep = 8, int aColStep = 32) const {
        return MakeTiePoints(Width, Height, aRowStep, aColStep,
                             [this](double aCol, double aRow) { return Locate(aCol, aRow); });
    }

    static double Rad(double aDeg) { return aDeg * std::numbers::pi / 180; }
    static double Deg(double aRad) { return aRad * 180 / std::numbers::pi; }
};

} // namespace lrptgeo
