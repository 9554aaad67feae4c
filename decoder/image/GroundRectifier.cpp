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

void TGroundRectifier::RectifyRow(const uint8_t* aIn, uint8_t* aOut, int aBytesPerPixel) const {
    const size_t n = fSource.size();
    for (size_t j = 0; j < n; ++j) {
        const uint8_t* a = aIn + static_cast<size_t>(fLeft[j]) * aBytesPerPixel;
        const uint8_t* b = a + aBytesPerPixel;
        const int w = fRight[j];
        for (int k = 0; k < aBytesPerPixel; ++k)
            *aOut++ = static_cast<uint8_t>((a[k] * (256 - w) + b[k] * w + 128) >> 8);
    }
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
