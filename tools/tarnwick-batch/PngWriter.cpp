#include "PngWriter.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

bool IsGrey(const uint8_t* aBits, int aWidth, int aHeight, int aStride) {
    for (int y = 0; y < aHeight; ++y) {
        const uint8_t* p = aBits + static_cast<size_t>(y) * static_cast<size_t>(aStride);
        for (int x = 0; x < aWidth; ++x, p += 3)
            if (p[0] != p[1] || p[0] != p[2]) return false;
    }
    return true;
}

// Everything libpng touches between its setjmp and a longjmp lives here, so that no destructor is
// skipped. Returns false when libpng reported an error.
bool Encode(std::FILE* aFile, const uint8_t* aBits, int aWidth, int aHeight, int aStride, bool aGrey,
            uint8_t* aRow) {
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
    for (int y = 0; y < aHeight; ++y) {
        const uint8_t* pixels = aBits + static_cast<size_t>(y) * static_cast<size_t>(aStride);
        if (aGrey) {
            for (int x = 0; x < aWidth; ++x)
                aRow[x] = pixels[3 * x];
            png_write_row(png, aRow);
        } else {
            png_write_row(png, pixels);
        }
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

void WritePngBgr(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aHeight, int aStride) {
    const bool grey = IsGrey(aBits, aWidth, aHeight, aStride);
    std::vector<uint8_t> row(static_cast<size_t>(aWidth > 0 ? aWidth : 1));
    std::FILE* file = std::fopen(aFileName.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create \"" + aFileName + "\"");
    const bool encoded = Encode(file, aBits, aWidth, aHeight, aStride, grey, row.data());
    const bool closed = std::fclose(file) == 0;
    if (!encoded || !closed) throw std::runtime_error("Cannot write \"" + aFileName + "\"");
}
