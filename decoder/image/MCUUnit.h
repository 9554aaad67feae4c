// Decoder of the JPEG-like image packets of one imager channel into the channel picture.
#pragma once

#include "image/Bitmap24.h"
#include "image/ImageControls.h"
#include "platform/Threads.h"
#include "streams/SHORTstreamUnit_v3.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TStepPatternThread;

// One code of a Huffman table; Len 0 marks an entry that the table does not define.
struct THufCode {
    uint8_t Len = 0;
    uint16_t Code = 0;
};

// Bits of a packet in memory, most significant bit first. Bytes are fetched one at a time as the
// bits are needed; at or past the end of the data a fetch yields 0 and consumes nothing, which is
// how the stream behaves when a packet's data runs past what has arrived.
class TMCUBitReader {
  public:
    // aData (aSize bytes) must stay valid while bits are read. Reading starts at bit aStartBit.
    void Reset(const uint8_t* aData, int64_t aSize, int64_t aStartBit = 0);
    // n = 0..16 bits as an unsigned number, first bit highest.
    uint32_t ReadBits(int aCount) {
        const uint32_t bits = PeekBits16() >> (16 - aCount);
        fBitPos += aCount;
        return aCount == 0 ? 0 : bits;
    }
    // The next 16 bits without consuming them.
    uint32_t PeekBits16() const {
        const int64_t byte = fBitPos >> 3;
        const uint32_t window = (static_cast<uint32_t>(ByteAt(byte)) << 16) |
                                (static_cast<uint32_t>(ByteAt(byte + 1)) << 8) | ByteAt(byte + 2);
        return (window >> (8 - (fBitPos & 7))) & 0xFFFF;
    }
    void SkipBits(int aCount) { fBitPos += aCount; }
    // Bytes fetched so far from the start of the data (the stream position relative to it).
    int64_t BytesFetched() const {
        const int64_t fetched = (fBitPos + 7) >> 3;
        return fetched < fSize ? fetched : fSize;
    }
    int64_t BitPosition() const { return fBitPos; }

  private:
    uint8_t ByteAt(int64_t aIndex) const { return aIndex < fSize ? fData[aIndex] : 0; }

    const uint8_t* fData = nullptr;
    int64_t fSize = 0;
    int64_t fBitPos = 0;
};

// TMCU decodes the packets of one channel's APID stream (whole source packets back to back,
// primary header included) and writes 8-row strips into the channel picture.
//
// Packet: byte 1 the APID's low byte (0x40..0x45 = channel 1..6); bytes 4-5 the length word,
// L = low 14 bits + 1 bytes follow byte 5; bytes 6-7 the day count (big-endian, day 1 =
// 2001-01-01, 0 when the sender gives none); bytes 8-11 the scan's time stamp (ms of the day,
// big-endian); byte 14 the MCU number (first column = 8 x it); bytes 17-18 a word that is only
// logged; byte 19 the quality factor; from byte 20 up to 14 entropy-coded 8x8 blocks (JPEG
// luminance tables, no byte stuffing, no alignment between blocks).
//
// Placement, by each packet's own time stamp t (whatever its MCU number, so that a scan whose first
// packet was lost still lands in its own rows): a t other than the one that began the strip being
// built starts a new strip, unless it lies a scan period or more before that strip (rounded); the
// strip built so far is written at its rows first. The first strip lies at row 0, each later one
// 8 x round((t - previous t) / 1231.14) rows below the previous one (at least 8 rows: a difference
// below half a period advances 8 rows and counts the strip's time as previous t + 1231). A packet
// of an earlier scan (arriving late) is drawn at once into that scan's rows, 8 x that rounded
// (negative) number of periods from the strip being built, over the columns of its blocks only;
// the strip being built is not disturbed. A time stamp more than 12 h before the current strip's
// is taken as the next day (+86,400,000 ms), so a pass over midnight keeps going down the picture.
// Rows outside 0..MaxZrvLineNum-1 (and outside the picture) are not written. Missing blocks are
// green in the picture.
//
// Threads: ReadMCU runs on the drawing stage's thread and holds the stage lock (CS) while it
// handles a packet; DoProgress, WriteOutBuildingStrip and the readers of the picture run on other
// threads under the same lock.
class TMCU {
  public:
    static constexpr int StripWidth = 1569;
    static constexpr double ScanPeriodMs = 1231.14;
    static constexpr int64_t MsPerDay = 86400000;

    TMCU(TSHORTstream* aStream, int aNumChannel);
    TMCU(const TMCU&) = delete;
    TMCU& operator=(const TMCU&) = delete;

    // Examines and decodes at most one packet. False when fewer than NeedAddLen + 16 bytes wait,
    // true otherwise (also when the packet is not yet whole: the position then stays at its start
    // and the next call waits for the whole packet). Throws Exception("NumChannel error") when the
    // packet's channel is not this decoder's; decoding then resumes 6 bytes after that packet's start.
    // A log line that cannot be written is dropped by the stage (see TStepPatternThread::LOG); the
    // stream is positioned behind the packet before anything is logged in any case.
    bool ReadMCU();

    // Main thread, under the stage lock: when the progress control carries the caption-due mark
    // (tag 1), shows the time of the latest strip start in its caption, clears the mark and
    // returns true; otherwise returns false.
    bool DoProgress();

    // Writes the strip being built into the picture at its rows, as the start of the next strip
    // would, but keeps the strip buffer, so a later regular write-out of the same strip is
    // unharmed. Nothing happens before the first strip has begun. Takes the stage lock; meant for
    // the end of a session, so the last scan of a pass reaches the picture.
    void WriteOutBuildingStrip();

    TBitmap24* Picture() const { return fBMP; }
    void SetPicture(TBitmap24* aPicture);
    // Called under the stage lock before the decoder writes picture rows, with the end (exclusive)
    // of the rows about to be written; rows may be written again later, but never before.
    void SetBeforeWriting(std::function<void(int64_t aRowEnd)> aHook) { fBeforeWriting = std::move(aHook); }
    TStepPatternThread* ParentThread() const { return fParentThread; }
    void SetParentThread(TStepPatternThread* aThread) { fParentThread = aThread; }
    // Time stamp of the first strip (ms of the day, 0 included: a scan at midnight); -1 while no
    // strip has begun.
    int32_t FirstScanTime() const { return fFirstScanTime; }
    // Day count of the first strip's packet (day 1 = 2001-01-01); 0 when the packets carry none or
    // no strip has begun. Later strips are not consulted: a pass over midnight keeps the first day
    // and its times of day run on past 24 h, as FirstScanTime and the strip placement do.
    int32_t FirstDayCount() const { return fFirstDayCount; }
    // Scan periods from the first strip to the strip being built.
    int32_t ScanCount() const;
    // True after WriteOutBuildingStrip until the next strip begins.
    bool BuildingStripWritten() const { return fBuildingStripWritten; }
    // Per picture row from the top: 1 where the decoder has written the row (a whole strip or a late
    // packet's blocks), 0 where it has not (a lost scan keeps the picture's background there). Rows
    // past the end of the vector have not been written. Cleared by SetPicture.
    const std::vector<uint8_t>& RowsWritten() const { return fRowsWritten; }
    // Keeps the control and its current caption as the prefix of later captions.
    void SetProgress(TProgressControl* aProgress);
    void SetCS(TCriticalSection* aCS) { fCS = aCS ? aCS : &fOwnCS; }
    TCriticalSection& CS() const { return *fCS; }
    void SetMaxZrvLineNum(int32_t aValue) { fMaxZrvLineNum = aValue; }
    int32_t NeedAddLen() const { return fNeedAddLen; }

    // Building blocks, public for tests.
    // F of the quality scaling: round(5000 / Q) for Q <= 50, 200 - 2Q above (Q >= 1).
    static int32_t QualityScale(int32_t aQ);
    // Fills QVANT from the base table scaled by Q (Q >= 1); entries below 1 become 1.
    void ScaleQuant(int32_t aQ);
    const int32_t (&Quant() const)[8][8] { return QVANT; }
    // Sample + 128 as a byte: nearest integer, ties to even, clamped to 0..255.
    static uint8_t SampleToByte(double aSample);
    // One DC category; 16 bits consumed and category 0 when no code matches.
    int DecodeDC(TMCUBitReader& aBits) const;
    // One AC symbol; 16 bits consumed and the last symbol of the packet reused when no code matches.
    void DecodeAC(TMCUBitReader& aBits, int& aRun, int& aSize);
    // Starts a packet: the reused AC symbol becomes (0, 0).
    void ResetACFallback() { fLastRun = 0, fLastSize = 0; }
    const THufCode (&DCHuf() const)[16] { return DC_HUF; }
    const THufCode (&ACHuf() const)[16][11] { return AC_HUF; }

  private:
    void BuildTables();
    void DecodeBlock(TMCUBitReader& aBits, int aX);
    void WriteOutStrip(bool aReset);
    // Copies columns aFirstColumn..aEndColumn-1 of the late-packet buffer into picture rows
    // aRow..aRow+7 (those inside the picture and below MaxZrvLineNum).
    void WriteOutLate(int64_t aRow, int aFirstColumn, int aEndColumn);
    void LOG(const std::string& aMess);

    int32_t PDIFF = 0;
    uint8_t ij[StripWidth][8][3] = {};
    uint8_t fLate[StripWidth][8][3] = {}; // the blocks of a packet of an earlier scan
    uint8_t (*fTarget)[8][3] = ij;        // where DecodeBlock draws
    double DCT[8][8];
    double DCT_T[8][8];
    double JPG[8][8];
    double JPG1[8][8];
    int32_t RES_DEQVANT[8][8];
    int32_t RES_QVANT[8][8];
    int32_t DATA[64];
    int32_t QVANT[8][8];
    int32_t g_y = 0;
    int32_t g_t = 0;
    int32_t fStripStamp = 0; // the packet time stamp that began the strip (g_t may run ahead of it)
    int32_t Q_Value = 0;
    int32_t QQ_VALUE = 0;
    THufCode DC_HUF[16];
    THufCode AC_HUF[16][11];
    int32_t fNumChannel;
    TSHORTstream* fStream;
    TBitmap24* fBMP = nullptr;
    TStepPatternThread* fParentThread = nullptr;
    std::function<void(int64_t)> fBeforeWriting;
    int32_t fCount = 0;
    int32_t fNeedAddLen = 0;
    int32_t fFirstScanTime = -1;
    int32_t fFirstDayCount = 0;
    int32_t fCurrentScanTime = 0;
    int32_t fSumLen = 0;
    TProgressControl* fProgress = nullptr;
    std::string fProgressPrefix;
    TCriticalSection fOwnCS;
    TCriticalSection* fCS = &fOwnCS;
    int32_t fMaxZrvLineNum = 0;

    bool fBuildingStripWritten = false;
    std::vector<uint8_t> fRowsWritten;
    void MarkWritten(int64_t aRow);
    int fLastRun = 0;
    int fLastSize = 0;
    // 16-bit look-ahead tables giving exactly the symbol of the bitwise search:
    // (code length << 8) | symbol, 0 where no code matches. AC symbols are run << 4 | size.
    std::vector<uint16_t> fDCLookup;
    std::vector<uint16_t> fACLookup;
    std::vector<uint8_t> fPacket;
};
