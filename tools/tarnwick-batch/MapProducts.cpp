#include "MapProducts.h"

#include "BatchDecoder.h"

#include "PngWriter.h"
#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "maps/GeoErrors.h"
#include "maps/GeoTiffWriter.h"
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
#include <exception>
#include <mutex>
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

// The map with aLines (DrawOverlayLines on its grid) drawn on, as ApplyOverlay draws them, through
// the batch tools' fast writer, row by row without the overlaid copy: the alpha band is dropped, so
// the lines are blended onto black outside the swath (no-data is 0 in every band).
void WriteMapPng(const TMapRaster& aMap, const TMapRaster& aLines, const std::string& aPath) {
    const int w = aMap.Grid.Width;
    const int bands = aMap.Bands;
    WritePngRows(aPath, w, aMap.Grid.Height, false, [&](int aY, uint8_t* aScratch) -> const uint8_t* {
        const uint8_t* row = aMap.Pixels.data() + static_cast<size_t>(aY) * w * bands;
        const uint8_t* lines = aLines.Pixels.data() + static_cast<size_t>(aY) * w * 4;
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = row + x * bands;
            const uint8_t* l = lines + 4 * x;
            const int a = l[3];
            uint8_t* out = aScratch + 3 * x;
            for (int b = 0; b < 3; ++b) {
                // Red, green, blue in, blue, green, red out.
                const int v = bands == 3 ? p[2 - b] : p[0];
                out[b] = static_cast<uint8_t>((v * (255 - a) + l[2 - b] * a + 127) / 255);
            }
        }
        return aScratch;
    });
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

} // namespace

std::vector<std::string> TPassMaps::WriteProducts(const std::array<const TBitmap24*, 6>& aChannels,
                                                  const std::vector<TComposite>& aComposites,
                                                  const std::string& aStem) {
    TState& s = *fState;
    TRegistrationFacts& reg = fFacts.Registration;
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
    const lrptgeo::TScanGeometry geometry(*s.Orbit, s.Parameters);

    struct TProduct {
        std::string Name;
        TPictureView View;
        TUtcTime Start{};
        bool Channel = false;
        TGeoTiePoints Ties;
    };
    std::vector<TProduct> products;
    size_t longest = 0;
    for (size_t i = 0; i < 6; ++i) {
        const TChannelTiming& c = s.Channels[i];
        if (!c.Present || c.Rows <= 0 || !aChannels[i]) continue;
        const int rows = std::min(c.Rows, aChannels[i]->Height());
        if (rows < 2) continue;
        products.push_back({std::to_string(64 + i), GreyView(*aChannels[i], rows), s.Starts[i], true, {}});
        if (products[longest].View.Height < rows) longest = products.size() - 1;
    }
    if (products.empty()) return {};
    for (const TComposite& c : aComposites) {
        if (!c.Picture || c.Picture->Height() < 2) continue;
        // The composite's row 0 is the scan of its latest-starting channel.
        TUtcTime start{};
        bool first = true;
        for (int channel : c.Channels) {
            const TUtcTime t = s.Starts[static_cast<size_t>(channel - 1)];
            if (first || t > start) start = t;
            first = false;
        }
        products.push_back({c.Name, ColourView(*c.Picture, c.Picture->Height()), start, false, {}});
    }
    {
        std::vector<std::function<void()>> tasks;
        for (TProduct& p : products)
            tasks.emplace_back([&p, &geometry] { p.Ties = PictureTies(geometry, p.Start, p.View.Height); });
        // Two threads: the map work shares the machine with nothing else at the end of a pass, and
        // each task holds a map of tens of megabytes.
        RunInOrder(tasks, 2);
    }

    // The facts of the longest channel's picture.
    const TGeoTiePoints& main = products[longest].Ties;
    const double lastCol = main.Width - 1, lastRow = main.Height - 1;
    fFacts.Corners = {InterpolateLatLon(main, 0, 0), InterpolateLatLon(main, lastCol, 0),
                      InterpolateLatLon(main, 0, lastRow), InterpolateLatLon(main, lastCol, lastRow)};
    fFacts.Centre = InterpolateLatLon(main, lastCol / 2, lastRow / 2);

    std::vector<std::string> files;
    try {
        const TMapGrid grid = ChooseMapGrid(main, s.Projection);
        const TMapRaster lines = DrawOverlayLines(grid, s.Projection.Wkt(), s.Projection);
        std::vector<std::function<void()>> tasks;
        // Longest first, so that the two threads end together: the colour maps, then the grey ones.
        std::vector<const TProduct*> order;
        for (const TProduct& p : products)
            if (!p.Channel) order.push_back(&p);
        for (const TProduct& p : products)
            if (p.Channel) order.push_back(&p);
        for (const TProduct* product : order) {
            const TProduct& p = *product;
            const std::string name = aStem + "." + p.Name;
            files.push_back(name + ".map.tif");
            files.push_back(name + ".map.png");
            if (p.Channel) files.push_back(name + ".gcp.tif");
            tasks.emplace_back([&p, &grid, &lines, name, projection = s.Projection] {
                const TMapRaster map = MakeMap(p.View, p.Ties, projection, grid);
                WriteMapGeoTiff(map, name + ".map.tif");
                WriteMapPng(map, lines, name + ".map.png");
            });
            if (p.Channel)
                tasks.emplace_back([&p, name] { WriteGcpGeoTiff(p.View, p.Ties, name + ".gcp.tif"); });
        }
        // Two threads: the map work shares the machine with nothing else at the end of a pass, and
        // each task holds a map of tens of megabytes.
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
    TRegistrationFacts& reg = fFacts.Registration;
    reg = {};
    if (!s.Options.Register) {
        reg.Why = "not attempted (--no-register)";
    } else {
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
                const TRegistrationResult r = lrptgeo::Register(in);
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
    // The composite's row 0 is the scan of its latest-starting channel.
    TUtcTime start{};
    bool first = true;
    for (int channel : aPicture.Channels) {
        const TUtcTime t = s.Starts[static_cast<size_t>(std::clamp(channel, 1, 6) - 1)];
        if (first || t > start) start = t;
        first = false;
    }
    const int rows = aPicture.Picture->Height();
    const TPictureView view = aGrey ? GreyView(*aPicture.Picture, rows) : ColourView(*aPicture.Picture, rows);
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
    const TMapRaster& lines = aProduct.Lines;
    const int w = map.Grid.Width, h = map.Grid.Height, bands = map.Bands;
    TBitmap24 picture(w, h);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = map.Pixels.data() + static_cast<size_t>(y) * w * bands;
        const uint8_t* line = lines.Pixels.data() + static_cast<size_t>(y) * w * 4;
        uint8_t* out = picture.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = row + x * bands;
            const uint8_t* l = line + 4 * x;
            const int a = l[3];
            // As the PNG blends them (WriteMapPng): red, green, blue in, blue, green, red out.
            for (int b = 0; b < 3; ++b) {
                const int v = bands == 3 ? p[2 - b] : p[0];
                out[3 * x + b] = static_cast<uint8_t>((v * (255 - a) + l[2 - b] * a + 127) / 255);
            }
        }
    }
    return picture;
}

std::vector<std::string> WriteMapProduct(const TPassMaps::TMapProduct& aProduct, const std::string& aName) {
    try {
        WriteMapGeoTiff(aProduct.Map, aName + ".map.tif");
        WriteMapPng(aProduct.Map, aProduct.Lines, aName + ".map.png");
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
        c.Timing[i] = {true, first, stage->FirstDayCount(), rows};
        c.Pictures[i] = std::move(copy);
    }
    return c;
}
