#include "image/MCUUnit.h"

#include "platform/Exceptions.h"
#include "stages/StageLog.h"
#include "stages/StepPatternThreadUnit.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace {

// Luminance tables of ITU-T T.81: code counts per length 1..16 and symbols in code order (K.3, K.5).
constexpr uint8_t DCBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t DCVals[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t ACBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t ACVals[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22,
    0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33,
    0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34,
    0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55,
    0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76,
    0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5,
    0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4,
    0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1,
    0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Luminance quantisation table (K.1), natural row-major order.
constexpr int32_t BaseQuant[8][8] = {
    {16, 11, 10, 16, 24, 40, 51, 61},     {12, 12, 14, 19, 26, 58, 60, 55},
    {14, 13, 16, 24, 40, 57, 69, 56},     {14, 17, 22, 29, 51, 87, 80, 62},
    {18, 22, 37, 56, 68, 109, 103, 77},   {24, 35, 55, 64, 81, 104, 113, 92},
    {49, 64, 78, 87, 103, 121, 120, 101}, {72, 92, 95, 98, 112, 100, 103, 99}};

// Zigzag position of each natural position (row-major).
constexpr uint8_t ZigzagOf[64] = {0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42,
                                  3,  8,  12, 17, 25, 30, 41, 43, 9,  11, 18, 24, 31, 40, 44, 53,
                                  10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38, 46, 51, 55, 60,
                                  21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

constexpr int32_t HalfDayMs = 43200000;
constexpr int32_t PacketHeadLen = 20;
// One block reads at most 27 + 63 x 26 bits; a block is started only while the position is
// inside the packet, so no block reads further than this past the packet's end.
constexpr int64_t MaxBlockOverrun = 256;

int32_t Extend(int aSize, uint32_t aValue) {
    if (aSize == 0) return 0;
    if (aValue & (1u << (aSize - 1))) return static_cast<int32_t>(aValue);
    return static_cast<int32_t>(aValue) - ((1 << aSize) - 1);
}

// Nearest integer, ties to even (the default rounding mode).
double RoundEven(double aValue) {
    return std::nearbyint(aValue);
}

// Canonical Huffman codes from per-length counts: consecutive within a length, shifted left
// between lengths.
template <class Store> void BuildCanonical(const uint8_t (&aBits)[16], const uint8_t* aVals, Store aStore) {
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < aBits[len - 1]; ++i)
            aStore(aVals[k++], THufCode{static_cast<uint8_t>(len), static_cast<uint16_t>(code++)});
        code <<= 1;
    }
}

// Look-ahead table reproducing the bitwise search: after each bit the entries are compared in
// index order and the first equal one wins, so shorter codes beat longer ones and, within a
// length, lower indices beat higher ones. Filling from the longest length and the highest index
// down lets the winners overwrite.
std::vector<uint16_t> BuildLookup(const THufCode* aEntries, int aCount,
                                  const std::vector<uint8_t>& aSymbols) {
    std::vector<uint16_t> table(65536, 0);
    for (int len = 16; len >= 1; --len)
        for (int i = aCount - 1; i >= 0; --i) {
            const THufCode& e = aEntries[i];
            if (e.Len != len) continue;
            const uint32_t first = static_cast<uint32_t>(e.Code) << (16 - len);
            const uint32_t count = 1u << (16 - len);
            if (first + count > 65536) continue; // a code wider than its length never matches
            std::fill(table.begin() + first, table.begin() + first + count,
                      static_cast<uint16_t>((len << 8) | aSymbols[i]));
        }
    return table;
}

} // namespace

void TMCUBitReader::Reset(const uint8_t* aData, int64_t aSize, int64_t aStartBit) {
    fData = aData;
    fSize = aSize;
    fBitPos = aStartBit;
}

TMCU::TMCU(TSHORTstream* aStream, int aNumChannel) : fNumChannel(aNumChannel), fStream(aStream) {
    for (int n = 0; n < 8; ++n) {
        DCT[0][n] = 1.0 / std::sqrt(8.0);
        for (int u = 1; u < 8; ++u)
            DCT[u][n] = std::cos((2 * n + 1) * u * std::numbers::pi / 16.0) / 2.0;
    }
    for (int u = 0; u < 8; ++u)
        for (int n = 0; n < 8; ++n)
            DCT_T[n][u] = DCT[u][n];
    BuildTables();
}

void TMCU::BuildTables() {
    BuildCanonical(DCBits, DCVals, [this](uint8_t aSymbol, THufCode aCode) { DC_HUF[aSymbol] = aCode; });
    BuildCanonical(ACBits, ACVals,
                   [this](uint8_t aSymbol, THufCode aCode) { AC_HUF[aSymbol >> 4][aSymbol & 15] = aCode; });

    std::vector<uint8_t> dcSymbols(16);
    for (int i = 0; i < 16; ++i)
        dcSymbols[i] = static_cast<uint8_t>(i);
    fDCLookup = BuildLookup(DC_HUF, 16, dcSymbols);

    std::vector<uint8_t> acSymbols(16 * 11);
    for (int run = 0; run < 16; ++run)
        for (int size = 0; size < 11; ++size)
            acSymbols[run * 11 + size] = static_cast<uint8_t>(run << 4 | size);
    fACLookup = BuildLookup(&AC_HUF[0][0], 16 * 11, acSymbols);
}

void TMCU::SetPicture(TBitmap24* aPicture) {
    std::lock_guard<TCriticalSection> guard(*fCS);
    fBMP = aPicture;
    fRowsWritten.clear();
}

void TMCU::MarkWritten(int64_t aRow) {
    if (aRow >= static_cast<int64_t>(fRowsWritten.size()))
        fRowsWritten.resize(static_cast<size_t>(aRow) + 1, 0);
    fRowsWritten[static_cast<size_t>(aRow)] = 1;
}

void TMCU::SetProgress(TProgressControl* aProgress) {
    fProgress = aProgress;
    fProgressPrefix = aProgress ? aProgress->Caption() : std::string();
}

int32_t TMCU::ScanCount() const {
    if (fFirstScanTime < 0) return 0;
    return static_cast<int32_t>(RoundEven((static_cast<int64_t>(g_t) - fFirstScanTime) / ScanPeriodMs));
}

int32_t TMCU::QualityScale(int32_t aQ) {
    if (aQ <= 50) return static_cast<int32_t>(RoundEven(5000.0 / aQ));
    return 200 - 2 * aQ;
}

void TMCU::ScaleQuant(int32_t aQ) {
    const int32_t f = QualityScale(aQ);
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            // base x F is an integer, so a tie (x.5) is exact in double.
            const int32_t q = static_cast<int32_t>(RoundEven(BaseQuant[u][v] * f / 100.0));
            QVANT[u][v] = q < 1 ? 1 : q;
        }
}

uint8_t TMCU::SampleToByte(double aSample) {
    const double r = RoundEven(aSample + 128.0);
    if (r < 0) return 0;
    if (r > 255) return 255;
    return static_cast<uint8_t>(r);
}

int TMCU::DecodeDC(TMCUBitReader& aBits) const {
    const uint16_t hit = fDCLookup[aBits.PeekBits16()];
    if (hit == 0) {
        aBits.SkipBits(16);
        return 0;
    }
    aBits.SkipBits(hit >> 8);
    return hit & 0xFF;
}

void TMCU::DecodeAC(TMCUBitReader& aBits, int& aRun, int& aSize) {
    const uint16_t hit = fACLookup[aBits.PeekBits16()];
    if (hit == 0) {
        aBits.SkipBits(16);
    } else {
        aBits.SkipBits(hit >> 8);
        fLastRun = (hit >> 4) & 15;
        fLastSize = hit & 15;
    }
    aRun = fLastRun;
    aSize = fLastSize;
}

void TMCU::DecodeBlock(TMCUBitReader& aBits, int aX) {
    std::fill(std::begin(DATA), std::end(DATA), 0);
    const int dcSize = DecodeDC(aBits);
    DATA[0] = Extend(dcSize, aBits.ReadBits(dcSize)) + PDIFF;
    PDIFF = DATA[0];
    for (int k = 1; k <= 63;) {
        int run, size;
        DecodeAC(aBits, run, size);
        if (run == 0 && size == 0) break;
        if (run == 15 && size == 0) {
            k += 16;
            continue;
        }
        const int32_t value = Extend(size, aBits.ReadBits(size));
        if (k + run <= 63) DATA[k + run] = value;
        k += run + 1;
    }

    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            RES_QVANT[u][v] = DATA[ZigzagOf[u * 8 + v]];
            RES_DEQVANT[u][v] = RES_QVANT[u][v] * QVANT[u][v];
        }

    // Plain double matrix products; each sum runs over its index in increasing order. Most blocks
    // hold coefficients in a few columns only. A column of zeros adds only zero terms to the sums
    // (a sum starts at +0 and so never becomes -0, and x + 0 is x), so it is left out of both
    // products: the results are those of the full products, bit for bit.
    int used[8];
    int columns = 0;
    for (int v = 0; v < 8; ++v) {
        bool any = false;
        for (int u = 0; u < 8; ++u)
            any |= RES_DEQVANT[u][v] != 0;
        if (any) used[columns++] = v;
    }
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j)
            JPG1[i][j] = 0.0;
        for (int c = 0; c < columns; ++c) {
            const int j = used[c];
            double s = 0.0;
            for (int k = 0; k < 8; ++k)
                s += DCT_T[i][k] * RES_DEQVANT[k][j];
            JPG1[i][j] = s;
        }
    }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double s = 0.0;
            for (int c = 0; c < columns; ++c)
                s += JPG1[i][used[c]] * DCT[used[c]][j];
            JPG[i][j] = s;
        }

    for (int y = 0; y < 8; ++y)
        for (int n = 0; n < 8; ++n) {
            const uint8_t grey = SampleToByte(JPG[y][n]);
            uint8_t* pixel = fTarget[aX + n][y];
            pixel[0] = pixel[1] = pixel[2] = grey;
        }
}

void TMCU::WriteOutStrip(bool aReset) {
    std::lock_guard<TCriticalSection> guard(*fCS);
    if (!fBMP) return;
    if (fBeforeWriting) fBeforeWriting(static_cast<int64_t>(g_y) + 8);
    const int32_t limit = std::min(fMaxZrvLineNum, fBMP->Height());
    const int columns = std::min(StripWidth, fBMP->Width());
    for (int y = 0; y < 8; ++y) {
        const int64_t row = static_cast<int64_t>(g_y) + y;
        if (row < 0 || row >= limit) continue;
        MarkWritten(row);
        uint8_t* line = fBMP->ScanLine(static_cast<int>(row));
        for (int c = 0; c < columns; ++c) {
            line[3 * c] = ij[c][y][0];
            line[3 * c + 1] = ij[c][y][1];
            line[3 * c + 2] = ij[c][y][2];
        }
        if (!aReset) continue;
        for (int c = 0; c < StripWidth; ++c) {
            ij[c][y][0] = 0;
            ij[c][y][1] = 255;
            ij[c][y][2] = 0;
        }
    }
}

void TMCU::WriteOutLate(int64_t aRow, int aFirstColumn, int aEndColumn) {
    std::lock_guard<TCriticalSection> guard(*fCS);
    if (!fBMP) return;
    if (fBeforeWriting) fBeforeWriting(aRow + 8);
    const int32_t limit = std::min(fMaxZrvLineNum, fBMP->Height());
    const int end = std::min({aEndColumn, StripWidth, fBMP->Width()});
    for (int y = 0; y < 8; ++y) {
        const int64_t row = aRow + y;
        if (row < 0 || row >= limit) continue;
        if (aFirstColumn < end) MarkWritten(row);
        uint8_t* line = fBMP->ScanLine(static_cast<int>(row));
        for (int c = aFirstColumn; c < end; ++c) {
            line[3 * c] = fLate[c][y][0];
            line[3 * c + 1] = fLate[c][y][1];
            line[3 * c + 2] = fLate[c][y][2];
        }
    }
}

void TMCU::WriteOutBuildingStrip() {
    std::lock_guard<TCriticalSection> guard(*fCS);
    if (fFirstScanTime < 0) return;
    WriteOutStrip(false);
    fBuildingStripWritten = true;
}

void TMCU::LOG(const std::string& aMess) {
    if (fParentThread) fParentThread->LOG(aMess);
}

bool TMCU::DoProgress() {
    std::lock_guard<TCriticalSection> guard(*fCS);
    if (!fProgress || fProgress->Tag() != 1) return false;
    fProgress->SetCaption(fProgressPrefix + " (" + FormatTimeOfDay(fCurrentScanTime / double(MsPerDay)) +
                          ")");
    fProgress->SetTag(0);
    return true;
}

bool TMCU::ReadMCU() {
    if (fStream->AwaitingReadSize() < static_cast<int64_t>(fNeedAddLen) + 16) return false;

    std::lock_guard<TCriticalSection> guard(*fCS);
    const int64_t start = fStream->Position();
    PDIFF = 0;
    ResetACFallback();

    uint8_t head[6];
    fStream->Read(head, 6);
    const int channel = head[1] >= 0x40 && head[1] <= 0x45 ? head[1] - 0x3F : 0;
    if (channel != fNumChannel) fStream->SetPosition(start + 6);
    if (channel == 0) LOG("Ошибка декодирования");
    if (channel != fNumChannel) throw Exception("NumChannel error");

    const int32_t len = ((head[4] << 8 | head[5]) & 0x3FFF) + 1;
    if (fStream->AwaitingReadSize() < len) {
        fNeedAddLen = len + 6 - 16;
        fStream->SetPosition(start);
        return true;
    }
    fNeedAddLen = 0;
    const int64_t packetEnd = 6 + static_cast<int64_t>(len); // relative to start

    // The packet, and what follows it as far as a block can read, in one piece; bytes that have
    // not arrived read as 0, as from the stream.
    const int64_t wanted = std::max<int64_t>(packetEnd, PacketHeadLen) + MaxBlockOverrun;
    const int64_t have = std::min<int64_t>(6 + fStream->AwaitingReadSize(), wanted);
    fPacket.assign(static_cast<size_t>(std::max<int64_t>(have, PacketHeadLen)), 0);
    std::copy(head, head + 6, fPacket.begin());
    fStream->Read(fPacket.data() + 6, static_cast<int32_t>(have - 6));
    // The next packet starts right behind this one, whatever the blocks consume; set it now, so
    // that a log line that cannot be written does not leave the stream in mid-packet.
    fStream->SetPosition(start + packetEnd);
    const uint8_t* p = fPacket.data();

    int64_t t = static_cast<int64_t>(p[8]) << 24 | p[9] << 16 | p[10] << 8 | p[11];
    int x = 8 * p[14];
    const int word = p[17] << 8 | p[18];
    Q_Value = QQ_VALUE = p[19];
    ++fCount;

    // A pass over midnight: the day restarts at 0, but the strips go on downwards.
    if (t < static_cast<int64_t>(g_t) - HalfDayMs) t += MsPerDay;

    // Every packet is placed by its own time stamp, whatever its MCU number: a scan whose first
    // packet was lost still gets its own rows. A later stamp begins a new strip; a stamp of an
    // earlier scan (a packet arriving late) is drawn straight into that scan's rows, leaving the
    // strip being built alone.
    // Not g_t == 0: a first scan stamped exactly at midnight is a scan like any other.
    const bool begun = fFirstScanTime >= 0;
    const bool newStamp = !begun || t != fStripStamp;
    const int64_t latePeriods =
        newStamp && begun ? static_cast<int64_t>(RoundEven((t - g_t) / ScanPeriodMs)) : 0;
    const bool late = latePeriods < 0;
    if (newStamp && !late) {
        WriteOutStrip(true);
        int64_t periods = 0;
        fStripStamp = static_cast<int32_t>(t);
        if (!begun) {
            fFirstScanTime = static_cast<int32_t>(t);
            fFirstDayCount = p[6] << 8 | p[7];
        } else {
            periods = latePeriods;
            if (periods == 0) {
                g_y = static_cast<int32_t>(g_y + int64_t{8});
                t += 1231;
            } else {
                g_y = static_cast<int32_t>(g_y + 8 * periods);
            }
        }
        g_t = static_cast<int32_t>(t);
        fBuildingStripWritten = false;
        if (fProgress) {
            fCurrentScanTime = static_cast<int32_t>(t);
            fProgress->SetTag(1);
        }
        LOG("конец скана ...  count=" + std::to_string(fCount) + " " + std::to_string(periods) + " " +
            std::to_string(g_t) + " " + std::to_string(fSumLen));
        fSumLen = 0;
        fCount = 0;
    }

    fSumLen = static_cast<int32_t>(static_cast<uint32_t>(fSumLen) +
                                   static_cast<uint32_t>(len)); // a log figure; wraps
    LOG("Ch=" + std::to_string(fNumChannel) + " size=" + std::to_string(len) +
        " tt=" + FormatTimeOfDay(t / double(MsPerDay)) + " x=" + std::to_string(x) +
        " Q.f=" + std::to_string(word) + " Q.v=" + std::to_string(Q_Value));

    if (QQ_VALUE > 0 && x <= 1456) {
        ScaleQuant(QQ_VALUE);
        TMCUBitReader bits;
        bits.Reset(p, have, PacketHeadLen * 8);
        fTarget = late ? fLate : ij;
        const int firstColumn = x;
        int blocks = 0;
        do {
            DecodeBlock(bits, x);
            x += 8;
            ++blocks;
        } while (blocks < 14 && bits.BytesFetched() <= packetEnd);
        fTarget = ij;
        if (late) WriteOutLate(static_cast<int64_t>(g_y) + 8 * latePeriods, firstColumn, x);
        LOG("xt=" + std::to_string(blocks));
    }
    return true;
}
