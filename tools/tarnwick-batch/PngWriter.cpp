#include "PngWriter.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
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
// skipped. Returns false when libpng reported an error; passes on what aRows throws.
bool Encode(std::FILE* aFile, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows, uint8_t* aScratch) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, aFile);
    png_set_IHDR(png, info, static_cast<png_uint_32>(aWidth), static_cast<png_uint_32>(aHeight), 8,
                 aGrey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Speed first: the pictures are large and mostly smooth, so the difference to the row above
    // is mostly runs of zeros, which run-length matching at the lowest level packs well enough.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    if (!aGrey) png_set_bgr(png);
    try {
        for (int y = 0; y < aHeight; ++y)
            png_write_row(png, aRows(y, aScratch));
    } catch (...) {
        png_destroy_write_struct(&png, &info);
        throw;
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

void WritePngRows(const std::string& aFileName, int aWidth, int aHeight, bool aGrey, const TPngRows& aRows) {
    std::vector<uint8_t> scratch(3 * static_cast<size_t>(aWidth > 0 ? aWidth : 1));
    std::FILE* file = std::fopen(aFileName.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create \"" + aFileName + "\"");
    bool encoded = false;
    try {
        encoded = Encode(file, aWidth, aHeight, aGrey, aRows, scratch.data());
    } catch (...) {
        std::fclose(file);
        throw;
    }
    const bool closed = std::fclose(file) == 0;
    if (!encoded || !closed) throw std::runtime_error("Cannot write \"" + aFileName + "\"");
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
