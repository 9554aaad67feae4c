// lrpt-decode --tle end to end on the real pass's frames: the maps read back through GDAL, the pass
// registered on the coastlines (also with every time stamp moved), the satellite choices and
// refusals, and the dates and times pass.json gives.
#include "Synthesizer.h"

#include "../../geo/GeoTiffFacts.h"
#include "../TestFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

const std::string kTle = std::string(LRPT_SOURCE_DIR) + "/data/tle/weather-2026-06-19.txt";

struct TRun {
    int Status = -1;
    std::string Output;
    fs::path Dir;
    Json Pass;
};

std::string Quote(const std::string& aText) {
    return "'" + aText + "'";
}

// Decodes aSymbols into aDir with aOptions; reads pass.json when there is one.
TRun Decode(const fs::path& aSymbols, const fs::path& aDir, const std::string& aOptions) {
    TRun r;
    r.Dir = aDir;
    const std::string command = Quote(LRPT_DECODE) + " -q " + aOptions + " --out " + Quote(aDir.string()) +
                                " " + Quote(aSymbols.string()) + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        r.Output.append(buffer.data(), n);
    const int status = pclose(pipe);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(aDir / "pass.json");
    if (in) r.Pass = Json::parse(in);
    return r;
}

fs::path SymbolFile(const fs::path& aDir, const std::string& aName, lrptsynth::SynthOptions aOptions) {
    const lrptsynth::Recording rec = lrptsynth::synthesize(aOptions);
    const fs::path path = aDir / aName;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(rec.bytes.data()),
               static_cast<std::streamsize>(rec.bytes.size()));
    return path;
}

lrptsynth::SynthOptions RealFrames(double aShiftS = 0) {
    lrptsynth::SynthOptions o;
    o.cadus = lrptsynth::readCaduFile(LRPT_REAL_CADU);
    o.timeShiftS = aShiftS;
    o.seed = 7;
    return o;
}

class PassOnTheMap : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        fDir = TestFolder("lrpt_decode_maps", "pass");
        fReal = SymbolFile(fDir, "real.s", RealFrames());
        fRun = Decode(fReal, fDir / "real", "--tle " + Quote(kTle));
    }
    static fs::path fDir, fReal;
    static TRun fRun;
};
fs::path PassOnTheMap::fDir, PassOnTheMap::fReal;
TRun PassOnTheMap::fRun;

TEST_F(PassOnTheMap, MapsAreNorthUpGeoTiffsAndTheRawChannelsCarryControlPoints) {
    ASSERT_EQ(fRun.Status, 0) << fRun.Output;
    const fs::path stem = fRun.Dir / "real";
    for (const char* product : {"rgb123", "rgb221", "64", "65", "66"}) {
        SCOPED_TRACE(product);
        const TTiff map = ReadTiff(stem.string() + "." + product + ".map.tif");
        ASSERT_TRUE(map.Opened);
        EXPECT_EQ(map.Bands, product[0] == 'r' ? 3 : 1);
        ASSERT_TRUE(map.HasTransform);
        // North up: no rotation terms, y falling down the rows.
        EXPECT_EQ(map.Transform[2], 0);
        EXPECT_EQ(map.Transform[4], 0);
        EXPECT_LT(map.Transform[5], 0);
        EXPECT_TRUE(map.Geographic);
        EXPECT_EQ(map.Authority, "4326");
        EXPECT_TRUE(map.NoData);
        // About the nadir pixel's ground spacing (1 km, 0.009 degrees of latitude).
        EXPECT_NEAR(-map.Transform[5], 0.009, 0.003);
        EXPECT_TRUE(fs::exists(stem.string() + "." + product + ".map.png"));
    }
    // The pass lies over the western Mediterranean: the map holds Corsica (42.2 N, 9.1 E).
    const TTiff map = ReadTiff(stem.string() + ".rgb123.map.tif");
    const double x = (9.1 - map.Transform[0]) / map.Transform[1],
                 y = (42.2 - map.Transform[3]) / map.Transform[5];
    EXPECT_GT(x, 0);
    EXPECT_LT(x, map.Width);
    EXPECT_GT(y, 0);
    EXPECT_LT(y, map.Height);
    for (int i = 0; i < 3; ++i) {
        const TTiff gcp = ReadTiff(stem.string() + "." + std::to_string(64 + i) + ".gcp.tif");
        ASSERT_TRUE(gcp.Opened) << i;
        EXPECT_GT(gcp.Gcps, 100) << i;
        EXPECT_EQ(gcp.Width, 1568);
        EXPECT_EQ(gcp.Height, fRun.Pass["scans"]["channels"][size_t(i)]["lines"].get<int>()) << i;
    }
    // Every map file is listed, and the channels 4 to 6 the pass lacks are not mapped.
    const Json& files = fRun.Pass["geolocation"]["map_files"];
    EXPECT_EQ(files.size(), 3u * 3 + 2u * 2);
    EXPECT_FALSE(fs::exists(stem.string() + ".67.map.tif"));
    EXPECT_FALSE(fs::exists(stem.string() + ".ir.map.tif"));
}

TEST_F(PassOnTheMap, RegisteredOnTheCoastlinesWithinTwoKilometres) {
    ASSERT_EQ(fRun.Status, 0) << fRun.Output;
    const Json& g = fRun.Pass["geolocation"];
    EXPECT_EQ(g["satellite"], "METEOR-M2 4");
    EXPECT_EQ(g["norad"], 59051);
    EXPECT_EQ(g["direction"], "northbound");
    EXPECT_NEAR(g["tle_age_days"].get<double>(), 0.71, 0.01);
    EXPECT_TRUE(g["tle_warning"].is_null());
    const Json& r = g["registration"];
    EXPECT_TRUE(r["applied"].get<bool>()) << r.dump();
    EXPECT_EQ(r["channel"], 2);
    EXPECT_LE(r["residual_km"].get<double>(), 2.0);
    EXPECT_LE(r["residual_km"].get<double>(), r["residual_model_km"].get<double>());
    EXPECT_NEAR(r["time_offset_s"].get<double>(), -0.6, 1.0);
    // The sub-satellite track every 10 s over the pass, going north.
    const Json& track = g["track"];
    ASSERT_GE(track.size(), 12u);
    EXPECT_EQ(track[0]["utc"], g["start_utc"]);
    EXPECT_GT(track[track.size() - 1]["lat"].get<double>(), track[0]["lat"].get<double>() + 5);
    // The centre lies near the track's middle, the corners on either side of it.
    const Json& mid = track[track.size() / 2];
    EXPECT_NEAR(g["centre"]["lat"].get<double>(), mid["lat"].get<double>(), 1.0);
    EXPECT_NEAR(g["centre"]["lon"].get<double>(), mid["lon"].get<double>(), 1.5);
    // Column 0 is east on a northbound pass.
    EXPECT_GT(g["corners"]["first_row_column_0"]["lon"].get<double>(), mid["lon"].get<double>() + 10);
    EXPECT_LT(g["corners"]["first_row_last_column"]["lon"].get<double>(), mid["lon"].get<double>() - 10);
}

TEST_F(PassOnTheMap, EveryTimeStampTwentySecondsLateIsFoundAndReported) {
    ASSERT_EQ(fRun.Status, 0) << fRun.Output;
    const fs::path shifted = SymbolFile(fDir, "late.s", RealFrames(20));
    const TRun late = Decode(shifted, fDir / "late", "--tle " + Quote(kTle));
    ASSERT_EQ(late.Status, 0) << late.Output;
    // The parity was remade: no frame lost to the changed bytes.
    EXPECT_EQ(late.Pass["frames"]["rs_failed_words"], 0);
    EXPECT_EQ(late.Pass["frames"]["passed_on"], fRun.Pass["frames"]["passed_on"]);
    EXPECT_EQ(late.Pass["scans"]["start_utc"], "2026-06-20T13:37:26.785Z");
    const Json& r = late.Pass["geolocation"]["registration"];
    EXPECT_TRUE(r["applied"].get<bool>()) << r.dump();
    EXPECT_LE(r["residual_km"].get<double>(), 2.0);
    EXPECT_NEAR(r["time_offset_s"].get<double>() -
                    fRun.Pass["geolocation"]["registration"]["time_offset_s"].get<double>(),
                -20, 0.3);
}

TEST_F(PassOnTheMap, AnotherOrbitIsNotRegisteredAndSaysSo) {
    const TRun other = Decode(fReal, fDir / "noaa", "--tle " + Quote(kTle) + " --satellite 'noaa 19'");
    ASSERT_EQ(other.Status, 0) << other.Output;
    const Json& g = other.Pass["geolocation"];
    EXPECT_EQ(g["norad"], 33591);
    EXPECT_EQ(g["chosen"].get<std::string>().find("name") != std::string::npos, true) << g["chosen"];
    const Json& r = g["registration"];
    EXPECT_TRUE(r["attempted"].get<bool>());
    EXPECT_FALSE(r["confident"].get<bool>());
    EXPECT_FALSE(r["applied"].get<bool>());
    EXPECT_FALSE(r["why"].get<std::string>().empty());
    // The model's values are kept.
    EXPECT_DOUBLE_EQ(r["time_offset_s"].get<double>(), -0.6);
}

TEST_F(PassOnTheMap, ProjectionAsProjTextAndAsEpsgCode) {
    const TRun polar =
        Decode(fReal, fDir / "polar",
               "--tle " + Quote(kTle) + " --no-register --projection '+proj=stere +lat_0=90 +lon_0=10'");
    ASSERT_EQ(polar.Status, 0) << polar.Output;
    const TTiff p = ReadTiff(fDir / "polar" / "real.64.map.tif");
    ASSERT_TRUE(p.Opened && p.HasTransform);
    EXPECT_FALSE(p.Geographic);
    EXPECT_LT(p.Transform[5], 0);
    EXPECT_NEAR(p.Transform[1], 1000, 400); // metres, about the nadir spacing
    EXPECT_EQ(polar.Pass["geolocation"]["registration"]["why"], "not attempted (--no-register)");

    const TRun utm =
        Decode(fReal, fDir / "utm", "--tle " + Quote(kTle) + " --no-register --projection EPSG:32632");
    ASSERT_EQ(utm.Status, 0) << utm.Output;
    const TTiff u = ReadTiff(fDir / "utm" / "real.rgb123.map.tif");
    ASSERT_TRUE(u.Opened);
    EXPECT_FALSE(u.Geographic);
    EXPECT_EQ(u.Authority, "32632");

    const TRun bad = Decode(fReal, fDir / "bad", "--tle " + Quote(kTle) + " --projection '+proj=nonesuch'");
    EXPECT_EQ(bad.Status, 1);
    EXPECT_NE(bad.Output.find("+proj=nonesuch"), std::string::npos) << bad.Output;
    EXPECT_FALSE(fs::exists(fDir / "bad" / "real.64.png")); // refused before decoding
}

TEST_F(PassOnTheMap, SatelliteByNumberOrStationAndRefusals) {
    // Two Meteors in one file: the station decides, a number picks.
    const fs::path two = fDir / "two.txt";
    {
        std::ifstream in(kTle);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(two) << text << "METEOR-M2 3\n"
                           << "1 57166U 23091A   26170.50000000  .00000010  00000+0  25000-4 0  9992\n"
                           << "2 57166  98.6500  40.0000 0004000  90.0000 270.0000 14.23900000150006\n";
    }
    const TRun ambiguous = Decode(fReal, fDir / "ambiguous", "--tle " + Quote(two.string()));
    EXPECT_EQ(ambiguous.Status, 1);
    for (const char* name : {"NOAA 19", "METEOR-M2 4", "METEOR-M2 3"})
        EXPECT_NE(ambiguous.Output.find(name), std::string::npos) << ambiguous.Output;

    const TRun station = Decode(fReal, fDir / "station",
                                "--tle " + Quote(two.string()) + " --no-register --station 45.5,9.2,0.1");
    ASSERT_EQ(station.Status, 0) << station.Output;
    EXPECT_EQ(station.Pass["geolocation"]["norad"], 59051);
    const TRun number =
        Decode(fReal, fDir / "number", "--tle " + Quote(two.string()) + " --no-register --satellite 59051");
    ASSERT_EQ(number.Status, 0) << number.Output;
    EXPECT_EQ(number.Pass["geolocation"]["satellite"], "METEOR-M2 4");

    const TRun none = Decode(fReal, fDir / "none", "--tle " + Quote(kTle) + " --satellite 12345");
    EXPECT_EQ(none.Status, 1);
    EXPECT_NE(none.Output.find("METEOR-M2 4"), std::string::npos) << none.Output;

    // A damaged line is refused by its number, before anything is decoded.
    const fs::path bad = fDir / "bad.txt";
    {
        std::ifstream in(kTle);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t line5 = text.find("1 59051U");
        text[line5 + 20] = text[line5 + 20] == '7' ? '8' : '7'; // the epoch, checksum now wrong
        std::ofstream(bad) << text;
    }
    const TRun damaged = Decode(fReal, fDir / "damaged", "--tle " + Quote(bad.string()));
    EXPECT_EQ(damaged.Status, 1);
    EXPECT_NE(damaged.Output.find(bad.string() + ":5:"), std::string::npos) << damaged.Output;
    EXPECT_FALSE(fs::exists(fDir / "damaged" / "real.64.png"));
}

TEST_F(PassOnTheMap, TarnwickBatchMakesTheSameMapsAndSaysWhereThePassLies) {
    const fs::path out = fDir / "batch";
    const std::string command = Quote(TARNWICK_BATCH) + " --tle " + Quote(kTle) +
                                " --satellite meteor --out " + Quote(out.string()) + " " +
                                Quote(fReal.string()) + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string summary;
    std::array<char, 4096> buffer{};
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        summary.append(buffer.data(), n);
    ASSERT_EQ(pclose(pipe), 0) << summary;
    for (const char* fact :
         {"satellite METEOR-M2 4 (NORAD 59051, chosen by name)", "UTC (date from packets), northbound",
          "registration: applied (channel 2)", "maps in EPSG:4326"})
        EXPECT_NE(summary.find(fact), std::string::npos) << fact << "\n" << summary;
    const TTiff map = ReadTiff(out / "real.s.rgb123.map.tif");
    ASSERT_TRUE(map.Opened);
    EXPECT_EQ(map.Authority, "4326");
    EXPECT_TRUE(fs::exists(out / "real.s.65.gcp.tif"));
}

// The bands of a GeoTIFF map, pixel-interleaved, and its grid.
struct TPixels {
    int Width = 0, Height = 0, Bands = 0;
    std::array<double, 6> Transform{};
    std::vector<uint8_t> Bytes;
    bool AnyData(size_t aPixel) const {
        for (int b = 0; b < Bands; ++b)
            if (Bytes[aPixel * static_cast<size_t>(Bands) + static_cast<size_t>(b)] != 0) return true;
        return false;
    }
};

TPixels ReadPixels(const fs::path& aPath) {
    GDALAllRegister();
    TPixels p;
    GDALDatasetH d = GDALOpen(aPath.c_str(), GA_ReadOnly);
    if (!d) return p;
    p.Width = GDALGetRasterXSize(d);
    p.Height = GDALGetRasterYSize(d);
    p.Bands = GDALGetRasterCount(d);
    GDALGetGeoTransform(d, p.Transform.data());
    p.Bytes.resize(static_cast<size_t>(p.Width) * p.Height * p.Bands);
    if (GDALDatasetRasterIO(d, GF_Read, 0, 0, p.Width, p.Height, p.Bytes.data(), p.Width, p.Height, GDT_Byte,
                            p.Bands, nullptr, p.Bands, static_cast<GSpacing>(p.Width) * p.Bands,
                            1) != CE_None)
        p.Bytes.clear();
    GDALClose(d);
    return p;
}

// Six seconds of noise in the middle of the real pass lose about five scans of every channel: on the
// maps their rows are no-data (a gap across the swath), not the black the pictures keep there, and
// the rest of the maps is the clean pass's. The PNG maps show no-data as transparent.
TEST(LostScans, RowsNeverDrawnAreNoDataOnTheMaps) {
    const fs::path dir = TestFolder("lrpt_decode_maps", "lost");
    lrptsynth::SynthOptions gapped = RealFrames();
    gapped.noiseGaps.push_back({40, 6});
    const TRun clean =
        Decode(SymbolFile(dir, "clean.s", RealFrames()), dir / "clean", "--no-register --tle " + Quote(kTle));
    const TRun lost =
        Decode(SymbolFile(dir, "lost.s", gapped), dir / "lost", "--no-register --tle " + Quote(kTle));
    ASSERT_EQ(clean.Status, 0) << clean.Output;
    ASSERT_EQ(lost.Status, 0) << lost.Output;
    for (const char* product : {"65", "rgb123"}) {
        SCOPED_TRACE(product);
        const TPixels a = ReadPixels(clean.Dir / (std::string("clean.") + product + ".map.tif"));
        const TPixels b = ReadPixels(lost.Dir / (std::string("lost.") + product + ".map.tif"));
        ASSERT_FALSE(a.Bytes.empty());
        ASSERT_EQ(a.Bytes.size(), b.Bytes.size());
        EXPECT_EQ(a.Transform, b.Transform);
        size_t gap = 0, gained = 0, changed = 0, shared = 0;
        for (size_t k = 0; k < static_cast<size_t>(a.Width) * a.Height; ++k) {
            const bool inA = a.AnyData(k), inB = b.AnyData(k);
            gap += inA && !inB;
            gained += inB && !inA;
            if (!inA || !inB) continue;
            ++shared;
            for (int c = 0; c < a.Bands; ++c) {
                const size_t i = k * static_cast<size_t>(a.Bands) + static_cast<size_t>(c);
                if (std::abs(a.Bytes[i] - b.Bytes[i]) > 2) {
                    ++changed;
                    break;
                }
            }
        }
        // At least 3 whole scans (24 rows) of about 2,500 map pixels across, at most 12 scans.
        EXPECT_GT(gap, 24u * 1500);
        EXPECT_LT(gap, 96u * 4000);
        EXPECT_EQ(gained, 0u);
        // Beside the gap a map pixel takes the drawn row alone, so a few differ from the clean map.
        EXPECT_LT(changed, gap / 20) << "of " << shared;
    }
    GDALDatasetH png = GDALOpen((lost.Dir / "lost.65.map.png").c_str(), GA_ReadOnly);
    ASSERT_TRUE(png);
    const char* transparent = GDALGetMetadataItem(png, "NODATA_VALUES", nullptr);
    EXPECT_STREQ(transparent ? transparent : "", "0 0 0");
    GDALClose(png);
}

// The mod-10 checksum of an element set line's first 68 characters.
char Checksum(const std::string& aLine) {
    int sum = 0;
    for (size_t i = 0; i < 68; ++i)
        sum += std::isdigit(static_cast<unsigned char>(aLine[i])) ? aLine[i] - '0' : aLine[i] == '-' ? 1 : 0;
    return static_cast<char>('0' + sum % 10);
}

TEST_F(PassOnTheMap, ElementsThreeWeeksOldAreWarnedAbout) {
    // The Meteor's elements with their epoch 21 days earlier (day 149 instead of 170).
    std::ifstream in(kTle);
    std::string line, text;
    while (std::getline(in, line)) {
        if (line.rfind("1 59051U", 0) == 0) {
            line.replace(18, 5, "26149");
            line[68] = Checksum(line);
        }
        text += line + "\n";
    }
    const fs::path old = fDir / "old.txt";
    std::ofstream(old) << text;
    const TRun run = Decode(fReal, fDir / "old", "--tle " + Quote(old.string()) + " --no-register");
    ASSERT_EQ(run.Status, 0) << run.Output;
    const Json& g = run.Pass["geolocation"];
    EXPECT_NEAR(g["tle_age_days"].get<double>(), 21.71, 0.01);
    ASSERT_TRUE(g["tle_warning"].is_string());
    EXPECT_NE(g["tle_warning"].get<std::string>().find("21"), std::string::npos) << g["tle_warning"];
}

// The scan times come from the packets' day count and ms of the day; --date only where the
// packets carry no day.
TEST(PassTimes, DateFromThePacketsOrFromTheCommandLine) {
    const fs::path dir = TestFolder("lrpt_decode_maps", "times");
    lrptsynth::SynthOptions o;
    o.channels = {1, 2};
    o.scans = 6;
    o.startTimeMs = 12 * 3600000 + 34 * 60000 + 56789;
    o.seed = 3;
    o.day = 9302; // 2026-06-20
    const TRun dated = Decode(SymbolFile(dir, "dated.s", o), dir / "dated", "--date 1999-01-01");
    ASSERT_EQ(dated.Status, 0) << dated.Output;
    EXPECT_EQ(dated.Pass["scans"]["start_utc"], "2026-06-20T12:34:56.789Z");
    EXPECT_EQ(dated.Pass["scans"]["date_source"], "packets");
    EXPECT_EQ(dated.Pass["scans"]["time"], "UTC, time of day");
    // The last of 6 scans, 5 scan periods later.
    EXPECT_EQ(dated.Pass["scans"]["end_utc"], "2026-06-20T12:35:02.945Z");

    o.day = 0;
    const fs::path undated = SymbolFile(dir, "undated.s", o);
    const TRun given = Decode(undated, dir / "given", "--date 2026-06-21");
    ASSERT_EQ(given.Status, 0) << given.Output;
    EXPECT_EQ(given.Pass["scans"]["start_utc"], "2026-06-21T12:34:56.789Z");
    EXPECT_EQ(given.Pass["scans"]["date_source"], "--date");
    const TRun bare = Decode(undated, dir / "bare", "");
    ASSERT_EQ(bare.Status, 0) << bare.Output;
    EXPECT_TRUE(bare.Pass["scans"]["start_utc"].is_null());
    EXPECT_EQ(bare.Pass["scans"]["start"], "12:34:56.789");
    // Maps need the date: without one the refusal says to give --date.
    const TRun maps = Decode(undated, dir / "maps", "--tle " + Quote(kTle));
    EXPECT_EQ(maps.Status, 1);
    EXPECT_NE(maps.Output.find("--date"), std::string::npos) << maps.Output;
}

} // namespace
