#include "PngWriter.h"

#include "image/Bitmap24.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

bool IsGreyRow(const uint8_t* aPixels, int aWidth) {
    for (int x = 0; x < aWidth; ++x, aPixels += 3)
        if (aPixels[0] != aPixels[1] || aPixels[0] != aPixels[2]) return false;
    return true;
}

bool IsGrey(const uint8_t* aBits, int aWidth, int aHeight, int aStride) {
    for (int y = 0; y < aHeight; ++y)
        if (!IsGreyRow(aBits + static_cast<size_t>(y) * static_cast<size_t>(aStride), aWidth)) return false;
    return true;
}

// The first byte of every pixel of a grey row.
void GreyBytes(const uint8_t* aPixels, int aWidth, uint8_t* aOut) {
    for (int x = 0; x < aWidth; ++x)
        aOut[x] = aPixels[3 * x];
}

// Everything libpng touches between its setjmp and a longjmp lives here, so that no destructor is
// Buffers and compressor of one writing thread, kept from picture to picture: the pictures run to
// tens of megabytes, and first touching fresh memory costs about as much as filling it.
struct TPngWork {
    TPixelStore Filtered, Packed;
    std::vector<uint8_t> Previous, Scratch;
    libdeflate_compressor* Compressor = nullptr;
    TPngWork() = default;
    TPngWork(const TPngWork&) = delete;
    TPngWork& operator=(const TPngWork&) = delete;
    ~TPngWork() { libdeflate_free_compressor(Compressor); }
};

TPngWork& ThreadWork() {
    thread_local TPngWork work;
    return work;
}

void Reserve(TPixelStore& aStore, size_t aSize) {
    if (aStore.Size() < aSize) {
        aStore = TPixelStore(); // nothing to keep: the old bytes are not copied over
        aStore.Resize(aSize);
    }
}

void PutBig32(uint8_t* aAt, uint32_t aValue) {
    for (int i = 0; i < 4; ++i)
        aAt[i] = static_cast<uint8_t>(aValue >> (24 - 8 * i));
}

bool WriteChunk(std::FILE* aFile, const char* aType, const uint8_t* aData, size_t aSize) {
    uint8_t head[8], tail[4];
    PutBig32(head, static_cast<uint32_t>(aSize));
    std::memcpy(head + 4, aType, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (aSize > 0) crc = libdeflate_crc32(crc, aData, aSize); // (a null buffer restarts the sum)
    PutBig32(tail, crc);
    return std::fwrite(head, 1, 8, aFile) == 8 &&
           (aSize == 0 || std::fwrite(aData, 1, aSize, aFile) == aSize) &&
           std::fwrite(tail, 1, 4, aFile) == 4;
}

// The whole picture's rows filtered into one buffer and compressed in one call: whole-buffer
// compression at its fastest level is several times quicker than zlib's streaming one and packs
// these pictures about as well. Every row is filtered "up" (the difference to the row above): the
// pictures are mostly smooth, so that is mostly runs of small values. Returns the packed size.
size_t Compress(TPngWork& aWork, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows) {
    const size_t rowBytes = (aGrey ? 1 : 3) * static_cast<size_t>(aWidth);
    const size_t line = rowBytes + 1;
    const size_t filtered = line * static_cast<size_t>(aHeight);
    Reserve(aWork.Filtered, filtered);
    aWork.Previous.assign(rowBytes, 0);
    aWork.Scratch.resize(3 * static_cast<size_t>(aWidth));
    uint8_t* previous = aWork.Previous.data();
    for (int y = 0; y < aHeight; ++y) {
        const uint8_t* row = aRows(y, aWork.Scratch.data());
        uint8_t* out = aWork.Filtered.Data() + line * static_cast<size_t>(y);
        *out++ = 2; // filter type "up"
        if (aGrey) {
            for (size_t i = 0; i < rowBytes; ++i)
                out[i] = static_cast<uint8_t>(row[i] - previous[i]);
        } else {
            // Blue, green, red in; red, green, blue out (the filter works byte by byte).
            for (size_t i = 0; i < rowBytes; i += 3) {
                out[i] = static_cast<uint8_t>(row[i + 2] - previous[i + 2]);
                out[i + 1] = static_cast<uint8_t>(row[i + 1] - previous[i + 1]);
                out[i + 2] = static_cast<uint8_t>(row[i] - previous[i]);
            }
        }
        std::memcpy(previous, row, rowBytes);
    }
    if (!aWork.Compressor) aWork.Compressor = libdeflate_alloc_compressor(1);
    if (!aWork.Compressor) throw std::bad_alloc();
    Reserve(aWork.Packed, libdeflate_zlib_compress_bound(aWork.Compressor, filtered));
    return libdeflate_zlib_compress(aWork.Compressor, aWork.Filtered.Data(), filtered, aWork.Packed.Data(),
                                    aWork.Packed.Size());
}

bool WritePng(std::FILE* aFile, int aWidth, int aHeight, bool aGrey, const uint8_t* aPacked, size_t aSize) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    uint8_t header[13] = {};
    PutBig32(header, static_cast<uint32_t>(aWidth));
    PutBig32(header + 4, static_cast<uint32_t>(aHeight));
    header[8] = 8;             // bits per sample
    header[9] = aGrey ? 0 : 2; // grey or RGB; compression, filter and interlace methods 0
    bool ok = std::fwrite(signature, 1, 8, aFile) == 8 && WriteChunk(aFile, "IHDR", header, sizeof header);
    // The stream in data chunks of 1 MiB, which readers that take a chunk at a time prefer.
    constexpr size_t Chunk = 1 << 20;
    for (size_t at = 0; ok && at < aSize; at += Chunk)
        ok = WriteChunk(aFile, "IDAT", aPacked + at, std::min(Chunk, aSize - at));
    return ok && WriteChunk(aFile, "IEND", nullptr, 0);
}

} // namespace

void WritePngRows(const std::string& aFileName, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows) {
    if (aWidth <= 0 || aHeight <= 0)
        throw std::runtime_error("Cannot write \"" + aFileName + "\": a picture without pixels");
    std::FILE* file = std::fopen(aFileName.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create \"" + aFileName + "\"");
    TPngWork& work = ThreadWork();
    size_t packed = 0;
    try {
        packed = Compress(work, aWidth, aHeight, aGrey, aRows);
    } catch (...) {
        // Nothing was written yet: no empty file is left behind.
        std::fclose(file);
        std::remove(aFileName.c_str());
        throw;
    }
    bool ok = packed > 0 && WritePng(file, aWidth, aHeight, aGrey, work.Packed.Data(), packed);
    ok = std::fclose(file) == 0 && ok;
    if (!ok) throw std::runtime_error("Cannot write \"" + aFileName + "\"");
}

void WritePngBgr(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aHeight, int aStride) {
    auto row = [&](int aY) { return aBits + static_cast<size_t>(aY) * static_cast<size_t>(aStride); };
    if (IsGrey(aBits, aWidth, aHeight, aStride))
        WritePngRows(aFileName, aWidth, aHeight, true, [&](int aY, uint8_t* aScratch) {
            GreyBytes(row(aY), aWidth, aScratch);
            return static_cast<const uint8_t*>(aScratch);
        });
    else
        WritePngRows(aFileName, aWidth, aHeight, false, [&](int aY, uint8_t*) { return row(aY); });
}

void WriteRectifiedPngBgr(const std::string& aFileName, const TGroundRectifier& aRectifier,
                          const uint8_t* aBits, int aWidth, int aHeight, int aStride) {
    const int raw = aRectifier.RawWidth(), width = aRectifier.Width();
    if (aWidth < raw)
        throw std::invalid_argument("picture of " + std::to_string(aWidth) +
                                    " columns, rectification wants " + std::to_string(raw));
    auto row = [&](int aY) { return aBits + static_cast<size_t>(aY) * static_cast<size_t>(aStride); };
    if (IsGrey(aBits, raw, aHeight, aStride)) {
        // Every byte of a grey pixel is interpolated alike: the rectified picture is grey too.
        WritePngRows(aFileName, width, aHeight, true, [&](int aY, uint8_t* aScratch) {
            aRectifier.RectifyFirstBytes(row(aY), 3, aScratch);
            return static_cast<const uint8_t*>(aScratch);
        });
        return;
    }
    // A colour region may still come out grey where its colour falls between the sampled
    // columns: look before choosing the form (a colour row usually turns up at once).
    std::vector<uint8_t> rectified(3 * static_cast<size_t>(width));
    bool grey = true;
    for (int y = 0; y < aHeight && grey; ++y) {
        aRectifier.RectifyRow(row(y), rectified.data(), 3);
        grey = IsGreyRow(rectified.data(), width);
    }
    WritePngRows(aFileName, width, aHeight, grey, [&](int aY, uint8_t* aScratch) {
        if (!grey) {
            aRectifier.RectifyRow(row(aY), aScratch, 3);
            return static_cast<const uint8_t*>(aScratch);
        }
        aRectifier.RectifyRow(row(aY), rectified.data(), 3);
        GreyBytes(rectified.data(), width, aScratch);
        return static_cast<const uint8_t*>(aScratch);
    });
}
