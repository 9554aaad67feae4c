// The block tick of the demodulator: read one block of the input, run the receiver over it,
// hand its symbols to the writer. Shared by the window's timer and the batch tool.
#pragma once

#include "app/SampleSource.h"
#include "app/SymbolWriter.h"
#include "core/CostasReceiver.h"

#include <cstdint>

// Takes the input's sample rate in Hz (1..536870911; others change nothing): Samp = 4 x rate, and
// the display step of 250000000 / rate ns (aSampler may be nullptr). Nothing is recomputed; Run
// does that with ComputeWords.
void TakeInputRate(TCostasReceiver& aRx, TDisplaySampler* aSampler, int64_t aRateHz);

// Borrows the receiver, the input and the writer; the caller owns them.
class TRunLoop {
  public:
    enum TTick {
        tk_Block, // a whole block was processed
        tk_End,   // the input ended: its last frames (if any) were processed once, the writer flushed
    };

    // Reads through the input layer (every encoding on the model's scale). Its read errors
    // (TInputError) leave Tick.
    TRunLoop(TCostasReceiver& aRx, TSampleSource& aInput, TSymbolWriter& aOutput)
        : fRx(aRx), fSource(aInput), fOutput(aOutput) {}

    TTick Tick();

    int64_t FramesProcessed() const { return fFrames; }
    // Frames processed with the receiver locked at the end of their block.
    int64_t FramesLocked() const { return fLockedFrames; }
    // Frames with I or Q outside the model's input range -512..511, which it clamps: a recording
    // louder than the model expects.
    int64_t FramesClipped() const { return fClippedFrames; }

  private:
    TCostasReceiver& fRx;
    TSampleSource& fSource;
    TSymbolWriter& fOutput;
    ReceiverBlock fBlock;
    int64_t fFrames = 0;
    int64_t fLockedFrames = 0;
    int64_t fClippedFrames = 0;
};
