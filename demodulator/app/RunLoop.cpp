#include "app/RunLoop.h"

void TakeInputRate(TCostasReceiver& aRx, TDisplaySampler* aSampler, const TWavFormat& aFormat) {
    if (aFormat.SampleRate <= 0) return;
    aRx.SetSamp(int32_t(int64_t(aFormat.SampleRate) * 4));
    if (aSampler) aSampler->SetStepNs(250000000 / aFormat.SampleRate);
}

TRunLoop::TTick TRunLoop::Tick() {
    if (!fInput.Readable()) return tk_Idle;
    const int frames = fInput.ReadBlock(fBlock, fRx.Params().IqSwap);
    // A partial block is the end of the file: only the frames read are processed, never the
    // contents of the previous block behind them.
    fRx.ProcessFrames(fBlock, frames, fOutput);
    fFrames += frames;
    if (fRx.State().Locked) fLockedFrames += frames;
    if (frames == ReceiverBlock::FrameCount) return tk_Block;
    fOutput.Flush();
    return tk_End;
}
