// Viterbi stage: decodes blocks of one encoded frame into 1,024 bytes and logs the decoder's
// quality figure.
#pragma once

#include "fec/Fast8bitSoftViterbiUnit.h"
#include "fec/IterativeFrameDecoder.h"
#include "stages/StepPatternThreadUnit.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// NRZ-M differential decoding of a bit stream that arrives in pieces: b_k = e_k XOR e_(k-1), with
// e_(-1) = 0 before the first piece. Bits are values 0 / 1, one per byte (only bit 0 is read).
// A complemented stream gives the same bits, except b_0 when e_(-1) is taken wrongly.
class TNrzmDecoder {
  public:
    void Decode(uint8_t* aBits, int aCount) {
        for (int k = 0; k < aCount; ++k) {
            const uint8_t e = aBits[k] & 1;
            aBits[k] = static_cast<uint8_t>(e ^ fLast);
            fLast = e;
        }
    }

  private:
    uint8_t fLast = 0;
};

// Input: blocks of 16,384 soft values from the sync stage, each starting at code-symbol pair 6 of
// a frame's marker. Output: decoded bits packed eight to a byte, the first in the most significant
// bit, from the first block's marker on: every 1,024 output bytes are one channel-access frame
// starting 1ACFFC1D, frame j at byte 1,024 j. The decoder's fixed delay of 78 bits puts the first
// marker's first bit at decoded byte 9 (LeadBytes); the decoded bytes before it hold no received
// bit and are not written, so that nothing ahead of the first marker passes for a frame.
// Because of that delay block k completes frame k - 1 (its last 9 bytes); the frame of the last
// block stays incomplete until EndOfInput.
//
// NRZ-M (aNrzm): the decoded bits are the differentially encoded ones; they are decoded
// (TNrzmDecoder) before packing, continuously across blocks, so the frames stand where they
// would in a plain stream.
//
// Iterative (aIterative): each frame is checked here as soon as its bytes are complete, and one
// whose four Reed-Solomon words do not all decode goes through TIterativeFrameDecoder before it
// is written, on the soft values the stage keeps of its last three blocks. The stage holds the
// check, rather than the frame stage asking back, because only it has the soft values and the
// frame's bits at the same time: the frame stage may run any number of frames behind. A frame is
// therefore written one block later than without (its last 9 bytes come from the next block), and
// the part of a frame the last block began stays unwritten; the frame stage could not take that
// part either. A frame whose words are code words costs a remainder test of each; one with errors
// a Reed-Solomon decoding of each more; only a frame with a word beyond repair pays for passes.
// Frames whose four words decode are written unchanged.
//
// Log: "BER = <average>" for every five quality reports of the decoder (one per 40 blocks).
class TViterbiThread : public TStepPatternThread {
  public:
    static constexpr int BlockSize = 16384;
    static constexpr int LeadBytes = 9; // decoded bytes ahead of the first marker

    TViterbiThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName, bool aNrzm = false,
                   bool aIterative = false);

    // Builds the decoder (its tables are large, so this runs on the stage's own thread).
    void BeforeExecute() override;
    // One block per call; false (nothing read) while fewer than 16,384 values wait, or after
    // EndOfInput.
    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;
    // The input has ended (the stage's thread has finished, or it is stepped without one, and
    // every whole block has been taken): decodes one block of erasures (value 0) behind the last
    // block, so that the decoder's delay lets go of that block's frame, and writes aOut up to the
    // end of that frame, nothing of the erasures' own. Iterative: the frame may be repaired as any
    // other. The erasures give no quality report. Does nothing before the first block or a second
    // time; no block is taken afterwards.
    void EndOfInput(TSHORTstream* aOut);

    bool Nrzm() const { return fNrzm; }
    long double LastBER() const { return fLastBER; }
    int32_t BERcount() const { return fBERcount; }
    bool Iterative() const { return fIterative; }
    // Frames the iterative passes changed and the code words they decoded; readable from any thread.
    uint32_t RepairedFrames() const { return fRepairedFrames.load(); }
    uint32_t RecoveredWords() const { return fRecoveredWords.load(); }

  private:
    void OnBER(long double aValue);
    // Decodes one block into the packed bytes of the output (NRZ-M decoded).
    void DecodeBlock(const int8_t* aSoft, uint8_t* aPacked);
    // Iterative: takes the block's soft values and output, repairs the frame they complete and
    // writes everything up to its end.
    void Hold(const int8_t* aSoft, const uint8_t* aPacked, TSHORTstream* aOut);

    std::unique_ptr<TFast8bitSoftViterbiDecoder> fViterbi;
    bool fNrzm;
    TNrzmDecoder fNrzmDecoder;
    bool fEnded = false;   // EndOfInput has run
    bool fMuteBER = false; // the erasures of EndOfInput are decoding
    long double fBER = 0;
    long double fLastBER = 0;
    int32_t fBERcount = 0;

    bool fIterative;
    std::unique_ptr<TIterativeFrameDecoder> fRepair;
    std::vector<int8_t> fRecent;   // the soft values of the last three blocks, block b in slot b % 3
    std::vector<uint8_t> fPending; // output not yet written, from output byte fWritten on
    std::vector<int8_t> fWindow;
    int64_t fBlocks = 0;
    int64_t fWritten = -LeadBytes; // negative until the first marker: those bytes are dropped
    std::atomic<uint32_t> fRepairedFrames{0}, fRecoveredWords{0};
};

// A number as the log writes it: up to 15 significant digits, fixed notation from 0.00001 up to
// 15 integer digits, otherwise mantissa and exponent ("1.5E-6", "2E20"); "0" for zero.
std::string FloatToStrGeneral(long double aValue);
