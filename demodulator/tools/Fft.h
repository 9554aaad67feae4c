// The spectrum analyser's computation: eight-capture average, Hamming-type window, 1024-point
// radix-2 FFT attenuated by 0.625 per stage, and the points of the time and spectrum traces.
#pragma once

#include "app/Displays.h"
#include "core/ProbeBuffer.h"

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

class TSpectrumAnalyser {
  public:
    static constexpr int Width = 1024, Height = 512, Axis = 275;
    static constexpr uint32_t TimeColour = 0xFF4040;     // 255, 64, 64
    static constexpr uint32_t SpectrumColour = 0x00FF00; // 0, 255, 0

    struct TGrid {
        int X0 = 31, Dx = 32;
    };
    // Vertical grid for n divisions per half (2..20): dx = 512 / n, x0 = 511 reduced by dx while
    // dx is smaller than it.
    static TGrid GridFor(int aDivisions);
    // The empty image with its axes and grids.
    static TPixelMap EmptyImage(const TGrid& aGrid);

    struct TPlot {
        int X, Y;
        uint32_t Colour;
    };
    // One trace. Does nothing and returns false while the probe holds fewer than 1024 values.
    // Otherwise stores the capture in the history and restarts the probe; the first eight
    // captures after construction only fill the history (aPlots stays empty); from the ninth on
    // aPlots receives the time trace (red) and the spectrum (green) of the eight-capture average,
    // only points inside the image.
    bool Trace(ProbeBuffer& aProbe, std::vector<TPlot>& aPlots);
    int TraceCount() const { return fCounter; }

    // w[512 + k] = w[511 - k] = 0.54 + 0.46 cos(k 2 pi / 1023).
    static const std::array<double, 1024>& Window();
    // In place, bit-reversed copy then ten stages, each butterfly output multiplied by 0.625.
    static void Transform(std::array<std::complex<double>, 1024>& aData);

  private:
    std::array<std::array<int32_t, 8>, 1024> fHistory{};
    int fCounter = 0;
};
