#include "orbit/SatelliteChoice.h"

#include "orbit/Sgp4.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace lrptgeo {

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string NameList(const std::vector<TTle>& aEntries, const std::vector<size_t>& aIndices) {
    std::string list;
    for (size_t i : aIndices) {
        if (!list.empty()) list += ", ";
        list += aEntries[i].DisplayName() + " (" + std::to_string(aEntries[i].NoradId) + ")";
    }
    return list;
}

std::string AllNames(const std::vector<TTle>& aEntries) {
    std::vector<size_t> all(aEntries.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    return NameList(aEntries, all);
}

TSatelliteChoice ByUserChoice(const std::vector<TTle>& aEntries, const std::string& aWanted) {
    const bool isNumber =
        !aWanted.empty() &&
        std::all_of(aWanted.begin(), aWanted.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (isNumber) {
        const long id = std::stol(aWanted);
        for (size_t i = 0; i < aEntries.size(); ++i)
            if (aEntries[i].NoradId == id) return {i, TChoiceReason::ByNoradId, {}};
        throw ESatelliteChoiceError("no satellite with NORAD number " + aWanted + " among " +
                                    AllNames(aEntries));
    }
    const std::string wanted = Upper(aWanted);
    std::vector<size_t> exact, partial;
    for (size_t i = 0; i < aEntries.size(); ++i) {
        const std::string name = Upper(aEntries[i].Name);
        if (name == wanted)
            exact.push_back(i);
        else if (!wanted.empty() && name.find(wanted) != std::string::npos)
            partial.push_back(i);
    }
    if (exact.size() == 1) return {exact.front(), TChoiceReason::ByName, {}};
    if (exact.empty() && partial.size() == 1) return {partial.front(), TChoiceReason::ByName, {}};
    if (exact.size() > 1 || partial.size() > 1)
        throw ESatelliteChoiceError("satellite \"" + aWanted + "\" is ambiguous: " +
                                    NameList(aEntries, exact.size() > 1 ? exact : partial) +
                                    "; give the NORAD number");
    throw ESatelliteChoiceError("no satellite named \"" + aWanted + "\" among " + AllNames(aEntries));
}

} // namespace

const char* ChoiceReasonText(TChoiceReason aReason) {
    switch (aReason) {
    case TChoiceReason::ByName:
        return "chosen by name";
    case TChoiceReason::ByNoradId:
        return "chosen by NORAD number";
    case TChoiceReason::AboveStation:
        return "above the station at the pass time";
    case TChoiceReason::OnlyMeteor:
        return "the only Meteor in the file";
    case TChoiceReason::OnlyEntry:
        return "the only entry in the file";
    }
    return "";
}

TSatelliteChoice ChooseSatellite(const std::vector<TTle>& aEntries, const TSatelliteRequest& aRequest) {
    if (aEntries.empty()) throw ESatelliteChoiceError("no element sets to choose a satellite from");
    if (aRequest.Satellite) return ByUserChoice(aEntries, *aRequest.Satellite);

    if (aRequest.Station && aRequest.PassTime) {
        std::optional<TSatelliteChoice> best;
        for (size_t i = 0; i < aEntries.size(); ++i) {
            try {
                const TSgp4 orbit(aEntries[i]);
                const double elevation =
                    LookAngles(*aRequest.Station, StateAt(orbit, *aRequest.PassTime).Ecef).ElevationDeg;
                if (elevation > 0 && (!best || elevation > *best->ElevationDeg))
                    best = TSatelliteChoice{i, TChoiceReason::AboveStation, elevation};
            } catch (const ESgp4Error&) {
                // An entry that cannot be propagated to the pass is not the pass's satellite.
            }
        }
        if (best) return *best;
    }

    std::vector<size_t> meteors;
    for (size_t i = 0; i < aEntries.size(); ++i)
        if (Upper(aEntries[i].Name).find("METEOR") != std::string::npos) meteors.push_back(i);
    if (meteors.size() == 1) return {meteors.front(), TChoiceReason::OnlyMeteor, {}};
    if (aEntries.size() == 1) return {0, TChoiceReason::OnlyEntry, {}};

    std::string why =
        aRequest.Station && aRequest.PassTime ? "none is above the station at the pass time and " : "";
    why += meteors.empty() ? "none is a Meteor" : "more than one is a Meteor";
    throw ESatelliteChoiceError("cannot tell which satellite made the pass (" + why +
                                "); give --satellite NAME|NORAD, " + "one of: " + AllNames(aEntries));
}

double TleAgeDays(const TTle& aTle, TUtcTime aPassTime) {
    return SecondsBetween(aTle.Epoch, aPassTime) / 86400.0;
}

std::string TleAgeWarning(const TTle& aTle, TUtcTime aPassTime) {
    const double age = TleAgeDays(aTle, aPassTime);
    if (std::fabs(age) <= kTleAgeWarningDays) return {};
    char text[256];
    std::snprintf(
        text, sizeof text,
        "the element set of %s (epoch %s) is %.1f days %s the pass; its positions may be kilometres off",
        aTle.DisplayName().c_str(), FormatIsoUtc(aTle.Epoch).c_str(), std::fabs(age),
        age > 0 ? "older than" : "newer than");
    return text;
}

} // namespace lrptgeo
