// Finds the transmission mode of a symbol file by decoding its first seconds under every
// hypothesis and keeping the one that yields Reed-Solomon-clean frames.
//
// Hypotheses: plain 72 k or interleaved 80 k symbols/s, each with and without NRZ-M (differential)
// decoding. The phase, the half turn and the I/Q order are not hypotheses here: within a mode the
// sync stages resolve them by themselves. Each hypothesis runs the mode's real stages (the same
// classes the session runs), stepped without threads on its own copy of the prefix; the four run
// side by side on threads of their own.
//
// Evidence: the transfer frames of virtual channel 5 that the frame stage passes on with every
// code word correctable ("clean frames"). A stream decoded under a wrong hypothesis yields none:
// a random 1,020-byte frame is correctable with a probability far below 1e-20.
//
// Prefix: the 80 k hypotheses need more than the 72 k ones, since the deinterleaver delays every
// value by 36 x 73,728 code values (about 16.6 s of signal) before a whole frame comes out.
#pragma once

#include "session/StageChain.h"
#include "session/SymbolFileForms.h"

#include <cstdint>
#include <string>
#include <vector>

struct TModeHypothesis {
    TLrptMode Mode = TLrptMode::lm72k;
    bool Nrzm = false;
    friend bool operator==(const TModeHypothesis&, const TModeHypothesis&) = default;
};

// "72k", "72k NRZ-M", "80k", "80k NRZ-M".
std::string HypothesisName(const TModeHypothesis& aHypothesis);

struct THypothesisEvidence {
    TModeHypothesis Hypothesis;
    int64_t Symbols = 0;       // symbols of the prefix this hypothesis examined
    uint32_t Frames = 0;       // frames the frame stage examined
    uint32_t CleanFrames = 0;  // of those, virtual channel 5 with every code word correctable
    uint64_t FailedWords = 0;  // uncorrectable code words
    uint64_t CuredSymbols = 0; // symbols the corrected code words needed mended
};

struct TModeDetectorOptions {
    double Seconds72k = 4;       // prefix examined under the 72 k hypotheses, seconds of signal
    double Seconds80k = 22;      // under the 80 k hypotheses (deinterleaver delay included)
    uint32_t EnoughFrames = 16;  // a hypothesis stops early once it has this many clean frames
    uint32_t MinCleanFrames = 2; // fewer clean frames than this under every hypothesis: not found
    int Windows = 4;             // DetectMode: windows of the file tried, one after another (>= 1)
};

struct TModeDetection {
    bool Found = false;
    TModeHypothesis Chosen;                 // meaningful when Found
    TDemodulatorModes Form = dm_8BitSoft;   // the file's form (from its name, as the session takes it)
    std::vector<THypothesisEvidence> Tried; // 72k, 72k NRZ-M, 80k, 80k NRZ-M
    int64_t StartByte = 0;                  // DetectMode: where in the file the evidence was found
    int Windows = 1;                        // DetectMode: windows tried
    double Seconds = 0;                     // wall-clock time the detection took

    // One line: the choice (or that none was found) and the evidence of every hypothesis, e.g.
    // "72k NRZ-M (72k: 0 clean frames of 3 in 4.0 s; 72k NRZ-M: 16 clean frames of 16 in 1.9 s; ...)".
    std::string Describe() const;
};

// Decodes aCount soft values in the order a file's form expands to (pairs as stored, before the
// 72 k pair exchange; aCount even) under one hypothesis, at most aMaxSymbols symbols of them,
// stopping once aEnough clean frames were seen. aInputEnds: nothing follows the values (the
// input's end); when all of them are within aMaxSymbols, the stages are then flushed at their end
// as a session's are (80 k: the deinterleaver's store with erasures, TStageChain::FlushInterleaver;
// both: TStageChain::FlushEnd), so that an input shorter than the window, the deinterleaver's
// delay included, is judged by every frame it holds. Pure: no threads, no files, no logs.
THypothesisEvidence TryHypothesis(const TModeHypothesis& aHypothesis, const int8_t* aValues, int64_t aCount,
                                  int64_t aMaxSymbols, uint32_t aEnough, bool aInputEnds = false);

// All four hypotheses on the values, side by side on four threads; aInputEnds as for TryHypothesis.
TModeDetection DetectModeInValues(const int8_t* aValues, int64_t aCount,
                                  const TModeDetectorOptions& aOptions = {}, bool aInputEnds = true);

// Reads the prefix of a symbol file (form from its extension, as the session reads it: ".s",
// ".raw", ".hard", anything else 8-bit soft) and detects its mode. When nothing is found there
// (a recording that begins long before the signal), the windows of the same size that follow it
// are tried in turn, up to Windows in all, the 72 k hypotheses then also looking at the whole
// window; the first window with a find decides, else the last one tried is reported. A file no
// longer than a window is judged by the whole of it under every hypothesis, and the window that
// reaches the file's end is decoded to its end (TryHypothesis, aInputEnds). Throws EFOpenError
// naming the file when it cannot be opened. An empty file is "not found".
TModeDetection DetectMode(const std::string& aFileName, const TModeDetectorOptions& aOptions = {});
