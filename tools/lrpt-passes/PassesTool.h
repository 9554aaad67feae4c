// lrpt-passes: a ground station's coming passes from an element set file.
#pragma once

#include "orbit/LookAngles.h"
#include "orbit/UtcTime.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

struct TPassesOptions {
    std::string TleFile;
    lrptgeo::TStation Station;
    double Days = 1.0;
    double MinElevationDeg = 0.0;
    std::optional<std::string> Satellite;
    std::optional<lrptgeo::TUtcTime> From; // default: now
    bool Help = false;
};

std::string PassesUsage();
// Throws std::invalid_argument with a one-line message for a usage error.
TPassesOptions ParsePassesArguments(const std::vector<std::string>& aArgs);
// Prints the passes to aOut, one per line in time order, and notes (skipped entries, old element
// sets, no passes) to aNotes. Throws lrptgeo::ETleError or lrptgeo::ESatelliteChoiceError
// (or ESgp4Error for a chosen satellite that cannot be propagated).
void RunPasses(const TPassesOptions& aOptions, std::ostream& aOut, std::ostream& aNotes);
