// Resampling of a scan line to equal ground distance.
//
// The imager sweeps a mirror through equal angle steps across track, so a raw pixel near the edge of
// the swath covers far more ground than one at nadir. This rectifier resamples every row so that
// its columns are equally spaced on the ground, at the ground spacing of the nadir pixel: near
// nadir the picture stays as it was, towards the edges it is stretched, and coasts keep their shape.
//
// Geometry (a sphere; no Earth flattening, no satellite attitude, no terrain):
//   R  Earth radius, H  orbit altitude, r = R + H, theta_max half the scan angle,
//   W  raw width: raw column i (pixel centre i + 0.5) looks at the view angle
//        theta(i) = theta_max * (2 (i + 0.5) / W - 1),
//   the point seen at view angle theta lies at the Earth-centre angle
//        beta(theta) = asin(r / R * sin theta) - theta,
//   i.e. at the ground distance s = R * beta from nadir (along the surface).
//   Nadir ground spacing per raw column: g = H * 2 theta_max / W (since ds/dtheta = H at nadir).
//   Rectified width W' = round(2 R beta(theta_max) / g); rectified column j lies at
//        s_j = (j + 0.5 - W' / 2) * g,
//   and takes the raw row at the fractional column
//        x_j = (theta(s_j) / theta_max + 1) * W / 2 - 0.5,  theta(s) = atan2(R sin b, r - R cos b), b = s /
//        R,
//   interpolated linearly between the two neighbouring raw pixels (clamped to the first and last).
// With the defaults (830 km, 6371 km, 55.4 degrees, 1568 columns) the swath is about 2,910 km, the
// nadir pixel about 1.02 km and an edge pixel 5.8 times as wide; W' is 2,844.
#pragma once

#include "image/Bitmap24.h"

#include <cstdint>
#include <vector>

struct TScanGeometry {
    double AltitudeKm = 830;
    double EarthRadiusKm = 6371;
    double HalfScanDegrees = 55.4;
};

class TGroundRectifier {
  public:
    // The table for raw rows of aRawWidth columns (>= 2); throws std::invalid_argument otherwise, or
    // for a geometry whose swath edge misses the Earth.
    explicit TGroundRectifier(int aRawWidth, TScanGeometry aGeometry = {});

    int RawWidth() const { return fRawWidth; }
    int Width() const { return static_cast<int>(fSource.size()); }
    // Fractional raw column sampled by rectified column aColumn (0..Width()-1, not checked).
    double SourceColumn(int aColumn) const { return fSource[static_cast<size_t>(aColumn)]; }
    // Ground distance from nadir of the centre of raw column aColumn (negative left of nadir), km.
    double GroundDistanceKm(double aRawColumn) const;
    double NadirSpacingKm() const { return fSpacing; }

    // One row: reads aRawWidth pixels of aBytesPerPixel bytes from aIn, writes Width() pixels to aOut.
    void RectifyRow(const uint8_t* aIn, uint8_t* aOut, int aBytesPerPixel) const;
    // Byte 0 of every pixel RectifyRow(aIn, ..., aInBytesPerPixel) writes, one byte per pixel: for a
    // grey row (all bytes of a pixel equal) the grey rectified row, without rectifying the others.
    void RectifyFirstBytes(const uint8_t* aIn, int aInBytesPerPixel, uint8_t* aOut) const;
    // Every row of the first RawWidth() columns of aPicture (which must be at least that wide, else
    // std::invalid_argument); the result is Width() wide and as high as aPicture.
    TBitmap24 Rectify(const TBitmap24& aPicture) const;

    // One table per raw width and default geometry, built on first use (thread-safe).
    static const TGroundRectifier& ForWidth(int aRawWidth);

  private:
    int fRawWidth;
    TScanGeometry fGeometry;
    double fSpacing = 0;
    std::vector<double> fSource;
    std::vector<int> fLeft;       // left neighbour, so that fLeft + 1 is a valid raw column
    std::vector<uint16_t> fRight; // weight of the right neighbour, 0..256
};
