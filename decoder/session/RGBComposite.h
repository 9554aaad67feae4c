// The RGB composite of three channel pictures, aligned by their first scan times, and its
// statistics text.
#pragma once

#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"

#include <array>
#include <cstdint>
#include <string>

constexpr int CompositeWidth = 1568;
constexpr int CompositeHeight = 6000;
constexpr double ScanPeriodMs = 1231.14;

// The three statistics lines: the time of day of the composite's first row, its time span, and
// the row period in seconds.
using TRGBStatistics = std::array<std::string, 3>;

// Builds the composite from the pictures of stages a, b, c (the "R:", "G:" and "B:" choices; the
// same stage may come more than once), each read under its stage lock. Byte 0 of a composite pixel
// (which a 24-bit bitmap holds as blue) comes from a, byte 1 from b, byte 2 from c: the first byte
// of each channel pixel, unscaled. Rows are aligned to the latest first scan time (8 rows per
// rounded scan period); composition stops at the first row missing from any of the three
// pictures, and the composite is cut to the largest line count when that is below 6000.
// aComposite becomes 1568 wide. Returns the statistics lines.
TRGBStatistics GenerateRGB(TCanalDrawThread& a, TCanalDrawThread& b, TCanalDrawThread& c,
                           TBitmap24& aComposite);

// What the composite takes from one channel.
struct TRGBSource {
    const TBitmap24* Picture = nullptr; // null counts as a picture of no rows
    int32_t FirstScanTime = -1;         // ms of the day; -1: no strip begun
    int32_t LineCount = 0;
};
// The latest of first scan times (ms of the day, -1: none) on the clock face, so that a pass across
// midnight aligns; -1 when all are -1.
int32_t LatestFirstScanTime(int32_t a, int32_t b, int32_t c);
// The composition itself, on pictures nobody else changes meanwhile.
TRGBStatistics ComposeRGB(const TRGBSource& a, const TRGBSource& b, const TRGBSource& c,
                          TBitmap24& aComposite);

// The statistics lines for a first-row time (ms of the day) and a row count.
TRGBStatistics RGBStatistics(int32_t aFirstScanTime, int32_t aLineCount);

// Writes aStem + ".bmp" and aStem + ".bmp.stat" (the three lines, each ended by CR LF).
void SaveComposite(const TBitmap24& aComposite, const TRGBStatistics& aStatistics, const std::string& aStem);
