#include "app/Displays.h"
#include "app/ReceiverControls.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

const TArrowControl& Arrow(const char* aName) {
    const TArrowControl* c = FindArrowControl(aName);
    EXPECT_NE(c, nullptr) << aName;
    return *c;
}

int64_t Word(double aHz, int32_t aSamp) {
    return int64_t(aHz * 4294967296.0 / aSamp);
}

TEST(ControlsTest, DefaultsLoadEveryArrowAtTheReceiversValues) {
    TCostasReceiver rx;
    const TReceiverParams defaults = rx.Params();
    for (const TArrowControl& c : ArrowControls()) {
        const int pos = c.Position(defaults);
        EXPECT_GE(pos, c.Min) << c.UpDown;
        EXPECT_LE(pos, c.Max) << c.UpDown;
        // Applying the default position changes nothing (Samp is not a multiple of its step).
        if (std::string(c.UpDown) == "SampUpDown") continue;
        TCostasReceiver r;
        c.Apply(r, pos);
        EXPECT_EQ(c.Text(r.Params()), c.Text(defaults)) << c.UpDown;
    }
    EXPECT_EQ(Arrow("NcoUpDown").Position(defaults), 1000);
    EXPECT_EQ(Arrow("SymbolUpDown").Position(defaults), 7200);
    EXPECT_EQ(Arrow("ModTypeUpDown").Text(defaults), "QPSK");
    EXPECT_FALSE(Arrow("SampUpDown").Enabled);
}

TEST(ControlsTest, ArrowMappingsAndTheirWords) {
    TCostasReceiver rx;
    const int32_t samp = rx.Params().Samp;
    Arrow("NcoUpDown").Apply(rx, 1000);
    EXPECT_EQ(rx.Params().Nco, 0);
    Arrow("NcoUpDown").Apply(rx, 1001);
    EXPECT_EQ(rx.Params().Nco, 10);
    EXPECT_EQ(rx.NcoWord(), Word(10, samp));

    Arrow("SymbolUpDown").Apply(rx, 7200);
    EXPECT_EQ(rx.Params().SymRate, 72000);
    EXPECT_EQ(DecimalText(NsPerBit(rx.Params().SymRate)), "13888.8888888889");

    Arrow("CarUpperUpDown").Apply(rx, 500);
    EXPECT_EQ(rx.Params().CarUpper, 5000);
    EXPECT_EQ(rx.CarUpperWord(), Word(5000, samp));
    Arrow("CarLowerUpDown").Apply(rx, 300);
    EXPECT_EQ(rx.Params().CarLower, -3000);
    EXPECT_EQ(Arrow("CarLowerUpDown").Text(rx.Params()), "-3000");
    Arrow("SymLowerUpDown").Apply(rx, 20);
    EXPECT_EQ(rx.Params().SymLower, -200);
    EXPECT_EQ(rx.SymLowerWord(), int32_t(int64_t(-200.0 * 4294967296.0 / samp * 2)));
    Arrow("LD_PL_aUpDown").Apply(rx, 7);
    EXPECT_EQ(rx.Params().LD_PL_a, 7000);
    Arrow("ModTypeUpDown").Apply(rx, 1);
    EXPECT_EQ(Arrow("ModTypeUpDown").Text(rx.Params()), "BPSK");
    Arrow("SampUpDown").Apply(rx, 1000);
    EXPECT_EQ(rx.Params().Samp, 200000);
}

TEST(ControlsTest, TypedValuesAreQuantisedToTheArrows) {
    TCostasReceiver rx;
    const int32_t samp = rx.Params().Samp;
    // 12345 Hz: the arrow would be at 1234, beyond its maximum, so it stays at 1000 = 10000 Hz.
    EXPECT_EQ(FindTypedEdit("CarUpperEdit")->Apply(rx, 12345), 1000);
    EXPECT_EQ(rx.Params().CarUpper, 10000);
    EXPECT_EQ(rx.CarUpperWord(), Word(10000, samp));
    EXPECT_EQ(FindTypedEdit("CarLowerEdit")->Apply(rx, -2345), 234);
    EXPECT_EQ(rx.Params().CarLower, -2340);
    // AGC values are taken as typed, the arrow shows what it can.
    EXPECT_EQ(FindTypedEdit("AgcLowerEdit")->Apply(rx, -300), 0);
    EXPECT_EQ(rx.Params().AgcLower, -300);
    EXPECT_EQ(FindTypedEdit("NcoEdit")->Apply(rx, 2505), 1250);
    EXPECT_EQ(rx.Params().Nco, 2505);
    EXPECT_EQ(rx.NcoWord(), Word(2505, samp));
    EXPECT_EQ(FindTypedEdit("SymRateEdit")->Apply(rx, 80000), 8000);
    EXPECT_EQ(rx.Params().SymRate, 80000);
    // Samp recomputes no word.
    const int32_t word = rx.NcoWord();
    EXPECT_EQ(FindTypedEdit("SampEdit")->Apply(rx, 768000), 3840);
    EXPECT_EQ(rx.Params().Samp, 768000);
    EXPECT_EQ(rx.NcoWord(), word);
    // Every typed box names an arrow that exists.
    for (const TTypedEdit& e : TypedEdits())
        EXPECT_NE(FindArrowControl(e.UpDown), nullptr) << e.Edit;
}

TEST(ControlsTest, TimebaseTable) {
    EXPECT_EQ(TimebaseNs(4), 100);
    EXPECT_EQ(TimebaseText(4).Value, 100);
    EXPECT_STREQ(TimebaseText(4).Label, "Timebase (nS/div)");
    EXPECT_EQ(DecimalText(PixelNs(TimebaseNs(4))), "5");
    EXPECT_EQ(TimebaseText(7).Value, 1);
    EXPECT_STREQ(TimebaseText(7).Label, "Timebase (uS/div)");
    EXPECT_EQ(TimebaseText(15).Value, 500);
    EXPECT_STREQ(TimebaseText(15).Label, "Timebase (uS/div)");
    EXPECT_EQ(TimebaseText(TimebaseDefaultPosition).Value, 2);
    EXPECT_STREQ(TimebaseText(17).Label, "Timebase (mS/div)");
    EXPECT_EQ(TimebaseNs(21), 50000000);
    EXPECT_EQ(DecimalText(PixelNs(TimebaseNs(1))), "0.5");
}

TEST(ControlsTest, ParameterTableForTheBatchTool) {
    TCostasReceiver rx;
    FindReceiverParam("Slice")->Set(rx, 40);
    EXPECT_EQ(rx.Params().Slice, 40);
    const TSlicerThresholds t = haldrin::SlicerThresholds(40, rx.Params().ModType);
    EXPECT_EQ(rx.Thresholds().T1, t.T1);
    EXPECT_EQ(rx.Thresholds().T3, t.T3);
    EXPECT_NE(t.T1, TSlicerThresholds{}.T1);
    FindReceiverParam("Nco")->Set(rx, 2500);
    EXPECT_EQ(rx.NcoWord(), Word(2500, rx.Params().Samp));
    FindReceiverParam("Sweep")->Set(rx, 0);
    EXPECT_FALSE(rx.Params().Sweep);
    EXPECT_FALSE(rx.Params().Oqpsk);
    FindReceiverParam("Oqpsk")->Set(rx, 1);
    EXPECT_TRUE(rx.Params().Oqpsk);
    EXPECT_EQ(FindReceiverParam("NoSuch"), nullptr);
    for (const TParamEntry& e : ReceiverParamTable())
        EXPECT_LE(e.Min, e.Max) << e.Name;
}

// Each check box sets its own parameter and no other; all start off except Sweep.
TEST(ControlsTest, CheckBoxesMapOneParameterEach) {
    const TCostasReceiver fresh;
    std::vector<std::string> boxes;
    for (const TCheckControl& c : CheckControls()) {
        boxes.push_back(c.Box);
        EXPECT_EQ(c.Get(fresh.Params()), std::string(c.Box) == "SwCheckBox") << c.Box;
        TCostasReceiver rx;
        c.Set(rx, !c.Get(fresh.Params()));
        EXPECT_NE(c.Get(rx.Params()), c.Get(fresh.Params())) << c.Box;
        int changed = 0;
        for (const TCheckControl& other : CheckControls())
            changed += other.Get(rx.Params()) != other.Get(fresh.Params());
        EXPECT_EQ(changed, 1) << c.Box;
    }
    const std::vector<std::string> expected{"CarLoopBox", "CarZeroBox", "SymLoopBox", "SymZeroBox",
                                            "AgcLoopBox", "SwCheckBox", "IQCheckBox", "OqpskBox"};
    EXPECT_EQ(boxes, expected);
    TCostasReceiver rx;
    CheckControls().back().Set(rx, true);
    EXPECT_TRUE(rx.Params().Oqpsk);
    EXPECT_STREQ(CheckControls().back().Caption, "OQPSK");
}

TEST(DisplaysTest, ChartMapsRowsAndReadouts) {
    const TPixelMap bg = MainBackground();
    EXPECT_EQ(bg.At(500, 64), colours::Grid);
    EXPECT_EQ(bg.At(0, 300), colours::Grid);
    EXPECT_EQ(bg.At(3, 16), colours::Grid);
    EXPECT_EQ(bg.At(4, 16), colours::Black);
    EXPECT_EQ(bg.At(19, 8), colours::Grid);
    EXPECT_EQ(bg.At(19, 9), colours::Black);
    EXPECT_EQ(bg.At(3, 400 - 8), colours::Black); // the dotted rows stop at 384
    const TPixelMap ph = PhaseBackground();
    EXPECT_EQ(ph.At(63, 5), colours::Grid);
    EXPECT_EQ(ph.At(3, 111), colours::Grid);
    EXPECT_EQ(ph.At(15, 123), colours::Grid);
    EXPECT_EQ(ph.At(15, 122), colours::Black);

    EXPECT_EQ(TDisplaySampler::Record(0, 0, 0, 0, 0).AgcRow, 64);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 128, 0, 0).AgcRow, 32);
    EXPECT_EQ(TDisplaySampler::Record(0, 0, 255, 0, 0).AgcRow, 1);
    EXPECT_EQ(DecimalText(AgcDb(128)), "12");
    EXPECT_EQ(DecimalText(AgcDb(255)), "23.625");
    const TDisplayPoint lo = TDisplaySampler::Record(-128, -128, 0, 0, 0),
                        hi = TDisplaySampler::Record(127, 127, 0, 0, 0);
    EXPECT_EQ(lo.X, 0);
    EXPECT_EQ(lo.Y, 0);
    EXPECT_EQ(hi.X, 127);
    EXPECT_EQ(hi.Y, 127);

    TCostasReceiver rx;
    const TReadoutTexts t = Readouts(rx, false);
    EXPECT_EQ(t.AgcLoopCaption, "AGC acc (raw)");
    EXPECT_EQ(t.LdIntCaption, "LD_Int cnt");
    EXPECT_EQ(Readouts(rx, true).AgcLoopCaption, "AGC acc (dB)");
}

TEST(DisplaysTest, RedrawErasesThePreviousPointOfEachColumn) {
    TDisplayPainter p;
    std::array<TDisplayPoint, TDisplaySampler::Columns> rec{};
    for (auto& d : rec)
        d = TDisplaySampler::Record(0, 0, 0, 0, 0);
    rec[100] = TDisplaySampler::Record(100, -100, 128, 0, 0);
    p.Redraw(rec);
    EXPECT_EQ(p.Main().At(100, 32), colours::Agc);
    EXPECT_EQ(p.Phase().At(114, 14), colours::Point);
    // Next block: the column moved on; the old points go back to the background (grid or black).
    rec[100] = TDisplaySampler::Record(0, 0, 0, 0, 0);
    // Far outside the chart: skipped, nothing else touched.
    rec[200].CarRow = 5000;
    rec[200].SymRow = -5000;
    p.Redraw(rec);
    EXPECT_EQ(p.Main().At(100, 32), MainBackground().At(100, 32));
    EXPECT_EQ(p.Phase().At(114, 14), PhaseBackground().At(114, 14));
    EXPECT_EQ(p.Main().At(100, 64), colours::Agc);
    // A column the block did not reach is drawn in place again.
    p.Redraw(rec);
    EXPECT_EQ(p.Main().At(100, 64), colours::Agc);
}

} // namespace
