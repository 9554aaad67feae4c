#include "fec/LRPT_ReedSolomonThreadUnit.h"

#include "fec/Randomization.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Hex(const uint8_t* aBytes, int aCount) {
    std::string text;
    char two[3];
    for (int i = 0; i < aCount; ++i) {
        std::snprintf(two, sizeof two, "%02X", aBytes[i]);
        text += two;
    }
    return text;
}

} // namespace

TReedSolomonThread::TReedSolomonThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName,
                                       TStream* aVCDU, bool aFatalErrorIgnor)
    : TStepPatternThread(aIn, aOut), fVCDU(aVCDU), fFatalErrorIgnor(aFatalErrorIgnor) {
    SetLogFileName(aLogFileName);
}

bool TReedSolomonThread::DoStep(TSHORTstream* aIn, TSHORTstream* aOut) {
    if (aIn->AwaitingReadSize() < 1024) return false;
    uint8_t C[1024];
    aIn->Read(C, 1024);
    uint8_t* F = C + 4;
    // All-zero words are code words, but no sent frame has them: it would derandomise to the
    // sequence itself, header FF 48, which no frame carries. Such a record is decoded erasures
    // (an input padded with zeros), not a received frame.
    if (std::all_of(F, F + 1020, [](uint8_t b) { return b == 0; })) return true;
    const std::string sync = Hex(C, 4);

    for (int i = 0; i < 4; ++i) {
        for (int m = 0; m < 255; ++m)
            DeInterleavedDATA.d[m] = F[i + 4 * m];
        const uint16_t res = TrueRS.Check(DeInterleavedDATA, DeInterleavedDATA);
        C[i] = static_cast<uint8_t>(res);
        if (res >= 255) {
            ++fFatalRSerrors;
        } else if (res > 0 && res < 127) {
            fCuredRSerrors += res;
            for (int m = 0; m < 255; ++m)
                F[i + 4 * m] = DeInterleavedDATA.d[m];
        }
    }

    // Correction runs on the randomised bytes: each interleaved slice of the sequence is itself a
    // code word, so the sequence can be removed afterwards.
    Derandomize(F, true);
    if (fVCDU) fVCDU->WriteBuffer(C, 1024);

    std::string jumpText;
    if ((fFatalRSerrors == 0 || fFatalErrorIgnor) && F[0] == 0x40 && F[1] == 0x05) {
        const uint32_t counter = static_cast<uint32_t>(F[2]) << 16 | static_cast<uint32_t>(F[3]) << 8 | F[4];
        const auto jump = static_cast<int32_t>(counter - fLastTransportPacketNum);
        if (fLastTransportPacketNum != 0xFFFFFFFF && jump != 1)
            jumpText = " CountJump= " + std::to_string(jump);
        fLastTransportPacketNum = counter;
        aOut->Write(F, 892);
        ++fOkVCDUcounter;
    }

    LOG(std::to_string(fVCDUcounter) + " " + std::to_string(fOkVCDUcounter) + " SYNC=" + sync +
        " CuredRS=" + std::to_string(fCuredRSerrors) + " FatalRS=" + std::to_string(fFatalRSerrors) + " " +
        Hex(F, 12) + jumpText);

    fTotalCured += fCuredRSerrors;
    fTotalFatal += fFatalRSerrors;
    fCuredRSerrors = 0;
    fFatalRSerrors = 0;
    ++fVCDUcounter;
    fFrames.store(fVCDUcounter);
    fPassedOn.store(fOkVCDUcounter);
    return true;
}
