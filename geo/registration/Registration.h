// Registration of a pass on the coastlines: the time offset and the roll (and, when it measurably
// helps, the yaw) that put the land/water edges of a picture channel onto the GSHHG shores.
//
// The satellite's clock can be a minute off, so time offsets are searched over +-MaxTimeOffsetS
// before the fit is refined to a fraction of a second and a hundredth of a degree. Clouds, night and
// sun glint give edges that match no coast; the match measure is a truncated distance, so such
// edges cost a fixed amount whatever the candidate and do not pull the fit. The result says whether
// the fit can be trusted; callers apply it only when Confident.
#pragma once

#include "maps/Coastlines.h"
#include "maps/MapRaster.h"
#include "orbit/PassTime.h"
#include "orbit/ScanGeometry.h"
#include "orbit/Sgp4.h"

#include <cmath>
#include <functional>
#include <string>

namespace lrptgeo {

struct TRegistrationInput {
    // One channel (grey; a BGR picture with PixelStride 3 is read through its first byte), rows
    // top-down, kScanColumns wide. A near-infrared or infrared channel: which one is the caller's
    // choice (land and water differ most there).
    TPictureView Picture;
    // Rows of Picture that hold scans, from the top (the rest is not drawn and is ignored).
    int Rows = 0;
    // Stamped UTC time of a picture row, 0 <= aRow < Rows (before any offset).
    std::function<TUtcTime(int aRow)> RowTime;
    const TSgp4* Orbit = nullptr;
    // The model's values, where the search starts and what is kept when the fit is not confident.
    TScanParameters Start;
    // Time offsets searched: Start.TimeOffsetS +- this many seconds.
    double MaxTimeOffsetS = 60;
    // Coastlines (the intermediate level suits these pictures).
    const TShores* Shores = nullptr;
};

struct TRegistrationResult {
    bool Confident = false; // apply the fit only when true
    TScanParameters Fitted; // the fit (equal to Start when not confident)
    // Mean distance of the picture's land/water edges to the nearest coast after the fit, km (with
    // Start when not confident); edges farther than a cap (clouds, not a coast) are left out.
    double ResidualKm = NAN;
    double ResidualStartKm = NAN; // the same with the model's values
    // 0..1: how much better the best fit is than the best alternative far from it.
    double Confidence = 0;
    int EdgesUsed = 0; // edge pixels that matched a coast within the cap after the fit
    // One line: what was fitted, or why not (clouds, night, open sea, too few coast edges).
    std::string Why;
};

// Fits the pass. Never throws for a picture that cannot be registered (blank, open sea, a wrong
// orbit): that gives a result that is not Confident with the reason in Why. Throws
// std::invalid_argument when the input is malformed (no picture, orbit, shores or row times;
// Rows < 1 or beyond the picture; a picture not kScanColumns wide).
TRegistrationResult Register(const TRegistrationInput& aInput);

} // namespace lrptgeo
