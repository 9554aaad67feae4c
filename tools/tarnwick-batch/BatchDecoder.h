// One decoding session without a window: the core of tarnwick-batch.
#pragma once

#include "MapProducts.h"
#include "session/DecodingSession.h"
#include "session/ModeDetector.h"

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

struct TBatchOptions {
    std::optional<TLrptMode> Mode; // none: from the file name
    bool IgnoreRsErrors = false;
    bool Nrzm = false;               // --diff: differentially encoded (NRZ-M) bit stream
    bool Auto = false;               // --auto: mode and NRZ-M found from the file's first seconds
    std::array<int, 3> Rgb{1, 2, 3}; // channels 1..6 for "R:", "G:", "B:"
    std::string OutDir;              // empty: beside the input
    std::string Input;
    bool Help = false;
    bool Quiet = false;
    TMapOptions Maps;
};

// Throws std::invalid_argument with a one-line message on a usage error.
TBatchOptions ParseBatchArguments(const std::vector<std::string>& aArgs);
std::string BatchUsage();

// The window's file patterns: a name containing "_LRPT INT_" is 80 k, any other 72 k.
TLrptMode ModeForFileName(const std::string& aFileName);

struct TBatchResult {
    TLrptMode Mode = TLrptMode::lm72k;
    bool Nrzm = false;
    std::optional<TModeDetection> Detection; // with --auto
    TSessionTotals Totals;
    std::array<int32_t, 6> Scans{};
    std::array<int32_t, 6> Lines{};
    std::array<std::string, 6> LatestScan; // captions of the channels' progress displays
    double DecodeSeconds = 0; // from the start to the end of the session, pictures not written yet
    std::vector<std::pair<std::string, double>> StageCpu; // processor seconds per stage thread
    double ElapsedSeconds = 0;
    double SignalSeconds = 0;
    std::vector<std::string> Written;
    std::string Stem;                        // input name, in --out DIR when given: the stem of every output
    std::optional<TGeolocation> Geolocation; // with --tle, when a channel was drawn
};

// Runs the session and writes every file: the session's own (".vcdu", ".70", logs), each channel
// picture cropped to its decoded rows (".64.png"/".64.bmp" ...), the RGB composite (".bmp",
// ".bmp.stat"). aProgress, when given, receives a one-line progress display now and then.
// Throws Exception / std::runtime_error with a message naming the file on any file error, and
// std::invalid_argument for an input that is empty or not a regular file.
TBatchResult RunBatch(const TBatchOptions& aOptions, std::ostream* aProgress);

// Writes the pictures of a session whose drawing stages have ended: each channel drawn, cropped to
// its decoded rows (".64.png"/".64.bmp" ...), the RGB composite of channels aRgb (1..6; ".bmp",
// ".bmp.stat") and the products (rectified channels, composites the channels allow). Returns the
// files written. Throws std::runtime_error naming the file on a write error.
// With aMaps (the element sets of --tle), also the map products (see TPassMaps), and the rectified
// pictures turned north up on a northbound pass; aMaps->Facts() then tells where the pass lies
// (throws EMapError when the satellite or the date cannot be settled).
std::vector<std::string> WriteSessionPictures(TStageChain& aChain, const std::string& aStem,
                                              const std::array<int, 3>& aRgb, TPassMaps* aMaps = nullptr);
// Deletes every picture WriteSessionPictures may write on aStem, so that a channel a new run does
// not draw keeps no picture of an earlier one. (The session removes its own files.)
void RemoveSessionPictures(const std::string& aStem);

// Throws std::invalid_argument, naming aPath, unless it is an existing, non-empty regular file.
void CheckInputFile(const std::string& aPath);

std::string BatchSummary(const TBatchResult& aResult);

// Writes aRows rows of aWidth pixels (blue, green, red), taken from rows aStride bytes apart from
// aBits, as the 24-bit BMP that TBitmap24::SaveToFile writes for a picture holding just them, row
// by row without a copy. Throws std::runtime_error naming the file on failure.
void WriteBmpRegion(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aRows, int aStride);

// Runs aTasks on as many threads as the machine has cores, at most aMaxThreads (the calling thread
// among them), each thread taking the next task not yet begun, so tasks start in their order: a
// task may wait for one listed before it. Rethrows the first failure once every task has ended.
void RunInOrder(const std::vector<std::function<void()>>& aTasks, size_t aMaxThreads = SIZE_MAX);

// A task's completion, for the tasks after it in one RunInOrder list to wait for.
class TStep {
  public:
    // Runs aWork and marks the step done, or failed with what aWork throws (which it passes on).
    void Run(const std::function<void()>& aWork) {
        try {
            aWork();
            fDone.set_value();
        } catch (...) {
            fDone.set_exception(std::current_exception());
            throw;
        }
    }
    // Until done; passes its failure on.
    void Wait() const { fReady.get(); }
    // Until done, failed or not.
    void Finish() const { fReady.wait(); }

  private:
    std::promise<void> fDone;
    std::shared_future<void> fReady = fDone.get_future().share();
};

// Writes aFile through aWrite(aFile + ".tmp") and a rename, so that a viewer watching the file
// (lrpt-decode's live pictures have the final ones' names) never sees half of one; on failure the
// temporary file is removed and the error (std::runtime_error naming aFile for the rename) thrown.
void WriteAtomically(const std::string& aFile, const std::function<void(const std::string&)>& aWrite);

// The line for a run that found no transfer frame: names what was read (aRead, for example
// "\"pass.s\" (not a symbol file of this mode?)") and what was written after all (the logs, the
// empty composite, the .vcdu file), as far as those files exist.
std::string NoFrameMessage(const TBatchResult& aResult, const std::string& aRead);
// The same for a symbol file given by its name.
std::string NoFrameInSymbolFile(const TBatchResult& aResult, const std::string& aInput);
