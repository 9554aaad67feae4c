// Registration of a pass on the coastlines: the time offset and the roll (and, when it measurably
// helps, the yaw) that put the land/water edges of a picture channel onto the GSHHG shores.
//
// Edges are the strongest gradient ridges of the picture, one per small block (either polarity, so
// a near-infrared or an infrared channel serves). Each candidate maps them through the scan
// geometry onto a plane centred on the swath and looks up their distance to the shores there, in a
// field computed once per pass. The satellite's clock can be a minute off, so time offsets are
// searched over +-MaxTimeOffsetS (1 s steps, rolls within +-1 degree of the model's in 0.1 degree
// steps) before the fit is refined to about 0.01 s and 0.002 degrees; the yaw is fitted last and
// kept only when it lowers the match measure by 3 %. Clouds, night and sun glint give edges that
// match no coast; the match measure is a truncated distance, so such edges cost a fixed amount
// whatever the candidate and do not pull the fit. The result says whether the fit can be trusted;
// callers apply it only when Confident. A ten-minute pass takes about 0.2-0.4 s of one core.
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
    // Mean distance to the nearest coast, km, of the picture's coast edges: the edges within 4 km of
    // a coast after the fit (with Start when not confident; NaN when none); edges farther off
    // (clouds, not a coast) are left out.
    double ResidualKm = NAN;
    // The same edges with the model's values (Start), each distance capped at 15 km.
    double ResidualStartKm = NAN;
    // 0..1: how much better the best fit is than the best one more than 4 s away from it, relative
    // to the median candidate of the search (1: nothing else comes close; 0: a tie).
    double Confidence = 0;
    int EdgesUsed = 0; // the coast edges the residual is taken over
    // One line: what was fitted, or why not (clouds, night, open sea, too few coast edges).
    std::string Why;
};

// Fits the pass. Never throws for a picture that cannot be registered (blank, open sea, a wrong
// orbit, an orbit that cannot be propagated to the pass): that gives a result that is not Confident
// with the reason in Why ("not registered: ..."). Confident needs at least 60 coast edges and 3 % of
// all edges on coasts, twice the count that offsets far from the fit find by chance (and 10 of its
// standard deviations above it), a Confidence of 0.3, a residual of at most 2.5 km and a fit inside
// the search, not on its border. Throws
// std::invalid_argument when the input is malformed (no picture, orbit, shores or row times;
// Rows < 1 or beyond the picture; a picture not kScanColumns wide).
TRegistrationResult Register(const TRegistrationInput& aInput);

} // namespace lrptgeo
