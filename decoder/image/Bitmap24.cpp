#include "image/Bitmap24.h"

#include "platform/Streams.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

int RowBytes(int aWidth) {
    return (aWidth * 3 + 3) / 4 * 4;
}

void PutLE16(uint8_t* aAt, uint32_t aValue) {
    aAt[0] = static_cast<uint8_t>(aValue);
    aAt[1] = static_cast<uint8_t>(aValue >> 8);
}

void PutLE32(uint8_t* aAt, uint32_t aValue) {
    for (int i = 0; i < 4; ++i)
        aAt[i] = static_cast<uint8_t>(aValue >> (8 * i));
}

} // namespace

TBitmap24::TBitmap24(int aWidth, int aHeight) {
    SetSize(aWidth, aHeight);
}

void TBitmap24::SetSize(int aWidth, int aHeight) {
    aWidth = std::max(aWidth, 0);
    aHeight = std::max(aHeight, 0);
    if (aWidth == fWidth) {
        SetHeight(aHeight);
        return;
    }
    const int bytesPerLine = RowBytes(aWidth);
    std::vector<uint8_t> bits(static_cast<size_t>(bytesPerLine) * aHeight, 0);
    const int keepRows = std::min(fHeight, aHeight);
    const int keepBytes = std::min(fWidth, aWidth) * 3;
    for (int y = 0; y < keepRows; ++y)
        std::memcpy(bits.data() + static_cast<size_t>(y) * bytesPerLine, ScanLine(y), keepBytes);
    fBits.swap(bits);
    fWidth = aWidth;
    fHeight = aHeight;
    fBytesPerLine = bytesPerLine;
}

void TBitmap24::SetHeight(int aHeight) {
    aHeight = std::max(aHeight, 0);
    fBytesPerLine = RowBytes(fWidth);
    fBits.resize(static_cast<size_t>(fBytesPerLine) * aHeight, 0);
    fHeight = aHeight;
}

TPixel24 TBitmap24::Pixel(int aX, int aY) const {
    if (aX < 0 || aX >= fWidth || aY < 0 || aY >= fHeight) throw std::out_of_range("TBitmap24::Pixel");
    const uint8_t* p = ScanLine(aY) + 3 * aX;
    return TPixel24{p[0], p[1], p[2]};
}

void TBitmap24::SetPixel(int aX, int aY, TPixel24 aColour) {
    if (aX < 0 || aX >= fWidth || aY < 0 || aY >= fHeight) throw std::out_of_range("TBitmap24::SetPixel");
    uint8_t* p = ScanLine(aY) + 3 * aX;
    p[0] = aColour.Blue;
    p[1] = aColour.Green;
    p[2] = aColour.Red;
}

void TBitmap24::FillRect(int aLeft, int aTop, int aRight, int aBottom, TPixel24 aColour) {
    aLeft = std::max(aLeft, 0);
    aTop = std::max(aTop, 0);
    aRight = std::min(aRight, fWidth);
    aBottom = std::min(aBottom, fHeight);
    for (int y = aTop; y < aBottom; ++y) {
        uint8_t* p = ScanLine(y) + 3 * aLeft;
        for (int x = aLeft; x < aRight; ++x, p += 3) {
            p[0] = aColour.Blue;
            p[1] = aColour.Green;
            p[2] = aColour.Red;
        }
    }
}

void TBitmap24::DrawVerticalPenLine(int aX, int aY1, int aY2, int aPenWidth, TPixel24 aColour) {
    if (aPenWidth < 1) aPenWidth = 1;
    const int left = aX - aPenWidth / 2;
    const int top = std::min(aY1, aY2) - aPenWidth / 2;
    const int bottom = std::max(aY1, aY2) + (aPenWidth - 1) / 2;
    FillRect(left, top, left + aPenWidth, bottom + 1, aColour);
}

void TBitmap24::SaveToStream(TStream& aStream) const {
    const uint32_t imageBytes = static_cast<uint32_t>(fBytesPerLine) * static_cast<uint32_t>(fHeight);
    uint8_t header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    PutLE32(header + 2, 54 + imageBytes); // file size
    PutLE32(header + 10, 54);             // offset of the pixels
    PutLE32(header + 14, 40);             // BITMAPINFOHEADER size
    PutLE32(header + 18, static_cast<uint32_t>(fWidth));
    PutLE32(header + 22, static_cast<uint32_t>(fHeight)); // positive: rows stored bottom-up
    PutLE16(header + 26, 1);                              // planes
    PutLE16(header + 28, 24);                             // bits per pixel
    PutLE32(header + 30, 0);                              // BI_RGB
    PutLE32(header + 34, imageBytes);
    PutLE32(header + 38, 2835); // 72 dpi
    PutLE32(header + 42, 2835);
    aStream.WriteBuffer(header, sizeof header);
    for (int y = fHeight - 1; y >= 0; --y)
        aStream.WriteBuffer(ScanLine(y), fBytesPerLine);
}

void TBitmap24::SaveToFile(const std::string& aFileName) const {
    TFileStream file(aFileName, TFileMode::fmCreate);
    SaveToStream(file);
    file.Flush();
}
