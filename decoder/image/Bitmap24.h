// A 24-bit picture in memory: rows top-down, three bytes per pixel in the order blue, green, red.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TStream;

// Zeroed bytes for a picture. A channel picture is tens of megabytes: large blocks come from the
// system as zero pages, in huge pages where it allows, instead of being cleared byte by byte and
// faulted in 4 KiB at a time.
class TPixelStore {
  public:
    TPixelStore() = default;
    TPixelStore(const TPixelStore& aOther);
    TPixelStore(TPixelStore&& aOther) noexcept;
    TPixelStore& operator=(TPixelStore aOther) noexcept;
    ~TPixelStore();

    // New size; the common part keeps its bytes, added bytes are 0. Throws std::bad_alloc.
    void Resize(size_t aSize);
    uint8_t* Data() { return fData; }
    const uint8_t* Data() const { return fData; }
    size_t Size() const { return fSize; }
    void Swap(TPixelStore& aOther) noexcept;

  private:
    static uint8_t* Allocate(size_t aSize); // zeroed; null for 0 bytes
    static void Release(uint8_t* aData, size_t aSize);

    uint8_t* fData = nullptr;
    size_t fSize = 0;
};

struct TPixel24 {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    friend bool operator==(const TPixel24&, const TPixel24&) = default;
};

// Rows are padded to a multiple of 4 bytes (BytesPerLine), as in a BMP file, so a window can
// show the pixels by wrapping Bits() in an image of 24-bit BGR format without copying (for Qt:
// QImage(Bits(), Width(), Height(), BytesPerLine(), QImage::Format_BGR888)). Row y
// starts at Bits() + y * BytesPerLine(). A new picture, and the rows added by growing it, are
// black (all bytes 0). Resizing reallocates: pointers from Bits() and ScanLine() are then stale.
// Not thread-safe: the owner guards it (a drawing stage uses its lock).
class TBitmap24 {
  public:
    TBitmap24() = default;
    // Width and height in pixels; negative values count as 0.
    TBitmap24(int aWidth, int aHeight);

    int Width() const { return fWidth; }
    int Height() const { return fHeight; }
    int BytesPerLine() const { return fBytesPerLine; }

    // Resizes; the overlapping part keeps its pixels, new pixels are black.
    void SetSize(int aWidth, int aHeight);
    // Changes the number of rows only: rows below the new height are cut off, added rows are black.
    void SetHeight(int aHeight);

    // Direct row access; aY must lie in 0..Height()-1 (not checked).
    uint8_t* ScanLine(int aY) { return fBits.Data() + static_cast<size_t>(aY) * fBytesPerLine; }
    const uint8_t* ScanLine(int aY) const { return fBits.Data() + static_cast<size_t>(aY) * fBytesPerLine; }
    uint8_t* Bits() { return fBits.Data(); }
    const uint8_t* Bits() const { return fBits.Data(); }

    // Checked pixel access; throws std::out_of_range outside the picture.
    TPixel24 Pixel(int aX, int aY) const;
    void SetPixel(int aX, int aY, TPixel24 aColour);

    // Fills the rectangle of columns aLeft..aRight-1 and rows aTop..aBottom-1, clipped to the picture.
    void FillRect(int aLeft, int aTop, int aRight, int aBottom, TPixel24 aColour);
    // A vertical line drawn with a square pen aPenWidth pixels wide centred on column aX: it covers
    // columns aX - aPenWidth/2 .. aX - aPenWidth/2 + aPenWidth - 1 and, for the pen's ends, aPenWidth/2
    // rows above the upper end point and (aPenWidth-1)/2 below the lower one; clipped to the picture.
    void DrawVerticalPenLine(int aX, int aY1, int aY2, int aPenWidth, TPixel24 aColour);

    // Writes a standard uncompressed 24-bit BMP (BITMAPFILEHEADER, BITMAPINFOHEADER, bottom-up rows).
    // Stream errors reach the caller (EWriteError); SaveToFile throws EFCreateError when the file
    // cannot be created.
    void SaveToStream(TStream& aStream) const;
    void SaveToFile(const std::string& aFileName) const;

  private:
    int fWidth = 0;
    int fHeight = 0;
    int fBytesPerLine = 0;
    TPixelStore fBits;
};
