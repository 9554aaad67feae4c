// Unique-word sync of the interleaved 80 k mode: finds the 80-value groups (unique word + 72
// interleaved code values), keeps to them, strips the unique words and undoes a quarter turn.
#pragma once

#include "stages/StepPatternThreadUnit.h"

#include <cstdint>
#include <string>

// Input: soft values (signed bytes, pairs I, Q; positive means bit 1), as the session feeds them.
// Every 80 values of the signal are the unique word 27 hex (4 symbols, 8 values) and 72 code
// values. Output: the 72 code values of each group, 720 values (10 groups) per productive step
// in one Write, the first of them the first code value after a unique word, so every 720-value
// block starts a new 36-value row of the deinterleaver.
//
// A step looks at 880 waiting values (11 groups) and correlates the unique word over 10 groups at
// the 40 even offsets (so the input's pairing of values into symbols is kept):
//   c1 = |a1 + a2| (in phase or a half turn off), c2 = |a3 + a4| (a quarter turn off either way),
//   each a being 40 products summed and divided by 40 with truncation; a clean unique word at
//   amplitude 70 gives 140 in one of them and 0 in the other.
// - Searching: logs "* <position after the window> <bestK> <best>"; best > 80 locks and sets the
//   input to the unique word at 2*bestK; otherwise the 880 values stay consumed. No output.
// - Locked: logs "<position after the window> <c1(0)> <c2(0)>". Both below 40 lose the lock and
//   set the input back to the window's start, so the next step searches the same values. Else the
//   input moves on 800 values (to the next unique word) and the code values are written, turned
//   (I, Q) -> (-Q, I) when c2 > c1. Negation is two's complement in 8 bits (-(-128) stays -128).
//
// What it cannot do: a half-turn rotation passes unchanged (the sync stage before Viterbi resolves
// it); a stream with I and Q exchanged correlates to 0 at the true unique word and is not locked.
class TSyncBeforIntThread : public TStepPatternThread {
  public:
    static constexpr int GroupSize = 80;      // values: unique word + code values
    static constexpr int WordSize = 8;        // values of the unique word
    static constexpr int WindowSize = 880;    // values looked at per step (11 groups)
    static constexpr int LockedAdvance = 800; // values consumed by a locked step (10 groups)
    static constexpr int OutSize = 720;       // code values written by a locked step
    static constexpr int LockThreshold = 80;  // best correlation must exceed this to lock
    static constexpr int LossThreshold = 40;  // both correlations below this lose the lock

    // Deletes an existing log file of that name (session name: input file + ".SyncBeforInt.log").
    TSyncBeforIntThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName);

    // False (nothing read) while fewer than 880 values wait; true once the step ran. Leaves the
    // input's Position where the next step starts and releases what lies before it.
    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;

    bool Sync() const { return fSync; }
    // Input position at the start of the last step.
    int64_t Pos() const { return fPos; }

  private:
    bool fSync = false;
    int64_t fPos = 0;
};
