#include "registration/Registration.h"

#include "Angles.h"
#include "maps/LargeBuffers.h"
#include "orbit/EarthFrames.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <vector>

namespace lrptgeo {

namespace {

constexpr double kSphereKm = 6371.0088;

// Edges beyond this scan angle are left out: pixels there are 4 km and more across the scan.
constexpr double kEdgeMaxAngleDeg = 50;
// The coarse search: time offsets every second, rolls every 0.1 degree within +-1 degree of the
// model's (the attitude is held far better than that; the clock is not).
constexpr double kCoarseTimeStepS = 1;
constexpr double kCoarseRollStepDeg = 0.1;
constexpr int kCoarseRollSteps = 10;
// Distances are measured up to this far from a coast; farther counts as this much, so an edge of
// a cloud costs the same under every candidate and cannot pull the fit. The coarse search and the
// model's residual use a wide cap on a field of coarse cells (small enough to stay in the cache:
// the search looks it up millions of times), the refinement a narrow one on fine cells.
constexpr float kCoarseFieldCapKm = 15;
constexpr float kFineFieldCapKm = 6;
constexpr double kCoarseFieldCells = 4; // fine cells a coarse cell
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
// Of all edges found (a cloudy picture of the right place still has a few percent on coasts).
constexpr double kMinCoastFraction = 0.03;
constexpr double kMinConfidence = 0.3;
constexpr double kMaxResidualKm = 2.5;
constexpr int kChanceSamples = 16;
// Shores are read in bands of latitude (a multiple of the bins of every level), within this much
// of the swath (more than the widest distance measured).
constexpr int kBandDeg = 5;
constexpr double kShorePadDeg = 0.5;
// Yaw: never beyond kMaxYawDeg from the model's, and taken only when it lowers the match measure by
// kYawGain.
constexpr double kMaxYawDeg = 1.0;
constexpr double kYawProbeDeg = 0.2; // for the yaw's effect, which is linear this far
constexpr double kYawGain = 0.03;
constexpr double kMinExcess = 10;     // coast edges above chance, in standard deviations of chance
constexpr double kMinChanceRatio = 2; // coast edges at the fit / by chance

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
// the shore segments themselves, not to drawn cells), bilinear between them. While the segments
// are added D holds squared distances (Finish takes the roots once).
struct TDistanceField {
    double X0 = 0, Y0 = 0, Cell = 1;
    float Cap = 0;
    int W = 0, H = 0;
    std::vector<float> D;
    size_t CoastSegments = 0;

    double At(double aX, double aY) const {
        const double fx = (aX - X0) / Cell, fy = (aY - Y0) / Cell;
        if (!(fx >= 0 && fy >= 0)) return Cap;
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        if (ix >= W - 1 || iy >= H - 1) return Cap;
        const double wx = fx - ix, wy = fy - iy;
        const size_t k = static_cast<size_t>(iy) * W + ix;
        return (1 - wy) * ((1 - wx) * D[k] + wx * D[k + 1]) + wy * ((1 - wx) * D[k + W] + wx * D[k + W + 1]);
    }

    void AddSegment(double aX1, double aY1, double aX2, double aY2) {
        const double cap = Cap;
        const int i0 = std::max(0, static_cast<int>(std::floor((std::min(aX1, aX2) - cap - X0) / Cell)));
        const int i1 = std::min(W - 1, static_cast<int>(std::ceil((std::max(aX1, aX2) + cap - X0) / Cell)));
        const int j0 = std::max(0, static_cast<int>(std::floor((std::min(aY1, aY2) - cap - Y0) / Cell)));
        const int j1 = std::min(H - 1, static_cast<int>(std::ceil((std::max(aY1, aY2) + cap - Y0) / Cell)));
        if (i0 > i1 || j0 > j1) return;
        ++CoastSegments;
        // In floats relative to the segment's start, so that the loop vectorises.
        const float dx = static_cast<float>(aX2 - aX1), dy = static_cast<float>(aY2 - aY1);
        const float len2 = dx * dx + dy * dy, inv = len2 > 0 ? 1 / len2 : 0;
        const float cell = static_cast<float>(Cell), x0 = static_cast<float>(X0 + i0 * Cell - aX1);
        for (int j = j0; j <= j1; ++j) {
            const float py = static_cast<float>(Y0 + j * Cell - aY1);
            float* row = &D[static_cast<size_t>(j) * W];
            for (int i = i0; i <= i1; ++i) {
                const float px = x0 + (i - i0) * cell;
                const float s = std::min(1.0f, std::max(0.0f, (px * dx + py * dy) * inv));
                const float ex = px - s * dx, ey = py - s * dy;
                row[i] = std::min(row[i], ex * ex + ey * ey);
            }
        }
    }
    void Finish() {
        for (float& d : D)
            d = std::sqrt(d);
    }
};

// A land/water edge candidate of the picture: its stamped time (seconds from the first row's
// stamp) and its scan angle without roll.
struct TEdge {
    double TimeS;
    float AngleDeg;
    // A small yaw moves the edge along the track by as much as this many seconds of flight per
    // degree (opposite on the two sides of nadir): yaw costs no grid of its own.
    float YawS = 0;
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

    // Sobel magnitude (|gx| + |gy|) and its dominant axis, rows 1..h-2, on a packed copy of the
    // channel so that the loop vectorises.
    // The working pictures are tens of megabytes, touched once: on huge pages.
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<uint8_t> grey;
    ReserveLarge(grey, n);
    grey.resize(n);
    for (int r = 0; r < h; ++r) {
        const uint8_t* src = p.Pixels + static_cast<size_t>(r) * p.RowStride;
        uint8_t* dst = &grey[static_cast<size_t>(r) * w];
        if (p.PixelStride == 1)
            std::copy(src, src + w, dst);
        else
            for (int c = 0; c < w; ++c)
                dst[c] = src[static_cast<size_t>(c) * p.PixelStride];
    }
    std::vector<uint16_t> mag;
    std::vector<uint8_t> axisX;
    ReserveLarge(mag, n);
    ReserveLarge(axisX, n);
    mag.resize(n, 0);
    axisX.resize(n, 0);
    for (int r = 1; r < h - 1; ++r) {
        if (blank[r]) continue;
        const uint8_t* up = &grey[static_cast<size_t>(r - 1) * w];
        const uint8_t* mid = up + w;
        const uint8_t* down = mid + w;
        uint16_t* m = &mag[static_cast<size_t>(r) * w];
        uint8_t* ax = &axisX[static_cast<size_t>(r) * w];
        for (int c = 1; c < w - 1; ++c) {
            const int gx =
                (up[c + 1] + 2 * mid[c + 1] + down[c + 1]) - (up[c - 1] + 2 * mid[c - 1] + down[c - 1]);
            const int gy = (down[c - 1] + 2 * down[c] + down[c + 1]) - (up[c - 1] + 2 * up[c] + up[c + 1]);
            const int ax2 = gx < 0 ? -gx : gx, ay2 = gy < 0 ? -gy : gy;
            m[c] = static_cast<uint16_t>(ax2 + ay2);
            ax[c] = ax2 >= ay2;
        }
    }
    // The noise level: the median magnitude over every fourth row suffices.
    std::vector<uint32_t> histogram(2048, 0);
    for (int r = 1; r < h - 1; r += 4)
        for (int c = c0; c <= c1; ++c)
            ++histogram[std::min<int>(2047, mag[static_cast<size_t>(r) * w + c])];
    uint64_t total = 0;
    for (uint32_t n : histogram)
        total += n;
    int median = 0;
    for (uint64_t seen = 0; total && median < 2047 && (seen += histogram[median]) * 2 < total;)
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
            edges.push_back({aRowTimes[bestR], static_cast<float>(TScanGeometry::ScanAngleDeg(bestC))});
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

// The picture column that looks at a scan angle (without roll); the inverse of
// TScanGeometry::ScanAngleDeg.
double ColumnOf(double aAngleDeg) {
    return (kScanHalfAngleDeg - aAngleDeg) * (kScanColumns - 1) / (2 * kScanHalfAngleDeg);
}

struct TCandidate {
    double TimeOffsetS, RollDeg;
    double YawDeg = 0; // from the model's
};

class TMatcher {
  public:
    TMatcher(const TGroundGrid& aGround, const TDistanceField& aField) : fGround(aGround), fField(aField) {}

    double Distance(const TEdge& aEdge, const TCandidate& aC) const {
        double x, y;
        if (!fGround.At(aEdge.TimeS + aC.TimeOffsetS + aEdge.YawS * aC.YawDeg, aEdge.AngleDeg + aC.RollDeg, x,
                        y))
            return fField.Cap;
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

// Pattern search from aFrom, steps halved down to ~0.01 s, ~0.002 degrees of roll and, with aYaw,
// ~0.005 degrees of yaw.
TCandidate Refine(const TMatcher& aMatcher, const std::vector<TEdge>& aEdges, TCandidate aFrom, double aCapKm,
                  bool aYaw = false) {
    double stepT = 0.5, stepR = 0.05, stepY = aYaw ? 0.2 : 0;
    double best = aMatcher.Score(aEdges, aFrom, aCapKm);
    while (stepT > 0.008) {
        bool moved = false;
        const TCandidate c = aFrom;
        const TCandidate tries[6] = {
            {c.TimeOffsetS + stepT, c.RollDeg, c.YawDeg}, {c.TimeOffsetS - stepT, c.RollDeg, c.YawDeg},
            {c.TimeOffsetS, c.RollDeg + stepR, c.YawDeg}, {c.TimeOffsetS, c.RollDeg - stepR, c.YawDeg},
            {c.TimeOffsetS, c.RollDeg, c.YawDeg + stepY}, {c.TimeOffsetS, c.RollDeg, c.YawDeg - stepY}};
        for (int k = 0; k < (aYaw ? 6 : 4); ++k) {
            const TCandidate& t = tries[k];
            if (std::abs(t.YawDeg) > kMaxYawDeg) continue;
            const double score = aMatcher.Score(aEdges, t, aCapKm);
            if (score < best - 1e-9) best = score, aFrom = t, moved = true;
        }
        if (!moved) stepT /= 2, stepR /= 2, stepY /= 2;
    }
    return aFrom;
}

template <typename... TArgs> std::string Format(const char* aFormat, TArgs... aArgs) {
    char text[300];
    std::snprintf(text, sizeof text, aFormat, aArgs...);
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
    TPlane plane;
    std::vector<TGeodetic> nodes;
    try {
        // The plane's centre: the sub-satellite point in the middle of the pass, x along the track.
        const TScanGeometry geometry(*aInput.Orbit, start);
        const double mid = (*minRow + *maxRow) / 2;
        const TGeodetic c = geometry.SubSatellitePoint(AddSeconds(t0, mid));
        const TGeodetic ahead = geometry.SubSatellitePoint(AddSeconds(t0, mid + 10));
        plane.Centre = TPlane::Unit(c.LatitudeDeg, c.LongitudeDeg);
        const TVec3 fwd = TPlane::Unit(ahead.LatitudeDeg, ahead.LongitudeDeg) - plane.Centre;
        plane.Along = Normalized(fwd - Dot(fwd, plane.Centre) * plane.Centre);
        plane.Across = Cross(plane.Centre, plane.Along);
        // The nodes of the ground grid (time offset and roll are its coordinates).
        ground.X.assign(static_cast<size_t>(ground.Nt) * ground.Na, NAN);
        ground.Y.assign(ground.X.size(), NAN);
        nodes.assign(ground.X.size(), TGeodetic{NAN, NAN, 0});
        const TScanGeometry plain(*aInput.Orbit, TScanParameters{0, 0, start.YawDeg});
        for (int it = 0; it < ground.Nt; ++it) {
            const TScanGeometry::TRow row = plain.Row(AddSeconds(t0, ground.T0 + it * ground.StepT));
            for (int ia = 0; ia < ground.Na; ++ia) {
                const size_t k = static_cast<size_t>(it) * ground.Na + ia;
                double x, y;
                if (const auto g = plain.Locate(row, ColumnOf(ground.A0 + ia * ground.StepA));
                    g && plane.Project(g->LatitudeDeg, g->LongitudeDeg, x, y)) {
                    nodes[k] = *g;
                    ground.X[k] = static_cast<float>(x);
                    ground.Y[k] = static_cast<float>(y);
                }
            }
        }

        // Along-track shift per degree of yaw at each scan angle, in seconds of flight, from the
        // middle of the pass.
        const TUtcTime tm = AddSeconds(t0, mid + start.TimeOffsetS);
        const TScanGeometry& g0 = plain;
        const TScanGeometry g1(*aInput.Orbit, TScanParameters{0, 0, start.YawDeg + kYawProbeDeg});
        const TScanGeometry::TRow r0 = g0.Row(tm), r1 = g1.Row(tm), rNext = g0.Row(AddSeconds(tm, 1));
        std::vector<float> yawS(ground.Na, 0);
        for (int ia = 0; ia < ground.Na; ++ia) {
            const double column = ColumnOf(ground.A0 + ia * ground.StepA);
            const auto p0 = g0.Locate(r0, column), p1 = g1.Locate(r1, column), pn = g0.Locate(rNext, column);
            double x0, y0, x1, y1, xn, yn;
            if (!p0 || !p1 || !pn || !plane.Project(p0->LatitudeDeg, p0->LongitudeDeg, x0, y0) ||
                !plane.Project(p1->LatitudeDeg, p1->LongitudeDeg, x1, y1) ||
                !plane.Project(pn->LatitudeDeg, pn->LongitudeDeg, xn, yn))
                continue;
            const double vx = xn - x0, vy = yn - y0;
            yawS[ia] =
                static_cast<float>(((x1 - x0) * vx + (y1 - y0) * vy) / (vx * vx + vy * vy) / kYawProbeDeg);
        }
        for (TEdge& e : edges) {
            const double fa = std::clamp((e.AngleDeg - ground.A0) / ground.StepA, 0.0, ground.Na - 1.001);
            const int ia = static_cast<int>(fa);
            e.YawS = static_cast<float>(yawS[ia] + (fa - ia) * (yawS[ia + 1] - yawS[ia]));
        }
    } catch (const ESgp4Error& e) {
        result.Why = std::string("not registered: the orbit does not reach the pass (") + e.what() + ")";
        return result;
    }

    // The extent of the nodes, for the distance fields, and the longitudes they span in each band
    // of kBandDeg of latitude, for reading the shores: one box around a pass running diagonally
    // or near a pole would read far more of them than the swath needs.
    double xMin = 1e30, xMax = -1e30, yMin = 1e30, yMax = -1e30;
    const double lonC = std::atan2(plane.Centre.Y, plane.Centre.X) / kDeg;
    constexpr int kBands = 180 / kBandDeg;
    std::vector<double> bandLonMin(kBands, 1e9), bandLonMax(kBands, -1e9);
    for (size_t k = 0; k < nodes.size(); ++k) {
        const TGeodetic& g = nodes[k];
        if (std::isnan(g.LatitudeDeg)) continue;
        const double x = ground.X[k], y = ground.Y[k];
        xMin = std::min(xMin, x), xMax = std::max(xMax, x), yMin = std::min(yMin, y),
        yMax = std::max(yMax, y);
        const double dLon = std::remainder(g.LongitudeDeg - lonC, 360.0);
        // Into each band it lies in or within kShorePadDeg of.
        for (double lat : {g.LatitudeDeg - kShorePadDeg, g.LatitudeDeg + kShorePadDeg}) {
            const int b = std::clamp(static_cast<int>(std::floor((lat + 90) / kBandDeg)), 0, kBands - 1);
            bandLonMin[b] = std::min(bandLonMin[b], dLon), bandLonMax[b] = std::max(bandLonMax[b], dLon);
        }
    }
    if (xMin > xMax) {
        result.Why = "not registered: the scans see no Earth under this orbit";
        return result;
    }

    // The distance fields on the plane, fine cells of 1 km unless the pass is so long that the
    // field would hold more than ~8 million of them.
    TDistanceField field, coarseField;
    {
        const double margin = kCoarseFieldCapKm + 2;
        const double wKm = xMax - xMin + 2 * margin, hKm = yMax - yMin + 2 * margin;
        auto setUp = [&](TDistanceField& aField, double aCell, float aCap) {
            aField.Cell = aCell;
            aField.Cap = aCap;
            aField.X0 = xMin - margin, aField.Y0 = yMin - margin;
            aField.W = static_cast<int>(std::ceil(wKm / aCell)) + 1;
            aField.H = static_cast<int>(std::ceil(hKm / aCell)) + 1;
            ReserveLarge(aField.D, static_cast<size_t>(aField.W) * aField.H);
            aField.D.assign(static_cast<size_t>(aField.W) * aField.H, aCap * aCap);
        };
        const double cell = std::max(1.0, std::sqrt(wKm * hKm / 8e6));
        setUp(field, cell, kFineFieldCapKm);
        setUp(coarseField, cell * kCoarseFieldCells, kCoarseFieldCapKm);
        std::vector<TGeoPolyline> lines;
        for (int b = 0; b < kBands; ++b) {
            if (bandLonMin[b] > bandLonMax[b]) continue;
            TGeoBox box;
            // Inside the band, so that a box reads no bin of the bands beside it twice.
            box.SouthDeg = -90 + b * kBandDeg + 1e-6;
            box.NorthDeg = -90 + (b + 1) * kBandDeg - 1e-6;
            const double poleward = std::max(std::abs(box.SouthDeg), std::abs(box.NorthDeg));
            const double padLon = kShorePadDeg / std::max(0.1, std::cos(poleward * kDeg));
            if (poleward < 80 && bandLonMax[b] - bandLonMin[b] + 2 * padLon < 350) {
                box.WestDeg = std::remainder(lonC + bandLonMin[b] - padLon, 360.0);
                box.EastDeg = std::remainder(lonC + bandLonMax[b] + padLon, 360.0);
            }
            std::vector<TGeoPolyline> more = aInput.Shores->Lines(box);
            std::move(more.begin(), more.end(), std::back_inserter(lines));
        }
        for (const TGeoPolyline& line : lines) {
            double px = 0, py = 0;
            bool have = false;
            for (size_t i = 0; i < line.LatDeg.size(); ++i) {
                double x, y;
                const bool ok = plane.Project(line.LatDeg[i], line.LonDeg[i], x, y);
                if (ok && have) {
                    field.AddSegment(px, py, x, y);
                    coarseField.AddSegment(px, py, x, y);
                }
                have = ok, px = x, py = y;
            }
        }
        field.Finish();
        coarseField.Finish();
    }
    if (coarseField.CoastSegments == 0) {
        result.Why = "not registered: open sea, no coastline under the swath";
        return result;
    }

    const TMatcher matcher(ground, field), coarseMatcher(ground, coarseField);
    const std::vector<TEdge> fine = Thin(edges, kMaxFineEdges);
    const std::vector<TEdge> coarse = Thin(edges, kMaxCoarseEdges);

    // Coarse search over the whole table of offsets and rolls.
    const int nT = static_cast<int>(std::floor(maxOffset / kCoarseTimeStepS));
    const int nR = kCoarseRollSteps;
    std::vector<TCandidate> cands;
    for (int i = -nT; i <= nT; ++i)
        for (int j = -nR; j <= nR; ++j)
            cands.push_back(
                {start.TimeOffsetS + i * kCoarseTimeStepS, start.RollDeg + j * kCoarseRollStepDeg});
    // Edge by edge, so that consecutive look-ups walk along one column of the ground grid.
    std::vector<double> table(cands.size(), 0);
    for (const TEdge& e : coarse)
        for (size_t k = 0; k < cands.size(); ++k)
            table[k] += std::min(coarseMatcher.Distance(e, cands[k]), kCoarseCapKm);
    for (double& t : table)
        t /= static_cast<double>(coarse.size());
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
    TCandidate fit = Refine(matcher, fine, coarseBest, kFineFieldCapKm);
    fit = Refine(matcher, fine, fit, kFineCapKm);

    // Yaw: kept at the model's unless a fit with it matches the coasts measurably better. A yaw
    // moves the swath's two sides along the track in opposite directions, which the coarse search
    // (edges from both sides) averages out; it is fitted here around the fit found without it.
    const TCandidate withYaw = Refine(matcher, fine, fit, kFineCapKm, true);
    if (matcher.Score(fine, withYaw, kFineCapKm) < (1 - kYawGain) * matcher.Score(fine, fit, kFineCapKm))
        fit = withYaw;
    const bool yawed = fit.YawDeg != 0;

    // Coast edges: within kCoastEdgeKm after the fit; the residuals are theirs.
    auto residual = [&](const TCandidate& aAt, const TCandidate& aSelect, int& aCount) {
        aCount = 0;
        double sumAt = 0;
        for (const TEdge& e : fine) {
            if (matcher.Distance(e, aSelect) >= kCoastEdgeKm) continue;
            ++aCount;
            // Far from a coast the wide field tells more than the narrow one.
            const double d = matcher.Distance(e, aAt);
            sumAt += d < kFineFieldCapKm - 1 ? d : coarseMatcher.Distance(e, aAt);
        }
        return aCount ? sumAt / aCount : NAN;
    };
    int coastEdges = 0, startEdges = 0;
    const double residualFit = residual(fit, fit, coastEdges);
    const double residualStartOwn = residual(startC, startC, startEdges);
    const double residualStartOnFit = residual(startC, fit, coastEdges);

    // How many edges lie that near a coast by chance: the median over offsets far from the fit.
    // A picture of the wrong place still finds some coast edges at its best offset; a right fit
    // finds many times the chance count.
    std::vector<int> chance;
    for (int i = 0; i < kChanceSamples; ++i) {
        const double dt = -maxOffset + (2 * maxOffset) * (i + 0.5) / kChanceSamples;
        const TCandidate c{start.TimeOffsetS + dt, fit.RollDeg};
        if (std::abs(c.TimeOffsetS - fit.TimeOffsetS) <= 4 * kCoarseTimeStepS) continue;
        int n = 0;
        for (const TEdge& e : fine)
            n += matcher.Distance(e, c) < kCoastEdgeKm;
        chance.push_back(n);
    }
    double chanceEdges = 0;
    if (!chance.empty()) {
        std::nth_element(chance.begin(), chance.begin() + chance.size() / 2, chance.end());
        chanceEdges = chance[chance.size() / 2];
    }
    // Poisson-like excess of the coast edges over chance.
    const double excess = (coastEdges - chanceEdges) / std::sqrt(chanceEdges + 1);

    TScanParameters fitted = start;
    fitted.TimeOffsetS = fit.TimeOffsetS;
    fitted.RollDeg = fit.RollDeg;
    fitted.YawDeg = start.YawDeg + fit.YawDeg;
    const bool edgesOk = coastEdges >= kMinCoastEdges;
    const bool standsOut = result.Confidence >= kMinConfidence && excess >= kMinExcess &&
                           coastEdges >= kMinChanceRatio * chanceEdges;
    // A best fit on the border of the search is a fit of something else (or of an offset beyond it).
    const bool inside = std::abs(fit.TimeOffsetS - start.TimeOffsetS) < maxOffset - 2 * kCoarseTimeStepS &&
                        std::abs(fit.RollDeg - start.RollDeg) < (nR - 0.5) * kCoarseRollStepDeg;
    const bool confident = edgesOk && standsOut && inside && residualFit <= kMaxResidualKm &&
                           coastEdges >= kMinCoastFraction * fine.size();
    if (confident) {
        result.Confident = true;
        result.Fitted = fitted;
        result.ResidualKm = residualFit;
        result.ResidualStartKm = residualStartOnFit;
        result.EdgesUsed = coastEdges;
        result.Why =
            Format("fitted time offset %+.2f s, roll %.3f deg, yaw %.2f deg%s: %d coast edges %.2f km "
                   "from the coast (model: %.1f km)",
                   fit.TimeOffsetS, fit.RollDeg, fitted.YawDeg, yawed ? "" : " (model's)", coastEdges,
                   residualFit, residualStartOnFit);
        return result;
    }
    result.ResidualKm = residualStartOwn;
    result.ResidualStartKm = residualStartOwn;
    result.EdgesUsed = startEdges;
    if (!edgesOk || coastEdges < kMinCoastFraction * fine.size())
        result.Why = "not registered: too few edges match any coast (" + std::to_string(coastEdges) + " of " +
                     std::to_string(fine.size()) + "; clouds, night or open sea)";
    else if (!inside)
        result.Why =
            Format("not registered: the best fit lies on the border of the search (time offset %+.1f s, roll "
                   "%.2f deg; a wrong orbit, or a clock off by more than %.0f s)",
                   fit.TimeOffsetS, fit.RollDeg, maxOffset);
    else
        result.Why = Format(
            "not registered: no fit stands out (best time offset %+.1f s, roll %.2f deg, confidence %.2f, "
            "%.0f coast edges where chance gives %.0f, %.1f km from the coast; clouds or a wrong orbit)",
            fit.TimeOffsetS, fit.RollDeg, result.Confidence, static_cast<double>(coastEdges), chanceEdges,
            residualFit);
    return result;
}

} // namespace lrptgeo
