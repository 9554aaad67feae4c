// Which entry of an element set file is the satellite of a pass: the one a user names, else the
// one above the station's horizon at the pass time, else the file's only Meteor, else the file's
// only entry; otherwise a refusal that lists what the file holds.
#pragma once

#include "orbit/LookAngles.h"
#include "orbit/Tle.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lrptgeo {

// No entry, or more than one, fits; the one-line message lists the names found.
class ESatelliteChoiceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TSatelliteRequest {
    // --satellite: all digits is a NORAD number, anything else a name (case-insensitive, whole
    // or a unique part of one).
    std::optional<std::string> Satellite;
    std::optional<TStation> Station; // used with PassTime when Satellite is not given
    std::optional<TUtcTime> PassTime;
};

enum class TChoiceReason { ByName, ByNoradId, AboveStation, OnlyMeteor, OnlyEntry };
const char* ChoiceReasonText(TChoiceReason aReason);

struct TSatelliteChoice {
    size_t Index = 0; // into the entries given
    TChoiceReason Reason = TChoiceReason::ByName;
    std::optional<double> ElevationDeg; // at the pass time, for AboveStation
};

// Throws ESatelliteChoiceError. Entries that cannot be propagated to the pass time (decayed,
// deep-space) are not candidates for AboveStation.
TSatelliteChoice ChooseSatellite(const std::vector<TTle>& aEntries, const TSatelliteRequest& aRequest);

// Days from the element set's epoch to the pass; negative when the element set is newer.
double TleAgeDays(const TTle& aTle, TUtcTime aPassTime);
inline constexpr double kTleAgeWarningDays = 14.0;
// A one-line warning when the element set lies more than 14 days from the pass, else empty.
std::string TleAgeWarning(const TTle& aTle, TUtcTime aPassTime);

} // namespace lrptgeo
