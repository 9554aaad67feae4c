#include "maps/MapRaster.h"

#include "Angles.h"
#include "maps/GeoErrors.h"
#include "maps/LargeBuffers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lrptgeo {

namespace {

// Mesh cells are at most this many picture pixels a side, so that the map, piecewise affine per
// triangle, follows the tie points' own interpolation to a small fraction of a pixel.
constexpr int kMeshStep = 16;

// Picture positions of the mesh along one axis: every tie position and, between two, equal steps
// of at most kMeshStep pixels.
std::vector<double> MeshPositions(int aSize, int aStep) {
    std::vector<double> p;
    const int count = TGeoTiePoints::TieCount(aSize, aStep);
    for (int i = 0; i + 1 < count; ++i) {
        const double a = TGeoTiePoints::TiePosition(i, aSize, aStep),
                     b = TGeoTiePoints::TiePosition(i + 1, aSize, aStep);
        const int parts = std::max(1, static_cast<int>(std::ceil((b - a) / kMeshStep)));
        for (int k = 0; k < parts; ++k)
            p.push_back(a + (b - a) * k / parts);
    }
    p.push_back(aSize - 1);
    return p;
}

// The picture's mesh in map coordinates (NaN where no Earth or no projection).
struct TMesh {
    std::vector<double> Col, Row; // picture positions of the mesh columns and rows
    std::vector<double> X, Y;     // Row.size() x Col.size(), row-major
    size_t Cols() const { return Col.size(); }
    size_t Rows() const { return Row.size(); }
};

// Longitudes go to the turn nearest aCentreLonDeg, so a geographic map stays in one piece; NaN
// leaves them as they are (projected maps).
double Unwrap(double aLonDeg, double aCentreLonDeg) {
    return std::isnan(aCentreLonDeg) ? aLonDeg : aLonDeg + 360 * std::round((aCentreLonDeg - aLonDeg) / 360);
}

TMesh BuildMesh(const TGeoTiePoints& aTies, const TMapProjection& aProjection, double aCentreLonDeg) {
    TMesh m;
    m.Col = MeshPositions(aTies.Width, aTies.ColStep);
    m.Row = MeshPositions(aTies.Height, aTies.RowStep);
    m.X.assign(m.Cols() * m.Rows(), NAN);
    m.Y.assign(m.X.size(), NAN);
    for (size_t i = 0; i < m.Rows(); ++i)
        for (size_t j = 0; j < m.Cols(); ++j) {
            const auto p = InterpolateLatLon(aTies, m.Col[j], m.Row[i]);
            if (!p) continue;
            double x, y;
            if (aProjection.Forward(Unwrap(p->LonDeg, aCentreLonDeg), p->LatDeg, x, y)) {
                m.X[i * m.Cols() + j] = x;
                m.Y[i * m.Cols() + j] = y;
            }
        }
    return m;
}

// Whether neighbouring mesh points land far apart on the map, as where a projection cuts the
// Earth open (a cylindrical one at 180 degrees from its centre): then the swath would be torn in
// two. Mesh edges vary with the scan and the projection's scale by well under a factor of 100.
bool CrossesAnEdge(const TMesh& aMesh) {
    std::vector<double> lengths;
    const size_t cols = aMesh.Cols();
    for (size_t i = 0; i < aMesh.Rows(); ++i)
        for (size_t j = 0; j < cols; ++j) {
            const size_t k = i * cols + j;
            if (std::isnan(aMesh.X[k])) continue;
            for (const size_t n : {k + 1, k + cols}) {
                if ((n == k + 1 && j + 1 == cols) || n >= aMesh.X.size() || std::isnan(aMesh.X[n])) continue;
                lengths.push_back(std::hypot(aMesh.X[n] - aMesh.X[k], aMesh.Y[n] - aMesh.Y[k]));
            }
        }
    if (lengths.empty()) return false;
    const double longest = *std::max_element(lengths.begin(), lengths.end());
    std::nth_element(lengths.begin(), lengths.begin() + lengths.size() / 2, lengths.end());
    return longest > 200 * lengths[lengths.size() / 2];
}

TLatLonDeg MiddleOf(const TGeoTiePoints& aTies) {
    const auto p = InterpolateLatLon(aTies, (aTies.Width - 1) / 2.0, (aTies.Height - 1) / 2.0);
    if (!p) throw EGeoInputError("tie points refused: no Earth at the middle of the picture");
    return *p;
}

// Ground (km) or map (projected units) distance covered by one pixel across and along at the middle.
template <class TMeasure> double MiddleSpacing(const TGeoTiePoints& aTies, const TMeasure& aMeasure) {
    const double c = (aTies.Width - 1) / 2.0, r = (aTies.Height - 1) / 2.0;
    const double dc = std::min(4.0, c), dr = std::min(4.0, r);
    const double across = aMeasure(c - dc, r, c + dc, r) / (2 * dc);
    const double along = aMeasure(c, r - dr, c, r + dr) / (2 * dr);
    return (across + along) / 2;
}

TLatLonDeg At(const TGeoTiePoints& aTies, double aCol, double aRow) {
    const auto p = InterpolateLatLon(aTies, aCol, aRow);
    if (!p) throw EGeoInputError("tie points refused: no Earth at the middle of the picture");
    return *p;
}

// The longitude a geographic map is centred on; NaN for a projected map.
double CentreLonOfGrid(const TMapGrid& aGrid, const TMapProjection& aProjection) {
    return aProjection.IsGeographic() ? aGrid.OriginX + aGrid.Width * aGrid.PixelSizeX / 2 : NAN;
}

struct TVertex {
    double U, V;     // map pixel coordinates (pixel centres at +0.5)
    double Col, Row; // picture coordinates
};

// x where the edge from aP to aQ crosses the line v = aV. The edge's ends are put in one order first,
// so the two triangles sharing it compute the same x and leave no gap between them.
double EdgeU(TVertex aP, TVertex aQ, double aV) {
    if (aQ.V < aP.V || (aQ.V == aP.V && aQ.U < aP.U)) std::swap(aP, aQ);
    if (aQ.V == aP.V) return aP.U;
    return aP.U + (aQ.U - aP.U) * (aV - aP.V) / (aQ.V - aP.V);
}

// Calls aSpan(row, first, last, col, colStep, picRow, rowStep) for each run of map pixels whose
// centres lie in the triangle (edges included): pixel i of the run sees the picture at
// (col + colStep (i - first), picRow + rowStep (i - first)), affinely interpolated.
template <class TSpan>
void ScanTriangle(TVertex aA, TVertex aB, TVertex aC, int aWidth, int aHeight, const TSpan& aSpan) {
    const double du1 = aB.U - aA.U, dv1 = aB.V - aA.V, du2 = aC.U - aA.U, dv2 = aC.V - aA.V;
    const double det = du1 * dv2 - du2 * dv1;
    if (!(std::fabs(det) > 1e-12)) return;
    const double colU = ((aB.Col - aA.Col) * dv2 - (aC.Col - aA.Col) * dv1) / det;
    const double colV = ((aC.Col - aA.Col) * du1 - (aB.Col - aA.Col) * du2) / det;
    const double rowU = ((aB.Row - aA.Row) * dv2 - (aC.Row - aA.Row) * dv1) / det;
    const double rowV = ((aC.Row - aA.Row) * du1 - (aB.Row - aA.Row) * du2) / det;

    if (aB.V < aA.V) std::swap(aA, aB);
    if (aC.V < aA.V) std::swap(aA, aC);
    if (aC.V < aB.V) std::swap(aB, aC);
    const int first = std::max(0, static_cast<int>(std::ceil(aA.V - 0.5)));
    const int last = std::min(aHeight - 1, static_cast<int>(std::floor(aC.V - 0.5)));
    for (int j = first; j <= last; ++j) {
        const double v = j + 0.5;
        const double u1 = EdgeU(aA, aC, v);
        const double u2 = v < aB.V ? EdgeU(aA, aB, v) : EdgeU(aB, aC, v);
        const double left = std::min(u1, u2), right = std::max(u1, u2);
        const int i0 = std::max(0, static_cast<int>(std::ceil(left - 0.5)));
        const int i1 = std::min(aWidth - 1, static_cast<int>(std::floor(right - 0.5)));
        if (i0 > i1) continue;
        const double col0 = aA.Col + colV * (v - aA.V) + colU * (i0 + 0.5 - aA.U);
        const double row0 = aA.Row + rowV * (v - aA.V) + rowU * (i0 + 0.5 - aA.U);
        aSpan(j, i0, i1, col0, colU, row0, rowU);
    }
}

// One map pixel's source: the top-left picture pixel (Col, Row) of its bilinear neighbourhood and
// the 8-bit fixed-point weights of the right and lower neighbours (0..256).
struct TSource {
    int Col, Row, Fx, Fy;
};

inline TSource SourceAt(double aCol, double aRow, double aColLimit, double aRowLimit, int aMaxCol,
                        int aMaxRow) {
    aCol = std::clamp(aCol, 0.0, aColLimit);
    aRow = std::clamp(aRow, 0.0, aRowLimit);
    const int c = std::min(static_cast<int>(aCol), aMaxCol), r = std::min(static_cast<int>(aRow), aMaxRow);
    return {c, r, static_cast<int>((aCol - c) * 256 + 0.5), static_cast<int>((aRow - r) * 256 + 0.5)};
}

// What one picture needs while it is sampled.
struct TTarget {
    const uint8_t* Pixels;
    ptrdiff_t RowStride;
    int PixelStride;
    int Bands;
    int Offset[3];
    const uint8_t* RowDrawn; // null: every row drawn
    uint8_t* Out;
};

// One band's bilinear blend of the upper row's left and right values and the lower row's, with
// 8-bit fixed-point weights of the right and lower ones (0..256).
inline uint8_t Blend(int aTopLeft, int aTopRight, int aBottomLeft, int aBottomRight, int aFx, int aFy) {
    const int top = aTopLeft * (256 - aFx) + aTopRight * aFx;
    const int bottom = aBottomLeft * (256 - aFx) + aBottomRight * aFx;
    const int v = (top * (256 - aFy) + bottom * aFy + 32768) >> 16;
    return static_cast<uint8_t>(v > 0 ? v : 1); // 0 is the no-data value
}

template <int Bands>
inline void Sample(const TTarget& aTarget, const TSource& aSource, int aFy, uint8_t* aOut) {
    const uint8_t* p0 = aTarget.Pixels + static_cast<ptrdiff_t>(aSource.Row) * aTarget.RowStride +
                        static_cast<ptrdiff_t>(aSource.Col) * aTarget.PixelStride;
    const uint8_t* p1 = p0 + aTarget.RowStride;
    const int step = aTarget.PixelStride;
    for (int b = 0; b < Bands; ++b) {
        const int o = aTarget.Offset[b];
        aOut[b] = Blend(p0[o], p0[o + step], p1[o], p1[o + step], aSource.Fx, aFy);
    }
}

// A row the decoder never drew holds no picture: the pixels nearest to it stay no-data, and their
// neighbours take the drawn row alone. False when the pixel stays no-data.
inline bool DrawnWeight(const uint8_t* aRowDrawn, const TSource& aSource, int& aFy) {
    aFy = aSource.Fy;
    if (!aRowDrawn) return true;
    const bool upper = aRowDrawn[aSource.Row] != 0, lower = aRowDrawn[aSource.Row + 1] != 0;
    if (upper && lower) return true;
    if (!(aFy < 128 ? upper : lower)) return false;
    aFy = upper ? 0 : 256;
    return true;
}

// Samples aTarget for the map pixels from aFirst on, one per source.
template <int Bands>
void SampleRun(const TTarget& aTarget, const std::vector<TSource>& aSources, size_t aFirst) {
    uint8_t* out = aTarget.Out + aFirst * Bands;
    if (!aTarget.RowDrawn) {
        for (const TSource& s : aSources) {
            Sample<Bands>(aTarget, s, s.Fy, out);
            out += Bands;
        }
        return;
    }
    for (const TSource& s : aSources) {
        int fy;
        if (DrawnWeight(aTarget.RowDrawn, s, fy)) Sample<Bands>(aTarget, s, fy, out);
        out += Bands;
    }
}

// Several pictures sampled at once, without lost rows: their bands side by side, Lanes bytes a
// pixel, for a window of picture rows. Each map pixel then reads its four neighbours' bands of every
// picture in four loads and blends them all in one go (which vectorises), instead of picture by
// picture and byte by byte; the blend is Sample's (Blend), to the bit.
struct TLaneSource {
    const uint8_t* Pixels; // the band's byte of pixel (0, 0)
    ptrdiff_t RowStride;
    int PixelStride;
};

template <int Lanes> class TPackedWindow {
  public:
    TPackedWindow(std::vector<TLaneSource> aLanes, int aWidth, int aHeight)
        : fLanes(std::move(aLanes)), fWidth(aWidth), fHeight(aHeight) {}

    // Makes picture rows aFirst..aLast (aFirst <= aLast, both inside the picture) available.
    void Hold(int aFirst, int aLast) {
        if (aFirst >= fFirst && aLast < fFirst + fRows) return;
        // Rows a little above too, and the next mesh rows: runs of one mesh row start anywhere in it.
        fFirst = std::max(0, aFirst - kMeshStep - 2);
        fRows = std::min(fHeight - fFirst, std::max(aLast - fFirst + 1, 4 * kMeshStep + 8));
        fBytes.assign(static_cast<size_t>(fRows) * fWidth * Lanes, 0);
        for (size_t l = 0; l < fLanes.size(); ++l) {
            const TLaneSource& lane = fLanes[l];
            for (int r = 0; r < fRows; ++r) {
                const uint8_t* from = lane.Pixels + (fFirst + r) * lane.RowStride;
                uint8_t* to = &fBytes[static_cast<size_t>(r) * fWidth * Lanes + l];
                for (int c = 0; c < fWidth; ++c)
                    to[static_cast<size_t>(c) * Lanes] = from[static_cast<ptrdiff_t>(c) * lane.PixelStride];
            }
        }
    }
    const uint8_t* At(int aCol, int aRow) const {
        return &fBytes[(static_cast<size_t>(aRow - fFirst) * fWidth + aCol) * Lanes];
    }
    size_t RowBytes() const { return static_cast<size_t>(fWidth) * Lanes; }

  private:
    std::vector<TLaneSource> fLanes;
    int fWidth, fHeight;
    int fFirst = 0, fRows = 0;
    std::vector<uint8_t> fBytes;
};

// The blended lanes of one map pixel: Blend's arithmetic, lane by lane.
template <int Lanes>
inline void BlendLanes(const uint8_t* aTop, const uint8_t* aBottom, int aFx, int aFy, uint8_t* aOut) {
#if defined(__SSE2__)
    // Eight lanes at a time in 16 bits: a (256 - f) + b f stays below 65536 (the weights sum to
    // 256), so the horizontal blends are exact in 16-bit products; the vertical one takes their
    // full 32-bit products.
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1), half = _mm_set1_epi32(32768);
    const __m128i wx0 = _mm_set1_epi16(static_cast<short>(256 - aFx)),
                  wx1 = _mm_set1_epi16(static_cast<short>(aFx));
    const __m128i wy0 = _mm_set1_epi16(static_cast<short>(256 - aFy)),
                  wy1 = _mm_set1_epi16(static_cast<short>(aFy));
    for (int l = 0; l < Lanes; l += 8) {
        auto load = [&](const uint8_t* aAt) {
            if (Lanes >= 8)
                return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(aAt)), zero);
            int four;
            std::memcpy(&four, aAt, 4);
            return _mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero);
        };
        const __m128i top =
            _mm_add_epi16(_mm_mullo_epi16(load(aTop + l), wx0), _mm_mullo_epi16(load(aTop + l + Lanes), wx1));
        const __m128i bottom = _mm_add_epi16(_mm_mullo_epi16(load(aBottom + l), wx0),
                                             _mm_mullo_epi16(load(aBottom + l + Lanes), wx1));
        const __m128i tl = _mm_mullo_epi16(top, wy0), th = _mm_mulhi_epu16(top, wy0);
        const __m128i bl = _mm_mullo_epi16(bottom, wy1), bh = _mm_mulhi_epu16(bottom, wy1);
        const __m128i low = _mm_srli_epi32(
            _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi16(tl, th), _mm_unpacklo_epi16(bl, bh)), half), 16);
        const __m128i high = _mm_srli_epi32(
            _mm_add_epi32(_mm_add_epi32(_mm_unpackhi_epi16(tl, th), _mm_unpackhi_epi16(bl, bh)), half), 16);
        const __m128i v = _mm_max_epu8(_mm_packus_epi16(_mm_packs_epi32(low, high), zero), one); // 0: no data
        if (Lanes >= 8) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(aOut + l), v);
        } else {
            const int four = _mm_cvtsi128_si32(v);
            std::memcpy(aOut + l, &four, 4);
        }
    }
#else
    for (int l = 0; l < Lanes; ++l)
        aOut[l] = Blend(aTop[l], aTop[l + Lanes], aBottom[l], aBottom[l + Lanes], aFx, aFy);
#endif
}

// A run of map pixels from aFirst on for every target (each taking its bands' lanes from aLane[t]):
// the run's lanes first, then each target's bytes out of them.
template <int Lanes>
void SamplePackedRun(const TPackedWindow<Lanes>& aWindow, const std::vector<TSource>& aSources,
                     const std::vector<TTarget>& aTargets, const std::vector<int>& aLane, size_t aFirst,
                     std::vector<uint8_t>& aLanes) {
    const size_t below = aWindow.RowBytes(), count = aSources.size();
    aLanes.resize(count * Lanes);
    for (size_t k = 0; k < count; ++k) {
        const TSource& s = aSources[k];
        const uint8_t* top = aWindow.At(s.Col, s.Row);
        BlendLanes<Lanes>(top, top + below, s.Fx, s.Fy, &aLanes[k * Lanes]);
    }
    for (size_t t = 0; t < aTargets.size(); ++t) {
        const uint8_t* from = &aLanes[static_cast<size_t>(aLane[t])];
        if (aTargets[t].Bands == 3) {
            uint8_t* out = aTargets[t].Out + aFirst * 3;
            for (size_t k = 0; k < count; ++k, from += Lanes, out += 3) {
                out[0] = from[0];
                out[1] = from[1];
                out[2] = from[2];
            }
        } else {
            uint8_t* out = aTargets[t].Out + aFirst;
            for (size_t k = 0; k < count; ++k)
                out[k] = from[k * Lanes];
        }
    }
}

// Samples every target along every run aForEachRun gives (it calls its argument with each run's
// map index and sources) through a packed window of Lanes lanes.
template <int Lanes, class TForEachRun>
void SamplePacked(const std::vector<TTarget>& aTargets, int aWidth, int aHeight,
                  const TForEachRun& aForEachRun) {
    std::vector<TLaneSource> lanes;
    std::vector<int> laneOf;
    for (const TTarget& t : aTargets) {
        laneOf.push_back(static_cast<int>(lanes.size()));
        for (int b = 0; b < t.Bands; ++b)
            lanes.push_back({t.Pixels + t.Offset[b], t.RowStride, t.PixelStride});
    }
    TPackedWindow<Lanes> window(std::move(lanes), aWidth, aHeight);
    std::vector<uint8_t> runLanes;
    aForEachRun([&](size_t aFirst, const std::vector<TSource>& aSources) {
        // Rows along a run change monotonically: its ends bound them.
        const int r0 = aSources.front().Row, r1 = aSources.back().Row;
        window.Hold(std::min(r0, r1), std::max(r0, r1) + 1);
        SamplePackedRun<Lanes>(window, aSources, aTargets, laneOf, aFirst, runLanes);
    });
}

} // namespace

double NadirSpacingKm(const TGeoTiePoints& aTies) {
    CheckTiePoints(aTies);
    return MiddleSpacing(aTies, [&](double c0, double r0, double c1, double r1) {
        return GroundDistanceKm(At(aTies, c0, r0), At(aTies, c1, r1));
    });
}

TMapGrid ChooseMapGrid(const TGeoTiePoints& aTies, const TMapProjection& aProjection, double aPixelSize) {
    CheckTiePoints(aTies);
    const TLatLonDeg middle = MiddleOf(aTies);
    double sizeX = aPixelSize, sizeY = aPixelSize;
    if (!(aPixelSize >= 0) || !std::isfinite(aPixelSize))
        throw EGeoInputError("map refused: pixel size " + std::to_string(aPixelSize));
    if (aPixelSize == 0) {
        if (aProjection.IsGeographic()) {
            sizeY = NadirSpacingKm(aTies) / 111.2;
            sizeX = sizeY / std::max(0.2, std::cos(middle.LatDeg * kDeg));
        } else {
            sizeX = sizeY = MiddleSpacing(aTies, [&](double c0, double r0, double c1, double r1) {
                const TLatLonDeg p = At(aTies, c0, r0), q = At(aTies, c1, r1);
                double x0, y0, x1, y1;
                if (!aProjection.Forward(p.LonDeg, p.LatDeg, x0, y0) ||
                    !aProjection.Forward(q.LonDeg, q.LatDeg, x1, y1))
                    throw EGeoInputError("map refused: the middle of the picture does not project in " +
                                         aProjection.Definition());
                return std::hypot(x1 - x0, y1 - y0);
            });
        }
    }
    const TMesh mesh = BuildMesh(aTies, aProjection, aProjection.IsGeographic() ? middle.LonDeg : NAN);
    double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
    for (size_t k = 0; k < mesh.X.size(); ++k) {
        if (std::isnan(mesh.X[k])) continue;
        minX = std::min(minX, mesh.X[k]);
        maxX = std::max(maxX, mesh.X[k]);
        minY = std::min(minY, mesh.Y[k]);
        maxY = std::max(maxY, mesh.Y[k]);
    }
    if (!(minX <= maxX))
        throw EGeoInputError("map refused: no tie point projects in " + aProjection.Definition());
    if (!aProjection.IsGeographic() && CrossesAnEdge(mesh))
        throw EGeoInputError("map refused: the swath runs across an edge of " + aProjection.Definition() +
                             "; a projection centred on it (+lon_0=" +
                             std::to_string(std::lround(middle.LonDeg)) + ") keeps it whole");
    if (aProjection.IsGeographic()) {
        minX = std::max(minX, middle.LonDeg - 180);
        maxX = std::min(maxX, middle.LonDeg + 180);
        minY = std::max(minY, -90.0);
        maxY = std::min(maxY, 90.0);
    }
    const double width = std::ceil((maxX - minX) / sizeX), height = std::ceil((maxY - minY) / sizeY);
    if (!(width <= kMaxMapSide && height <= kMaxMapSide))
        throw EGeoInputError("map refused: " + std::to_string(width) + " x " + std::to_string(height) +
                             " pixels exceed " + std::to_string(kMaxMapSide) + " a side in " +
                             aProjection.Definition());
    TMapGrid g;
    g.PixelSizeX = sizeX;
    g.PixelSizeY = sizeY;
    g.Width = std::max(1, static_cast<int>(width));
    g.Height = std::max(1, static_cast<int>(height));
    // Centred on the footprint, which the whole pixels overhang a little.
    g.OriginX = (minX + maxX) / 2 - g.Width * sizeX / 2;
    g.OriginY = (minY + maxY) / 2 + g.Height * sizeY / 2;
    return g;
}

TMapSampling::TMapSampling(const TGeoTiePoints& aTies, const TMapProjection& aProjection,
                           const TMapGrid& aGrid) {
    CheckTiePoints(aTies);
    if (aGrid.Width < 1 || aGrid.Height < 1 || aGrid.Width > kMaxMapSide || aGrid.Height > kMaxMapSide ||
        !(aGrid.PixelSizeX > 0) || !(aGrid.PixelSizeY > 0))
        throw EGeoInputError("map refused: grid of " + std::to_string(aGrid.Width) + " x " +
                             std::to_string(aGrid.Height) + " pixels");
    fGrid = aGrid;
    fPictureWidth = aTies.Width;
    fPictureHeight = aTies.Height;
    fProjectionWkt = aProjection.Wkt();
    const TMesh mesh = BuildMesh(aTies, aProjection, CentreLonOfGrid(aGrid, aProjection));
    const TMapGrid& g = aGrid;
    const size_t cols = mesh.Cols();
    std::vector<TVertex> vertex(mesh.X.size());
    for (size_t i = 0; i < mesh.Rows(); ++i)
        for (size_t j = 0; j < cols; ++j) {
            const size_t k = i * cols + j;
            vertex[k] = {(mesh.X[k] - g.OriginX) / g.PixelSizeX, (g.OriginY - mesh.Y[k]) / g.PixelSizeY,
                         mesh.Col[j], mesh.Row[i]};
        }
    // A cell spanning more than half the map, when cells are normally small, is one the projection
    // tears apart (it runs across the projection's cut): drawing it would smear the swath across the map.
    const double tear = std::max(0.5 * std::max(g.Width, g.Height), 64.0 * kMeshStep);
    for (size_t i = 0; i + 1 < mesh.Rows(); ++i)
        for (size_t j = 0; j + 1 < cols; ++j) {
            const size_t k = i * cols + j;
            const TVertex& a = vertex[k];
            const TVertex& b = vertex[k + 1];
            const TVertex& c = vertex[k + cols];
            const TVertex& d = vertex[k + cols + 1];
            if (std::isnan(a.U) || std::isnan(b.U) || std::isnan(c.U) || std::isnan(d.U)) continue;
            const double uMin = std::min({a.U, b.U, c.U, d.U}), uMax = std::max({a.U, b.U, c.U, d.U});
            const double vMin = std::min({a.V, b.V, c.V, d.V}), vMax = std::max({a.V, b.V, c.V, d.V});
            if (uMax < 0 || vMax < 0 || uMin > g.Width || vMin > g.Height) continue;
            if (uMax - uMin > tear || vMax - vMin > tear) continue;
            for (const TVertex* corner : {&a, &b, &c, &d})
                fCells.insert(fCells.end(), {corner->U, corner->V, corner->Col, corner->Row});
        }
}

std::vector<TMapRaster> TMapSampling::Apply(const std::vector<TPictureView>& aPictures) const {
    std::vector<TMapRaster> maps(aPictures.size());
    std::vector<TTarget> targets;
    for (size_t n = 0; n < aPictures.size(); ++n) {
        const TPictureView& p = aPictures[n];
        if (p.Width != fPictureWidth || p.Height != fPictureHeight)
            throw EGeoInputError("map refused: picture " + std::to_string(p.Width) + " x " +
                                 std::to_string(p.Height) + " but tie points for " +
                                 std::to_string(fPictureWidth) + " x " + std::to_string(fPictureHeight));
        if (!p.Pixels || (p.Bands != 1 && p.Bands != 3) || p.PixelStride < p.Bands ||
            p.RowStride < p.Width * p.PixelStride)
            throw EGeoInputError("map refused: picture of " + std::to_string(p.Bands) +
                                 " bands, pixel stride " + std::to_string(p.PixelStride) + ", row stride " +
                                 std::to_string(p.RowStride));
        TMapRaster& map = maps[n];
        map.Grid = fGrid;
        map.Bands = p.Bands;
        map.ProjectionWkt = fProjectionWkt;
        const size_t bytes = static_cast<size_t>(fGrid.Width) * fGrid.Height * map.Bands;
        ReserveLarge(map.Pixels, bytes);
        map.Pixels.assign(bytes, TMapRaster::kNoData);
        TTarget t{p.Pixels, p.RowStride, p.PixelStride, p.Bands, {0, 0, 0}, p.RowDrawn, map.Pixels.data()};
        for (int b = 0; b < 3; ++b)
            t.Offset[b] = p.Bands == 3 && p.Bgr ? 2 - b : (p.Bands == 3 ? b : 0);
        if (t.RowDrawn && std::all_of(t.RowDrawn, t.RowDrawn + p.Height, [](uint8_t d) { return d != 0; }))
            t.RowDrawn = nullptr;
        targets.push_back(t);
    }
    const double colLimit = fPictureWidth - 1, rowLimit = fPictureHeight - 1;
    const int maxCol = fPictureWidth - 2, maxRow = fPictureHeight - 2;
    // Each map pixel's place in the pictures is worked out once per run of map pixels within a mesh
    // triangle, then every picture sampled along the run.
    auto forEachRun = [&](const auto& aSample) {
        std::vector<TSource> sources;
        const int width = fGrid.Width, height = fGrid.Height;
        auto run = [&](int aRow, int aFirst, int aLast, double aCol, double aColStep, double aPicRow,
                       double aRowStep) {
            const int count = aLast - aFirst + 1;
            sources.resize(static_cast<size_t>(count));
            for (int k = 0; k < count; ++k)
                sources[static_cast<size_t>(k)] =
                    SourceAt(aCol + aColStep * k, aPicRow + aRowStep * k, colLimit, rowLimit, maxCol, maxRow);
            aSample(static_cast<size_t>(aRow) * width + aFirst, sources);
        };
        for (size_t k = 0; k + 16 <= fCells.size(); k += 16) {
            const double* c = &fCells[k];
            const TVertex a{c[0], c[1], c[2], c[3]}, b{c[4], c[5], c[6], c[7]}, cc{c[8], c[9], c[10], c[11]},
                d{c[12], c[13], c[14], c[15]};
            ScanTriangle(a, b, d, width, height, run);
            ScanTriangle(a, d, cc, width, height, run);
        }
    };
    int bands = 0;
    bool lostRows = false;
    for (const TTarget& t : targets) {
        bands += t.Bands;
        lostRows = lostRows || t.RowDrawn;
    }
    if (!lostRows && bands <= 4)
        SamplePacked<4>(targets, fPictureWidth, fPictureHeight, forEachRun);
    else if (!lostRows && bands <= 8)
        SamplePacked<8>(targets, fPictureWidth, fPictureHeight, forEachRun);
    else if (!lostRows && bands <= 16)
        SamplePacked<16>(targets, fPictureWidth, fPictureHeight, forEachRun);
    else
        forEachRun([&](size_t aFirst, const std::vector<TSource>& aSources) {
            for (const TTarget& t : targets)
                if (t.Bands == 3)
                    SampleRun<3>(t, aSources, aFirst);
                else
                    SampleRun<1>(t, aSources, aFirst);
        });
    return maps;
}

TMapRaster TMapSampling::Apply(const TPictureView& aPicture) const {
    return std::move(Apply(std::vector<TPictureView>{aPicture}).front());
}

TMapRaster MakeMap(const TPictureView& aPicture, const TGeoTiePoints& aTies,
                   const TMapProjection& aProjection, const TMapGrid& aGrid) {
    CheckTiePoints(aTies);
    if (aPicture.Width != aTies.Width || aPicture.Height != aTies.Height)
        throw EGeoInputError("map refused: picture " + std::to_string(aPicture.Width) + " x " +
                             std::to_string(aPicture.Height) + " but tie points for " +
                             std::to_string(aTies.Width) + " x " + std::to_string(aTies.Height));
    return TMapSampling(aTies, aProjection, aGrid).Apply(aPicture);
}

TMapRaster MakeMap(const TPictureView& aPicture, const TGeoTiePoints& aTies,
                   const TMapProjection& aProjection, double aPixelSize) {
    return MakeMap(aPicture, aTies, aProjection, ChooseMapGrid(aTies, aProjection, aPixelSize));
}

namespace {

// Squared distance transform along one line (Felzenszwalb and Huttenlocher): aOut[q] =
// min over p of aWeight2 (q - p)^2 + aIn[p].
void Distance1d(const double* aIn, double* aOut, int aCount, double aWeight2, std::vector<int>& aV,
                std::vector<double>& aZ) {
    constexpr double kFar = 1e30;
    int k = 0;
    aV[0] = 0;
    aZ[0] = -kFar;
    aZ[1] = kFar;
    for (int q = 1; q < aCount; ++q) {
        for (;;) {
            const int p = aV[k];
            const double s =
                ((aIn[q] + aWeight2 * q * q) - (aIn[p] + aWeight2 * p * p)) / (2 * aWeight2 * (q - p));
            if (s <= aZ[k] && k > 0) {
                --k;
                continue;
            }
            if (s <= aZ[k]) { // k == 0: q replaces the only parabola
                aV[0] = q;
                aZ[0] = -kFar;
                aZ[1] = kFar;
                break;
            }
            ++k;
            aV[k] = q;
            aZ[k] = s;
            aZ[k + 1] = kFar;
            break;
        }
    }
    k = 0;
    for (int q = 0; q < aCount; ++q) {
        while (aZ[k + 1] < q)
            ++k;
        const double d = q - aV[k];
        aOut[q] = aWeight2 * d * d + aIn[aV[k]];
    }
}

// Ground km per map unit across and along at the grid's middle.
void GroundScale(const TMapGrid& aGrid, const TMapProjection& aProjection, double& aKmX, double& aKmY) {
    const double x = aGrid.OriginX + aGrid.Width * aGrid.PixelSizeX / 2;
    const double y = aGrid.OriginY - aGrid.Height * aGrid.PixelSizeY / 2;
    TLatLonDeg c, ex, ey;
    if (!aProjection.Inverse(x, y, c.LonDeg, c.LatDeg) ||
        !aProjection.Inverse(x + aGrid.PixelSizeX, y, ex.LonDeg, ex.LatDeg) ||
        !aProjection.Inverse(x, y + aGrid.PixelSizeY, ey.LonDeg, ey.LatDeg))
        throw EGeoInputError("distance raster refused: the middle of the grid is outside " +
                             aProjection.Definition());
    aKmX = GroundDistanceKm(c, ex);
    aKmY = GroundDistanceKm(c, ey);
}

// Sets aMarks (row-major over aGrid) to aValue on every pixel the lines pass through, as 8-connected
// chains of pixels, so that a 4-connected fill cannot leak through a line.
void MarkLines(const TMapGrid& aGrid, const TMapProjection& aProjection,
               const std::vector<TGeoPolyline>& aLines, std::vector<uint8_t>& aMarks, uint8_t aValue) {
    const int w = aGrid.Width, h = aGrid.Height;
    const double centreLon = CentreLonOfGrid(aGrid, aProjection);
    for (const TGeoPolyline& line : aLines) {
        double pu = NAN, pv = NAN;
        for (size_t k = 0; k < line.LonDeg.size(); ++k) {
            double x, y;
            if (!aProjection.Forward(Unwrap(line.LonDeg[k], centreLon), line.LatDeg[k], x, y)) {
                pu = NAN;
                continue;
            }
            const double u = (x - aGrid.OriginX) / aGrid.PixelSizeX - 0.5,
                         v = (aGrid.OriginY - y) / aGrid.PixelSizeY - 0.5;
            if (!std::isnan(pu) && std::max(std::fabs(u - pu), std::fabs(v - pv)) < 0.5 * std::max(w, h)) {
                const int steps =
                    static_cast<int>(std::ceil(2 * std::max(std::fabs(u - pu), std::fabs(v - pv)))) + 1;
                for (int s = 0; s <= steps; ++s) {
                    const int i = static_cast<int>(std::lround(pu + (u - pu) * s / steps));
                    const int j = static_cast<int>(std::lround(pv + (v - pv) * s / steps));
                    if (i >= 0 && j >= 0 && i < w && j < h) aMarks[static_cast<size_t>(j) * w + i] = aValue;
                }
            }
            pu = u;
            pv = v;
        }
    }
}

// A map grid in an azimuthal equidistant projection centred on the swath, holding it and aPadKm
// around it, with cells of aCellKm (0: the nadir spacing): distances on it are close to true ones
// over the whole swath.
TMapGrid SwathGrid(const TGeoTiePoints& aTies, double aCellKm, double aPadKm, TMapProjection& aProjection) {
    CheckTiePoints(aTies);
    const TLatLonDeg middle = MiddleOf(aTies);
    aProjection = TMapProjection("+proj=aeqd +lat_0=" + std::to_string(middle.LatDeg) +
                                 " +lon_0=" + std::to_string(middle.LonDeg) + " +datum=WGS84 +units=m");
    if (!(aCellKm >= 0) || !std::isfinite(aCellKm))
        throw EGeoInputError("raster refused: cell size " + std::to_string(aCellKm) + " km");
    TMapGrid grid = ChooseMapGrid(aTies, aProjection, aCellKm * 1000);
    const int pad = static_cast<int>(std::ceil(aPadKm * 1000 / grid.PixelSizeX)) + 1;
    if (grid.Width + 2 * pad > kMaxMapSide || grid.Height + 2 * pad > kMaxMapSide)
        throw EGeoInputError("raster refused: the swath needs more than " + std::to_string(kMaxMapSide) +
                             " pixels a side");
    grid.OriginX -= pad * grid.PixelSizeX;
    grid.OriginY += pad * grid.PixelSizeY;
    grid.Width += 2 * pad;
    grid.Height += 2 * pad;
    return grid;
}

// Calls aVisit(index, u, v) for every picture pixel that sees the Earth, with the fractional map
// pixel (centres at integers) it falls on, bilinear within its mesh cell.
template <class TVisit>
void ForEachPicturePixel(const TGeoTiePoints& aTies, const TMapProjection& aProjection, const TMapGrid& aGrid,
                         const TVisit& aVisit) {
    const TMesh mesh = BuildMesh(aTies, aProjection, CentreLonOfGrid(aGrid, aProjection));
    const size_t cols = mesh.Cols();
    for (size_t a = 0; a + 1 < mesh.Rows(); ++a)
        for (size_t b = 0; b + 1 < cols; ++b) {
            const size_t k = a * cols + b;
            const size_t corner[4] = {k, k + 1, k + cols, k + cols + 1};
            double u[4], v[4];
            bool valid = true;
            for (int c = 0; c < 4; ++c) {
                u[c] = (mesh.X[corner[c]] - aGrid.OriginX) / aGrid.PixelSizeX - 0.5;
                v[c] = (aGrid.OriginY - mesh.Y[corner[c]]) / aGrid.PixelSizeY - 0.5;
                valid = valid && !std::isnan(u[c]);
            }
            if (!valid) continue;
            const double r0 = mesh.Row[a], r1 = mesh.Row[a + 1], c0 = mesh.Col[b], c1 = mesh.Col[b + 1];
            const int rowEnd =
                a + 2 == mesh.Rows() ? static_cast<int>(r1) : static_cast<int>(std::ceil(r1)) - 1;
            const int colEnd = b + 2 == cols ? static_cast<int>(c1) : static_cast<int>(std::ceil(c1)) - 1;
            for (int r = static_cast<int>(std::ceil(r0)); r <= rowEnd; ++r) {
                const double fy = (r - r0) / (r1 - r0);
                for (int c = static_cast<int>(std::ceil(c0)); c <= colEnd; ++c) {
                    const double fx = (c - c0) / (c1 - c0);
                    const double w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
                    aVisit(static_cast<size_t>(r) * aTies.Width + c,
                           w[0] * u[0] + w[1] * u[1] + w[2] * u[2] + w[3] * u[3],
                           w[0] * v[0] + w[1] * v[1] + w[2] * v[2] + w[3] * v[3]);
                }
            }
        }
}

} // namespace

std::vector<float> CoastDistanceKm(const TMapGrid& aGrid, const TMapProjection& aProjection,
                                   const std::vector<TGeoPolyline>& aLines, float aCapKm) {
    const int w = aGrid.Width, h = aGrid.Height;
    if (w < 1 || h < 1 || w > kMaxMapSide || h > kMaxMapSide)
        throw EGeoInputError("distance raster refused: grid of " + std::to_string(w) + " x " +
                             std::to_string(h));
    double kmX, kmY;
    GroundScale(aGrid, aProjection, kmX, kmY);
    std::vector<uint8_t> onLine(static_cast<size_t>(w) * h, 0);
    MarkLines(aGrid, aProjection, aLines, onLine, 1);
    // Separable: along rows, then along columns. Partial results are capped (which changes no capped
    // result) and kept as floats in column-major order, so both passes read memory in sequence.
    constexpr double kFar = 1e30;
    const double cap2 = static_cast<double>(aCapKm) * aCapKm;
    const int n = std::max(w, h);
    std::vector<double> in(n), out(n), z(n + 1);
    std::vector<int> v(n);
    // Every element is written before it is read: no clearing of a hundred megabytes first.
    const auto across = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(w) * h);
    for (int j = 0; j < h; ++j) {
        const uint8_t* row = &onLine[static_cast<size_t>(j) * w];
        const bool any = std::find(row, row + w, 1) != row + w;
        if (any) {
            for (int i = 0; i < w; ++i)
                in[i] = row[i] ? 0 : kFar;
            Distance1d(in.data(), out.data(), w, kmX * kmX, v, z);
        }
        for (int i = 0; i < w; ++i)
            across[static_cast<size_t>(i) * h + j] = static_cast<float>(any ? std::min(cap2, out[i]) : cap2);
    }
    std::vector<float> d(static_cast<size_t>(w) * h);
    for (int i = 0; i < w; ++i) {
        const float* column = &across[static_cast<size_t>(i) * h];
        for (int j = 0; j < h; ++j)
            in[j] = column[j];
        Distance1d(in.data(), out.data(), h, kmY * kmY, v, z);
        for (int j = 0; j < h; ++j)
            d[static_cast<size_t>(j) * w + i] = static_cast<float>(std::sqrt(std::min(cap2, out[j])));
    }
    return d;
}

std::vector<float> CoastDistanceOnPictureKm(const TGeoTiePoints& aTies,
                                            const std::vector<TGeoPolyline>& aLines, float aCapKm,
                                            double aCellKm) {
    TMapProjection projection;
    const TMapGrid grid = SwathGrid(aTies, aCellKm, aCapKm, projection); // lines up to the cap outside count
    const std::vector<float> distance = CoastDistanceKm(grid, projection, aLines, aCapKm);
    std::vector<float> out(static_cast<size_t>(aTies.Width) * aTies.Height, NAN);
    ForEachPicturePixel(aTies, projection, grid, [&](size_t aIndex, double aU, double aV) {
        aU = std::clamp(aU, 0.0, grid.Width - 1.0);
        aV = std::clamp(aV, 0.0, grid.Height - 1.0);
        const int i = std::min(static_cast<int>(aU), grid.Width - 2),
                  j = std::min(static_cast<int>(aV), grid.Height - 2);
        const double fx = aU - i, fy = aV - j;
        const float* p = &distance[static_cast<size_t>(j) * grid.Width + i];
        out[aIndex] = static_cast<float>((p[0] * (1 - fx) + p[1] * fx) * (1 - fy) +
                                         (p[grid.Width] * (1 - fx) + p[grid.Width + 1] * fx) * fy);
    });
    return out;
}

std::vector<uint8_t> LandMask(const TMapGrid& aGrid, const TMapProjection& aProjection,
                              const TShores& aShores) {
    const int w = aGrid.Width, h = aGrid.Height;
    if (w < 1 || h < 1 || w > kMaxMapSide || h > kMaxMapSide)
        throw EGeoInputError("land mask refused: grid of " + std::to_string(w) + " x " + std::to_string(h));
    constexpr uint8_t kWater = 0, kLand = 1, kShore = 254, kUnknown = 255;
    std::vector<uint8_t> mask(static_cast<size_t>(w) * h, kUnknown);
    MarkLines(aGrid, aProjection, aShores.Lines(GridBounds(aGrid, aProjection)), mask, kShore);
    // Between the shores every region is all land or all water: one point test per region.
    std::vector<size_t> stack;
    for (size_t start = 0; start < mask.size(); ++start) {
        if (mask[start] != kUnknown) continue;
        const int i0 = static_cast<int>(start % w), j0 = static_cast<int>(start / w);
        double lon, lat;
        const bool land = aProjection.Inverse(aGrid.OriginX + (i0 + 0.5) * aGrid.PixelSizeX,
                                              aGrid.OriginY - (j0 + 0.5) * aGrid.PixelSizeY, lon, lat) &&
                          aShores.IsLand(lat, lon);
        const uint8_t value = land ? kLand : kWater;
        mask[start] = value;
        stack.assign(1, start);
        while (!stack.empty()) {
            const size_t k = stack.back();
            stack.pop_back();
            const int i = static_cast<int>(k % w);
            const size_t next[4] = {i > 0 ? k - 1 : k, i + 1 < w ? k + 1 : k,
                                    k >= static_cast<size_t>(w) ? k - w : k, k + w < mask.size() ? k + w : k};
            for (const size_t n : next)
                if (mask[n] == kUnknown) {
                    mask[n] = value;
                    stack.push_back(n);
                }
        }
    }
    // A pixel under a shore line counts as land when land (not another shore pixel) touches it.
    std::vector<size_t> landShore;
    for (size_t k = 0; k < mask.size(); ++k) {
        if (mask[k] != kShore) continue;
        const int i = static_cast<int>(k % w);
        if ((i > 0 && mask[k - 1] == kLand) || (i + 1 < w && mask[k + 1] == kLand) ||
            (k >= static_cast<size_t>(w) && mask[k - w] == kLand) ||
            (k + w < mask.size() && mask[k + w] == kLand))
            landShore.push_back(k);
    }
    for (uint8_t& m : mask)
        if (m == kShore) m = kWater;
    for (const size_t k : landShore)
        mask[k] = kLand;
    return mask;
}

std::vector<uint8_t> LandMaskOnPicture(const TGeoTiePoints& aTies, const TShores& aShores, double aCellKm) {
    TMapProjection projection;
    const TMapGrid grid = SwathGrid(aTies, aCellKm, 0, projection);
    const std::vector<uint8_t> mask = LandMask(grid, projection, aShores);
    std::vector<uint8_t> out(static_cast<size_t>(aTies.Width) * aTies.Height, kNoEarth);
    ForEachPicturePixel(aTies, projection, grid, [&](size_t aIndex, double aU, double aV) {
        const int i = std::clamp(static_cast<int>(std::lround(aU)), 0, grid.Width - 1);
        const int j = std::clamp(static_cast<int>(std::lround(aV)), 0, grid.Height - 1);
        out[aIndex] = mask[static_cast<size_t>(j) * grid.Width + i];
    });
    return out;
}

TGeoBox GridBounds(const TMapGrid& aGrid, const TMapProjection& aProjection) {
    const double centreLon = CentreLonOfGrid(aGrid, aProjection);
    double west = INFINITY, east = -INFINITY, south = INFINITY, north = -INFINITY;
    constexpr int kSamples = 32;
    for (int a = 0; a <= kSamples; ++a)
        for (int b = 0; b <= kSamples; ++b) {
            const double x = aGrid.OriginX + aGrid.Width * aGrid.PixelSizeX * a / kSamples;
            const double y = aGrid.OriginY - aGrid.Height * aGrid.PixelSizeY * b / kSamples;
            double lon, lat;
            if (!aProjection.Inverse(x, y, lon, lat)) continue;
            lon = aProjection.IsGeographic() ? x : Unwrap(lon, centreLon);
            west = std::min(west, lon);
            east = std::max(east, lon);
            south = std::min(south, lat);
            north = std::max(north, lat);
        }
    TGeoBox box;
    if (!(west <= east)) return box;
    // A pole inside the grid: every longitude, up to the pole.
    for (const double pole : {90.0, -90.0}) {
        double x, y;
        if (aProjection.Forward(0, pole, x, y) && x >= aGrid.OriginX &&
            x <= aGrid.OriginX + aGrid.Width * aGrid.PixelSizeX && y <= aGrid.OriginY &&
            y >= aGrid.OriginY - aGrid.Height * aGrid.PixelSizeY) {
            west = -180;
            east = 180;
            (pole > 0 ? north : south) = pole;
        }
    }
    // The sampling is coarse: widen by one sample spacing's worth of ground.
    const double margin = 1.0;
    box.SouthDeg = std::max(-90.0, south - margin);
    box.NorthDeg = std::min(90.0, north + margin);
    if (east - west + 2 * margin >= 360) return box;
    box.WestDeg = Unwrap(west - margin, 0);
    box.EastDeg = Unwrap(east + margin, 0);
    return box;
}

} // namespace lrptgeo
