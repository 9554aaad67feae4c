#include "image/Bitmap24.h"

#include "platform/Streams.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

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

namespace {
constexpr size_t kMappedBytes = 4u << 20; // from this size on, memory comes straight from the system
} // namespace

uint8_t* TPixelStore::Allocate(size_t aSize) {
    if (aSize == 0) return nullptr;
    if (aSize < kMappedBytes) {
        void* p = std::calloc(aSize, 1);
        if (!p) throw std::bad_alloc();
        return static_cast<uint8_t*>(p);
    }
    void* p = mmap(nullptr, aSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, aSize, MADV_HUGEPAGE); // a hint; without it the pages are small
#endif
    return static_cast<uint8_t*>(p);
}

void TPixelStore::Release(uint8_t* aData, size_t aSize) {
    if (!aData) return;
    if (aSize < kMappedBytes)
        std::free(aData);
    else
        munmap(aData, aSize);
}

TPixelStore::TPixelStore(const TPixelStore& aOther) : fData(Allocate(aOther.fSize)), fSize(aOther.fSize) {
    if (fSize) std::memcpy(fData, aOther.fData, fSize);
}

TPixelStore::TPixelStore(TPixelStore&& aOther) noexcept
    : fData(std::exchange(aOther.fData, nullptr)), fSize(std::exchange(aOther.fSize, 0)) {}

TPixelStore& TPixelStore::operator=(TPixelStore aOther) noexcept {
    Swap(aOther);
    return *this;
}

TPixelStore::~TPixelStore() {
    Release(fData, fSize);
}

void TPixelStore::Swap(TPixelStore& aOther) noexcept {
    std::swap(fData, aOther.fData);
    std::swap(fSize, aOther.fSize);
}

void TPixelStore::Resize(size_t aSize) {
    if (aSize == fSize) return;
    TPixelStore grown;
    grown.fData = Allocate(aSize);
    grown.fSize = aSize;
    if (const size_t keep = std::min(aSize, fSize)) std::memcpy(grown.fData, fData, keep);
    Swap(grown);
}

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
    TPixelStore bits;
    bits.Resize(static_cast<size_t>(bytesPerLine) * static_cast<size_t>(aHeight));
    const int keepRows = std::min(fHeight, aHeight);
    const int keepBytes = std::min(fWidth, aWidth) * 3;
    for (int y = 0; y < keepRows; ++y)
        std::memcpy(bits.Data() + static_cast<size_t>(y) * bytesPerLine, ScanLine(y), keepBytes);
    fBits.Swap(bits);
    fWidth = aWidth;
    fHeight = aHeight;
    fBytesPerLine = bytesPerLine;
}

void TBitmap24::SetHeight(int aHeight) {
    aHeight = std::max(aHeight, 0);
    fBytesPerLine = RowBytes(fWidth);
    fBits.Resize(static_cast<size_t>(fBytesPerLine) * static_cast<size_t>(aHeight));
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
