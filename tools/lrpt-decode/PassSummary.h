// pass.json: what lrpt-decode found and made of one pass, for people and for scripts.
#pragma once

#include "MapProducts.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TPassChannel {
    int Apid = 64;
    int32_t Scans = 0, Lines = 0;
    std::string Start, End; // UTC time of day of the first and the latest scan, "hh:mm:ss.zzz"
    // The same as ISO-8601 UTC date-times when the packets' day count or --date gives the date.
    std::string StartUtc, EndUtc;
};

struct TPassSummary {
    std::string Input;            // as given ("-" for standard input)
    std::string InputDescription; // what the input holds
    bool SymbolFile = false;
    bool Interrupted = false;      // the input was ended by an interrupt (the first Ctrl-C)
    uint64_t NonFiniteSamples = 0; // NaN or infinite sample values read as zero

    // What was decoded and whether each part was forced or found.
    bool Found = false;
    std::optional<bool> Oqpsk; // a symbol file carries none
    std::string Mode;          // "72k" or "80k"
    bool Nrzm = false;
    std::optional<bool> IFirst; // channel order, when known
    bool OqpskForced = false, ModeForced = false, NrzmForced = false, SwapIqForced = false;
    std::string Detection; // the detector's one line
    double DetectionSeconds = 0, DetectionInputSeconds = 0;

    std::string ScanStart, ScanEnd;       // UTC time of day over all channels; empty when none
    std::string ScanStartUtc, ScanEndUtc; // date-times, when the date is known
    std::string DateSource;               // "packets", "--date" or empty (no date)
    std::vector<TPassChannel> Channels;
    std::optional<TGeolocation> Geolocation; // with --tle

    uint32_t Frames = 0, FramesPassedOn = 0;
    uint64_t RsCorrectedSymbols = 0, RsFailedWords = 0;
    std::array<uint32_t, 7> Packets{}; // APID 64..70

    bool HasReceiver = false;
    double LockTimeS = -1, LockedShare = 0, CarrierOffsetHz = 0, MeanOffsetHz = 0, DriftHzPerS = 0,
           MaxDriftHzPerS = 0, SnrDb = 0;

    double RecordingSeconds = 0, ElapsedSeconds = 0;
    double PicturesSeconds = 0; // of the elapsed time, writing the final pictures and products
    std::vector<std::string> Files;
};

// ScanStart and ScanEnd (and the UTC date-times) from the channels' times ("hh:mm:ss.zzz"): the earliest
// start and the latest end, over midnight too (times within half a day of each other are one pass, so a
// channel ending just after midnight ends after one ending just before it). Empty when no channel has one.
void SetScanSpan(TPassSummary& aSummary);

// The document, indented, one key a line; values that are not finite are null, and bytes of a
// name that are not UTF-8 become U+FFFD.
std::string PassJson(const TPassSummary& aSummary);
// Writes PassJson to aPath through a temporary file and a rename. Throws std::runtime_error naming
// the file on failure, leaving neither the temporary file nor a partial aPath behind.
void WritePassJson(const TPassSummary& aSummary, const std::string& aPath);
