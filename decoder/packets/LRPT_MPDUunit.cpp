#include "packets/LRPT_MPDUunit.h"

#include "platform/Exceptions.h"
#include "stages/StageLog.h"
#include "stages/StepPatternThreadUnit.h"

void TMPDUFRAME::Decode(const uint8_t* h) {
    const uint16_t w0 = static_cast<uint16_t>(h[0] << 8 | h[1]);
    const uint16_t w1 = static_cast<uint16_t>(h[2] << 8 | h[3]);
    const uint16_t w2 = static_cast<uint16_t>(h[4] << 8 | h[5]);
    SecHedFLAG = static_cast<uint8_t>(w0 >> 11 & 1);
    APID = static_cast<uint16_t>(w0 & 0x7FF);
    SeqFLAG = static_cast<uint8_t>(w1 >> 14);
    SeqCOUNT = static_cast<uint16_t>(w1 & 0x3FFF);
    PacketLEN = static_cast<uint16_t>(w2 + 1);
}

bool TMPDUFRAME::HEDCHECK() {
    if (Size() < 6) return false;
    Decode(Memory());
    return APID >= 64 && APID <= 70;
}

bool TMPDUFRAME::HEDCHECK(TSHORTstream& aStream) {
    if (aStream.AwaitingReadSize() < 6) return false;
    uint8_t header[6];
    const int64_t where = aStream.Position();
    aStream.Read(header, 6);
    aStream.SetPosition(where);
    Decode(header);
    return APID >= 64 && APID <= 70;
}

bool TMPDUFRAME::CHECK(TSHORTStreams& aStreams) {
    SetPosition(0);
    const bool valid = HEDCHECK() && Size() == PacketLEN + 6;
    if (fMaster && fMaster->fDoLOG) {
        fMaster->LOG(std::string(valid ? "CHECKED " : "ERROR   ") + std::to_string(APID) + " " +
                     std::to_string(SeqCOUNT) + " " + std::to_string(PacketLEN) + " " +
                     std::to_string(Size()) + " " + std::to_string(SecHedFLAG) + " " +
                     std::to_string(SeqFLAG));
    }
    if (valid) aStreams.GetStreams(APID)->Write(Memory(), PacketLEN + 6);
    return valid;
}

TMPDU::TMPDU(TSHORTstream* aStreamIn, TSHORTStreams* sStreamOut, TStepPatternThread* aParent,
             std::string aLogFileName)
    : fStreamIn(aStreamIn), fStreamOut(sStreamOut), fParent(aParent), fLogFileName(std::move(aLogFileName)) {}

void TMPDU::LOG(const std::string& st) {
    if (fLogFileName.empty()) return;
    // The stage's own log: its buffered writer keeps the lines of both in the order they came.
    if (fParent && fParent->LogFileName() == fLogFileName) {
        fParent->LOG(st);
        return;
    }
    try {
        AppendLogLineLocked(fLogFileName, st);
    } catch (const EInOutError&) {
        ++fLostLogLines; // as the stage's own lines: a lost line must not cost a packet
    }
}
