#include "image/CanalDrawThreadUnit.h"

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
    // The marker band: a red pen 100 pixels wide down column 1586 paints columns 1536..1635.
    picture->DrawVerticalPenLine(1586, 1, PictureHeight, 100, TPixel24{0, 0, 255});
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

int32_t TCanalDrawThread::ScanCount() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->ScanCount();
}

int32_t TCanalDrawThread::LineCount() {
    std::lock_guard<TCriticalSection> guard(CS());
    return fMCU->ScanCount() * 8 + (fMCU->BuildingStripWritten() ? 8 : 0);
}

void TCanalDrawThread::WriteOutCurrentStrip() {
    fMCU->WriteOutBuildingStrip();
}
