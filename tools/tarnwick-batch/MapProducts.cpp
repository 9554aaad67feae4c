#include "MapProducts.h"

#include "BatchDecoder.h"

#include "PngWriter.h"
#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "maps/GeoErrors.h"
#include "maps/GeoTiffWriter.h"
#include "maps/LargeBuffers.h"
#include "maps/MapOverlay.h"
#include "maps/MapProjection.h"
#include "maps/MapRaster.h"
#include "orbit/PassTime.h"
#include "orbit/SatelliteChoice.h"
#include "orbit/Sgp4.h"
#include "registration/Registration.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

using namespace lrptgeo;

namespace {

constexpr int kPictureWidth = kScanColumns;
constexpr double kRowSeconds = kStripDurationS / kRowsPerStrip;

TPictureView GreyView(const TBitmap24& aPicture, int aRows) {
    TPictureView v;
    v.Pixels = aPicture.Bits();
    v.Width = kPictureWidth;
    v.Height = aRows;
    v.Bands = 1;
    v.PixelStride = 3;
    v.RowStride = aPicture.BytesPerLine();
    return v;
}

TPictureView ColourView(const TBitmap24& aPicture, int aRows) {
    TPictureView v = GreyView(aPicture, aRows);
    v.Bands = 3;
    v.Bgr = true;
    return v;
}

// A 3-band map of three 1-band maps on one grid (red, green, blue); a pixel is no-data unless it has
// data in all three.
TMapRaster ZipBands(const TMapRaster& aRed, const TMapRaster& aGreen, const TMapRaster& aBlue) {
    TMapRaster map;
    map.Grid = aRed.Grid;
    map.Bands = 3;
    map.ProjectionWkt = aRed.ProjectionWkt;
    const size_t n = aRed.Pixels.size();
    ReserveLarge(map.Pixels, 3 * n);
    map.Pixels.resize(3 * n);
    const uint8_t *r = aRed.Pixels.data(), *g = aGreen.Pixels.data(), *b = aBlue.Pixels.data();
    uint8_t* out = map.Pixels.data();
    for (size_t k = 0; k < n; ++k, out += 3) {
        const bool data =
            r[k] != TMapRaster::kNoData && g[k] != TMapRaster::kNoData && b[k] != TMapRaster::kNoData;
        out[0] = data ? r[k] : TMapRaster::kNoData;
        out[1] = data ? g[k] : TMapRaster::kNoData;
        out[2] = data ? b[k] : TMapRaster::kNoData;
    }
    return map;
}

// The red, green and blue of a map: one 3-band map, or three 1-band maps of one grid (a grey map
// three times, or a composite's channels).
struct TMapBands {
    const TMapRaster* Band[3];
    int Stride; // bytes from pixel to pixel: 1, or 3 for a 3-band map
    const uint8_t* Row(int aBand, int aY) const {
        const TMapRaster& m = *Band[aBand];
        return m.Pixels.data() + static_cast<size_t>(aY) * m.Grid.Width * Stride + (Stride == 3 ? aBand : 0);
    }
};

// Row aY of aMap with the lines drawn on, red, green, blue.
void OverlaidRow(const TMapBands& aMap, const TOverlayPixels& aLines, int aY, uint8_t* aOut) {
    const int w = aLines.Width;
    if (aMap.Stride == 3) {
        std::memcpy(aOut, aMap.Row(0, aY), 3 * static_cast<size_t>(w));
    } else if (aMap.Band[0] == aMap.Band[1] && aMap.Band[0] == aMap.Band[2]) {
        const uint8_t* grey = aMap.Row(0, aY);
        for (int x = 0; x < w; ++x)
            aOut[3 * x] = aOut[3 * x + 1] = aOut[3 * x + 2] = grey[x];
    } else {
        const uint8_t *r = aMap.Row(0, aY), *g = aMap.Row(1, aY), *b = aMap.Row(2, aY);
        for (int x = 0; x < w; ++x) {
            aOut[3 * x] = r[x];
            aOut[3 * x + 1] = g[x];
            aOut[3 * x + 2] = b[x];
        }
    }
    const size_t y = static_cast<size_t>(aY);
    for (size_t k = aLines.RowStart[y]; k < aLines.RowStart[y + 1]; ++k) {
        uint8_t* out = aOut + 3 * static_cast<size_t>(aLines.X[k]);
        const std::array<uint8_t, 4>& l = aLines.Rgba[k];
        const int a = l[3];
        for (int c = 0; c < 3; ++c)
            out[c] = static_cast<uint8_t>((out[c] * (255 - a) + l[static_cast<size_t>(c)] * a + 127) / 255);
    }
}

// The map with the lines (DrawOverlayLines on its grid) drawn on, as ApplyOverlay draws them, through
// the batch tools' fast writer, row by row without the overlaid copy: the alpha band is dropped, the
// lines are blended onto black where there is no data, and black, which no data pixel and no line
// gives, is the transparent colour: the swath stands on a transparent background, gaps of lost
// scans included.
void WriteMapPng(const TMapBands& aMap, const TOverlayPixels& aLines, const std::string& aPath) {
    WritePngRowsAs(aPath, aLines.Width, aLines.Height, false,
                   [&](int aY, uint8_t* aScratch) -> const uint8_t* {
                       OverlaidRow(aMap, aLines, aY, aScratch);
                       return aScratch;
                   },
                   {.RedFirst = true, .BlackTransparent = true});
}

std::string Trimmed(const std::string& aText) {
    const size_t b = aText.find_first_not_of(" \t");
    const size_t e = aText.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : aText.substr(b, e - b + 1);
}

} // namespace

bool ParseMapOption(const std::vector<std::string>& aArgs, size_t& aIndex, TMapOptions& aOptions) {
    const std::string& a = aArgs[aIndex];
    auto value = [&]() -> const std::string& {
        if (aIndex + 1 >= aArgs.size()) throw std::invalid_argument(a + " needs a value");
        return aArgs[++aIndex];
    };
    if (a == "--tle") {
        aOptions.TleFile = value();
        if (aOptions.TleFile.empty()) throw std::invalid_argument("--tle needs a file name");
    } else if (a == "--satellite") {
        aOptions.Satellite = Trimmed(value());
        if (aOptions.Satellite->empty())
            throw std::invalid_argument("--satellite needs a name or NORAD number");
    } else if (a == "--station") {
        try {
            aOptions.Station = ParseStation(value());
        } catch (const EStationFormatError& e) {
            throw std::invalid_argument(std::string("--station: ") + e.what());
        }
    } else if (a == "--date") {
        const std::string& date = value();
        try {
            ParseIsoDate(date);
        } catch (const ETimeFormatError& e) {
            throw std::invalid_argument(std::string("--date: ") + e.what());
        }
        aOptions.Date = date;
    } else if (a == "--projection") {
        aOptions.Projection = value();
    } else if (a == "--no-register") {
        aOptions.Register = false;
    } else {
        return false;
    }
    return true;
}

void CheckMapOptions(const TMapOptions& o) {
    if (o.Enabled()) return;
    // --date alone still dates the scans in the summaries.
    if (o.Satellite || o.Station || o.Projection != "EPSG:4326" || !o.Register)
        throw std::invalid_argument("--satellite, --station, --projection and --no-register need --tle");
}

std::string MapOptionsUsage() {
    // clang-format off
    return
        "Maps (with --tle):\n"
        "  --tle FILE          element sets (2- or 3-line entries, as published): put the pass on\n"
        "                      the map (.rgb123.map.tif/.map.png ..., .64.map.tif ..., .64.gcp.tif\n"
        "                      ...; rectified pictures north up) and say where it lies in the summary\n"
        "  --satellite S       the entry to use, by name (or a unique part of one) or NORAD number;\n"
        "                      default: the one above --station's horizon, else the file's only Meteor\n"
        "  --station LAT,LON[,ALT]  the receiving station (degrees, km above the ellipsoid)\n"
        "  --date YYYY-MM-DD   the UTC date, only for packets that carry no day count\n"
        "  --projection P      the maps' projection: a PROJ definition or EPSG:n (default EPSG:4326,\n"
        "                      latitude/longitude at about the nadir pixel's spacing)\n"
        "  --no-register       keep the orbit model's timing and attitude, do not fit them to the\n"
        "                      coastlines\n";
    // clang-format on
}

std::vector<std::string> MapProductSuffixes() {
    std::vector<std::string> s;
    for (const std::string name : {"rgb123", "rgb221", "ir", "64", "65", "66", "67", "68", "69"})
        for (const std::string ext : {".map.tif", ".map.png", ".gcp.tif"})
            if (ext != ".gcp.tif" || std::isdigit(static_cast<unsigned char>(name[0])))
                s.push_back('.' + name + ext);
    return s;
}

struct TPassMaps::TState {
    TMapOptions Options;
    std::vector<TTle> Entries;
    TMapProjection Projection;
    std::array<TChannelTiming, 6> Channels{};
    std::array<TUtcTime, 6> Starts{};
    std::optional<TSgp4> Orbit;
    TScanParameters Parameters;
    bool Registered = false; // RegisterOnCoastlines has run

    explicit TState(const TMapOptions& aOptions) : Options(aOptions), Projection(aOptions.Projection) {}
};

TPassMaps::TPassMaps(const TMapOptions& aOptions) {
    try {
        auto state = std::make_unique<TState>(aOptions);
        state->Entries = ReadTleFile(aOptions.TleFile);
        // Without a station the choice does not depend on the pass: a refusal comes now, before
        // the pass is decoded.
        if (!aOptions.Station)
            ChooseSatellite(state->Entries, {aOptions.Satellite, std::nullopt, std::nullopt});
        fState = std::move(state);
    } catch (const ETleError& e) {
        throw EMapError(e.what());
    } catch (const ESatelliteChoiceError& e) {
        throw EMapError(aOptions.TleFile + ": " + e.what());
    } catch (const EGeoError& e) {
        throw EMapError(std::string("--projection: ") + e.what());
    }
    fFacts.Projection = aOptions.Projection;
}

TPassMaps::~TPassMaps() = default;

bool TPassMaps::SetTiming(const std::array<TChannelTiming, 6>& aChannels) {
    TState& s = *fState;
    s.Channels = aChannels;
    int day = 0;
    bool any = false;
    for (const TChannelTiming& c : aChannels) {
        if (!c.Present || c.Rows <= 0) continue;
        any = true;
        if (day == 0) day = c.FirstDayCount;
    }
    if (!any) return false;
    bool first = true;
    for (size_t i = 0; i < 6; ++i) {
        const TChannelTiming& c = aChannels[i];
        if (!c.Present || c.Rows <= 0) continue;
        TStampTime t;
        try {
            t = ResolveStamp(day, c.FirstScanMs, s.Options.Date);
        } catch (const EPassTimeError& e) {
            throw EMapError(std::string("the packets carry no date: give --date YYYY-MM-DD (") + e.what() +
                            ")");
        }
        s.Starts[i] = t.Time;
        const TUtcTime end = AddSeconds(t.Time, (c.Rows - 1) * kRowSeconds);
        if (first || t.Time < fFacts.Start) fFacts.Start = t.Time;
        if (first || end > fFacts.End) fFacts.End = end;
        fFacts.DateSource = DateSourceName(t.Source);
        first = false;
    }
    const TUtcTime middle = AddSeconds(fFacts.Start, SecondsBetween(fFacts.Start, fFacts.End) / 2);
    TSatelliteRequest request;
    request.Satellite = s.Options.Satellite;
    request.Station = s.Options.Station;
    request.PassTime = middle;
    TSatelliteChoice choice;
    try {
        choice = ChooseSatellite(s.Entries, request);
    } catch (const ESatelliteChoiceError& e) {
        throw EMapError(s.Options.TleFile + ": " + e.what());
    }
    const TTle& tle = s.Entries[choice.Index];
    try {
        s.Orbit.emplace(tle);
    } catch (const ESgp4Error& e) {
        throw EMapError(s.Options.TleFile + ": " + tle.DisplayName() + ": " + e.what());
    }
    fFacts.Satellite = tle.DisplayName();
    fFacts.NoradId = tle.NoradId;
    fFacts.ChoiceReason = ChoiceReasonText(choice.Reason);
    fFacts.TleEpoch = FormatIsoUtc(tle.Epoch, 3);
    fFacts.TleAgeDays = TleAgeDays(tle, middle);
    fFacts.TleWarning = TleAgeWarning(tle, middle);
    try {
        const lrptgeo::TScanGeometry geometry(*s.Orbit, s.Parameters);
        fFacts.Northbound = geometry.SubSatellitePoint(fFacts.End).LatitudeDeg >
                            geometry.SubSatellitePoint(fFacts.Start).LatitudeDeg;
        fFacts.Track = geometry.SubSatelliteTrack(fFacts.Start, fFacts.End, 10);
    } catch (const ESgp4Error& e) {
        throw EMapError(s.Options.TleFile + ": " + tle.DisplayName() + ": " + e.what());
    }
    return true;
}

TUtcTime TPassMaps::RowTime(int aChannel, int aRow) const {
    return AddSeconds(fState->Starts[static_cast<size_t>(aChannel - 1)], aRow * kRowSeconds);
}

namespace {

// Tie points of a picture whose row 0 was stamped aStart: one orbit evaluation per tie row.
TGeoTiePoints PictureTies(const lrptgeo::TScanGeometry& aGeometry, TUtcTime aStart, int aRows) {
    std::optional<lrptgeo::TScanGeometry::TRow> row;
    double rowAt = -1;
    return MakeTiePoints(kPictureWidth, aRows, 8, 32, [&](double aCol, double aRow) -> TLatLonDeg {
        if (!row || aRow != rowAt) {
            row = aGeometry.Row(AddSeconds(aStart, aRow * kRowSeconds));
            rowAt = aRow;
        }
        const auto g = aGeometry.Locate(*row, aCol);
        if (!g) return {NAN, NAN};
        return {g->LatitudeDeg, g->LongitudeDeg};
    });
}

// Whether row aRow of channel aChannel (1..6) holds a scan the decoder drew.
bool RowWasDrawn(const std::array<TChannelTiming, 6>& aChannels, int aChannel, int64_t aRow) {
    const TChannelTiming& c = aChannels[static_cast<size_t>(aChannel - 1)];
    return aRow >= 0 && aRow < c.Rows &&
           (c.RowDrawn.empty() ||
            (aRow < static_cast<int64_t>(c.RowDrawn.size()) && c.RowDrawn[static_cast<size_t>(aRow)]));
}

// The start of a composite of channels aSources (1..6): its row 0 is the scan of its
// latest-starting channel.
TUtcTime CompositeStart(const std::array<TUtcTime, 6>& aStarts, const std::array<int, 3>& aSources) {
    TUtcTime start = aStarts[static_cast<size_t>(aSources[0] - 1)];
    for (int channel : aSources)
        start = std::max(start, aStarts[static_cast<size_t>(channel - 1)]);
    return start;
}

// The rows of a picture of aRows rows starting at aStart made of channels aSources that the
// decoder drew in all of them: a composite's row 0 is the scan of its latest-starting channel,
// the others' rows shifted by whole scans, as the composite was put together.
std::vector<uint8_t> PictureRowsDrawn(const std::array<TChannelTiming, 6>& aChannels,
                                      const std::array<TUtcTime, 6>& aStarts,
                                      const std::array<int, 3>& aSources, TUtcTime aStart, int aRows) {
    std::vector<uint8_t> drawn(static_cast<size_t>(std::max(aRows, 0)), 1);
    for (int channel : aSources) {
        const double difference = SecondsBetween(aStarts[static_cast<size_t>(channel - 1)], aStart);
        const int64_t offset = 8 * static_cast<int64_t>(std::nearbyint(difference / (kRowSeconds * 8)));
        for (int r = 0; r < aRows; ++r)
            if (!RowWasDrawn(aChannels, channel, r + offset)) drawn[static_cast<size_t>(r)] = 0;
    }
    return drawn;
}

} // namespace

void TPassMaps::RegisterOnCoastlines(const std::array<const TBitmap24*, 6>& aChannels) {
    if (fState->Registered) return;
    RegisterPictures(aChannels);
}

std::vector<std::string> TPassMaps::WriteProducts(const std::array<const TBitmap24*, 6>& aChannels,
                                                  const std::vector<TComposite>& aComposites,
                                                  const std::string& aStem) {
    RegisterOnCoastlines(aChannels);
    TState& s = *fState;
    const lrptgeo::TScanGeometry geometry(*s.Orbit, s.Parameters);

    // Pictures that start at the same scan and have the same rows share their tie points and the
    // inverse mapping onto the map: both are worked out once per geometry (in a usual pass once for
    // all channels and composites), and the pictures of one geometry are sampled together.
    struct TGeometry {
        TUtcTime Start{};
        int Height = 0;
        TGeoTiePoints Ties;
        std::unique_ptr<TMapSampling> Sampling;
    };
    struct TProduct {
        std::string Name;
        TPictureView View;
        size_t Geometry = 0;
        int Channel = 0;              // 1..6 for a channel picture, 0 for a composite
        std::array<int, 3> Sources{}; // a composite's channels (blue, green, red bytes)
        std::vector<uint8_t> RowDrawn;
        TMapRaster Map;
        // A composite of channels that share its geometry: their maps (red, green, blue), or none.
        std::array<const TMapRaster*, 3> BandMaps{};
    };
    std::vector<TGeometry> geometries;
    auto geometryOf = [&](TUtcTime aStart, int aHeight) {
        for (size_t k = 0; k < geometries.size(); ++k)
            if (geometries[k].Start == aStart && geometries[k].Height == aHeight) return k;
        geometries.push_back({aStart, aHeight, {}, nullptr});
        return geometries.size() - 1;
    };
    std::vector<TProduct> products;
    size_t longest = 0;
    for (size_t i = 0; i < 6; ++i) {
        const TChannelTiming& c = s.Channels[i];
        if (!c.Present || c.Rows <= 0 || !aChannels[i]) continue;
        const int rows = std::min(c.Rows, aChannels[i]->Height());
        if (rows < 2) continue;
        TProduct p;
        p.Name = std::to_string(64 + i);
        p.View = GreyView(*aChannels[i], rows);
        p.Geometry = geometryOf(s.Starts[i], rows);
        p.Channel = static_cast<int>(i + 1);
        p.RowDrawn =
            PictureRowsDrawn(s.Channels, s.Starts, {p.Channel, p.Channel, p.Channel}, s.Starts[i], rows);
        products.push_back(std::move(p));
        if (products[longest].View.Height < rows) longest = products.size() - 1;
    }
    if (products.empty()) return {};
    const size_t channelCount = products.size();
    for (const TComposite& c : aComposites) {
        if (!c.Picture || c.Picture->Height() < 2) continue;
        const TUtcTime start = CompositeStart(s.Starts, c.Channels);
        TProduct p;
        p.Name = c.Name;
        p.View = ColourView(*c.Picture, c.Picture->Height());
        p.Geometry = geometryOf(start, p.View.Height);
        p.Sources = c.Channels;
        p.RowDrawn = PictureRowsDrawn(s.Channels, s.Starts, c.Channels, start, p.View.Height);
        products.push_back(std::move(p));
    }
    for (TProduct& p : products)
        p.View.RowDrawn = p.RowDrawn.data();
    {
        std::vector<std::function<void()>> tasks;
        for (TGeometry& g : geometries)
            tasks.emplace_back([&g, &geometry] { g.Ties = PictureTies(geometry, g.Start, g.Height); });
        RunInOrder(tasks, 2);
    }

    // The facts of the longest channel's picture.
    const TGeoTiePoints& main = geometries[products[longest].Geometry].Ties;
    const double lastCol = main.Width - 1, lastRow = main.Height - 1;
    fFacts.Corners = {InterpolateLatLon(main, 0, 0), InterpolateLatLon(main, lastCol, 0),
                      InterpolateLatLon(main, 0, lastRow), InterpolateLatLon(main, lastCol, lastRow)};
    fFacts.Centre = InterpolateLatLon(main, lastCol / 2, lastRow / 2);

    std::vector<std::string> files;
    try {
        const TMapGrid grid = ChooseMapGrid(main, s.Projection);

        // Which pictures are sampled and which composites are their channels' maps side by side.
        // A composite of channels that share its geometry is made of their maps (bilinear sampling
        // works band by band): without lost rows the channels' maps have data at the same pixels,
        // and its files are written from them straight away; else they are put together, no-data
        // where any channel has none.
        auto channelProduct = [&](int aChannel, size_t aGeometry) -> TProduct* {
            for (size_t k = 0; k < channelCount; ++k)
                if (products[k].Channel == aChannel && products[k].Geometry == aGeometry) return &products[k];
            return nullptr;
        };
        auto complete = [&](int aChannel) {
            for (size_t k = 0; k < channelCount; ++k)
                if (products[k].Channel == aChannel)
                    return std::all_of(products[k].RowDrawn.begin(), products[k].RowDrawn.end(),
                                       [](uint8_t d) { return d != 0; });
            return false;
        };
        std::vector<TProduct*> sampled, gathered;
        for (TProduct& p : products) {
            bool gather = p.Channel == 0 && p.Sources[0] != p.Sources[1];
            for (int channel : p.Sources)
                gather = gather && channelProduct(channel, p.Geometry);
            (gather ? gathered : sampled).push_back(&p);
        }
        for (TProduct* p : gathered)
            if (complete(p->Sources[0]) && complete(p->Sources[1]) && complete(p->Sources[2]))
                for (size_t b = 0; b < 3; ++b)
                    p->BandMaps[b] = &channelProduct(p->Sources[2 - b], p->Geometry)->Map;

        // One list of tasks for two threads (the map work shares the machine with nothing else at
        // the end of a pass), each after what it needs: the inverse mappings, the overlay lines, the
        // maps, the raw pictures with their control points, the map files. RunInOrder hands the
        // tasks out in order, so what a task waits for has started by then.
        std::vector<std::function<void()>> tasks;
        std::deque<TStep> steps; // stable places
        auto step = [&](std::function<void()> aWork) -> TStep& {
            TStep& done = steps.emplace_back();
            tasks.emplace_back([&done, work = std::move(aWork)] { done.Run(work); });
            return done;
        };
        std::vector<TStep*> samplingMade(geometries.size());
        for (size_t g = 0; g < geometries.size(); ++g)
            samplingMade[g] = &step([&geometry = geometries[g], &grid, &s] {
                geometry.Sampling = std::make_unique<TMapSampling>(geometry.Ties, s.Projection, grid);
            });
        std::optional<TOverlayPixels> lines;
        TStep& linesDrawn = step([&] { lines.emplace(DrawOverlayPixels(grid, s.Projection)); });

        // The sampled maps in two batches per geometry, one per thread, each sampled in one pass. A
        // pass costs about the same whatever its bands; writing and first touching the maps is what
        // differs: the bands are shared out evenly, the colour pictures first.
        std::stable_sort(sampled.begin(), sampled.end(),
                         [](const TProduct* a, const TProduct* b) { return a->View.Bands > b->View.Bands; });
        std::vector<std::array<std::vector<TProduct*>, 2>> batches(geometries.size());
        std::vector<std::array<int, 2>> weights(geometries.size(), {0, 0});
        for (TProduct* p : sampled) {
            std::array<int, 2>& w = weights[p->Geometry];
            const int lighter = w[0] <= w[1] ? 0 : 1;
            batches[p->Geometry][static_cast<size_t>(lighter)].push_back(p);
            w[static_cast<size_t>(lighter)] += p->View.Bands;
        }
        auto indexOf = [&](const TProduct& aProduct) {
            return static_cast<size_t>(&aProduct - products.data());
        };
        std::vector<TStep*> mapMade(products.size(), nullptr);
        for (size_t g = 0; g < geometries.size(); ++g)
            for (const std::vector<TProduct*>& batch : batches[g]) {
                if (batch.empty()) continue;
                TStep& made = step([&batch, &geometry = geometries[g], &sampling = *samplingMade[g]] {
                    sampling.Wait();
                    std::vector<TPictureView> views;
                    for (const TProduct* p : batch)
                        views.push_back(p->View);
                    std::vector<TMapRaster> maps = geometry.Sampling->Apply(views);
                    for (size_t k = 0; k < batch.size(); ++k)
                        batch[k]->Map = std::move(maps[k]);
                });
                for (const TProduct* p : batch)
                    mapMade[indexOf(*p)] = &made;
            }
        // A product's map is there once these steps are done.
        auto mapSteps = [&](const TProduct& p) {
            std::vector<TStep*> needs;
            if (p.Channel == 0 && (p.BandMaps[0] || !mapMade[indexOf(p)]))
                for (int channel : p.Sources)
                    needs.push_back(mapMade[indexOf(*channelProduct(channel, p.Geometry))]);
            else
                needs.push_back(mapMade[indexOf(p)]);
            return needs;
        };
        for (TProduct* p : gathered)
            if (!p->BandMaps[0])
                mapMade[indexOf(*p)] = &step([p, needs = mapSteps(*p), &channelProduct] {
                    for (TStep* n : needs)
                        n->Wait();
                    p->Map = ZipBands(channelProduct(p->Sources[2], p->Geometry)->Map,
                                      channelProduct(p->Sources[1], p->Geometry)->Map,
                                      channelProduct(p->Sources[0], p->Geometry)->Map);
                });
        for (size_t k = 0; k < channelCount; ++k)
            step([&p = products[k], &geometries, file = aStem + "." + products[k].Name + ".gcp.tif"] {
                WriteGcpGeoTiff(p.View, geometries[p.Geometry].Ties, file);
            });

        // The map files. A composite of channels' maps takes its GeoTIFF's compressed tiles from
        // theirs, so its GeoTIFF comes after theirs, last; the others longest first, so that the two
        // threads end together: the colour maps' files, then the channels'.
        std::vector<const TProduct*> order;
        for (const TProduct& p : products)
            if (p.Channel == 0) order.push_back(&p);
        for (const TProduct& p : products)
            if (p.Channel != 0) order.push_back(&p);
        for (const TProduct* p : order) {
            const std::string name = aStem + "." + p->Name;
            files.push_back(name + ".map.tif");
            files.push_back(name + ".map.png");
            if (p->Channel != 0) files.push_back(name + ".gcp.tif");
        }
        std::vector<TStep*> tifWritten(products.size(), nullptr);
        auto tifTask = [&](const TProduct& p) {
            std::array<TStep*, 3> channelTifs{};
            if (p.BandMaps[0])
                for (size_t b = 0; b < 3; ++b)
                    channelTifs[b] = tifWritten[indexOf(*channelProduct(p.Sources[2 - b], p.Geometry))];
            tifWritten[indexOf(p)] = &step([&p, needs = mapSteps(p), channelTifs, &channelProduct, &aStem] {
                for (TStep* n : needs)
                    n->Wait();
                const std::string file = aStem + "." + p.Name + ".map.tif";
                if (!p.BandMaps[0]) return WriteMapGeoTiff(p.Map, file);
                std::array<std::string, 3> bandFiles; // red, green, blue: the channels of the blue,
                for (size_t b = 0; b < 3; ++b) {      // green, red bytes backwards
                    channelTifs[b]->Finish();         // a failed one is compressed again here
                    bandFiles[b] =
                        aStem + "." + channelProduct(p.Sources[2 - b], p.Geometry)->Name + ".map.tif";
                }
                WriteMapGeoTiff(*p.BandMaps[0], *p.BandMaps[1], *p.BandMaps[2], bandFiles, file);
            });
        };
        auto pngTask = [&](const TProduct& p) {
            step([&p, needs = mapSteps(p), &linesDrawn, &lines, file = aStem + "." + p.Name + ".map.png"] {
                for (TStep* n : needs)
                    n->Wait();
                linesDrawn.Wait();
                const TMapBands bands = p.BandMaps[0]
                                            ? TMapBands{{p.BandMaps[0], p.BandMaps[1], p.BandMaps[2]}, 1}
                                            : TMapBands{{&p.Map, &p.Map, &p.Map}, p.Map.Bands};
                WriteMapPng(bands, *lines, file);
            });
        };
        // A GeoTIFF and a PNG at a time: two of one kind at once slow each other down (by a fifth).
        std::vector<const TProduct*> tifs;
        for (const TProduct* p : order)
            if (!p->BandMaps[0]) tifs.push_back(p);
        for (size_t k = 0; k < std::max(tifs.size(), order.size()); ++k) {
            if (k < tifs.size()) tifTask(*tifs[k]);
            if (k < order.size()) pngTask(*order[k]);
        }
        for (const TProduct* p : order)
            if (p->BandMaps[0]) tifTask(*p);
        RunInOrder(tasks, 2);
    } catch (const EGeoError& e) {
        throw std::runtime_error(e.what());
    }
    fFacts.MapFiles = files;
    return files;
}

std::string GeolocationSummary(const TGeolocation& g) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(1);
    s << "satellite " << g.Satellite << " (NORAD " << g.NoradId << ", " << g.ChoiceReason << "), elements of "
      << g.TleEpoch << ", " << g.TleAgeDays << " days before the pass\n";
    if (!g.TleWarning.empty()) s << "warning: " << g.TleWarning << "\n";
    s << "pass " << FormatIsoUtc(g.Start, 3) << " to " << FormatIsoUtc(g.End, 3) << " UTC (date from "
      << g.DateSource << "), " << (g.Northbound ? "northbound" : "southbound");
    s.precision(2);
    if (g.Centre) s << ", centre " << g.Centre->LatDeg << ", " << g.Centre->LonDeg;
    s << "\n";
    const TRegistrationFacts& r = g.Registration;
    s << "registration: ";
    if (!r.Attempted) {
        s << r.Why;
    } else {
        s << (r.Applied ? "applied" : "not applied") << " (channel " << r.Channel << "): " << r.Why;
        s.precision(2);
        s << "; residual " << r.ResidualKm << " km, confidence " << r.Confidence;
    }
    s.precision(2);
    s << "; time offset " << r.TimeOffsetS << " s, roll " << r.RollDeg << " deg\n";
    s << "maps in " << g.Projection << "\n";
    return s.str();
}

void TPassMaps::RegisterPictures(const std::array<const TBitmap24*, 6>& aChannels) {
    TState& s = *fState;
    s.Registered = true;
    TRegistrationFacts& reg = fFacts.Registration;
    reg = {};
    if (!s.Options.Register) {
        reg.Why = "not attempted (--no-register)";
    } else {
        // Land and water differ most in the near infrared, else in the thermal infrared.
        for (int channel : {2, 5, 4}) {
            const size_t i = static_cast<size_t>(channel - 1);
            if (!s.Channels[i].Present || !aChannels[i] ||
                std::min(s.Channels[i].Rows, aChannels[i]->Height()) < 8)
                continue;
            try {
                const TShores shores;
                TRegistrationInput in;
                in.Rows = std::min(s.Channels[i].Rows, aChannels[i]->Height());
                in.Picture = GreyView(*aChannels[i], in.Rows);
                in.RowTime = [this, channel](int aRow) { return RowTime(channel, aRow); };
                in.Orbit = &*s.Orbit;
                in.Start = s.Parameters;
                in.Shores = &shores;
                const TRegistrationResult r = Register(in);
                reg.Attempted = true;
                reg.Channel = channel;
                reg.Confident = r.Confident;
                reg.Applied = r.Confident;
                reg.ResidualKm = r.ResidualKm;
                reg.ResidualStartKm = r.ResidualStartKm;
                reg.Confidence = r.Confidence;
                reg.EdgesUsed = r.EdgesUsed;
                reg.Why = r.Why;
                if (r.Confident) s.Parameters = r.Fitted;
            } catch (const EGeoError& e) {
                reg.Why = std::string("not attempted: ") + e.what();
            }
            break;
        }
        if (!reg.Attempted && reg.Why.empty()) reg.Why = "not attempted: no channel 2, 5 or 4 in the pass";
    }
    reg.TimeOffsetS = s.Parameters.TimeOffsetS;
    reg.RollDeg = s.Parameters.RollDeg;
}

TPassMaps::TMapProduct TPassMaps::MakeMapProduct(const TComposite& aPicture, bool aGrey) const {
    const TState& s = *fState;
    if (!s.Orbit) throw EMapError("the pass has no timing yet: nothing to put on the map");
    if (!aPicture.Picture || aPicture.Picture->Height() < 2)
        throw EMapError("the picture has fewer than 2 rows: nothing to put on the map");
    std::array<int, 3> sources = aPicture.Channels;
    for (int& channel : sources)
        channel = std::clamp(channel, 1, 6);
    const TUtcTime start = CompositeStart(s.Starts, sources);
    const int rows = aPicture.Picture->Height();
    TPictureView view = aGrey ? GreyView(*aPicture.Picture, rows) : ColourView(*aPicture.Picture, rows);
    // Rows of lost scans are no-data on the map, as in the files the tools write.
    const std::vector<uint8_t> drawn = PictureRowsDrawn(s.Channels, s.Starts, sources, start, rows);
    view.RowDrawn = drawn.data();
    try {
        const lrptgeo::TScanGeometry geometry(*s.Orbit, s.Parameters);
        const TGeoTiePoints ties = PictureTies(geometry, start, rows);
        const TMapGrid grid = ChooseMapGrid(ties, s.Projection);
        TMapProduct product;
        product.Map = MakeMap(view, ties, s.Projection, grid);
        product.Lines = DrawOverlayLines(grid, s.Projection.Wkt(), s.Projection);
        return product;
    } catch (const EGeoError& e) {
        throw EMapError(e.what());
    } catch (const ESgp4Error& e) {
        throw EMapError(s.Options.TleFile + ": " + e.what());
    }
}

TBitmap24 MapPicture(const TPassMaps::TMapProduct& aProduct) {
    const TMapRaster& map = aProduct.Map;
    const TMapBands bands{{&map, &map, &map}, map.Bands};
    const TOverlayPixels lines = OverlayPixelsOf(aProduct.Lines);
    TBitmap24 picture(map.Grid.Width, map.Grid.Height);
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(map.Grid.Width));
    for (int y = 0; y < map.Grid.Height; ++y) {
        // As the PNG has it, red first; the picture holds blue, green, red.
        OverlaidRow(bands, lines, y, rgb.data());
        uint8_t* out = picture.ScanLine(y);
        for (size_t x = 0; x < rgb.size(); x += 3) {
            out[x] = rgb[x + 2];
            out[x + 1] = rgb[x + 1];
            out[x + 2] = rgb[x];
        }
    }
    return picture;
}

std::vector<std::string> WriteMapProduct(const TPassMaps::TMapProduct& aProduct, const std::string& aName) {
    try {
        const TMapRaster& map = aProduct.Map;
        WriteMapGeoTiff(map, aName + ".map.tif");
        WriteMapPng({{&map, &map, &map}, map.Bands}, OverlayPixelsOf(aProduct.Lines), aName + ".map.png");
    } catch (const EGeoError& e) {
        throw std::runtime_error(e.what());
    }
    return {aName + ".map.tif", aName + ".map.png"};
}

std::array<const TBitmap24*, 6> TSessionChannels::Views() const {
    std::array<const TBitmap24*, 6> views{};
    for (size_t i = 0; i < 6; ++i)
        views[i] = Pictures[i].get();
    return views;
}

bool TSessionChannels::Dated() const {
    for (const TChannelTiming& t : Timing)
        if (t.Present && t.Rows > 0 && t.FirstDayCount != 0) return true;
    return false;
}

TSessionChannels SnapshotChannels(const std::array<TCanalDrawThread*, 6>& aStages) {
    TSessionChannels c;
    for (size_t i = 0; i < 6; ++i) {
        TCanalDrawThread* stage = aStages[i];
        if (!stage) continue;
        std::lock_guard<TCriticalSection> lock(stage->CS());
        const TBitmap24* source = stage->Picture();
        const int32_t first = stage->FirstScanTime();
        const int rows = source ? std::min<int>(stage->LineCount(), source->Height()) : 0;
        if (first < 0 || rows <= 0) continue;
        auto copy = std::make_shared<TBitmap24>(kPictureWidth, rows);
        for (int y = 0; y < rows; ++y)
            std::copy_n(source->ScanLine(y), 3 * kPictureWidth, copy->ScanLine(y));
        c.Timing[i] = {true, first, stage->FirstDayCount(), rows, stage->RowsDrawn()};
        c.Pictures[i] = std::move(copy);
    }
    return c;
}
