// The constellation view: a cloud of the last 8192 symbol pairs handed to it, drawn as single
// black pixels on a 256 x 256 surface. Each new point erases the one drawn 8192 calls earlier, so
// the cloud follows the signal without ever being cleared. No toolkit here: the window supplies
// the surface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The surface the view draws on. Coordinates are pixels; the view passes what it was given
// (the feeding loop passes 0..255), so an implementation clips what lies outside.
class TPointCanvas {
  public:
    enum TColour { pcButtonFace, pcBlack };
    virtual ~TPointCanvas() = default;
    virtual void SetPoint(int aX, int aY, TColour aColour) = 0;
};

class TConstallation {
  public:
    static constexpr int RingSize = 8192;

    struct TPoint {
        int32_t X = 0;
        int32_t Y = 0;
    };

    // Borrows the surface, which must outlive the view.
    explicit TConstallation(TPointCanvas* aPaintBox) : fPaintBox(aPaintBox) {}

    // Erases (button-face colour) the point stored in the slot the new one takes, which is (0, 0)
    // during the first 8192 calls, then draws (aX, aY) black. A point drawn twice and erased once
    // disappears although another copy of it is still in the ring.
    void Add(int aX, int aY);

    uint16_t Index() const { return fIndex; }
    const TPoint& Slot(int aIndex) const { return fCycleBuf[static_cast<std::size_t>(aIndex)]; }

  private:
    TPointCanvas* fPaintBox;
    std::array<TPoint, RingSize> fCycleBuf{};
    uint16_t fIndex = 0;
};
