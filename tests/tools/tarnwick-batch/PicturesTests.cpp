#include "BatchDecoder.h"
#include "PngWriter.h"

#include "image/Bitmap24.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
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
    const fs::path fDir = fs::temp_directory_path() / "tarnwick_pictures_test";
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
