// Sync before Viterbi: finds the convolutionally encoded attached sync marker in a soft-value
// stream, resolves the QPSK phase / channel-order ambiguity and cuts the stream into blocks of one
// encoded frame each.
#pragma once

#include "stages/StepPatternThreadUnit.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The 48 code symbols (+1 / -1) of the encoded marker 1ACFFC1D that do not depend on the encoder
// state before it (code symbols 12..59: marker bits 6..29). Pair n is (I, Q) =
// (SyncSymbols[2n], SyncSymbols[2n+1]).
const std::array<int8_t, 48>& SyncSymbols();

// The same 48 code symbols for a differentially encoded (NRZ-M) stream: the marker is encoded
// e_k = e_(k-1) XOR b_k before the convolutional code. The encoded marker depends on e_(-1), the
// last encoded bit before it, which the data decides: e_(-1) = 0 gives E = 137557E9, e_(-1) = 1
// its complement. Code symbols 12..59 see only E's bits 0..29 (the register is full of marker bits
// from symbol pair 6 on), and both generators have an odd number of taps, so the complement
// complements every one of them: these are the symbols for e_(-1) = 0, and the other case is
// their negation, which the stage's half-turn modes (1 / 2, 3 / 4, ...) already cover.
const std::array<int8_t, 48>& NrzmSyncSymbols();

// Input: signed 8-bit soft values, pairs (I, Q), positive for bit 1, in unknown phase and order.
// Output: blocks of 16,384 values (one encoded frame from code-symbol pair 6 of its marker on),
// corrected to the nominal phase and order; each begins with 70 x SyncSymbols (searching the
// NRZ-M marker: 70 x NrzmSyncSymbols, or -70 x when the kept half turn complements the block).
//
// NRZ-M: the marker of every frame may come complemented (see NrzmSyncSymbols), so the chosen
// mode may flip between the two of a half turn from frame to frame (the log shows the mode
// found). The correction then keeps the half turn of the block before: the sync values are
// rewritten as found and the block corrected in the earlier mode, so the output is the encoded
// stream all as it is or all complemented, with no polarity step at frame starts; differential
// decoding after the Viterbi stage gives the same bits from both. A mode of another pair (a
// quarter turn or an exchange) is followed as in the plain search. The log's first line is
// "marker 1ACFFC1D NRZ-M"; searching the plain marker the log has no such line.
//
// Eight modes (hypotheses of what the receiver delivered) are scored against the marker: 1..8 are
// disagreements / agreements with the patterns (A_I, A_Q), (-A_I, A_Q), (A_Q, A_I), (A_Q, -A_I).
// They are scored in two pairings of the values into symbols: as the values come (modes 1..8;
// sliding by one value tries the pairing of each Q with the next I), and with each I paired with
// the Q one pair later (modes 9..16 = 1..8 on the pairs (v[2k], v[2k+3])). An offset-QPSK
// demodulator pairs the I of a symbol with the Q half a symbol before or after it, and with its
// phase ambiguity and either value order every one of these pairings occurs; the modes 9..16
// cover those that sliding cannot reach. A block in modes 9..16 takes 16,386 input values (the
// last Q value is the next block's second value) and the input then stands 16,384 values on.
// A strong candidate (>= 44 of 48) locks or switches the mode. While locked, the block expected
// next (one block after the last) is taken at once when a strong candidate stands there. When none
// does, the stream may have slipped (the receiver lost or doubled a symbol, or lost the carrier a
// while): the positions up to NearValues values either side are tried first, and a strong
// candidate there (the nearest; the higher count among equally near ones) is taken at once, a
// weak one at the expected position notwithstanding (a marker one symbol off scores weak in a
// pairing that shares its Q values); without one, so is the best weak candidate there in the
// locked mode or its half turn that beats the expected position's best by WeakLead (near the
// threshold noise leaves a marker weak as often as strong). Failing that a weak candidate (>= 39) at the
// expected position keeps the lock; failing that too the rest of the expected block is searched, and the
// first strong candidate there becomes the expected position (the values before it are dropped,
// not coasted); only when there is none either, up to 10 blocks are coasted in the last mode
// before lock is lost. Markers that merely weaken in noise thus still coast, and a slip costs the
// frame it falls in (a marker moved back by more than NearValues the next one too). Windows with
// erased values (more than MaxZeros zeros) are missing values, not moved ones: no such search
// starts from them or stops at them. A block taken off the expected position logs the distance
// from the last as always (16,384 plus the slip). While unlocked the search slides one value at a
// time. Below a mean magnitude of 30 the last mode is kept whatever the scores say (and nothing
// else is tried).
class TSyncBeforeViterbi : public TStepPatternThread {
  public:
    static constexpr int BlockSize = 16384;

    // aNrzm: search the marker of a differentially encoded stream.
    TSyncBeforeViterbi(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName,
                       bool aNrzm = false);

    // True when a block was emitted, search positions were tried or the expected position moved
    // (16,384 values were waiting from where the step looks); false, with the input where it was,
    // otherwise. While unlocked one call tries up to MaxPositions positions one value apart, each
    // as a step of its own would, and stops at the first block. After a block the input stands
    // NearValues values before the next expected one.
    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;
    static constexpr int MaxPositions = 16384;
    // A window with more zero values than this (erasures) is judged on its other values: a
    // candidate needs 44 (strong) or 39 (weak) of 48 scaled to their number, at least 24 of them,
    // with disagreements counted among them only. Its plain counts still go into the logged best.
    static constexpr int MaxZeros = 4;
    // How far either side of the expected position a slip is looked for first (values); beyond the
    // 50 values at the end of a block that the search of its rest cannot score. The input keeps this
    // many values of each block unreleased, so the search can look back.
    static constexpr int NearValues = 64;
    // A weak candidate near the expected position is taken in the locked mode (or its half turn)
    // only when it beats the expected position's best count by this much.
    static constexpr int WeakLead = 4;

    uint8_t LastMode() const { return fLastMode; }
    // Input position (as the input stream counts) where the next block is expected while locked.
    int64_t ExpectedPosition() const { return fNext; }
    bool Nrzm() const { return fNrzm; }
    uint32_t NoSyncCount() const { return fNoSyncCount; }

    // Applies mode aMode's correction to aPairs pairs of soft values in place (negation is
    // 8-bit two's complement: -(-128) stays -128).
    static void Correct(int8_t* aValues, int aPairs, int aMode);

  private:
    // The 48 values at a search position: the sum of their magnitudes and bit masks (bit k for
    // value k) of the positive and the negative ones.
    struct TWindow {
        int Magnitude = 0;
        uint64_t Positive = 0, Negative = 0;
        void Add(int k, int8_t v) {
            Magnitude += v < 0 ? -v : v;
            if (v > 0) Positive |= uint64_t{1} << k;
            if (v < 0) Negative |= uint64_t{1} << k;
        }
        void Slide(int8_t aLeaving, int8_t aEntering) {
            Magnitude -= aLeaving < 0 ? -aLeaving : aLeaving;
            Positive >>= 1;
            Negative >>= 1;
            Add(47, aEntering);
        }
    };

    // The candidates of a window (w: pairs as they come; later: the window two values on, whose
    // odd values are the Q values one pair later; null when too few values follow): the best
    // count, the strong and the weak mode that led last (0: none), how many weak ones led, and
    // whether a pairing had more than MaxZeros zero values.
    struct TScore {
        int Best = 0, Strong = 0, Weak = 0, WeakUpdates = 0;
        bool Erased = false;
    };
    TScore Score(const TWindow& w, const TWindow* later) const;
    // Scores the window at input position p, decides the mode (0: slide), logs, and updates the
    // lock state; returns the chosen mode.
    int Decide(const TWindow& w, const TWindow* later, int64_t p);
    // The windows at position aAt of the values v (v[0] at input position aFrom, aCount of them);
    // later only when a block in the later pairing fits (aEnd: input size).
    void Windows(const int8_t* v, int64_t aFrom, int64_t aAt, int64_t aEnd, TWindow& w, TWindow& later,
                 bool& aLater) const;
    // The step while locked: decides the block expected at fNext (see the class comment).
    bool LockedStep(TSHORTstream* aIn, TSHORTstream* aOut);
    // Writes the block at input position p found in mode aChosen; leaves the input NearValues
    // before the next expected block.
    void Emit(TSHORTstream* aIn, TSHORTstream* aOut, int64_t p, int aChosen);
    // The mode a block found in mode aChosen is corrected in (aChosen unless NRZ-M keeps a half
    // turn); remembers it.
    int CorrectionMode(int aChosen);

    bool fNrzm;
    bool fMarkerLogged = false;
    const std::array<int8_t, 48>& fSymbols;
    uint8_t fLastMode = 0;
    uint8_t fCorrectionMode = 0;
    int64_t fPos = 0;
    int64_t fNext = -1; // input position of the block expected next while locked (-1: none)
    uint32_t fSyncCount = 0;
    uint32_t fNoSyncCount = 100;
    std::array<int8_t, BlockSize> fBlock{};
    std::array<int8_t, BlockSize + 2> fLater{}; // a block's input in the later pairing
    std::array<int8_t, MaxPositions + 49> fSearch{};
    std::vector<int8_t> fAround; // the values around an expected block that failed
};
