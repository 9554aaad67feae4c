#include "fec/LRPT_ViterbiThreadUnit.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

std::string FloatToStrGeneral(long double aValue) {
    if (aValue == 0 || !std::isfinite(aValue))
        return aValue == 0 ? "0" : (std::isnan(aValue) ? "NAN" : "INF");
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14Le", aValue);
    // buf: [-]d.dddddddddddddde[+-]XX
    std::string text(buf);
    const bool negative = text[0] == '-';
    if (negative) text.erase(0, 1);
    const size_t e = text.find('e');
    const int exponent = std::atoi(text.c_str() + e + 1);
    std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    std::string result;
    if (std::fabs(aValue) >= 1e-5L && exponent < 15) {
        if (exponent >= 0) {
            std::string whole =
                digits.substr(0, std::min<size_t>(digits.size(), static_cast<size_t>(exponent) + 1));
            whole.append(static_cast<size_t>(exponent) + 1 - whole.size(), '0');
            const std::string fraction = digits.size() > static_cast<size_t>(exponent) + 1
                                             ? digits.substr(static_cast<size_t>(exponent) + 1)
                                             : "";
            result = whole;
            if (!fraction.empty()) result.append(".").append(fraction);
        } else {
            result.assign("0.");
            result.append(static_cast<size_t>(-exponent - 1), '0');
            result.append(digits);
        }
    } else {
        result = digits.substr(0, 1);
        if (digits.size() > 1) result.append(".").append(digits, 1);
        result.append("E").append(std::to_string(exponent));
    }
    if (negative) result.insert(result.begin(), '-');
    return result;
}

TViterbiThread::TViterbiThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName,
                               bool aNrzm, bool aIterative)
    : TStepPatternThread(aIn, aOut), fNrzm(aNrzm), fIterative(aIterative) {
    SetLogFileName(aLogFileName);
}

void TViterbiThread::BeforeExecute() {
    if (fIterative) {
        fRepair = std::make_unique<TIterativeFrameDecoder>(fNrzm);
        fRecent.assign(3 * static_cast<size_t>(BlockSize), 0); // before the first block: erasures
        fWindow.resize(2 * static_cast<size_t>(TIterativeFrameDecoder::kWindow));
    }
    fViterbi = std::make_unique<TFast8bitSoftViterbiDecoder>();
    fViterbi->SetOnBEREvent([this](TFast8bitSoftViterbiDecoder*, long double aBER) { OnBER(aBER); });
}

void TViterbiThread::OnBER(long double aValue) {
    if (fMuteBER) return;
    ++fBERcount;
    fBER += aValue;
    if (fBERcount % 5 == 0) {
        fLastBER = fBER / 5;
        fBER = 0;
        LOG("BER = " + FloatToStrGeneral(fLastBER));
    }
}

void TViterbiThread::DecodeBlock(const int8_t* aSoft, uint8_t* aPacked) {
    uint8_t bits[BlockSize / 2];
    fViterbi->Decode(aSoft, bits, BlockSize / 2);
    if (fNrzm) fNrzmDecoder.Decode(bits, BlockSize / 2);
    for (int k = 0; k < BlockSize / 16; ++k) {
        uint8_t byte = 0;
        for (int j = 0; j < 8; ++j)
            byte = static_cast<uint8_t>(byte << 1 | (bits[8 * k + j] & 1));
        aPacked[k] = byte;
    }
}

bool TViterbiThread::DoStep(TSHORTstream* aIn, TSHORTstream* aOut) {
    if (fEnded || aIn->AwaitingReadSize() < BlockSize) return false;
    if (!fViterbi) BeforeExecute(); // stepped without a thread (tests, batch runs)
    int8_t soft[BlockSize];
    uint8_t packed[BlockSize / 16];
    aIn->Read(soft, BlockSize);
    DecodeBlock(soft, packed);
    if (fIterative) {
        Hold(soft, packed, aOut);
    } else {
        // The first block's bytes ahead of the marker are the decoder's start, not received bits.
        const int skip = fBlocks == 0 ? LeadBytes : 0;
        aOut->Write(packed + skip, BlockSize / 16 - skip);
        ++fBlocks;
    }
    return true;
}

void TViterbiThread::EndOfInput(TSHORTstream* aOut) {
    if (fEnded || fBlocks == 0) return;
    fEnded = true;
    static const int8_t erasures[BlockSize] = {};
    uint8_t packed[BlockSize / 16];
    fMuteBER = true;
    DecodeBlock(erasures, packed);
    fMuteBER = false;
    if (fIterative)
        Hold(erasures, packed, aOut); // writes up to the end of the last block's frame
    else
        aOut->Write(packed, LeadBytes); // the last 9 bytes of the last block's frame
}

// Frame j (output bytes 1,024 j on) starts 6 pairs before block j: block k's output completes
// frame k - 1, whose window reaches from block k - 2 into block k.
void TViterbiThread::Hold(const int8_t* aSoft, const uint8_t* aPacked, TSHORTstream* aOut) {
    constexpr int64_t kPairs = BlockSize / 2, kFrame = TIterativeFrameDecoder::kFrameBytes;
    const int64_t k = fBlocks++;
    std::memcpy(&fRecent[static_cast<size_t>(k % 3) * BlockSize], aSoft, BlockSize);
    fPending.insert(fPending.end(), aPacked, aPacked + BlockSize / 16);

    const int64_t j = k - 1;
    const int64_t frameEnd = kFrame * (j + 1);
    if (j >= 0) {
        uint8_t* frame = &fPending[static_cast<size_t>(kFrame * j - fWritten)];
        bool clean = true;
        uint8_t word[255];
        for (int i = 0; i < 4 && clean; ++i) {
            for (int m = 0; m < 255; ++m)
                word[m] = frame[4 + i + 4 * m];
            clean = TTrueRS::IsCodeWord(word);
        }
        if (clean) {
            fRepair->Learn(frame);
        } else {
            const int64_t first = kPairs * j - 6 - TIterativeFrameDecoder::kLead;
            for (int64_t p = 0; p < TIterativeFrameDecoder::kWindow; ++p) {
                const int64_t g = first + p;
                const int64_t block = g / kPairs;
                const int8_t* src =
                    g < 0 ? nullptr : &fRecent[static_cast<size_t>(block % 3) * BlockSize + 2 * (g % kPairs)];
                fWindow[static_cast<size_t>(2 * p)] = src ? src[0] : 0;
                fWindow[static_cast<size_t>(2 * p + 1)] = src ? src[1] : 0;
            }
            const int gained = fRepair->Repair(fWindow.data(), frame);
            if (gained > 0) {
                ++fRepairedFrames;
                fRecoveredWords += static_cast<uint32_t>(gained);
            }
        }
    }
    const int64_t ready =
        std::min<int64_t>(frameEnd, fWritten + static_cast<int64_t>(fPending.size())) - fWritten;
    if (ready <= 0) return;
    // Bytes ahead of the first marker (negative positions) are dropped unwritten.
    const int64_t skip = std::min<int64_t>(std::max<int64_t>(-fWritten, 0), ready);
    if (ready > skip) aOut->Write(fPending.data() + skip, static_cast<int32_t>(ready - skip));
    fPending.erase(fPending.begin(), fPending.begin() + ready);
    fWritten += ready;
}
