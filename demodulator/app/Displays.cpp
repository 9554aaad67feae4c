#include "app/Displays.h"

#include "app/ReceiverControls.h"
#include "core/ReceiverReadouts.h"

TPixelMap MainBackground() {
    TPixelMap m(1040, 400);
    for (int y : {64, 192, 352})
        for (int x = 0; x < m.Width; ++x)
            m.Set(x, y, colours::Grid);
    for (int y = 0; y < m.Height; ++y)
        m.Set(0, y, colours::Grid);
    for (int y = 0; y <= 384; y += 16)
        for (int x = 3; x < m.Width; x += 4)
            m.Set(x, y, colours::Grid);
    for (int x = 19; x < m.Width; x += 20)
        for (int y = 0; y < m.Height; y += 4)
            m.Set(x, y, colours::Grid);
    return m;
}

TPixelMap PhaseBackground() {
    TPixelMap m(128, 128);
    for (int i = 0; i < 128; ++i) {
        m.Set(i, 63, colours::Grid);
        m.Set(63, i, colours::Grid);
    }
    for (int y = 127; y >= 15; y -= 16)
        for (int x = 3; x < 128; x += 4)
            m.Set(x, y, colours::Grid);
    for (int x = 15; x < 128; x += 16)
        for (int y = 127; y >= 3; y -= 4)
            m.Set(x, y, colours::Grid);
    return m;
}

TDisplayPainter::TDisplayPainter()
    : fMainBackground(MainBackground()), fPhaseBackground(PhaseBackground()), fMain(fMainBackground),
      fPhase(fPhaseBackground) {}

void TDisplayPainter::Erase(TPixelMap& aMap, const TPixelMap& aBackground, int x, int y) {
    if (aMap.Inside(x, y)) aMap.Set(x, y, aBackground.At(x, y));
}

void TDisplayPainter::Redraw(const std::array<TDisplayPoint, TDisplaySampler::Columns>& aRecorded) {
    for (int c = 0; c < TDisplaySampler::Columns; ++c) {
        const TDisplayPoint& old = fDrawn[c];
        const TDisplayPoint& p = aRecorded[c];
        // A column never reached has nothing to erase or draw: it would show a false line along
        // row 0 of the chart and a dot in the constellation's corner.
        if (old.Recorded) Erase(fPhase, fPhaseBackground, old.X, old.Y);
        if (p.Recorded) fPhase.Set(p.X, p.Y, colours::Point);
        if (old.Recorded) Erase(fMain, fMainBackground, c, old.AgcRow);
        if (p.Recorded) fMain.Set(c, p.AgcRow, colours::Agc);
        if (old.Recorded) Erase(fMain, fMainBackground, c, old.CarRow);
        if (p.Recorded) fMain.Set(c, p.CarRow, colours::Carrier);
        if (old.Recorded) Erase(fMain, fMainBackground, c, old.SymRow);
        if (p.Recorded) fMain.Set(c, p.SymRow, colours::Symbol);
        fDrawn[c] = p;
    }
}

double AgcDb(int32_t aAgcGain) {
    return 0.375 * double((aAgcGain >> 2) & 63);
}

TReadoutTexts Readouts(const TCostasReceiver& aRx, bool aAgcDb) {
    const TReceiverState& s = aRx.State();
    const TLoopReadouts l = LoopReadouts(aRx);
    TReadoutTexts t;
    t.AgcLoop = aAgcDb ? DecimalText(AgcDb(s.AgcGain)) : std::to_string(s.AgcGain);
    t.AgcLoopCaption = aAgcDb ? "AGC acc (dB)" : "AGC acc (raw)";
    t.Magnitude = std::to_string(s.Magnitude);
    t.AgcError = std::to_string(s.AgcError);
    t.CarLoop = std::to_string(l.ClfAccHz);
    t.CarOffset = std::to_string(l.CarrierOffsetHz);
    t.CarCentre = std::to_string(l.CarrierFreqHz);
    t.SymLoop = std::to_string(l.SlfAccHz);
    t.SymOffset = std::to_string(l.SymbolOffsetHz);
    t.SymCentre = std::to_string(l.SymbolCentreHz);
    t.Locked = s.Locked;
    t.LdIntCnt = std::to_string(s.Locked ? s.LdAcc : s.LdIntCnt);
    t.LdIntCaption = s.Locked ? "LD_Acc cnt" : "LD_Int cnt";
    return t;
}
