#include "BatchDecoder.h"
#include "PngWriter.h"

#include "image/Bitmap24.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> ReadFile(const fs::path& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Decodes a PNG with libpng into blue, green, red bytes; format receives the file's own form.
std::vector<uint8_t> ReadPngBgr(const fs::path& aPath, int& aWidth, int& aHeight, png_uint_32& aFormat) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, aPath.c_str())) throw std::runtime_error(image.message);
    aFormat = image.format;
    image.format = PNG_FORMAT_BGR;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        throw std::runtime_error(image.message);
    aWidth = static_cast<int>(image.width);
    aHeight = static_cast<int>(image.height);
    return pixels;
}

// A picture wider than the part written, with smooth stretches and random pixels, grey or not.
TBitmap24 TestPicture(bool aGrey) {
    TBitmap24 picture(37, 23);
    std::mt19937 rng(aGrey ? 3 : 4);
    for (int y = 0; y < picture.Height(); ++y)
        for (int x = 0; x < picture.Width(); ++x) {
            const uint8_t v = x < 10 ? static_cast<uint8_t>(y * 11) : static_cast<uint8_t>(rng());
            picture.SetPixel(x, y, aGrey ? TPixel24{v, v, v} : TPixel24{v, static_cast<uint8_t>(rng()), 200});
        }
    return picture;
}

class Pictures : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(fDir); }
    void TearDown() override { fs::remove_all(fDir); }
    // The process id keeps runs from other build trees out of each other's way.
    const fs::path fDir =
        fs::temp_directory_path() / ("tarnwick_pictures_test_" + std::to_string(::getpid()));
};

} // namespace

// The PNG holds exactly the pixels of the region it was given: grey pictures as grey, others as
// colour, in both cases rows read with the picture's stride.
TEST_F(Pictures, PngHoldsTheExactPixelsOfTheRegion) {
    for (bool grey : {true, false}) {
        const TBitmap24 picture = TestPicture(grey);
        const fs::path file = fDir / "p.png";
        WritePngBgr(file.string(), picture.Bits(), 29, 21, picture.BytesPerLine());
        int width = 0, height = 0;
        png_uint_32 format = 0;
        const auto pixels = ReadPngBgr(file, width, height, format);
        ASSERT_EQ(width, 29);
        ASSERT_EQ(height, 21);
        EXPECT_EQ((format & PNG_FORMAT_FLAG_COLOR) == 0, grey);
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(0, std::memcmp(&pixels[static_cast<size_t>(y) * 29 * 3], picture.ScanLine(y), 29 * 3))
                << "row " << y << (grey ? " grey" : " colour");
    }
    EXPECT_THROW(WritePngBgr((fDir / "no such folder" / "p.png").string(), TestPicture(true).Bits(), 5, 5,
                             TestPicture(true).BytesPerLine()),
                 std::runtime_error);
}

// The BMP written straight from a channel picture is the file of a picture cropped to that region.
TEST_F(Pictures, BmpOfARegionIsTheFileOfTheCroppedPicture) {
    const TBitmap24 picture = TestPicture(false);
    for (int width : {29, 28}) { // 29 pixels need row padding, 28 do not
        TBitmap24 cropped(width, 17);
        for (int y = 0; y < 17; ++y)
            std::memcpy(cropped.ScanLine(y), picture.ScanLine(y), 3 * static_cast<size_t>(width));
        cropped.SaveToFile((fDir / "cropped.bmp").string());
        WriteBmpRegion((fDir / "region.bmp").string(), picture.Bits(), width, 17, picture.BytesPerLine());
        EXPECT_EQ(ReadFile(fDir / "region.bmp"), ReadFile(fDir / "cropped.bmp")) << width;
    }
    EXPECT_THROW(WriteBmpRegion((fDir / "no such folder" / "r.bmp").string(), picture.Bits(), 5, 5,
                                picture.BytesPerLine()),
                 std::runtime_error);
}

// The rectified PNG made row by row is the file of the rectified picture: for a grey region (grey
// PNG, rectified one byte per pixel), a colour one, and a grey one but for a single pixel.
TEST_F(Pictures, RectifiedPngIsTheFileOfTheRectifiedPicture) {
    const TGroundRectifier rectifier(29);
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        const TBitmap24 picture = [&] {
            TBitmap24 p = TestPicture(kind != 1);
            if (kind == 2) p.SetPixel(28, 20, {9, 9, 10});
            p.SetPixel(30, 5, {1, 2, 3}); // outside the region: ignored
            return p;
        }();
        TBitmap24 cropped(29, 21);
        for (int y = 0; y < 21; ++y)
            std::memcpy(cropped.ScanLine(y), picture.ScanLine(y), 3 * 29);
        const TBitmap24 rectified = rectifier.Rectify(cropped);
        WritePngBgr((fDir / "whole.png").string(), rectified.Bits(), rectified.Width(), rectified.Height(),
                    rectified.BytesPerLine());
        WriteRectifiedPngBgr((fDir / "rows.png").string(), rectifier, picture.Bits(), 29, 21,
                             picture.BytesPerLine());
        EXPECT_EQ(ReadFile(fDir / "rows.png"), ReadFile(fDir / "whole.png"));
        int width = 0, height = 0;
        png_uint_32 format = 0;
        const auto pixels = ReadPngBgr(fDir / "rows.png", width, height, format);
        EXPECT_EQ((format & PNG_FORMAT_FLAG_COLOR) == 0, kind == 0);
        ASSERT_EQ(width, rectifier.Width());
        ASSERT_EQ(height, 21);
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(0, std::memcmp(&pixels[static_cast<size_t>(y) * 3 * static_cast<size_t>(width)],
                                     rectified.ScanLine(y), 3 * static_cast<size_t>(width)))
                << "row " << y;
        // Turned around (a northbound pass north up): as the turned picture rectified.
        TBitmap24 turned(29, 21);
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 29; ++x)
                std::memcpy(turned.ScanLine(y) + 3 * x, cropped.ScanLine(20 - y) + 3 * (28 - x), 3);
        const TBitmap24 turnedRectified = rectifier.Rectify(turned);
        WritePngBgr((fDir / "turned-whole.png").string(), turnedRectified.Bits(), turnedRectified.Width(),
                    turnedRectified.Height(), turnedRectified.BytesPerLine());
        WriteRectifiedPngBgr((fDir / "turned-rows.png").string(), rectifier, picture.Bits(), 29, 21,
                             picture.BytesPerLine(), true);
        EXPECT_EQ(ReadFile(fDir / "turned-rows.png"), ReadFile(fDir / "turned-whole.png"));
    }
    const TBitmap24 picture = TestPicture(true);
    EXPECT_THROW(WriteRectifiedPngBgr((fDir / "narrow.png").string(), rectifier, picture.Bits(), 28, 5,
                                      picture.BytesPerLine()),
                 std::invalid_argument);
    EXPECT_THROW(WriteRectifiedPngBgr((fDir / "no such folder" / "r.png").string(), rectifier, picture.Bits(),
                                      29, 5, picture.BytesPerLine()),
                 std::runtime_error);
}

// A failing row source leaves the writer cleanly, with its own exception.
TEST_F(Pictures, RowSourceFailureReachesTheCaller) {
    const std::string file = (fDir / "failing.png").string();
    EXPECT_THROW(WritePngRows(file, 10, 10, true,
                              [](int aY, uint8_t* aScratch) -> const uint8_t* {
                                  if (aY == 4) throw std::out_of_range("row 4");
                                  std::memset(aScratch, aY, 10);
                                  return aScratch;
                              }),
                 std::out_of_range);
}

// The file, chunk by chunk, as the PNG format lays it down, checked with zlib (which the writer
// does not use): the signature, IHDR first, every chunk's CRC (readers that stop at the pixels
// never look at IEND's), data chunks that inflate to one filter byte and the pixels per row, IEND
// last and empty. A picture a few data chunks long, of noise, so that it packs badly.
TEST_F(Pictures, PngChunksAreWellFormed) {
    const int width = 700, height = 800;
    std::mt19937 rng(5);
    std::vector<uint8_t> pixels(3 * static_cast<size_t>(width) * height);
    for (auto& p : pixels)
        p = static_cast<uint8_t>(rng());
    const fs::path file = fDir / "noise.png";
    WritePngBgr(file.string(), pixels.data(), width, height, 3 * width);
    const std::vector<uint8_t> bytes = ReadFile(file);
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    ASSERT_GT(bytes.size(), 8u);
    ASSERT_EQ(0, std::memcmp(bytes.data(), signature, 8));
    auto big32 = [&](size_t at) {
        return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 |
               bytes[at + 3];
    };
    std::vector<std::string> types;
    std::vector<uint8_t> stream;
    for (size_t at = 8; at < bytes.size();) {
        ASSERT_LE(at + 12, bytes.size());
        const uint32_t length = big32(at);
        ASSERT_LE(at + 12 + length, bytes.size());
        types.emplace_back(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
        EXPECT_EQ(big32(at + 8 + length), crc32(0, &bytes[at + 4], 4 + length)) << types.back();
        if (types.back() == "IHDR") {
            ASSERT_EQ(length, 13u);
            EXPECT_EQ(big32(at + 8), static_cast<uint32_t>(width));
            EXPECT_EQ(big32(at + 12), static_cast<uint32_t>(height));
            EXPECT_EQ(bytes[at + 16], 8);
            EXPECT_EQ(bytes[at + 17], 2); // RGB
        }
        if (types.back() == "IDAT") stream.insert(stream.end(), &bytes[at + 8], &bytes[at + 8 + length]);
        if (types.back() == "IEND") {
            EXPECT_EQ(length, 0u);
        }
        at += 12 + length;
    }
    ASSERT_GE(types.size(), 4u);
    EXPECT_EQ(types.front(), "IHDR");
    EXPECT_EQ(types.back(), "IEND");
    EXPECT_GT(std::count(types.begin(), types.end(), "IDAT"), 1);
    const size_t line = 1 + 3 * static_cast<size_t>(width);
    std::vector<uint8_t> rows(line * height + 1);
    uLongf size = rows.size();
    ASSERT_EQ(uncompress(rows.data(), &size, stream.data(), stream.size()), Z_OK);
    ASSERT_EQ(size, line * height);
    for (int y = 0; y < height; ++y)
        ASSERT_LE(rows[line * static_cast<size_t>(y)], 4) << "filter of row " << y;
}
