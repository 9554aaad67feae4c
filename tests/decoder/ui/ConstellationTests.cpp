// The constellation ring on a recording surface, and the window's paint box under it.
#include "ui/ConstallationUnit.h"
#include "ui/PaintBox.h"

#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A 256 x 256 surface that also logs every call, so the order of erase and draw is visible.
class TRecordingCanvas : public TPointCanvas {
  public:
    struct TCall {
        int X, Y;
        TColour Colour;
    };
    void SetPoint(int aX, int aY, TColour aColour) override {
        Calls.push_back({aX, aY, aColour});
        if (aX >= 0 && aY >= 0 && aX < 256 && aY < 256) Grid[static_cast<size_t>(aY * 256 + aX)] = aColour;
    }
    TColour At(int aX, int aY) const { return Grid[static_cast<size_t>(aY * 256 + aX)]; }

    std::vector<TCall> Calls;
    std::vector<TColour> Grid = std::vector<TColour>(256 * 256, pcButtonFace);
};

} // namespace

TEST(Constallation, EachPointErasesTheSlotItTakesBeforeDrawing) {
    TRecordingCanvas canvas;
    TConstallation view(&canvas);
    view.Add(10, 20);
    ASSERT_EQ(canvas.Calls.size(), 2u);
    // The ring starts as (0, 0) everywhere: the first 8192 calls erase that pixel.
    EXPECT_EQ(canvas.Calls[0].X, 0);
    EXPECT_EQ(canvas.Calls[0].Y, 0);
    EXPECT_EQ(canvas.Calls[0].Colour, TPointCanvas::pcButtonFace);
    EXPECT_EQ(canvas.Calls[1].X, 10);
    EXPECT_EQ(canvas.Calls[1].Y, 20);
    EXPECT_EQ(canvas.Calls[1].Colour, TPointCanvas::pcBlack);
    EXPECT_EQ(view.Index(), 1);

    // Fill the ring with distinct points; all stay black.
    for (int i = 1; i < TConstallation::RingSize; ++i)
        view.Add(i % 256, 30 + i / 256);
    EXPECT_EQ(view.Index(), 0);
    EXPECT_EQ(canvas.At(10, 20), TPointCanvas::pcBlack);
    EXPECT_EQ(canvas.At(255, 30), TPointCanvas::pcBlack);

    // The 8193rd call erases the pixel of the first before drawing its own.
    canvas.Calls.clear();
    view.Add(200, 5);
    ASSERT_EQ(canvas.Calls.size(), 2u);
    EXPECT_EQ(canvas.Calls[0].X, 10);
    EXPECT_EQ(canvas.Calls[0].Y, 20);
    EXPECT_EQ(canvas.Calls[0].Colour, TPointCanvas::pcButtonFace);
    EXPECT_EQ(canvas.At(10, 20), TPointCanvas::pcButtonFace);
    EXPECT_EQ(canvas.At(200, 5), TPointCanvas::pcBlack);
    EXPECT_EQ(view.Slot(0).X, 200);
    EXPECT_EQ(view.Index(), 1);
}

TEST(Constallation, RepeatedPointsStayUntilTheirFirstCopyIsErased) {
    TRecordingCanvas canvas;
    TConstallation view(&canvas);
    view.Add(7, 7);
    view.Add(7, 7); // twice in a row: still black
    EXPECT_EQ(canvas.At(7, 7), TPointCanvas::pcBlack);
    for (int i = 2; i < TConstallation::RingSize; ++i)
        view.Add(100, 100);
    // The next call erases the slot of the first (7, 7), and the pixel goes although the second
    // copy is still in the ring: the view does not count copies.
    view.Add(100, 100);
    EXPECT_EQ(canvas.At(7, 7), TPointCanvas::pcButtonFace);
    EXPECT_EQ(view.Slot(1).X, 7);
    EXPECT_EQ(canvas.At(100, 100), TPointCanvas::pcBlack);
}

TEST(Constallation, PaintBoxDrawsPointsAndTextAndClips) {
    TestApplication();
    TPaintBox box(256, 256);
    const QRgb face = box.ButtonFace().rgb();
    EXPECT_EQ(box.Surface().pixel(0, 0), face);
    TConstallation view(&box);
    view.Add(198, 58);
    EXPECT_EQ(box.Surface().pixel(198, 58), qRgb(0, 0, 0));
    view.Add(-3, 300); // outside: ignored, nothing thrown
    view.Add(255, 255);
    EXPECT_EQ(box.Surface().pixel(255, 255), qRgb(0, 0, 0));

    box.TextOut(100, 100, "HardDesigns");
    // Dark ink (the text may be smoothed) only right of and below (100, 100), within a line.
    int ink = 0, inkOutside = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            if (qGray(box.Surface().pixel(x, y)) >= 128 || (x == 198 && y == 58) || (x == 255 && y == 255))
                continue;
            if (x >= 100 && y >= 100 && y < 100 + box.fontMetrics().height())
                ++ink;
            else
                ++inkOutside;
        }
    EXPECT_GT(ink, 20);
    EXPECT_EQ(inkOutside, 0);
}
