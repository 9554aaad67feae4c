#include "app/WavInput.h"

#include <cstring>

namespace {

bool ReadBytes(std::FILE* f, void* aTo, size_t n) {
    return std::fread(aTo, 1, n, f) == n;
}

bool ReadLe(std::FILE* f, int aBytes, int64_t& aValue) {
    uint8_t b[4];
    if (!ReadBytes(f, b, size_t(aBytes))) return false;
    uint32_t v = 0;
    for (int i = aBytes - 1; i >= 0; --i)
        v = v << 8 | b[i];
    aValue = aBytes == 4 ? int64_t(int32_t(v)) : int64_t(v);
    return true;
}

bool ReadId(std::FILE* f, const char* aId) {
    char b[4];
    return ReadBytes(f, b, 4) && std::memcmp(b, aId, 4) == 0;
}

bool Skip(std::FILE* f, int64_t n) {
    return n >= 0 && fseeko(f, off_t(n), SEEK_CUR) == 0;
}

int32_t Le16s(const uint8_t* p) {
    return int16_t(uint16_t(p[0] | p[1] << 8));
}
int32_t Le24s(const uint8_t* p) {
    const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    return int32_t(v << 8) >> 8;
}
int32_t Le32s(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

} // namespace

int64_t ParseWavHeader(std::FILE* f, TWavFormat& fmt) {
    if (std::fseek(f, 0, SEEK_SET) != 0) return wh_NoRiff;
    int64_t v = 0;
    if (!ReadId(f, "RIFF")) return wh_NoRiff;
    if (!ReadLe(f, 4, v)) return wh_NoWave; // RIFF size, ignored
    if (!ReadId(f, "WAVE")) return wh_NoWave;
    int64_t offset = 12;

    if (!ReadId(f, "fmt ")) return wh_NoFmt;
    if (!ReadLe(f, 4, v)) return wh_NoFmt;
    fmt.FmtSize = int32_t(v);
    const int sizes[6] = {2, 2, 4, 4, 2, 2};
    int32_t* fields[6] = {&fmt.AudioFormat, &fmt.NumChannels, &fmt.SampleRate,
                          &fmt.ByteRate,    &fmt.BlockAlign,  &fmt.BitsPerSample};
    for (int i = 0; i < 6; ++i) {
        if (!ReadLe(f, sizes[i], v)) return wh_NoFmt;
        *fields[i] = int32_t(v);
    }
    // The size is unsigned on disk; one that reads negative cannot be skipped.
    if (fmt.FmtSize < 0) return wh_NoFmt;
    if (fmt.FmtSize > 16 && !Skip(f, int64_t(fmt.FmtSize) - 16)) return wh_NoFmt;
    offset += int64_t(fmt.FmtSize) + 8;

    for (int chunk = 0; chunk < 3; ++chunk) {
        char id[4];
        if (!ReadBytes(f, id, 4) || !ReadLe(f, 4, v)) return wh_NoData;
        if (std::memcmp(id, "data", 4) == 0) return offset + 8;
        const int64_t size = int64_t(uint32_t(v));
        if (!Skip(f, size)) return wh_NoData;
        offset += size + 8;
    }
    return wh_NoData;
}

bool ConvertFrames(const uint8_t* raw, int aCount, int aBlockAlign, bool aIqSwap, ReceiverBlock& aBlock) {
    if (aCount < 0) aCount = 0;
    if (aCount > ReceiverBlock::FrameCount) aCount = ReceiverBlock::FrameCount;
    for (int n = 0; n < aCount; ++n) {
        const uint8_t* p = raw + size_t(n) * size_t(aBlockAlign);
        int32_t i, q;
        switch (aBlockAlign) {
        case 2:
            i = int8_t(p[0]), q = int8_t(p[1]);
            break;
        case 4:
            i = Le16s(p + 2) / 8, q = Le16s(p) / 8;
            break;
        case 6:
            i = Le24s(p + 3), q = Le24s(p);
            break;
        case 8:
            i = Le32s(p + 4), q = Le32s(p);
            break;
        default:
            return false;
        }
        aBlock.Frames[n] = aIqSwap ? ReceiverFrame{q, i} : ReceiverFrame{i, q};
    }
    return aBlockAlign == 2 || aBlockAlign == 4 || aBlockAlign == 6 || aBlockAlign == 8;
}

std::string FileTimeText(int64_t aPosition, int32_t aByteRate) {
    int64_t ms = 0;
    if (aByteRate > 0) ms = int64_t(double(aPosition) / double(aByteRate) * 1000.0);
    char text[48];
    std::snprintf(text, sizeof text, " %02lld:%02d:%03d", (long long)(ms / 60000), int(ms / 1000 % 60),
                  int(ms % 1000));
    return text;
}

int64_t BarSeekOffset(int64_t aFileSize, int aBarPosition, int32_t aBlockAlign, int64_t aDataOffset) {
    if (aBlockAlign <= 0) return aDataOffset;
    return ((aFileSize / 100) * aBarPosition / aBlockAlign) * aBlockAlign + aDataOffset;
}

bool TWavInput::Open(const std::string& aPath) {
    Close();
    fFile = std::fopen(aPath.c_str(), "rb");
    if (!fFile) return false;
    fseeko(fFile, 0, SEEK_END);
    fSize = int64_t(ftello(fFile));
    fFormat = TWavFormat{};
    fDataOffset = ParseWavHeader(fFile, fFormat);
    fProblem.clear();
    if (fDataOffset < 0) {
        fProblem = "Not a usable WAV file (header code " + std::to_string(fDataOffset) + ")";
    } else if (fFormat.BlockAlign != 2 && fFormat.BlockAlign != 4 && fFormat.BlockAlign != 6 &&
               fFormat.BlockAlign != 8) {
        fProblem = "Unsupported block alignment " + std::to_string(fFormat.BlockAlign) +
                   " (frames of 2, 4, 6 or 8 bytes only)";
    } else if (fFormat.SampleRate <= 0 || fFormat.SampleRate > 536870911) {
        fProblem = "Unsupported sample rate " + std::to_string(fFormat.SampleRate);
    }
    fPosition = fDataOffset >= 0 ? fDataOffset : int64_t(ftello(fFile));
    if (fDataOffset >= 0) fseeko(fFile, off_t(fDataOffset), SEEK_SET);
    return true;
}

void TWavInput::Close() {
    if (fFile) std::fclose(fFile);
    fFile = nullptr;
    fSize = fPosition = 0;
}

int TWavInput::ReadBlock(ReceiverBlock& aBlock, bool aIqSwap) {
    if (!Readable()) return 0;
    const size_t align = size_t(fFormat.BlockAlign);
    const size_t got = std::fread(fRaw.data(), 1, align * ReceiverBlock::FrameCount, fFile);
    fPosition += int64_t(got);
    const int frames = int(got / align);
    ConvertFrames(fRaw.data(), frames, fFormat.BlockAlign, aIqSwap, aBlock);
    return frames;
}

int TWavInput::BarPosition() const {
    const int64_t step = fSize / 100;
    if (step <= 0) return 0;
    const int64_t p = fPosition / step;
    return int(p < 0 ? 0 : p > 100 ? 100 : p);
}

void TWavInput::SeekToBar(int aBarPosition) {
    if (!Readable()) return;
    SeekTo(BarSeekOffset(fSize, aBarPosition, fFormat.BlockAlign, fDataOffset));
}

void TWavInput::SeekTo(int64_t aOffset) {
    if (!fFile || aOffset < 0) return;
    if (fseeko(fFile, off_t(aOffset), SEEK_SET) == 0) fPosition = aOffset;
}
