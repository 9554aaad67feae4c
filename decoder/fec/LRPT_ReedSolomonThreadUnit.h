// Frame stage: corrects each channel-access frame with its four interleaved Reed-Solomon code
// words, removes the pseudo-random sequence, records every frame and passes on the transfer
// frames of virtual channel 5.
#pragma once

#include "fec/TrueRS_LRPT.h"
#include "platform/Streams.h"
#include "stages/StepPatternThreadUnit.h"

#include <atomic>
#include <cstdint>
#include <string>

// Input: 1,024-byte frames (marker + 1,020 bytes) from the stream's start. Output: for each frame
// passed on, its 892 transfer-frame bytes after correction and derandomisation, in one Write.
// Every frame is written to aVCDU (when given) as a 1,024-byte record: the four codec results
// (0 clean, 1..16 symbols corrected, 255 uncorrectable) in place of the marker, then the 1,020
// corrected, derandomised bytes. A frame is passed on when it starts 40 05 and no word failed,
// or regardless of failed words when aFatalErrorIgnor is set. One log line per frame. A record
// whose 1,020 bytes are all zero is no frame (decoded erasures): it is read and dropped, not
// counted, logged nor written.
class TReedSolomonThread : public TStepPatternThread {
  public:
    // aVCDU is borrowed: the session creates it and closes it after this stage has stopped.
    TReedSolomonThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName, TStream* aVCDU,
                       bool aFatalErrorIgnor);

    // One frame per call; false (nothing read) while fewer than 1,024 bytes wait.
    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;

    // Totals for a session summary; readable from any thread.
    uint32_t VCDUcounter() const { return fFrames.load(); }
    uint32_t OkVCDUcounter() const { return fPassedOn.load(); }
    uint64_t TotalCuredSymbols() const { return fTotalCured.load(); }
    uint64_t TotalFailedWords() const { return fTotalFatal.load(); }

  private:
    TTrueRS TrueRS;
    TPolinom DeInterleavedDATA{255, 255, true};
    uint32_t fFatalRSerrors = 0;
    uint32_t fCuredRSerrors = 0;
    uint32_t fVCDUcounter = 0;
    uint32_t fOkVCDUcounter = 0;
    TStream* fVCDU;
    bool fFatalErrorIgnor;
    uint32_t fLastTransportPacketNum = 0xFFFFFFFF;
    std::atomic<uint32_t> fFrames{0}, fPassedOn{0};
    std::atomic<uint64_t> fTotalCured{0}, fTotalFatal{0};
};
