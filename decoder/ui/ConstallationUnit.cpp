#include "ui/ConstallationUnit.h"

void TConstallation::Add(int aX, int aY) {
    TPoint& slot = fCycleBuf[fIndex];
    fPaintBox->SetPoint(slot.X, slot.Y, TPointCanvas::pcButtonFace);
    slot = {aX, aY};
    fPaintBox->SetPoint(aX, aY, TPointCanvas::pcBlack);
    fIndex = static_cast<uint16_t>((fIndex + 1) % RingSize);
}
