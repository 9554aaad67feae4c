// The pass on the map, for both batch tools: the orbit from an element set file, the time of every
// picture row from the packets, north-up GeoTIFF and PNG maps with coastlines, GCP GeoTIFFs of the
// raw channel pictures, and the facts pass.json and the summaries report.
#pragma once

#include "maps/GeoTiePoints.h"
#include "maps/MapRaster.h"
#include "orbit/LookAngles.h"
#include "orbit/ScanGeometry.h"
#include "orbit/Tle.h"
#include "orbit/UtcTime.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class TBitmap24;
class TCanalDrawThread;

// The map options of a command line.
struct TMapOptions {
    std::string TleFile;                      // --tle: empty, no map products
    std::optional<std::string> Satellite;     // --satellite NAME|NORAD
    std::optional<lrptgeo::TStation> Station; // --station LAT,LON[,ALT]
    std::optional<std::string> Date;          // --date YYYY-MM-DD, used only where the packets carry no day
    std::string Projection = "EPSG:4326";     // --projection
    bool Register = true;                     // --no-register: the orbit model alone
    bool Enabled() const { return !TleFile.empty(); }
};

// When aArgs[aIndex] is one of the map options, reads it (and its value, advancing aIndex) into
// aOptions and returns true; false for any other argument. Throws std::invalid_argument with a
// one-line message for a missing or malformed value.
bool ParseMapOption(const std::vector<std::string>& aArgs, size_t& aIndex, TMapOptions& aOptions);
// Throws std::invalid_argument when map options are given without --tle.
void CheckMapOptions(const TMapOptions& aOptions);
// The options' lines for a usage text.
std::string MapOptionsUsage();

// A refusal of the map work (unreadable element set, no such satellite, no date for the packets):
// one line naming the file or option to blame.
class EMapError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the drawing stages know of a channel.
struct TChannelTiming {
    bool Present = false;
    int32_t FirstScanMs = -1;  // ms of the day of the first strip's stamp
    int32_t FirstDayCount = 0; // 0: the packets carry none
    int32_t Rows = 0;
    // Per picture row (Rows of them): 0 where the decoder never drew the row (a lost scan), which
    // the maps then show as no-data. Empty: every row drawn.
    std::vector<uint8_t> RowDrawn;
};

struct TRegistrationFacts {
    bool Attempted = false; // false: --no-register, or no channel to register on
    bool Confident = false;
    bool Applied = false;
    double TimeOffsetS = 0, RollDeg = 0; // the parameters used for the maps
    double ResidualKm = 0, ResidualStartKm = 0, Confidence = 0;
    int EdgesUsed = 0;
    int Channel = 0; // the channel registered on
    std::string Why;
};

// Everything pass.json's "geolocation" and the summaries say.
struct TGeolocation {
    std::string Satellite;
    int NoradId = 0;
    std::string ChoiceReason;
    std::string TleEpoch; // ISO-8601 UTC
    double TleAgeDays = 0;
    std::string TleWarning; // empty unless the element set lies more than 14 days from the pass
    std::string DateSource; // "packets" or "--date"
    lrptgeo::TUtcTime Start{}, End{};
    bool Northbound = false;
    // Picture corners (first row: column 0 and the last column, then the last row) and centre.
    std::array<std::optional<lrptgeo::TLatLonDeg>, 4> Corners;
    std::optional<lrptgeo::TLatLonDeg> Centre;
    std::vector<lrptgeo::TTrackPoint> Track; // every 10 s
    TRegistrationFacts Registration;
    std::string Projection;
    std::vector<std::string> MapFiles;
};

// The pass's geolocation, from the element sets and the drawing stages' timing. Construction
// chooses the satellite and fixes the scan geometry (registration included, once the pictures are
// given); WriteProducts then writes the maps.
class TPassMaps {
  public:
    // Reads the element set file and checks the projection, so that a bad one is refused before
    // any decoding. Throws EMapError.
    explicit TPassMaps(const TMapOptions& aOptions);
    ~TPassMaps();
    TPassMaps(const TPassMaps&) = delete;
    TPassMaps& operator=(const TPassMaps&) = delete;

    // The channels' timing once the stages have ended: resolves the date, chooses the satellite
    // and finds the direction. Throws EMapError; false when no channel has rows (nothing to map).
    bool SetTiming(const std::array<TChannelTiming, 6>& aChannels);
    // UTC time of row aRow of channel aChannel (1..6), stamped (no attitude offset).
    lrptgeo::TUtcTime RowTime(int aChannel, int aRow) const;
    bool Northbound() const { return fFacts.Northbound; }

    // Fits the time offset and roll to the coastlines on channel 2, 5 or 4 of aChannels (as
    // WriteProducts takes them; unless --no-register), once: WriteProducts calls it when nobody has.
    // Only reads the pictures, so it may run while other files are written from them; call it after
    // SetTiming and not during WriteProducts.
    void RegisterOnCoastlines(const std::array<const TBitmap24*, 6>& aChannels);

    // The pictures: channel i (1..6) and the named composites (channels given by number), all
    // 1568 pixels wide, blue-green-red, rows as the stages drew them. Registers (unless
    // --no-register) and writes every map product; returns the files written. Throws
    // std::runtime_error naming the file on a write error.
    struct TComposite {
        std::string Name; // "rgb123", ...
        std::array<int, 3> Channels{};
        const TBitmap24* Picture = nullptr;
    };
    std::vector<std::string> WriteProducts(const std::array<const TBitmap24*, 6>& aChannels,
                                           const std::vector<TComposite>& aComposites,
                                           const std::string& aStem);

    // For a window, which shows one map at a time instead of writing them all. After SetTiming:
    // fits the scan geometry to the coastlines on the pictures (aChannels as for WriteProducts)
    // as RegisterOnCoastlines does, but every time it is called (the window's pictures grow).
    // Facts().Registration tells how it went; later maps use the fitted geometry when confident.
    void RegisterPictures(const std::array<const TBitmap24*, 6>& aChannels);
    // After SetTiming (and RegisterPictures, else with the model's geometry): the map of one
    // picture in memory, on a grid that just holds its footprint. aGrey maps the first byte of
    // every pixel (a channel, or a composite of one channel thrice), else blue, green and red.
    // Throws EMapError for a picture of fewer than 2 rows, one the projection or the grid refuses,
    // or coastline files that cannot be read.
    struct TMapProduct {
        lrptgeo::TMapRaster Map;   // north up, grey or red-green-blue, no-data outside the swath
        lrptgeo::TMapRaster Lines; // coastlines, borders and grid on Map's grid, red-green-blue-alpha
    };
    TMapProduct MakeMapProduct(const TComposite& aPicture, bool aGrey) const;

    const TGeolocation& Facts() const { return fFacts; }

  private:
    struct TState;
    std::unique_ptr<TState> fState;
    TGeolocation fFacts;
};

// The map products' suffixes after the stem, for removing an earlier run's files.
std::vector<std::string> MapProductSuffixes();

// The facts as summary lines ("geolocation: ...").
std::string GeolocationSummary(const TGeolocation& aFacts);

// The map as its PNG shows it: the lines blended on, black outside the swath; blue, green, red.
TBitmap24 MapPicture(const TPassMaps::TMapProduct& aProduct);
// Writes aName + ".map.tif" and aName + ".map.png" as WriteProducts writes a pass's maps and
// returns the two names. Throws std::runtime_error naming the file on a write error.
std::vector<std::string> WriteMapProduct(const TPassMaps::TMapProduct& aProduct, const std::string& aName);

// A decoding session's channels as the map work needs them, taken from drawing stages that may
// still be drawing: each picture's drawn rows (CompositeWidth columns) copied under its stage's
// lock, with the timing read under the same lock. A null stage or one with nothing drawn gives a
// channel that is not present and has no picture.
struct TSessionChannels {
    std::array<TChannelTiming, 6> Timing{};
    std::array<std::shared_ptr<const TBitmap24>, 6> Pictures{};
    std::array<const TBitmap24*, 6> Views() const;
    // Whether some present channel carries a day count (else the pass cannot be dated).
    bool Dated() const;
};
TSessionChannels SnapshotChannels(const std::array<TCanalDrawThread*, 6>& aStages);
