// Two-line element sets as the orbit services publish them: files of many satellites, each entry
// either a name line followed by lines 1 and 2, or lines 1 and 2 alone. Every line's checksum is
// checked, since a single wrong digit moves the satellite by hundreds of kilometres unnoticed.
#pragma once

#include "orbit/UtcTime.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace lrptgeo {

// A file or text that is not a valid element set list. The message is one line:
// "FILE:LINE: what is wrong" (or "FILE: ..." when no line is to blame).
class ETleError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Mean elements as the lines carry them, in the units of the format.
struct TTleElements {
    double InclinationDeg = 0;
    double RaanDeg = 0; // right ascension of the ascending node
    double Eccentricity = 0;
    double ArgPerigeeDeg = 0;
    double MeanAnomalyDeg = 0;
    double MeanMotionRevPerDay = 0;
    double MeanMotionDotRevPerDay2 = 0;  // first derivative / 2, as published (not used by SGP4)
    double MeanMotionDdotRevPerDay3 = 0; // second derivative / 6, as published (not used by SGP4)
    double BStarPerEarthRadii = 0;       // drag term B*
    long RevolutionNumber = 0;
};

struct TTle {
    std::string Name; // the name line without a leading "0 "; empty for a 2-line entry
    int NoradId = 0;  // satellite catalogue number (Alpha-5 letters decoded: A0000 = 100000)
    TUtcTime Epoch{};
    int EpochYear = 0;         // four digits (57-99 -> 19xx, 00-56 -> 20xx)
    double EpochDayOfYear = 0; // 1.0 = 1 January 00:00 UTC
    TTleElements Elements;
    std::string Line1, Line2; // as read, 69 characters each
    int LineNumber = 0;       // of the entry's first line in its file (1-based)

    // The name, or "NORAD <number>" for an entry without one.
    std::string DisplayName() const;
};

// Parses lines 1 and 2 (checksums, matching catalogue numbers, field syntax). aWhere prefixes the
// message of the ETleError thrown for a bad line, followed by that line's number (aLine2Number 0:
// the one after aLine1Number).
TTle ParseTleLines(const std::string& aName, const std::string& aLine1, const std::string& aLine2,
                   const std::string& aWhere = "TLE", int aLine1Number = 1, int aLine2Number = 0);

// Every entry of a text; aSourceName names it in messages. Blank lines and CR LF line ends are
// allowed. Throws ETleError on the first bad line, and when there is no entry at all.
std::vector<TTle> ParseTleText(const std::string& aText, const std::string& aSourceName);

// Reads and parses a file; an unreadable file is an ETleError naming it.
std::vector<TTle> ReadTleFile(const std::filesystem::path& aPath);

// The mod-10 checksum of a line's first 68 characters (digits count their value, '-' counts 1).
int TleChecksum(const std::string& aLine);

} // namespace lrptgeo
