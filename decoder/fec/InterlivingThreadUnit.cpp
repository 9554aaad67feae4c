#include "fec/InterlivingThreadUnit.h"

TInterlivingThread::TInterlivingThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName)
    : TStepPatternThread(aIn, aOut), HugeBuff(StoreSize, 0), bufIn(FrameSize), bufOut(FrameSize) {
    // Kept for the record only: this stage never logs, so it must not delete or create the file.
    fLogFileName = aLogFileName;
}

bool TInterlivingThread::DoStep(TSHORTstream* aIn, TSHORTstream* aOut) {
    if (aIn->AwaitingReadSize() < FrameSize) return false;
    aIn->Read(bufIn.data(), FrameSize);
    aIn->ClearNotActualMemory();

    // The store's block for input block k (mod 36) is read, branch by branch, at block k + b: a
    // branch's values of one block lie together, so a block touches its 73,728 values twice
    // instead of one value in 36 across the whole store. Branch 0 reads the very slot it then
    // writes, each value before it is overwritten.
    const int8_t* in = bufIn.data();
    int8_t* out = bufOut.data();
    for (uint32_t b = 0; b < Branches; ++b) {
        const int8_t* from = HugeBuff.data() + (b * Branches + (fSlot + b) % Branches) * Rows;
        int8_t* to = HugeBuff.data() + (b * Branches + fSlot) * Rows;
        for (uint32_t row = 0; row < Rows; ++row) {
            out[Branches * row + b] = from[row];
            to[row] = in[Branches * row + b];
        }
    }
    fSlot = (fSlot + 1) % Branches;
    aOut->Write(bufOut.data(), FrameSize);
    return true;
}
