#include "PngWriter.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

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

// Working memory of one writing thread, kept from picture to picture.
struct TPngWork {
    std::vector<uint8_t> Level;    // the compressor's tables
    std::vector<uint8_t> Filtered; // a batch of filtered rows
    std::vector<uint8_t> Packed;   // compressed bytes not yet in the file: one data chunk's worth
    std::vector<uint8_t> Previous, Scratch;
};

TPngWork& ThreadWork() {
    thread_local TPngWork work;
    return work;
}

void PutBig32(uint8_t* aAt, uint32_t aValue) {
    for (int i = 0; i < 4; ++i)
        aAt[i] = static_cast<uint8_t>(aValue >> (24 - 8 * i));
}

bool WriteChunk(std::FILE* aFile, const char* aType, const uint8_t* aData, size_t aSize) {
    uint8_t head[8], tail[4];
    PutBig32(head, static_cast<uint32_t>(aSize));
    std::memcpy(head + 4, aType, 4);
    // The chunk's CRC is the reflected IEEE one, as gzip's, over type and data.
    uint32_t crc = crc32_gzip_refl(0, head + 4, 4);
    if (aSize > 0) crc = crc32_gzip_refl(crc, aData, aSize);
    PutBig32(tail, crc);
    return std::fwrite(head, 1, 8, aFile) == 8 &&
           (aSize == 0 || std::fwrite(aData, 1, aSize, aFile) == aSize) &&
           std::fwrite(tail, 1, 4, aFile) == 4;
}

// Signature, header, the rows as one zlib stream in data chunks, end. The rows are filtered "up"
// (the difference to the row above): the pictures are mostly smooth, so that is mostly runs of
// small values. The stream comes from the fastest level of a compressor built for speed, which
// packs these pictures about as well as zlib's fastest level in a third to a sixth of its time;
// rows are filtered and compressed a batch at a time, so no whole picture is held twice.
bool Encode(std::FILE* aFile, TPngWork& aWork, int aWidth, int aHeight, bool aGrey, TPngRowsForm aForm,
            const TPngRows& aRows) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    uint8_t header[13] = {};
    PutBig32(header, static_cast<uint32_t>(aWidth));
    PutBig32(header + 4, static_cast<uint32_t>(aHeight));
    header[8] = 8;             // bits per sample
    header[9] = aGrey ? 0 : 2; // grey or RGB; compression, filter and interlace methods 0
    if (std::fwrite(signature, 1, 8, aFile) != 8 || !WriteChunk(aFile, "IHDR", header, sizeof header))
        return false;
    // The transparent colour: 16 bits per sample, all 0.
    static const uint8_t black[6] = {};
    if (aForm.BlackTransparent && !WriteChunk(aFile, "tRNS", black, aGrey ? 2 : 6)) return false;

    const size_t rowBytes = (aGrey ? 1 : 3) * static_cast<size_t>(aWidth);
    const size_t line = rowBytes + 1;
    constexpr size_t BatchBytes = 256 << 10, ChunkBytes = 1 << 20;
    const size_t batchRows = std::max<size_t>(1, BatchBytes / line);
    aWork.Level.resize(ISAL_DEF_LVL1_DEFAULT);
    aWork.Filtered.resize(batchRows * line);
    aWork.Packed.resize(ChunkBytes);
    aWork.Previous.assign(rowBytes, 0);
    aWork.Scratch.resize(3 * static_cast<size_t>(aWidth));

    isal_zstream stream;
    isal_deflate_init(&stream);
    stream.gzip_flag = IGZIP_ZLIB;
    stream.level = 1;
    stream.level_buf = aWork.Level.data();
    stream.level_buf_size = static_cast<uint32_t>(aWork.Level.size());
    stream.flush = NO_FLUSH;
    stream.next_out = aWork.Packed.data();
    stream.avail_out = static_cast<uint32_t>(ChunkBytes);

    uint8_t* previous = aWork.Previous.data();
    for (int y = 0; y < aHeight;) {
        const int rows = static_cast<int>(std::min<size_t>(batchRows, static_cast<size_t>(aHeight - y)));
        for (int r = 0; r < rows; ++r, ++y) {
            const uint8_t* row = aRows(y, aWork.Scratch.data());
            uint8_t* out = aWork.Filtered.data() + line * static_cast<size_t>(r);
            *out++ = 2; // filter type "up"
            if (aGrey || aForm.RedFirst) {
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
        stream.next_in = aWork.Filtered.data();
        stream.avail_in = static_cast<uint32_t>(line * static_cast<size_t>(rows));
        stream.end_of_stream = y == aHeight;
        for (;;) {
            if (isal_deflate(&stream) != COMP_OK) return false;
            const bool done = stream.internal_state.state == ZSTATE_END;
            if (stream.avail_out == 0 || (done && stream.avail_out < ChunkBytes)) {
                if (!WriteChunk(aFile, "IDAT", aWork.Packed.data(), ChunkBytes - stream.avail_out))
                    return false;
                stream.next_out = aWork.Packed.data();
                stream.avail_out = static_cast<uint32_t>(ChunkBytes);
            }
            if (done || (stream.avail_in == 0 && !stream.end_of_stream)) break;
        }
    }
    return WriteChunk(aFile, "IEND", nullptr, 0);
}

} // namespace

void WritePngRows(const std::string& aFileName, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows) {
    WritePngRowsAs(aFileName, aWidth, aHeight, aGrey, aRows, {});
}

void WritePngRowsAs(const std::string& aFileName, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows,
                    TPngRowsForm aForm) {
    if (aWidth <= 0 || aHeight <= 0)
        throw std::runtime_error("Cannot write \"" + aFileName + "\": a picture without pixels");
    std::FILE* file = std::fopen(aFileName.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create \"" + aFileName + "\"");
    bool ok = false;
    try {
        ok = Encode(file, ThreadWork(), aWidth, aHeight, aGrey, aForm, aRows);
    } catch (...) {
        // A picture cut short is no picture: nothing is left behind.
        std::fclose(file);
        std::remove(aFileName.c_str());
        throw;
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        std::remove(aFileName.c_str());
        throw std::runtime_error("Cannot write \"" + aFileName + "\"");
    }
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
                          const uint8_t* aBits, int aWidth, int aHeight, int aStride, bool aTurned) {
    const int raw = aRectifier.RawWidth(), width = aRectifier.Width();
    if (aWidth < raw)
        throw std::invalid_argument("picture of " + std::to_string(aWidth) +
                                    " columns, rectification wants " + std::to_string(raw));
    // Turned: row y is row aHeight - 1 - y read backwards, each turned on its own as it is needed,
    // so no turned copy of the picture is made.
    std::vector<uint8_t> turned(aTurned ? 3 * static_cast<size_t>(aWidth) : 0);
    auto row = [&](int aY) -> const uint8_t* {
        if (!aTurned) return aBits + static_cast<size_t>(aY) * static_cast<size_t>(aStride);
        const uint8_t* from = aBits + static_cast<size_t>(aHeight - 1 - aY) * static_cast<size_t>(aStride);
        for (int x = 0; x < aWidth; ++x)
            std::memcpy(&turned[3 * static_cast<size_t>(x)], from + 3 * static_cast<size_t>(aWidth - 1 - x),
                        3);
        return turned.data();
    };
    // The columns rectified: the first raw ones, which turned are the last raw ones read backwards.
    if (IsGrey(aTurned ? aBits + 3 * static_cast<size_t>(aWidth - raw) : aBits, raw, aHeight, aStride)) {
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
