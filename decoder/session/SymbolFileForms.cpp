#include "session/SymbolFileForms.h"

#include "platform/Streams.h"

#include <vector>

TExpansionTables::TExpansionTables() {
    static const int8_t kSoft[16] = {12, 36, 60, 84, -84, -60, -36, -12, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int b = 0; b < 256; ++b) {
        for (int j = 0; j < 8; ++j)
            fHardToSoft[b][j] = (b >> (7 - j) & 1) ? 70 : -70;
        f3BitSoftToSoft[b][0] = kSoft[b >> 4];
        f3BitSoftToSoft[b][1] = kSoft[b & 15];
    }
}

TDemodulatorModes DemModeFromFileName(const std::string& aFileName, TDemodulatorModes aCurrent) {
    const size_t dot = aFileName.rfind('.');
    // A dot inside a folder name is no extension.
    const size_t slash = aFileName.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return aCurrent;
    const std::string ext = aFileName.substr(dot);
    if (ext == ".s") return dm_8BitSoft;
    if (ext == ".raw") return dm_3BitSoft;
    if (ext == ".hard") return dm_Hard;
    return aCurrent;
}

int SoftValuesPerByte(TDemodulatorModes aMode) {
    return aMode == dm_Hard ? 8 : aMode == dm_3BitSoft ? 2 : 1;
}

int ExpandBlock(const TExpansionTables& aTables, TDemodulatorModes aMode, const uint8_t* aIn, int aCount,
                int8_t* aOut) {
    switch (aMode) {
    case dm_3BitSoft:
        for (int i = 0; i < aCount; ++i) {
            aOut[2 * i] = aTables.f3BitSoftToSoft[aIn[i]][0];
            aOut[2 * i + 1] = aTables.f3BitSoftToSoft[aIn[i]][1];
        }
        return 2 * aCount;
    case dm_Hard:
        for (int i = 0; i < aCount; ++i)
            for (int j = 0; j < 8; ++j)
                aOut[8 * i + j] = aTables.fHardToSoft[aIn[i]][j];
        return 8 * aCount;
    default:
        for (int i = 0; i < aCount; ++i)
            aOut[i] = static_cast<int8_t>(aIn[i]);
        return aCount;
    }
}

void ExchangePairs(int8_t* aValues, int aCount) {
    for (int i = 0; i + 1 < aCount; i += 2) {
        const int8_t first = aValues[i];
        aValues[i] = aValues[i + 1];
        aValues[i + 1] = first;
    }
}

int64_t ConvertSoftToHard(const std::string& aSoftFileName) {
    constexpr int64_t Block = 80000;
    TFileStream in(aSoftFileName, TFileMode::fmOpenRead);
    TFileStream out(aSoftFileName + ".hard", TFileMode::fmCreate);
    std::vector<uint8_t> soft(Block), hard(Block / 8);
    const int64_t size = in.Size();
    int64_t written = 0;
    while (in.Position() + 8 <= size) {
        const int64_t n = std::min(Block, (size - in.Position()) / 8 * 8);
        in.ReadBuffer(soft.data(), n);
        for (int64_t i = 0; i < n / 8; ++i) {
            uint8_t byte = 0;
            for (int j = 0; j < 8; ++j)
                byte = static_cast<uint8_t>(byte << 1 |
                                            (static_cast<int8_t>(soft[static_cast<size_t>(8 * i + j)]) > 0));
            hard[static_cast<size_t>(i)] = byte;
        }
        out.WriteBuffer(hard.data(), n / 8);
        written += n / 8;
    }
    out.Flush();
    return written;
}
