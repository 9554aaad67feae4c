// The displays of the main window without the toolkit: the strip chart and constellation as
// pixel maps with erase-and-redraw per column, and the texts of the readouts.
#pragma once

#include "core/CostasReceiver.h"
#include "core/DisplaySampler.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// 0xRRGGBB colours.
namespace colours {
constexpr uint32_t Black = 0x000000;
constexpr uint32_t Grid = 0x6A6A6A; // 106, 106, 106
constexpr uint32_t Point = 0x00FF00;
constexpr uint32_t Agc = 0x30FF40; // 48, 255, 64
constexpr uint32_t Carrier = 0x00FFFF;
constexpr uint32_t Symbol = 0xFFA000; // 255, 160, 0
constexpr uint32_t Locked = 0x008000;
constexpr uint32_t Unlocked = 0xFF0000;
} // namespace colours

// A pixel map, rows top-down; writes and reads outside it are ignored (reads give black).
struct TPixelMap {
    int Width = 0, Height = 0;
    std::vector<uint32_t> Pixels;

    TPixelMap() = default;
    TPixelMap(int w, int h) : Width(w), Height(h), Pixels(size_t(w) * size_t(h), colours::Black) {}
    bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < Width && y < Height; }
    void Set(int x, int y, uint32_t c) {
        if (Inside(x, y)) Pixels[size_t(y) * size_t(Width) + size_t(x)] = c;
    }
    uint32_t At(int x, int y) const {
        return Inside(x, y) ? Pixels[size_t(y) * size_t(Width) + size_t(x)] : 0;
    }
};

// The empty strip chart (1040 x 400) and constellation (128 x 128) with their grids.
TPixelMap MainBackground();
TPixelMap PhaseBackground();

// Keeps MainImage and PhaseImage: each redraw erases the points drawn last time for a column
// (restoring the background) and draws the recorded ones. Points outside an image are skipped.
class TDisplayPainter {
  public:
    TDisplayPainter();
    void Redraw(const std::array<TDisplayPoint, TDisplaySampler::Columns>& aRecorded);
    const TPixelMap& Main() const { return fMain; }
    const TPixelMap& Phase() const { return fPhase; }

  private:
    void Erase(TPixelMap& aMap, const TPixelMap& aBackground, int x, int y);

    TPixelMap fMainBackground, fPhaseBackground, fMain, fPhase;
    std::array<TDisplayPoint, TDisplaySampler::Columns> fDrawn{};
};

// Texts of the readouts, shown every third tick.
struct TReadoutTexts {
    std::string AgcLoop, AgcLoopCaption; // dB or raw
    std::string Magnitude, AgcError;
    std::string CarLoop, CarOffset, CarCentre;
    std::string SymLoop, SymOffset, SymCentre;
    bool Locked = false;
    std::string LdIntCnt, LdIntCaption; // LD_Acc when locked, else LD_Int
};
// "AGC acc (dB)": 0.375 x ((AgcGain >> 2) & 63).
double AgcDb(int32_t aAgcGain);
TReadoutTexts Readouts(const TCostasReceiver& aRx, bool aAgcDb);
