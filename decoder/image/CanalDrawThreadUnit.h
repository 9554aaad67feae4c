// The pipeline stage that draws one imager channel from its APID stream.
#pragma once

#include "image/Bitmap24.h"
#include "image/ImageControls.h"
#include "image/MCUUnit.h"
#include "stages/StepPatternThreadUnit.h"

#include <memory>
#include <string>
#include <vector>

// Each step decodes at most one packet (TMCU::ReadMCU). The stage owns its decoder; it borrows
// its input stream, the progress control and the image control, which must outlive it.
//
// The picture is the image control's bitmap, set up by the constructor as 1636 x 6000 pixels,
// black, with a red band over columns 1536..1635; strips cover columns 0..1568 of their rows.
// Without an image control (headless use) the stage keeps a picture of its own. Unless the
// control shows the whole picture, the band reaches a row only when the decoder first writes it
// or LineCount counts it: every row within LineCount is as described.
//
// Threads: the step runs on the stage thread. Picture readers, DoProgress and
// WriteOutCurrentStrip run on other threads and hold the stage lock (CS), as the step does while
// it changes the picture or the strip state. The property readers take the lock themselves.
class TCanalDrawThread : public TStepPatternThread {
  public:
    static constexpr int PictureWidth = 1636;
    static constexpr int PictureHeight = 6000;

    // Created stopped. aNumChannel 1..6 is APID 64..69; aLogFileName is deleted first and then
    // receives the decoder's log lines (empty: no log). aProgress and aImage may be null.
    TCanalDrawThread(TSHORTstream* aIn, TSHORTstream* aOut, int aNumChannel, const std::string& aLogFileName,
                     TProgressControl* aProgress, TImageControl* aImage);
    // Stops the thread before the decoder it uses goes away.
    ~TCanalDrawThread() override;

    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;
    // Called by DoProgress under the stage lock: updates the caption when a strip began since the
    // last call, and then shows the image control.
    void ReportProgress() override;

    // The decoder's picture. Replacing it does not transfer ownership.
    TBitmap24* Picture();
    void SetPicture(TBitmap24* aPicture);
    // First strip's time stamp in ms of the day (0 is midnight); -1 while no strip has begun.
    int32_t FirstScanTime();
    // The first strip's day count (day 1 = 2001-01-01); 0 when the packets carry none.
    int32_t FirstDayCount();
    // Picture rows from the first strip's top to the top of the strip being built; after
    // WriteOutCurrentStrip, until the next strip begins, it also counts that strip's 8 rows,
    // which are then in the picture.
    int32_t LineCount();
    int32_t ScanCount();
    // Per picture row: 1 where the decoder drew it, 0 where it did not (a lost scan, shown as the
    // background and the red band); rows past the end are not drawn (TMCU::RowsWritten).
    std::vector<uint8_t> RowsDrawn();

    // Writes the strip being built into the picture (see TMCU::WriteOutBuildingStrip). The session
    // calls it at its end, so the last scan of a pass is not lost; calling it earlier is harmless.
    void WriteOutCurrentStrip();

    TMCU& MCU() { return *fMCU; }

  private:
    static constexpr TPixel24 BandColour{0, 0, 255};
    // Paints the band on the stage's own picture down to row aRowEnd (exclusive); under CS.
    void PaintBand(int64_t aRowEnd);

    TImageControl* fImage;
    TBitmap24* fBandPicture = nullptr; // the picture the band belongs to
    int fBandRows = 0;                 // rows from the top that have the band
    std::unique_ptr<TBitmap24> fOwnPicture;
    std::unique_ptr<TMCU> fMCU;
};
