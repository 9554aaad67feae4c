#include "PngWriter.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void Chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    Put32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    Put32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

} // namespace

void WritePngBgr(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aHeight, int aStride) {
    auto row = [&](int y) { return aBits + static_cast<size_t>(y) * static_cast<size_t>(aStride); };
    // A grey picture (the usual channel picture) is written with one byte a pixel: a third of the
    // data to compress.
    bool grey = true;
    for (int y = 0; y < aHeight && grey; ++y)
        for (int x = 0; x < aWidth && grey; ++x)
            grey = row(y)[3 * x] == row(y)[3 * x + 1] && row(y)[3 * x] == row(y)[3 * x + 2];
    const size_t channels = grey ? 1 : 3;
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(aHeight) * (channels * static_cast<size_t>(aWidth) + 1));
    for (int y = 0; y < aHeight; ++y) {
        raw.push_back(0); // no filter
        const uint8_t* pixels = row(y);
        for (int x = 0; x < aWidth; ++x) {
            if (grey) {
                raw.push_back(pixels[3 * x]);
            } else {
                raw.push_back(pixels[3 * x + 2]);
                raw.push_back(pixels[3 * x + 1]);
                raw.push_back(pixels[3 * x]);
            }
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_SPEED) !=
        Z_OK)
        throw std::runtime_error("Cannot compress the picture for \"" + aFileName + "\"");
    packed.resize(packedSize);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Put32(header, static_cast<uint32_t>(aWidth));
    Put32(header, static_cast<uint32_t>(aHeight));
    // 8 bits, grey or RGB, deflate, no filter set, no interlace
    header.insert(header.end(), {8, static_cast<uint8_t>(grey ? 0 : 2), 0, 0, 0});
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", {});

    std::FILE* file = std::fopen(aFileName.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create \"" + aFileName + "\"");
    const bool ok = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    if (std::fclose(file) != 0 || !ok) throw std::runtime_error("Cannot write \"" + aFileName + "\"");
}
