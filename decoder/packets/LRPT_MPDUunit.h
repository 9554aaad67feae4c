// Reassembly of source packets from the packet zones of transfer frames.
#pragma once

#include "platform/Streams.h"
#include "streams/SHORTstreamUnit_v3.h"

#include <cstdint>
#include <memory>
#include <string>

class TMPDU;
class TStepPatternThread;

// One source packet under reassembly: its bytes, primary header first, are the memory stream's
// content. Header fields are those of the last successful HEDCHECK.
class TMPDUFRAME : public TMemoryStream {
  public:
    // aMaster may be null for a scratch record that only peeks at headers.
    explicit TMPDUFRAME(TMPDU* aMaster) : fMaster(aMaster) {}

    // Parses the record's own first 6 bytes. False (fields unchanged) when it holds fewer;
    // otherwise true when 64 <= APID <= 70.
    bool HEDCHECK();
    // Parses the 6 bytes at the stream's read position without consuming them. False (fields
    // unchanged) when fewer than 6 bytes wait; otherwise true when 64 <= APID <= 70.
    bool HEDCHECK(TSHORTstream& aStream);
    // Valid when the header parses and the record holds exactly PacketLEN + 6 bytes; logs a
    // "CHECKED " or "ERROR   " line and appends a valid packet to aStreams[APID].
    bool CHECK(TSHORTStreams& aStreams);

    uint16_t APID = 0;
    uint8_t SeqFLAG = 0;
    uint8_t SecHedFLAG = 0;
    uint16_t SeqCOUNT = 0;
    // Header length field + 1, in 16 bits: the bytes behind the 6-byte primary header.
    uint16_t PacketLEN = 0;

  private:
    void Decode(const uint8_t* aHeader);

    TMPDU* fMaster;
};

// The reassembler of the packet stage: the packet in progress and the packet log.
class TMPDU {
  public:
    TMPDU(TSHORTstream* aStreamIn, TSHORTStreams* sStreamOut, TStepPatternThread* aParent,
          std::string aLogFileName);

    // Appends a line to the packet log. When the log is the parent stage's own, through the
    // stage's writer (which counts lost lines); otherwise while holding the log lock. Nothing when
    // there is no log file; a line that cannot be written is dropped and counted.
    void LOG(const std::string& st);
    int64_t fLostLogLines = 0;

    TSHORTstream* fStreamIn;
    TSHORTStreams* fStreamOut;
    std::unique_ptr<TMPDUFRAME> fMPDU;
    TStepPatternThread* fParent;
    std::string fLogFileName;
    bool fDoLOG = true;
};
