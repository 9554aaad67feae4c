#include "registration/Registration.h"

#include "orbit/EarthFrames.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <vector>

namespace lrptgeo {

namespace {

constexpr double kDeg = std::numbers::pi / 180;
constexpr double kSphereKm = 6371.0088;

// Edges beyond this scan angle are left out: pixels there are 4 km and more across the scan.
constexpr double kEdgeMaxAngleDeg = 50;
// The coarse search: time offsets every second, rolls every 0.1 degree within +-1 degree of the
// model's (the attitude is held far better than that; the clock is not).
constexpr double kCoarseTimeStepS = 1;
constexpr double kCoarseRollStepDeg = 0.1;
constexpr int kCoarseRollSteps = 10;
// Distances are measured up to this far from a coast; farther counts as this much, so an edge of
// a cloud costs the same under every candidate and cannot pull the fit.
constexpr float kDistanceCapKm = 15;
// Caps of the match measure: wide for the coarse search (its steps are ~7 km along the track),
// narrow for the refinement.
constexpr double kCoarseCapKm = 12;
constexpr double kFineCapKm = 4;
// An edge within this of a coast after the fit counts as a coast edge.
constexpr double kCoastEdgeKm = 4;
// Edge budget: one edge per block of the picture (the strongest), then at most so many.
constexpr int kEdgeBlock = 12;
constexpr size_t kMaxFineEdges = 12000;
constexpr size_t kMaxCoarseEdges = 1500;
// What a fit needs to be applied.
constexpr int kMinCoastEdges = 60;
constexpr double kMinConfidence = 0.3;
constexpr double kMaxResidualKm = 2.5;

// An azimuthal equidistant plane on a sphere, centred on the swath with x along the track there:
// distances from the centre are true, and a few percent off elsewhere across a pass, which is good
// enough for distances that are only ever compared near zero. Geodetic latitude is taken as the
// sphere's, as PROJ does for a spherical datum.
struct TPlane {
    TVec3 Centre, Along, Across;

    static TVec3 Unit(double aLatDeg, double aLonDeg) {
        const double lat = aLatDeg * kDeg, lon = aLonDeg * kDeg;
        return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
    }
    // Nothing beyond a quarter of the globe from the centre: no swath reaches that far.
    bool Project(double aLatDeg, double aLonDeg, double& aX, double& aY) const {
        const TVec3 q = Unit(aLatDeg, aLonDeg);
        const double c = Dot(q, Centre);
        if (c < 0) return false;
        const double x = Dot(q, Along), y = Dot(q, Across);
        const double s = std::hypot(x, y);
        const double k = s < 1e-12 ? 1 : std::atan2(s, c) / s;
        aX = kSphereKm * k * x;
        aY = kSphereKm * k * y;
        return true;
    }
};

// Where a pixel lands on the plane as a function of its scan time (stamped time + offset, seconds
// from the first row's stamp) and its scan angle (with roll): sampled on a grid and interpolated,
// so that a candidate costs no propagation. The ground moves smoothly in both, to a few tens of
// metres between samples of 2 s and 0.2 degrees.
struct TGroundGrid {
    double T0 = 0, StepT = 2, A0 = 0, StepA = 0.2;
    int Nt = 0, Na = 0;
    std::vector<float> X, Y; // NaN where the line of sight misses the Earth

    bool At(double aTime, double aAngleDeg, double& aX, double& aY) const {
        const double ft = (aTime - T0) / StepT, fa = (aAngleDeg - A0) / StepA;
        if (!(ft >= 0 && fa >= 0)) return false;
        const int it = static_cast<int>(ft), ia = static_cast<int>(fa);
        if (it >= Nt - 1 || ia >= Na - 1) return false;
        const double wt = ft - it, wa = fa - ia;
        const size_t k = static_cast<size_t>(it) * Na + ia;
        const double x00 = X[k], x01 = X[k + 1], x10 = X[k + Na], x11 = X[k + Na + 1];
        const double x = (1 - wt) * ((1 - wa) * x00 + wa * x01) + wt * ((1 - wa) * x10 + wa * x11);
        if (std::isnan(x)) return false;
        const double y00 = Y[k], y01 = Y[k + 1], y10 = Y[k + Na], y11 = Y[k + Na + 1];
        aX = x;
        aY = (1 - wt) * ((1 - wa) * y00 + wa * y01) + wt * ((1 - wa) * y10 + wa * y11);
        return true;
    }
};

// Distance to the nearest coast on the plane, km, capped; exact at the cell corners (distance to
// the shore segments themselves, not to drawn cells), bilinear between them.
struct TDistanceField {
    double X0 = 0, Y0 = 0, Cell = 1;
    int W = 0, H = 0;
    std::vector<float> D;
    size_t CoastSegments = 0;

    double At(double aX, double aY) const {
        const double fx = (aX - X0) / Cell, fy = (aY - Y0) / Cell;
        if (!(fx >= 0 && fy >= 0)) return kDistanceCapKm;
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        if (ix >= W - 1 || iy >= H - 1) return kDistanceCapKm;
        const double wx = fx - ix, wy = fy - iy;
        const size_t k = static_cast<size_t>(iy) * W + ix;
        return (1 - wy) * ((1 - wx) * D[k] + wx * D[k + 1]) + wy * ((1 - wx) * D[k + W] + wx * D[k + W + 1]);
    }

    void AddSegment(double aX1, double aY1, double aX2, double aY2) {
        const double cap = kDistanceCapKm;
        const int i0 = std::max(0, static_cast<int>(std::floor((std::min(aX1, aX2) - cap - X0) / Cell)));
        const int i1 = std::min(W - 1, static_cast<int>(std::ceil((std::max(aX1, aX2) + cap - X0) / Cell)));
        const int j0 = std::max(0, static_cast<int>(std::floor((std::min(aY1, aY2) - cap - Y0) / Cell)));
        const int j1 = std::min(H - 1, static_cast<int>(std::ceil((std::max(aY1, aY2) + cap - Y0) / Cell)));
        if (i0 > i1 || j0 > j1) return;
        ++CoastSegments;
        const double dx = aX2 - aX1, dy = aY2 - aY1, len2 = dx * dx + dy * dy;
        for (int j = j0; j <= j1; ++j) {
            const double py = Y0 + j * Cell - aY1;
            float* row = &D[static_cast<size_t>(j) * W];
            for (int i = i0; i <= i1; ++i) {
                const double px = X0 + i * Cell - aX1;
                const double s = len2 > 0 ? std::clamp((px * dx + py * dy) / len2, 0.0, 1.0) : 0.0;
                const double ex = px - s * dx, ey = py - s * dy;
                const float d = static_cast<float>(std::sqrt(ex * ex + ey * ey));
                if (d < row[i]) row[i] = d;
            }
        }
    }
};

// A land/water edge candidate of the picture: its stamped time (seconds from the first row's
// stamp) and its scan angle without roll.
struct TEdge {
    double TimeS;
    float AngleDeg;
    uint16_t Strength;
};

std::vector<TEdge> FindEdges(const TRegistrationInput& aIn, const std::vector<double>& aRowTimes) {
    const TPictureView& p = aIn.Picture;
    const int w = p.Width, h = aIn.Rows;
    auto px = [&](int c, int r) {
        return static_cast<int>(
            p.Pixels[static_cast<size_t>(r) * p.RowStride + static_cast<size_t>(c) * p.PixelStride]);
    };
    // Rows not drawn (lost packets) are black; their borders are no coast.
    std::vector<uint8_t> blank(h, 0);
    for (int r = 0; r < h; ++r) {
        int zeros = 0;
        for (int c = 0; c < w; c += 4)
            zeros += px(c, r) == 0;
        blank[r] = zeros * 4 > w * 9 / 10;
    }
    auto nearBlank = [&](int r) {
        for (int k = std::max(0, r - 2); k <= std::min(h - 1, r + 2); ++k)
            if (blank[k]) return true;
        return false;
    };
    // Column range with |scan angle| <= kEdgeMaxAngleDeg.
    const int cMargin =
        std::max(1, static_cast<int>(std::ceil((kScanHalfAngleDeg - kEdgeMaxAngleDeg) * (kScanColumns - 1) /
                                               (2 * kScanHalfAngleDeg))));
    const int c0 = cMargin, c1 = w - 1 - cMargin;

    // Sobel magnitude (|gx| + |gy|) and its dominant axis, rows 1..h-2.
    std::vector<uint16_t> mag(static_cast<size_t>(w) * h, 0);
    std::vector<uint8_t> axisX(static_cast<size_t>(w) * h, 0);
    std::vector<uint32_t> histogram(2048, 0);
    for (int r = 1; r < h - 1; ++r) {
        if (blank[r]) continue;
        for (int c = std::max(1, c0 - 1); c <= std::min(w - 2, c1 + 1); ++c) {
            const int a = px(c - 1, r - 1), b = px(c, r - 1), d = px(c + 1, r - 1);
            const int e = px(c - 1, r), f = px(c + 1, r);
            const int g = px(c - 1, r + 1), i = px(c, r + 1), j = px(c + 1, r + 1);
            const int gx = (d + 2 * f + j) - (a + 2 * e + g);
            const int gy = (g + 2 * i + j) - (a + 2 * b + d);
            const int m = std::min(2047, std::abs(gx) + std::abs(gy));
            const size_t k = static_cast<size_t>(r) * w + c;
            mag[k] = static_cast<uint16_t>(m);
            axisX[k] = std::abs(gx) >= std::abs(gy);
            ++histogram[m];
        }
    }
    uint64_t total = 0;
    for (uint32_t n : histogram)
        total += n;
    int median = 0;
    for (uint64_t seen = 0; median < 2047 && (seen += histogram[median]) * 2 < total;)
        ++median;
    // Well above the noise, and above the small steps of haze and thin cloud.
    const int threshold = std::max(48, 4 * median);

    // The strongest ridge pixel of every block: spread over the picture, not all on one bright cloud.
    std::vector<TEdge> edges;
    for (int br = 1; br < h - 1; br += kEdgeBlock) {
        for (int bc = c0; bc <= c1; bc += kEdgeBlock) {
            int best = 0, bestR = -1, bestC = -1;
            for (int r = br; r < std::min(h - 1, br + kEdgeBlock); ++r) {
                for (int c = bc; c <= std::min(c1, bc + kEdgeBlock - 1); ++c) {
                    const size_t k = static_cast<size_t>(r) * w + c;
                    const int m = mag[k];
                    if (m < threshold || m <= best) continue;
                    // Non-maximum suppression across the edge.
                    const size_t step = axisX[k] ? 1 : static_cast<size_t>(w);
                    if (m < mag[k - step] || m <= mag[k + step]) continue;
                    best = m, bestR = r, bestC = c;
                }
            }
            if (bestR < 0 || nearBlank(bestR)) continue;
            edges.push_back({aRowTimes[bestR], static_cast<float>(TScanGeometry::ScanAngleDeg(bestC)),
                             static_cast<uint16_t>(best)});
        }
    }
    return edges;
}

// Every k-th so that at most aMax remain, spread evenly over the picture.
std::vector<TEdge> Thin(const std::vector<TEdge>& aEdges, size_t aMax) {
    if (aEdges.size() <= aMax) return aEdges;
    std::vector<TEdge> out;
    out.reserve(aMax);
    const double step = static_cast<double>(aEdges.size()) / aMax;
    for (size_t i = 0; i < aMax; ++i)
        out.push_back(aEdges[static_cast<size_t>(i * step)]);
    return out;
}

struct TCandidate {
    double TimeOffsetS, RollDeg;
};

class TMatcher {
  public:
    TMatcher(const TGroundGrid& aGround, const TDistanceField& aField) : fGround(aGround), fField(aField) {}

    double Distance(const TEdge& aEdge, const TCandidate& aC) const {
        double x, y;
        if (!fGround.At(aEdge.TimeS + aC.TimeOffsetS, aEdge.AngleDeg + aC.RollDeg, x, y))
            return kDistanceCapKm;
        return fField.At(x, y);
    }
    // Mean truncated distance of the edges to the coast.
    double Score(const std::vector<TEdge>& aEdges, const TCandidate& aC, double aCapKm) const {
        if (aEdges.empty()) return aCapKm;
        double sum = 0;
        for (const TEdge& e : aEdges)
            sum += std::min(Distance(e, aC), aCapKm);
        return sum / aEdges.size();
    }

  private:
    const TGroundGrid& fGround;
    const TDistanceField& fField;
};

// Pattern search from aFrom, steps halved down to ~0.01 s and ~0.002 degrees.
TCandidate Refine(const TMatcher& aMatcher, const std::vector<TEdge>& aEdges, TCandidate aFrom,
                  double aCapKm) {
    double stepT = 0.5, stepR = 0.05;
    double best = aMatcher.Score(aEdges, aFrom, aCapKm);
    while (stepT > 0.008) {
        bool moved = false;
        const TCandidate tries[4] = {{aFrom.TimeOffsetS + stepT, aFrom.RollDeg},
                                     {aFrom.TimeOffsetS - stepT, aFrom.RollDeg},
                                     {aFrom.TimeOffsetS, aFrom.RollDeg + stepR},
                                     {aFrom.TimeOffsetS, aFrom.RollDeg - stepR}};
        for (const TCandidate& c : tries) {
            const double s = aMatcher.Score(aEdges, c, aCapKm);
            if (s < best - 1e-9) best = s, aFrom = c, moved = true;
        }
        if (!moved) stepT /= 2, stepR /= 2;
    }
    return aFrom;
}

std::string Format(const char* aFormat, double a, double b = 0, double c = 0, double d = 0) {
    char text[256];
    std::snprintf(text, sizeof text, aFormat, a, b, c, d);
    return text;
}

} // namespace

TRegistrationResult Register(const TRegistrationInput& aInput) {
    const TPictureView& pic = aInput.Picture;
    if (!pic.Pixels || !aInput.Orbit || !aInput.Shores || !aInput.RowTime)
        throw std::invalid_argument("registration: no picture, orbit, coastlines or row times given");
    if (pic.Width != kScanColumns || aInput.Rows < 1 || aInput.Rows > pic.Height || pic.PixelStride < 1 ||
        pic.RowStride < pic.Width * pic.PixelStride)
        throw std::invalid_argument("registration: the picture is not 1568 columns of scans");

    TRegistrationResult result;
    result.Fitted = aInput.Start;
    const TScanParameters& start = aInput.Start;
    const TCandidate startC{start.TimeOffsetS, start.RollDeg};

    const TUtcTime t0 = aInput.RowTime(0);
    std::vector<double> rowTimes(aInput.Rows);
    for (int r = 0; r < aInput.Rows; ++r)
        rowTimes[r] = SecondsBetween(t0, aInput.RowTime(r));
    const auto [minRow, maxRow] = std::minmax_element(rowTimes.begin(), rowTimes.end());

    std::vector<TEdge> edges = FindEdges(aInput, rowTimes);
    if (edges.size() < static_cast<size_t>(kMinCoastEdges)) {
        result.Why = "not registered: no land/water edges in the picture (blank, night or overcast)";
        return result;
    }

    // The ground grid covers every candidate: all row times +- the offsets searched, all scan
    // angles of the edges +- the rolls searched.
    const double maxOffset = std::max(0.0, aInput.MaxTimeOffsetS);
    const double rollSpan = kCoarseRollSteps * kCoarseRollStepDeg + 0.3;
    TGroundGrid ground;
    ground.T0 = *minRow + start.TimeOffsetS - maxOffset - 2 * ground.StepT;
    ground.Nt = static_cast<int>(std::ceil((*maxRow - *minRow + 2 * maxOffset) / ground.StepT)) + 5;
    ground.A0 = -(kEdgeMaxAngleDeg + 0.1) + std::min(0.0, start.RollDeg - rollSpan);
    ground.Na = static_cast<int>(std::ceil(
                    ((kEdgeMaxAngleDeg + 0.1) + std::max(0.0, start.RollDeg + rollSpan) - ground.A0) /
                    ground.StepA)) +
                2;
    ground.X.assign(static_cast<size_t>(ground.Nt) * ground.Na, NAN);
    ground.Y.assign(ground.X.size(), NAN);
    TScanParameters plain = start;
    plain.TimeOffsetS = 0;
    plain.RollDeg = 0;
    std::vector<TGeodetic> nodes(ground.X.size(), TGeodetic{NAN, NAN, 0});
    TPlane plane;
    try {
        const TScanGeometry geometry(*aInput.Orbit, plain);
        auto columnOf = [](double aAngleDeg) {
            return (kScanHalfAngleDeg - aAngleDeg) * (kScanColumns - 1) / (2 * kScanHalfAngleDeg);
        };
        for (int it = 0; it < ground.Nt; ++it) {
            const TScanGeometry::TRow row = geometry.Row(AddSeconds(t0, ground.T0 + it * ground.StepT));
            for (int ia = 0; ia < ground.Na; ++ia)
                if (const auto g = geometry.Locate(row, columnOf(ground.A0 + ia * ground.StepA)))
                    nodes[static_cast<size_t>(it) * ground.Na + ia] = *g;
        }
        // The plane's centre: the sub-satellite point in the middle of the pass, x along the track.
        const double mid = (*minRow + *maxRow) / 2 + start.TimeOffsetS;
        const TGeodetic c = geometry.SubSatellitePoint(AddSeconds(t0, mid));
        const TGeodetic ahead = geometry.SubSatellitePoint(AddSeconds(t0, mid + 10));
        plane.Centre = TPlane::Unit(c.LatitudeDeg, c.LongitudeDeg);
        const TVec3 fwd = TPlane::Unit(ahead.LatitudeDeg, ahead.LongitudeDeg) - plane.Centre;
        plane.Along = Normalized(fwd - Dot(fwd, plane.Centre) * plane.Centre);
        plane.Across = Cross(plane.Centre, plane.Along);
    } catch (const ESgp4Error& e) {
        result.Why = std::string("not registered: the orbit does not reach the pass (") + e.what() + ")";
        return result;
    }

    // Project the nodes; note the lat/lon box they cover for reading the shores.
    double xMin = 1e30, xMax = -1e30, yMin = 1e30, yMax = -1e30;
    double latMin = 90, latMax = -90, dLonMin = 180, dLonMax = -180;
    const double lonC = std::atan2(plane.Centre.Y, plane.Centre.X) / kDeg;
    for (size_t k = 0; k < nodes.size(); ++k) {
        const TGeodetic& g = nodes[k];
        if (std::isnan(g.LatitudeDeg)) continue;
        double x, y;
        if (!plane.Project(g.LatitudeDeg, g.LongitudeDeg, x, y)) continue;
        ground.X[k] = static_cast<float>(x);
        ground.Y[k] = static_cast<float>(y);
        xMin = std::min(xMin, x), xMax = std::max(xMax, x), yMin = std::min(yMin, y),
        yMax = std::max(yMax, y);
        latMin = std::min(latMin, g.LatitudeDeg), latMax = std::max(latMax, g.LatitudeDeg);
        const double dLon = std::remainder(g.LongitudeDeg - lonC, 360.0);
        dLonMin = std::min(dLonMin, dLon), dLonMax = std::max(dLonMax, dLon);
    }
    if (xMin > xMax) {
        result.Why = "not registered: the scans see no Earth under this orbit";
        return result;
    }

    // The distance field on the plane, cells of 1 km unless the pass is so long that the field
    // would hold more than ~8 million of them.
    TDistanceField field;
    {
        const double margin = kDistanceCapKm + 2;
        const double wKm = xMax - xMin + 2 * margin, hKm = yMax - yMin + 2 * margin;
        field.Cell = std::max(1.0, std::sqrt(wKm * hKm / 8e6));
        field.X0 = xMin - margin, field.Y0 = yMin - margin;
        field.W = static_cast<int>(std::ceil(wKm / field.Cell)) + 1;
        field.H = static_cast<int>(std::ceil(hKm / field.Cell)) + 1;
        field.D.assign(static_cast<size_t>(field.W) * field.H, kDistanceCapKm);
        TGeoBox box;
        const double pad = 0.5;
        box.SouthDeg = std::max(-90.0, latMin - pad);
        box.NorthDeg = std::min(90.0, latMax + pad);
        if (latMax < 80 && latMin > -80 && dLonMax - dLonMin < 300) {
            const double padLon =
                pad / std::max(0.2, std::cos(std::max(std::abs(latMin), std::abs(latMax)) * kDeg));
            box.WestDeg = std::remainder(lonC + dLonMin - padLon, 360.0);
            box.EastDeg = std::remainder(lonC + dLonMax + padLon, 360.0);
        }
        for (const TGeoPolyline& line : aInput.Shores->Lines(box)) {
            double px = 0, py = 0;
            bool have = false;
            for (size_t i = 0; i < line.LatDeg.size(); ++i) {
                double x, y;
                const bool ok = plane.Project(line.LatDeg[i], line.LonDeg[i], x, y);
                if (ok && have) field.AddSegment(px, py, x, y);
                have = ok, px = x, py = y;
            }
        }
    }
    if (field.CoastSegments == 0) {
        result.Why = "not registered: open sea, no coastline under the swath";
        return result;
    }

    const TMatcher matcher(ground, field);
    const std::vector<TEdge> fine = Thin(edges, kMaxFineEdges);
    const std::vector<TEdge> coarse = Thin(edges, kMaxCoarseEdges);

    // Coarse search over the whole table of offsets and rolls.
    const int nT = static_cast<int>(std::floor(maxOffset / kCoarseTimeStepS));
    const int nR = kCoarseRollSteps;
    std::vector<double> table;
    std::vector<TCandidate> cands;
    for (int i = -nT; i <= nT; ++i)
        for (int j = -nR; j <= nR; ++j) {
            const TCandidate c{start.TimeOffsetS + i * kCoarseTimeStepS,
                               start.RollDeg + j * kCoarseRollStepDeg};
            cands.push_back(c);
            table.push_back(matcher.Score(coarse, c, kCoarseCapKm));
        }
    const size_t bestIndex = std::min_element(table.begin(), table.end()) - table.begin();
    const TCandidate coarseBest = cands[bestIndex];
    const double sBest = table[bestIndex];
    // The best alternative is the best candidate more than a few seconds away (the match falls off
    // within ~2 s of the true offset); the background is the median of the table.
    double sAlt = kCoarseCapKm;
    for (size_t k = 0; k < cands.size(); ++k)
        if (std::abs(cands[k].TimeOffsetS - coarseBest.TimeOffsetS) > 4 * kCoarseTimeStepS)
            sAlt = std::min(sAlt, table[k]);
    std::vector<double> sorted = table;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double sMedian = sorted[sorted.size() / 2];
    const double spread = sMedian - sBest;
    result.Confidence = spread > 1e-6 ? std::clamp((sAlt - sBest) / spread, 0.0, 1.0) : 0.0;

    // Refine with all edges, a wide cap first and then a narrow one.
    TCandidate fit = Refine(matcher, fine, coarseBest, 2 * kFineCapKm);
    fit = Refine(matcher, fine, fit, kFineCapKm);

    // Coast edges: within kCoastEdgeKm after the fit; the residuals are theirs.
    auto residual = [&](const TCandidate& aAt, const TCandidate& aSelect, int& aCount) {
        aCount = 0;
        double sumAt = 0;
        for (const TEdge& e : fine) {
            if (matcher.Distance(e, aSelect) >= kCoastEdgeKm) continue;
            ++aCount;
            sumAt += matcher.Distance(e, aAt);
        }
        return aCount ? sumAt / aCount : NAN;
    };
    int coastEdges = 0, startEdges = 0;
    const double residualFit = residual(fit, fit, coastEdges);
    const double residualStartOwn = residual(startC, startC, startEdges);
    const double residualStartOnFit = residual(startC, fit, coastEdges);

    TScanParameters fitted = start;
    fitted.TimeOffsetS = fit.TimeOffsetS;
    fitted.RollDeg = fit.RollDeg;
    const bool edgesOk = coastEdges >= kMinCoastEdges;
    const bool confident = edgesOk && result.Confidence >= kMinConfidence && residualFit <= kMaxResidualKm;
    if (confident) {
        result.Confident = true;
        result.Fitted = fitted;
        result.ResidualKm = residualFit;
        result.ResidualStartKm = residualStartOnFit;
        result.EdgesUsed = coastEdges;
        result.Why = Format("fitted time offset %+.2f s, roll %.3f deg: coast edges %.2f km from the coast "
                            "(model: %.1f km)",
                            fit.TimeOffsetS, fit.RollDeg, residualFit, residualStartOnFit) +
                     " over " + std::to_string(coastEdges) + " edges";
        return result;
    }
    result.ResidualKm = residualStartOwn;
    result.ResidualStartKm = residualStartOwn;
    result.EdgesUsed = startEdges;
    if (!edgesOk)
        result.Why = "not registered: too few edges match any coast (" + std::to_string(coastEdges) + " of " +
                     std::to_string(fine.size()) + "; clouds, night or open sea)";
    else
        result.Why = Format(
            "not registered: no fit stands out (best time offset %+.1f s, roll %.2f deg, confidence %.2f, "
            "residual %.1f km; clouds or a wrong orbit)",
            fit.TimeOffsetS, fit.RollDeg, result.Confidence, residualFit);
    return result;
}

} // namespace lrptgeo
