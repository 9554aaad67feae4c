#include "app/RunLoop.h"

void TakeInputRate(TCostasReceiver& aRx, TDisplaySampler* aSampler, int64_t aRateHz) {
    if (aRateHz <= 0 || aRateHz > 536870911) return;
    aRx.SetSamp(int32_t(aRateHz * 4));
    if (aSampler) aSampler->SetStepNs(250000000 / aRateHz);
}

TRunLoop::TTick TRunLoop::Tick() {
    const bool swap = fRx.Params().IqSwap;
    const int frames = fSource.ReadModelBlock(fBlock, swap);
    // A partial block is the end of the file: only the frames read are processed, never the
    // contents of the previous block behind them.
    fRx.ProcessFrames(fBlock, frames, fOutput);
    for (int n = 0; n < frames; ++n) {
        const ReceiverFrame& f = fBlock.Frames[size_t(n)];
        fClippedFrames += f.I < -512 || f.I > 511 || f.Q < -512 || f.Q > 511;
    }
    fFrames += frames;
    if (fRx.State().Locked) fLockedFrames += frames;
    if (frames == ReceiverBlock::FrameCount) return tk_Block;
    fOutput.Flush();
    return tk_End;
}
