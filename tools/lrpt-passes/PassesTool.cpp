#include "PassesTool.h"

#include "orbit/PassPrediction.h"
#include "orbit/SatelliteChoice.h"
#include "orbit/Sgp4.h"
#include "orbit/Tle.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <stdexcept>

using namespace lrptgeo;

std::string PassesUsage() {
    return "usage: lrpt-passes --tle FILE --station LAT,LON[,ALT] [--days N] [--min-elevation DEG]\n"
           "                   [--satellite NAME|NORAD] [--from YYYY-MM-DDTHH:MM:SSZ]\n"
           "\n"
           "Lists the coming passes of the satellites in an element set (TLE) file over a ground station,\n"
           "one per line in time order: satellite, AOS, LOS and time of maximum elevation (UTC), the\n"
           "maximum elevation and the direction (northbound or southbound).\n"
           "\n"
           "  --tle FILE              element sets, 2- or 3-line entries, as the orbit services publish "
           "them\n"
           "  --station LAT,LON[,ALT] the station: latitude and longitude in degrees (north and east\n"
           "                          positive), altitude in metres above the WGS-84 ellipsoid\n"
           "  --days N                how far ahead to look, 0 < N <= 30; default 1\n"
           "  --min-elevation DEG     passes rising at least this high, -5..89; AOS and LOS are taken at\n"
           "                          this elevation; default 0 (the horizon)\n"
           "  --satellite NAME|NORAD  only this satellite (a name, case-insensitive, whole or a unique part\n"
           "                          of one, or a NORAD number); default: every entry of the file\n"
           "  --from TIME             start of the search, UTC; default: now\n"
           "  -h, --help              this text\n"
           "  --version               the program's version\n"
           "\n"
           "A pass under way at the start time is listed with its real AOS. Entries of other orbits\n"
           "(period of 225 min or more) are skipped with a note. Exit status 0 on success (also when no\n"
           "pass is found), 1 on a file error or an unknown satellite, 2 on a usage error.\n";
}

namespace {

double NumberArgument(const std::string& aOption, const std::string& aValue) {
    char* end = nullptr;
    const double v = std::strtod(aValue.c_str(), &end);
    if (aValue.empty() || end != aValue.c_str() + aValue.size() || !std::isfinite(v))
        throw std::invalid_argument(aOption + " needs a number, not \"" + aValue + "\"");
    return v;
}

} // namespace

TPassesOptions ParsePassesArguments(const std::vector<std::string>& aArgs) {
    TPassesOptions o;
    bool haveStation = false;
    for (size_t i = 0; i < aArgs.size(); ++i) {
        const std::string& a = aArgs[i];
        if (a == "-h" || a == "--help") {
            o.Help = true;
            return o;
        }
        auto value = [&]() -> const std::string& {
            if (i + 1 >= aArgs.size()) throw std::invalid_argument(a + " needs a value");
            return aArgs[++i];
        };
        if (a == "--tle") {
            o.TleFile = value();
        } else if (a == "--station") {
            try {
                o.Station = ParseStation(value());
            } catch (const EStationFormatError& e) {
                throw std::invalid_argument(e.what());
            }
            haveStation = true;
        } else if (a == "--days") {
            o.Days = NumberArgument(a, value());
            if (!(o.Days > 0 && o.Days <= 30)) throw std::invalid_argument("--days must lie in 0 < N <= 30");
        } else if (a == "--min-elevation") {
            o.MinElevationDeg = NumberArgument(a, value());
            if (!(o.MinElevationDeg >= -5 && o.MinElevationDeg <= 89))
                throw std::invalid_argument("--min-elevation must lie in -5..89 degrees");
        } else if (a == "--satellite") {
            o.Satellite = value();
            if (o.Satellite->empty()) throw std::invalid_argument("--satellite needs a name or NORAD number");
        } else if (a == "--from") {
            try {
                o.From = ParseIsoUtc(value());
            } catch (const ETimeFormatError& e) {
                throw std::invalid_argument(std::string("--from: ") + e.what());
            }
        } else {
            throw std::invalid_argument("unknown argument \"" + a + "\"");
        }
    }
    if (o.TleFile.empty()) throw std::invalid_argument("--tle FILE is required");
    if (!haveStation) throw std::invalid_argument("--station LAT,LON[,ALT] is required");
    return o;
}

void RunPasses(const TPassesOptions& aOptions, std::ostream& aOut, std::ostream& aNotes) {
    const std::vector<TTle> entries = ReadTleFile(aOptions.TleFile);
    const TUtcTime from = aOptions.From
                              ? *aOptions.From
                              : std::chrono::time_point_cast<TUtcSeconds>(std::chrono::system_clock::now());

    std::vector<size_t> chosen;
    if (aOptions.Satellite) {
        TSatelliteRequest request;
        request.Satellite = aOptions.Satellite;
        chosen.push_back(ChooseSatellite(entries, request).Index);
    } else {
        for (size_t i = 0; i < entries.size(); ++i)
            chosen.push_back(i);
    }

    struct TListed {
        const TTle* Tle;
        TPass Pass;
    };
    std::vector<TListed> listed;
    size_t nameWidth = 0;
    for (size_t index : chosen) {
        const TTle& tle = entries[index];
        try {
            const TSgp4 orbit(tle);
            const std::vector<TPass> passes =
                PredictPasses(orbit, aOptions.Station, from, aOptions.Days, aOptions.MinElevationDeg);
            const std::string warning = TleAgeWarning(tle, from);
            if (!warning.empty()) aNotes << "lrpt-passes: warning: " << warning << "\n";
            for (const TPass& p : passes)
                listed.push_back({&tle, p});
            nameWidth = std::max(nameWidth, tle.DisplayName().size());
        } catch (const ESgp4Error& e) {
            // With the whole file asked for, one entry of another orbit must not cost the rest.
            if (aOptions.Satellite) throw;
            aNotes << "lrpt-passes: skipped: " << e.what() << "\n";
        }
    }
    std::stable_sort(listed.begin(), listed.end(),
                     [](const TListed& a, const TListed& b) { return a.Pass.Aos < b.Pass.Aos; });
    for (const TListed& l : listed) {
        char elevation[32];
        std::snprintf(elevation, sizeof elevation, "%5.1f", l.Pass.MaxElevationDeg);
        std::string name = l.Tle->DisplayName();
        name.resize(nameWidth, ' ');
        aOut << name << "  AOS " << FormatIsoUtc(l.Pass.Aos) << "  LOS " << FormatIsoUtc(l.Pass.Los)
             << "  MAX " << FormatIsoUtc(l.Pass.MaxElevationTime) << " " << elevation << " deg  "
             << PassDirectionName(l.Pass.Direction) << "\n";
    }
    if (listed.empty()) {
        char text[128];
        std::snprintf(text, sizeof text, "no pass above %.1f deg in %g days from ", aOptions.MinElevationDeg,
                      aOptions.Days);
        aNotes << "lrpt-passes: " << text << FormatIsoUtc(from) << "\n";
    }
}
