#include "SoftSymbolWriter.h"

#include <algorithm>
#include <cmath>

namespace precise {

TSymbolForm SymbolFormOfPath(const std::string& aPath) {
    const size_t slash = aPath.find_last_of('/');
    const size_t dot = aPath.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return hasExt && aPath.compare(dot, std::string::npos, ".raw") == 0 ? TSymbolForm::Soft3
                                                                        : TSymbolForm::Soft8;
}

int8_t Soft8Value(float aValue, double aScale) {
    const double v = std::nearbyint(double(aValue) * aScale);
    if (std::isnan(v)) return 0; // an erasure; converting NaN to an integer is undefined
    return int8_t(std::clamp(v, -127.0, 127.0));
}

double Soft8Scale(double aNoiseRatio) {
    return std::clamp(127 / (1 + 3 * std::max(aNoiseRatio, 0.0)), 24.0, 72.0);
}

uint8_t Soft3Code(float aValue) {
    const float a = std::fabs(aValue) * 70;
    const uint8_t m = a < 24 ? 0 : a < 48 ? 1 : a < 72 ? 2 : 3;
    return aValue >= 0 ? m : uint8_t(7 - m);
}

bool TSoftSymbolWriter::Open(const std::string& aPath) {
    Close();
    fFailed = false;
    fSymbols = 0;
    fForm = SymbolFormOfPath(aPath);
    fFile = std::fopen(aPath.c_str(), "wb");
    return fFile != nullptr;
}

void TSoftSymbolWriter::Write(const TSoftPair* aPairs, size_t aCount, double aNoiseRatio) {
    if (!fFile || aCount == 0) return;
    fBytes.clear();
    if (fForm == TSymbolForm::Soft3) {
        fBytes.reserve(aCount);
        for (size_t k = 0; k < aCount; ++k)
            fBytes.push_back(uint8_t(Soft3Code(aPairs[k].Q) << 4 | Soft3Code(aPairs[k].I)));
    } else {
        const double scale = Soft8Scale(aNoiseRatio);
        fBytes.reserve(2 * aCount);
        for (size_t k = 0; k < aCount; ++k) {
            fBytes.push_back(uint8_t(Soft8Value(aPairs[k].Q, scale)));
            fBytes.push_back(uint8_t(Soft8Value(aPairs[k].I, scale)));
        }
    }
    if (std::fwrite(fBytes.data(), 1, fBytes.size(), fFile) != fBytes.size()) fFailed = true;
    fSymbols += int64_t(aCount);
}

void TSoftSymbolWriter::Flush() {
    if (fFile && std::fflush(fFile) != 0) fFailed = true;
}

void TSoftSymbolWriter::Close() {
    if (!fFile) return;
    if (std::fclose(fFile) != 0) fFailed = true;
    fFile = nullptr;
}

} // namespace precise
