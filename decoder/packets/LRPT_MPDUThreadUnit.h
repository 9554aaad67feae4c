// Packet stage: transfer frames of virtual channel 5 in, whole source packets out, one stream per
// APID 64..70.
#pragma once

#include "packets/LRPT_MPDUunit.h"
#include "stages/StepPatternThreadUnit.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Input: 892-byte transfer frames back to back. Output: aOuts[64..70], created here as streams
// "MPDU_64".."MPDU_70"; each receives accepted packets (6-byte primary header + PacketLEN bytes)
// back to back. Other APIDs are dropped. The streams are handed to aOuts to keep (they outlive
// this stage: the drawing stages and the session read them after it is gone).
//
// A frame is processed only once 20 bytes of the next one wait behind it, because a primary
// header at the end of a zone is peeked across the frame boundary.
class TMPDUThread : public TStepPatternThread {
  public:
    TMPDUThread(TSHORTstream* aIn, TSHORTStreams* aOuts, const std::string& aLogFileName);

    // Processes at most one frame; false when fewer than 912 bytes wait.
    bool DoStepMultiOut(TSHORTstream* aIn, TSHORTStreams* aOuts) override;

    TMPDU& MPDU() { return *MyMPDU; }
    // Totals for a session summary; readable from any thread.
    int32_t VCDUcount() const { return fFramesExamined.load(); }
    uint32_t PacketCount(int aApid) const {
        return aApid >= 64 && aApid <= 70 ? fPackets[aApid - 64].load() : 0;
    }

  private:
    void Accept(TSHORTStreams& aOuts);
    void MoveInto(TSHORTstream& aIn, int64_t aCount);

    std::unique_ptr<TMPDU> MyMPDU;
    uint16_t fPrevCount = 0;
    int32_t fVCDUcount = 0;
    std::atomic<int32_t> fFramesExamined{0};
    std::array<std::atomic<uint32_t>, 7> fPackets{};
};
