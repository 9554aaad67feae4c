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

    int8_t* store = HugeBuff.data();
    for (uint32_t i = 0; i < FrameSize; ++i) {
        // Read before write: with the write first, branch 0 would come out at once and be one
        // whole store out of step with the other branches.
        uint32_t r = pos_iv + FrameSize * pos_int; // < 2N, both terms are below N
        if (r >= StoreSize) r -= StoreSize;
        bufOut[i] = store[r];
        store[pos_iv] = bufIn[i];

        ++pos_iv;
        if (++pos_int == Branches) {
            pos_int = 0;
            if (++pos_uw == Rows) {
                pos_uw = 0;
                pos_frame += FrameSize;
                if (pos_frame == StoreSize) pos_frame = 0;
            }
        }
        if (pos_iv == StoreSize) pos_iv = 0;
    }
    aOut->Write(bufOut.data(), FrameSize);
    return true;
}
