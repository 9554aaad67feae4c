#include "Picture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <iterator>

namespace lrptsynth {

namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t o) {
    return b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (static_cast<std::uint32_t>(b[o + 3]) << 24);
}
std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t o) {
    return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
}

GreyImage readBmp(const std::vector<std::uint8_t>& b, const std::string& name) {
    if (b.size() < 54) throw PictureError(name + ": BMP header is truncated");
    const std::uint32_t dataOffset = le32(b, 10);
    const std::uint32_t headerSize = le32(b, 14);
    const std::int32_t w = static_cast<std::int32_t>(le32(b, 18));
    std::int32_t h = static_cast<std::int32_t>(le32(b, 22));
    const int bpp = le16(b, 28);
    const std::uint32_t compression = le32(b, 30);
    if (compression != 0 && compression != 3) throw PictureError(name + ": compressed BMP is not supported");
    if (bpp != 8 && bpp != 24 && bpp != 32)
        throw PictureError(name + ": BMP must have 8, 24 or 32 bits per pixel");
    const bool topDown = h < 0;
    if (topDown) h = -h;
    if (w <= 0 || h <= 0 || w > 100000 || h > 1000000)
        throw PictureError(name + ": BMP has an unusable size");
    const std::size_t stride = ((static_cast<std::size_t>(w) * bpp + 31) / 32) * 4;
    if (dataOffset > b.size() || b.size() - dataOffset < stride * static_cast<std::size_t>(h))
        throw PictureError(name + ": BMP pixel data is truncated");
    std::vector<std::uint8_t> palette(256);
    if (bpp == 8) {
        std::uint32_t colours = le32(b, 46);
        if (colours == 0 || colours > 256) colours = 256;
        const std::size_t palOffset = 14 + headerSize;
        for (std::uint32_t i = 0; i < colours && palOffset + 4 * i + 3 <= b.size(); ++i) {
            const std::size_t o = palOffset + 4 * i;
            palette[i] = static_cast<std::uint8_t>((b[o] + 2 * b[o + 1] + b[o + 2]) / 4);
        }
    }
    GreyImage img{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h)};
    for (int y = 0; y < h; ++y) {
        const std::size_t row = dataOffset + stride * static_cast<std::size_t>(topDown ? y : h - 1 - y);
        for (int x = 0; x < w; ++x) {
            std::uint8_t v;
            if (bpp == 8) {
                v = palette[b[row + x]];
            } else {
                const std::size_t o = row + static_cast<std::size_t>(x) * (bpp / 8);
                v = static_cast<std::uint8_t>((b[o] + 2 * b[o + 1] + b[o + 2]) / 4);
            }
            img.pixels[static_cast<std::size_t>(y) * w + x] = v;
        }
    }
    return img;
}

GreyImage readPgm(const std::vector<std::uint8_t>& b, const std::string& name) {
    std::size_t p = 2;
    auto skipSpace = [&]() {
        while (p < b.size()) {
            if (b[p] == '#') {
                while (p < b.size() && b[p] != '\n')
                    ++p;
            } else if (std::isspace(b[p])) {
                ++p;
            } else {
                break;
            }
        }
    };
    auto number = [&]() -> long {
        skipSpace();
        if (p >= b.size() || !std::isdigit(b[p])) throw PictureError(name + ": PGM header is malformed");
        long v = 0;
        while (p < b.size() && std::isdigit(b[p])) {
            v = v * 10 + (b[p++] - '0');
            if (v > 10000000) throw PictureError(name + ": PGM header number is too large");
        }
        return v;
    };
    const bool plain = b[1] == '2';
    const long w = number(), h = number(), maxval = number();
    if (w <= 0 || h <= 0 || maxval <= 0 || maxval > 255)
        throw PictureError(name + ": PGM must be 8-bit with a positive size");
    GreyImage img{static_cast<int>(w), static_cast<int>(h),
                  std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h)};
    if (plain) {
        for (auto& px : img.pixels)
            px = static_cast<std::uint8_t>(number() * 255 / maxval);
        return img;
    }
    ++p; // the single whitespace after maxval
    if (p > b.size() || b.size() - p < img.pixels.size())
        throw PictureError(name + ": PGM pixel data is truncated");
    for (std::size_t i = 0; i < img.pixels.size(); ++i)
        img.pixels[i] = static_cast<std::uint8_t>(b[p + i] * 255 / maxval);
    return img;
}

} // namespace

GreyImage readPictureFromMemory(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '2'))
        return readPgm(bytes, name);
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return readBmp(bytes, name);
    throw PictureError(name + ": not a PGM or BMP picture");
}

GreyImage readPicture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PictureError(path + ": cannot open picture");
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return readPictureFromMemory(bytes, path);
}

void writePgm(const std::string& path, const GreyImage& img) {
    std::ofstream out(path, std::ios::binary);
    if (!out) throw PictureError(path + ": cannot create picture file");
    out << "P5\n" << img.width << ' ' << img.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(img.pixels.data()),
              static_cast<std::streamsize>(img.pixels.size()));
    if (!out) throw PictureError(path + ": cannot write picture file");
}

std::uint8_t testPatternPixel(int channel, int x, int y) {
    const int scan = y / 8;
    // Scan barcode: 16 bars of 4 pixels, scan number MSB first, framed.
    if (x < 72) {
        if (x < 4 || x >= 68) return 128;
        const int bit = (x - 4) / 4;
        return ((scan >> (15 - bit)) & 1) ? 255 : 0;
    }
    // Block band: each 8x8 block of this band has its own value.
    const int bandTop = (channel * 37) % 64;
    if ((y % 128) >= bandTop && (y % 128) < bandTop + 16 && x >= 200 && x < 1400) {
        const int bx = x / 8;
        return static_cast<std::uint8_t>((bx * 29 + scan * 13 + channel * 41) & 0xFF);
    }
    // Fine detail: one-pixel stripes, vertical for odd and horizontal for even channels.
    if (x >= 1420 && x < 1540 && (y % 200) < 100) {
        const bool on = channel % 2 ? (x & 1) : (y & 1);
        return on ? 230 : 25;
    }
    // Shapes: two discs and a rectangle frame whose places depend on the channel.
    const double cx1 = 300 + 150 * channel, cy1 = 120 + 40 * channel;
    const double dy1 = std::fmod(y, 600.0) - cy1;
    if ((x - cx1) * (x - cx1) + dy1 * dy1 < 70.0 * 70.0) return static_cast<std::uint8_t>(40 * channel);
    const double cx2 = 1300 - 120 * channel, cy2 = 420 - 30 * channel;
    const double dy2 = std::fmod(y, 600.0) - cy2;
    const double r2 = (x - cx2) * (x - cx2) + dy2 * dy2;
    if (r2 < 50.0 * 50.0 && r2 > 30.0 * 30.0) return static_cast<std::uint8_t>(255 - 30 * channel);
    const int ry = y % 400;
    const int rx0 = 500 + 60 * channel, ry0 = 250, rx1 = rx0 + 300, ry1 = 330;
    if (x >= rx0 && x < rx1 && ry >= ry0 && ry < ry1 &&
        (x < rx0 + 3 || x >= rx1 - 3 || ry < ry0 + 3 || ry >= ry1 - 3))
        return channel % 2 ? 250 : 5;
    // Gradients, different per channel.
    switch (channel) {
    case 1:
        return static_cast<std::uint8_t>(x * 255 / 1567);
    case 2:
        return static_cast<std::uint8_t>(255 - x * 255 / 1567);
    case 3:
        return static_cast<std::uint8_t>((x + 2 * y) % 512 < 256 ? (x + 2 * y) % 256
                                                                 : 255 - (x + 2 * y) % 256);
    case 4:
        return static_cast<std::uint8_t>(
            std::min(255.0, std::hypot(x - 784.0, std::fmod(y, 800.0) - 400.0) / 3.5));
    case 5:
        return static_cast<std::uint8_t>(y % 256);
    default:
        return static_cast<std::uint8_t>(127.5 + 100 * std::sin(x / 60.0) * std::cos(y / 45.0));
    }
}

} // namespace lrptsynth
