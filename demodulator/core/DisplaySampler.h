// Display sampler: records, once per pixel column of simulated time, the constellation point and
// the three loop traces. The model calls Step on every step; the window draws the recorded points.
#pragma once

#include <array>
#include <cstdint>

// One recorded column: constellation point (0..127 each) and the rows of the AGC, carrier and
// symbol traces. The carrier and symbol rows are not limited and may lie outside 0..399; the
// window must clip or skip them. Recorded is false for a column the sampler has not reached yet,
// which has nothing to draw.
struct TDisplayPoint {
    int32_t X = 0, Y = 0;
    int32_t AgcRow = 0, CarRow = 0, SymRow = 0;
    bool Recorded = false;
};

class TDisplaySampler {
  public:
    static constexpr int Columns = 1040;

    // ns of signal per model step (250000000 / WAV sample rate).
    void SetStepNs(int64_t aNs) { fStepNs = aNs; }
    // ns of signal per pixel column (timebase x 0.05); the sampler uses its truncation, so a value
    // below 1 advances on every step.
    void SetPixelNs(double aNs);
    int64_t StepNs() const { return fStepNs; }
    int64_t PixelNs() const { return fPixelNs; }

    int Column() const { return fColumn; }
    const std::array<TDisplayPoint, Columns>& Points() const { return fPoints; }

    // Recording rule of one column; the divisions truncate toward zero.
    static TDisplayPoint Record(int32_t aIon, int32_t aQon, int32_t aAgcGain, int32_t aClfOut,
                                int32_t aSlfOut) {
        TDisplayPoint p;
        p.X = (aIon + 128) / 2;
        p.Y = (aQon + 128) / 2;
        p.AgcRow = 64 - (aAgcGain * 32) / 128;
        p.CarRow = 192 - ((aClfOut >> 17) * 32) / 128;
        p.SymRow = 352 - ((aSlfOut >> 13) * 32) / 128;
        p.Recorded = true;
        return p;
    }

    // Called by the model once per step with the values the traces show.
    void Step(int32_t aIon, int32_t aQon, int32_t aAgcGain, int32_t aClfOut, int32_t aSlfOut) {
        // 64-bit: with a pixel shorter than a step the accumulator keeps growing by the difference.
        fAccNs += fStepNs;
        if (fAccNs >= fPixelNs) {
            fAccNs -= fPixelNs;
            fColumn = fColumn + 1 < Columns ? fColumn + 1 : 0;
            fPoints[fColumn] = Record(aIon, aQon, aAgcGain, aClfOut, aSlfOut);
        }
    }

  private:
    int64_t fAccNs = 0;
    int64_t fStepNs = 0;
    int64_t fPixelNs = 100000; // 2 ms per division
    int fColumn = 0;
    std::array<TDisplayPoint, Columns> fPoints{};
};
