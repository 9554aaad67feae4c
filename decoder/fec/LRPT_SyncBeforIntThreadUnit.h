// Unique-word sync of the interleaved 80 k mode: finds the 80-value groups (unique word + 72
// interleaved code values), keeps to them, strips the unique words and restores the values' order.
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
// each of the 80 value offsets, under six hypotheses of how the receiver paired the values:
//   plain pairing (values paired as they come, at even offsets, as in every log before):
//     c1 = |a1 + a2| (in phase or a half turn off), c2 = |a3 + a4| (a quarter turn off either way);
//   the others: values as they come at odd offsets, I and Q exchanged without a quarter turn
//   ("exchanged"), in phase with the I or the Q values negated ("conjugate"), each I paired
//   with the Q one pair later ("later", "later-conjugate"), and each Q, coming first, paired with
//   the I one pair later ("exchanged-later", "exchanged-later-conjugate"). The last two are what
//   an offset-QPSK receiver delivers when it pairs values sent half a symbol apart across a
//   symbol boundary: depending on which branch carries the pair's first value, on its lock phase
//   and on its pairing, the values of each sent pair come split over two received pairs.
//   Each a is 40 products summed and divided by 40 with truncation; a clean unique word at
//   amplitude 70 gives 140 for the right hypothesis.
// - Searching: logs "* <position after the window> <bestK> <best>" (bestK = value offset / 2),
//   followed by "<hypothesis> <value offset>" when the best is not of the plain pairing, and by
//   "ambiguous <runner-up>" when the best does not clearly win: a plain best must beat every other
//   hypothesis, another best must lead every other by MinLead (several hypotheses share seven of
//   the word's eight values). A clear best > 80 locks and sets the input to the word's first value;
//   otherwise the 880 values stay consumed. A lock after a lost one first writes 72 zero values
//   (erasures) for each group sent since the last group passed on (logged " erased <groups>"):
//   the distance in values from the end of that group to the new word, rounded to whole groups
//   (a slip moves the word by a few values; half a group counts as one), at most one
//   deinterleaver store's worth (MaxErasedGroups; more would only add zeros). Every group passed on
//   or erased thus keeps its place in the sent sequence, so the deinterleaver's branches stay in
//   step across a loss of lock. The first lock of a pass writes nothing. Otherwise no output.
// - Locked: logs "<position after the window> <c1(0)> <c2(0)>", followed by "<hypothesis>
//   <score>" when not locked in the plain pairing. The locked pairing's best hypothesis below 40
//   loses the lock and sets the input back to the window's start, so the next step searches the
//   same values; so does another hypothesis that beats it by MinLead in RelockWindows windows in a
//   row, or by SlipLead in one (logged " relock" on the last), which undoes a lock taken on a near
//   hypothesis at the start of a pass or left behind by a slip of the receiver (a symbol lost or
//   doubled leaves the locked place at most 105 of the word's 140: on clean values the new place
//   wins by SlipLead or more, so a near hypothesis holds the lock at most one window after the
//   slip). Else the input moves
//   on 800 values (to the next unique word) and the code values are written in the order they were sent
//   (groups a slip shifted within the window are passed on as they lie, keeping the count):
//   turned (I, Q) -> (-Q, I) for a quarter turn (c2 > c1), exchanged back, each I with the Q one
//   pair later, or each Q with the I one pair later and the two exchanged. Negation is two's
//   complement in 8 bits (-(-128) stays -128).
//
// Only the order of the values matters to the deinterleaver, whose 36 branches alternate between
// I and Q values; signs left on the I or the Q values (a half turn, or the I or Q values negated)
// pass on and the sync stage before Viterbi resolves them. They must not change within a pass,
// though: the deinterleaver mixes values sent up to 16.6 s apart into each frame. So the signs the
// unique words show on the restored I and Q values of the first window passed on are kept: any
// later window that shows others (a relock in another phase or pairing after a slip of the
// receiver, or a lock that moved from c1 to c2) has its I or Q values negated to match.
class TSyncBeforIntThread : public TStepPatternThread {
  public:
    static constexpr int GroupSize = 80;      // values: unique word + code values
    static constexpr int WordSize = 8;        // values of the unique word
    static constexpr int WindowSize = 880;    // values looked at per step (11 groups)
    static constexpr int LockedAdvance = 800; // values consumed by a locked step (10 groups)
    static constexpr int OutSize = 720;       // code values written by a locked step
    static constexpr int LockThreshold = 80;  // best correlation must exceed this to lock
    static constexpr int LossThreshold = 40;  // both correlations below this lose the lock
    static constexpr int MinLead = 8;         // lead of a best that is not of the plain pairing
    static constexpr int RelockWindows = 3;   // locked windows in a row clearly beaten to relock
    static constexpr int SlipLead = 32;       // a lead that relocks in its own window
    // Erased groups written at most for one gap: 72 x 36,864 values fill the deinterleaver's store.
    static constexpr int64_t MaxErasedGroups = 36864;

    // Deletes an existing log file of that name (session name: input file + ".SyncBeforInt.log").
    TSyncBeforIntThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName);

    // False (nothing read) while fewer than 880 values wait; true once the step ran. Leaves the
    // input's Position where the next step starts and releases what lies before it.
    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;

    bool Sync() const { return fSync; }
    // Input position at the start of the last step.
    int64_t Pos() const { return fPos; }

  private:
    // Groups to erase for a lock whose unique word is at input position aLockAt (counts them as
    // written).
    int64_t SkippedGroups(int64_t aLockAt);
    static void WriteErasures(TSHORTstream* aOut, int64_t aGroups);

    bool fSync = false;
    int64_t fNextGroup = -1; // input position after the last group passed on (-1: none yet)
    int64_t fErased = 0;     // groups erased since then (a lock lost before passing anything on)
    int fResidualI = 0;      // signs left on the I and Q values passed on (0: none passed on yet)
    int fResidualQ = 0;
    int fPairing = 0; // which values the lock pairs: as they come, or across a symbol boundary
    int fBeaten = 0;  // locked windows in a row in which another hypothesis clearly won
    int64_t fPos = 0;
};
