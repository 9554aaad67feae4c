// Second and later decoding passes over one channel-access frame whose Reed-Solomon code words
// did not all decode on the first pass: the bits known by then are pinned in the trellis of a
// block Viterbi decoder, the words that still fail are decoded again, with the least reliable
// bytes erased where plain decoding fails, and that repeats while it decodes more words.
//
// Known bits: the frame's marker 1ACFFC1D and the next frame's (frame bits 8192..8223), the
// fixed part of the transfer frame header (version and spacecraft id: the first ten bits of
// 40 05, randomised), the header fields that stay the same through a pass once the pass has shown
// them (virtual channel, signalling field, insert zone: pinned while the last kSettled frames
// decoded whole agreed on them), and every byte of a code word that decoded. They are pinned on the bits
// the frame stage sees (randomised, after NRZ-M decoding): in a plain stream a pin fixes the
// decoder's input bit, in an NRZ-M stream the difference of two successive input bits, so the
// stream's polarity stays free.
#pragma once

#include "fec/TrueRS_LRPT.h"

#include <array>
#include <cstdint>
#include <vector>

class TIterativeFrameDecoder {
  public:
    static constexpr int kFrameBytes = 1024; // marker + 1,020
    static constexpr int kFrameBits = 8 * kFrameBytes;
    static constexpr int kLead = 64;                           // code-symbol pairs before the frame
    static constexpr int kTail = 96;                           // pairs after it (the next marker and more)
    static constexpr int kWindow = kLead + kFrameBits + kTail; // pairs a repair reads
    static constexpr int kMaxPasses = 4;                       // pinned passes at most
    // Bytes erased, tried in turn: at most 16, so that a word accepted keeps a decoding radius of 8
    // (a wrong word is accepted once in about 8! tries).
    static constexpr int kErasureTries[] = {2, 4, 6, 8, 10, 12, 14, 16};
    static constexpr int kSettled = 8; // frames that must agree on a field before it is pinned

    explicit TIterativeFrameDecoder(bool aNrzm);

    // aSoft: 2 * kWindow soft values (as the Viterbi decoder takes them) with the frame's first
    // pair at pair kLead; aFrame: its 1,024 bytes as the first pass decoded them (after NRZ-M
    // decoding). When the four words do not all decode, runs the pinned passes; every word that
    // decodes then is written into aFrame: its bytes of the pass that decoded it when plain
    // decoding did (so that the frame stage finds and counts the same corrections), the corrected
    // bytes when it took erasures. Everything else of aFrame stays. Returns the words newly
    // decoded (0 when none, or when all four decoded already).
    int Repair(const int8_t* aSoft, uint8_t* aFrame);

    // Records the header fields of a frame whose four words are code words (1,024 bytes as in
    // Repair). Repair records those of the frames it sees decoded whole itself.
    void Learn(const uint8_t* aFrame);

    // Pinned passes run since construction.
    int64_t Passes() const { return fPasses; }

  private:
    // One pass of the block decoder over the window with the pins of fPin/fPinValue; leaves the
    // best path's states in fStates and the frame's bytes in fBytes.
    void Pass(const int8_t* aSoft);
    // The reliability of each of the pass's bytes in fReliability (only erasures need it).
    void Reliabilities();
    // Sets the pins of the frame's byte q (0..1023) to aValue.
    void PinByte(int q, uint8_t aValue);

    // A header field of the pass: frame byte fByte under fMask.
    struct TField {
        int fByte;
        uint8_t fMask;
        uint8_t fValue = 0; // randomised, as on the stream
        int fRun = 0;       // frames decoded whole in a row that had it
    };
    std::array<TField, 4> fFields{{{5, 0x3F}, {9, 0xFF}, {10, 0xFF}, {11, 0xFF}}};

    bool fNrzm;
    TTrueRS fRS;
    std::vector<uint8_t> fPin, fPinValue; // per window step: pinned, and the frame-stage bit there
    std::vector<uint8_t> fDecision;       // [step][state]: survivor from the odd predecessor
    std::vector<uint8_t> fDelta;          // [step][state]: metric difference of the two, saturated
    std::vector<uint8_t> fStates;         // the best path's state after each step
    std::vector<uint8_t> fBitReliability; // per step: reliability of the frame-stage bit there
    std::array<uint8_t, kFrameBytes> fBytes{};
    std::array<uint8_t, kFrameBytes> fReliability{};
    int64_t fPasses = 0;
};
