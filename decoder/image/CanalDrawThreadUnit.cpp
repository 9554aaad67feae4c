#include "image/CanalDrawThreadUnit.h"

#include <algorithm>
#include <mutex>

TCanalDrawThread::TCanalDrawThread(TSHORTstream* aIn, TSHORTstream* aOut, int aNumChannel,
                                   const std::string& aLogFileName, TProgressControl* aProgress,
                                   TImageControl* aImage)
    : TStepPatternThread(aIn, aOut), fImage(aImage) {
    if (!aLogFileName.empty()) SetLogFileName(aLogFileName);

    fMCU = std::make_unique<TMCU>(aIn, aNumChannel);
    fMCU->SetCS(&CS());
    fMCU->SetMaxZrvLineNum(PictureHeight);
    fMCU->SetProgress(aProgress);
    fMCU->SetParentThread(this);

    TBitmap24* picture;
    if (fImage) {
        picture = &fImage->Picture();
    } else {
        fOwnPicture = std::make_unique<TBitmap24>();
        picture = fOwnPicture.get();
    }
    fMCU->SetPicture(picture);
    picture->SetSize(PictureWidth, PictureHeight);
    // The marker band: a red pen 100 pixels wide down column 1586 paints columns 1536..1635. A
    // picture shown whole gets it at once. Otherwise it is painted on rows just before the decoder
    // first writes them or LineCount reports them: painting all 6000 rows would make the system
    // hand over and clear the picture's whole memory (28 MB) at the start, most of which a pass
    // never uses, and every row anybody reads ends up as it would have.
    fBandPicture = picture;
    if (fImage && fImage->ShowsWholePicture()) {
        picture->DrawVerticalPenLine(1586, 1, PictureHeight, 100, BandColour);
        fBandRows = PictureHeight;
    }
    fMCU->SetBeforeWriting([this](int64_t aRowEnd) { PaintBand(aRowEnd); });
}

void TCanalDrawThread::PaintBand(int64_t aRowEnd) {
    TBitmap24* picture = fMCU->Picture();
    if (picture != fBandPicture || aRowEnd <= fBandRows) return;
    const int end = static_cast<int>(std::min<int64_t>(aRowEnd, PictureHeight));
    picture->FillRect(1586 - 50, fBandRows, 1586 + 50, end, BandColour);
    fBandRows = end;
}

TCanalDrawThread::~TCanalDrawThread() {
    Terminate();
    WaitFor();
}

bool TCanalDrawThread::DoStep(TSHORTstream*, TSHORTstream*) {
    return fMCU->ReadMCU();
}

void TCanalDrawThread::ReportProgress() {
    if (fMCU->DoProgress() && fImage) fImage->SetVisible(true);
}

TBitmap24* TCanalDrawThread::Picture() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->Picture();
}

void TCanalDrawThread::SetPicture(TBitmap24* aPicture) {
    fMCU->SetPicture(aPicture);
}

int32_t TCanalDrawThread::FirstScanTime() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->FirstScanTime();
}

int32_t TCanalDrawThread::FirstDayCount() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->FirstDayCount();
}

int32_t TCanalDrawThread::ScanCount() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->ScanCount();
}

std::vector<uint8_t> TCanalDrawThread::RowsDrawn() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->RowsWritten();
}

int32_t TCanalDrawThread::LineCount() {
    std::lock_guard<TCriticalSection> guard(CS());
    const int32_t rows = fMCU->ScanCount() * 8 + (fMCU->BuildingStripWritten() ? 8 : 0);
    PaintBand(rows); // rows of a lost scan count before any strip below them is written
    return rows;
}

void TCanalDrawThread::WriteOutCurrentStrip() {
    fMCU->WriteOutBuildingStrip();
}
