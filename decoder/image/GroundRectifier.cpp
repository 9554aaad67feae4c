#include "image/GroundRectifier.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <stdexcept>

TGroundRectifier::TGroundRectifier(int aRawWidth, TScanGeometry aGeometry)
    : fRawWidth(aRawWidth), fGeometry(aGeometry) {
    if (aRawWidth < 2) throw std::invalid_argument("rectification needs rows of at least 2 pixels");
    const double R = aGeometry.EarthRadiusKm, r = R + aGeometry.AltitudeKm;
    const double thetaMax = aGeometry.HalfScanDegrees * std::numbers::pi / 180;
    if (!(aGeometry.AltitudeKm > 0) || !(R > 0) || !(thetaMax > 0) || r / R * std::sin(thetaMax) >= 1)
        throw std::invalid_argument("scan geometry whose swath edge misses the Earth");
    const double betaMax = std::asin(r / R * std::sin(thetaMax)) - thetaMax;
    fSpacing = aGeometry.AltitudeKm * 2 * thetaMax / aRawWidth;
    const int width = static_cast<int>(std::lround(2 * R * betaMax / fSpacing));
    fSource.resize(static_cast<size_t>(width));
    fLeft.resize(fSource.size());
    fRight.resize(fSource.size());
    for (int j = 0; j < width; ++j) {
        const double b = (j + 0.5 - width / 2.0) * fSpacing / R;
        const double theta = std::atan2(R * std::sin(b), r - R * std::cos(b));
        const double x = std::clamp((theta / thetaMax + 1) * aRawWidth / 2 - 0.5, 0.0, aRawWidth - 1.0);
        const int left = std::min(static_cast<int>(x), aRawWidth - 2);
        fSource[static_cast<size_t>(j)] = x;
        fLeft[static_cast<size_t>(j)] = left;
        fRight[static_cast<size_t>(j)] = static_cast<uint16_t>(std::lround((x - left) * 256));
    }
}

double TGroundRectifier::GroundDistanceKm(double aRawColumn) const {
    const double R = fGeometry.EarthRadiusKm, r = R + fGeometry.AltitudeKm;
    const double thetaMax = fGeometry.HalfScanDegrees * std::numbers::pi / 180;
    const double theta = thetaMax * (2 * (aRawColumn + 0.5) / fRawWidth - 1);
    return R * (std::asin(r / R * std::sin(theta)) - theta);
}

namespace {

// One row, aBytes bytes of a pixel interpolated, of aStep bytes per raw pixel; both known when
// compiled for the common forms, so that the inner loop has no loop of its own.
template <int aBytes>
void Interpolate(const uint8_t* aIn, int aStep, uint8_t* aOut, const int* aLeft, const uint16_t* aRight,
                 size_t aCount, int aBytesRuntime = aBytes) {
    const int bytes = aBytes > 0 ? aBytes : aBytesRuntime;
    for (size_t j = 0; j < aCount; ++j) {
        const uint8_t* a = aIn + static_cast<size_t>(aLeft[j]) * static_cast<size_t>(aStep);
        const uint8_t* b = a + aStep;
        const int w = aRight[j];
        for (int k = 0; k < bytes; ++k)
            *aOut++ = static_cast<uint8_t>((a[k] * (256 - w) + b[k] * w + 128) >> 8);
    }
}

} // namespace

void TGroundRectifier::RectifyRow(const uint8_t* aIn, uint8_t* aOut, int aBytesPerPixel) const {
    if (aBytesPerPixel == 3)
        Interpolate<3>(aIn, 3, aOut, fLeft.data(), fRight.data(), fSource.size());
    else if (aBytesPerPixel == 1)
        Interpolate<1>(aIn, 1, aOut, fLeft.data(), fRight.data(), fSource.size());
    else
        Interpolate<0>(aIn, aBytesPerPixel, aOut, fLeft.data(), fRight.data(), fSource.size(),
                       aBytesPerPixel);
}

void TGroundRectifier::RectifyFirstBytes(const uint8_t* aIn, int aInBytesPerPixel, uint8_t* aOut) const {
    Interpolate<1>(aIn, aInBytesPerPixel, aOut, fLeft.data(), fRight.data(), fSource.size());
}

TBitmap24 TGroundRectifier::Rectify(const TBitmap24& aPicture) const {
    if (aPicture.Width() < fRawWidth)
        throw std::invalid_argument("picture of " + std::to_string(aPicture.Width()) +
                                    " columns, rectification wants " + std::to_string(fRawWidth));
    TBitmap24 out(Width(), aPicture.Height());
    for (int y = 0; y < aPicture.Height(); ++y)
        RectifyRow(aPicture.ScanLine(y), out.ScanLine(y), 3);
    return out;
}

const TGroundRectifier& TGroundRectifier::ForWidth(int aRawWidth) {
    static std::mutex lock;
    static std::map<int, std::unique_ptr<TGroundRectifier>> tables;
    std::lock_guard<std::mutex> guard(lock);
    auto& table = tables[aRawWidth];
    if (!table) table = std::make_unique<TGroundRectifier>(aRawWidth);
    return *table;
}
