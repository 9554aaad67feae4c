// pass.json: what lrpt-decode found and made of one pass, for people and for scripts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TPassChannel {
    int Apid = 64;
    int32_t Scans = 0, Lines = 0;
    std::string Start, End; // on-board time of the first and the latest scan, "hh:mm:ss.zzz"
};

struct TPassSummary {
    std::string Input;            // as given ("-" for standard input)
    std::string InputDescription; // what the input holds
    bool SymbolFile = false;

    // What was decoded and whether each part was forced or found.
    bool Found = false;
    std::optional<bool> Oqpsk; // a symbol file carries none
    std::string Mode;          // "72k" or "80k"
    bool Nrzm = false;
    std::optional<bool> IFirst; // channel order, when known
    bool OqpskForced = false, ModeForced = false, NrzmForced = false, SwapIqForced = false;
    std::string Detection; // the detector's one line
    double DetectionSeconds = 0, DetectionInputSeconds = 0;

    std::string ScanStart, ScanEnd; // on-board time over all channels; empty when none
    std::vector<TPassChannel> Channels;

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

// The text of a JSON string literal for aText (quotes included): quote, backslash and control
// characters escaped; bytes of 0x80 and above copied (the text is UTF-8), except that a byte
// sequence that is not valid UTF-8 is replaced by U+FFFD so that the document stays valid.
std::string JsonString(const std::string& aText);
// A JSON number, or null for a value that is not finite.
std::string JsonNumber(double aValue);

std::string PassJson(const TPassSummary& aSummary);
// Writes PassJson to aPath through a temporary file and a rename. Throws std::runtime_error naming
// the file on failure.
void WritePassJson(const TPassSummary& aSummary, const std::string& aPath);
