// The pass on the map in the RGB window: the real pass decoded through the window, its orbit loaded
// through the dialog layer, the map shown and saved, the files read back through GDAL; element set
// files the tools would refuse, an ambiguous one, and passes that cannot be put on the map.
#include "ui/MainUnit.h"

#include "../../geo/GeoTiffFacts.h"
#include "Synthesizer.h"
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <QImage>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kTle = std::string(LRPT_SOURCE_DIR) + "/data/tle/weather-2026-06-19.txt";

std::string ReadText(const std::string& aPath) {
    std::ifstream in(aPath);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const fs::path& aPath, const std::string& aText) {
    std::ofstream(aPath) << aText;
}

class MapWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        fDir = TestFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        fWindow = std::make_unique<TMetM2_LRPT_CORVANE>();
        fWindow->ShowMessage = [this](const QString& aText, bool) {
            fMessages.push_back(aText.toStdString());
        };
        fWindow->OpenDialog1->ExecuteHook = [this](TOpenDialog& aDialog) {
            aDialog.FileName = QString::fromStdString(fRecording);
            return true;
        };
        Form().OpenDialogTle->ExecuteHook = [this](TOpenDialog& aDialog) {
            ++fTleDialogs;
            if (fNextTle.empty()) return false;
            aDialog.FileName = QString::fromStdString(fNextTle);
            return true;
        };
        Form().ChooseSatellite = [this](const QStringList& aNames) -> std::optional<int> {
            fOffered = aNames;
            return fAnswer;
        };
    }
    void TearDown() override {
        fWindow.reset();
        fs::remove_all(fDir);
    }
    TRGBForm& Form() { return *fWindow->RGBForm; }

    // Decodes aOptions' recording through the window and composes channels 1, 2, 3.
    void Decode(lrptsynth::SynthOptions aOptions) {
        const lrptsynth::Recording r = lrptsynth::synthesize(aOptions);
        fRecording = (fDir / "pass_LRPT_.s").string();
        std::ofstream(fRecording, std::ios::binary)
            .write(reinterpret_cast<const char*>(r.bytes.data()),
                   static_cast<std::streamsize>(r.bytes.size()));
        fWindow->Button72KClick();
        ASSERT_EQ(fWindow->State(), TMetM2_LRPT_CORVANE::ssEnded);
        fWindow->Button3Click();
    }

    fs::path fDir;
    std::unique_ptr<TMetM2_LRPT_CORVANE> fWindow;
    std::string fRecording, fNextTle;
    std::vector<std::string> fMessages;
    int fTleDialogs = 0;
    QStringList fOffered;
    std::optional<int> fAnswer;
};

} // namespace

TEST_F(MapWindow, TheRealPassOnTheMapFromTheOrbitChoiceToTheSavedFiles) {
    lrptsynth::SynthOptions o;
    o.cadus = lrptsynth::readCaduFile(LRPT_REAL_CADU);
    o.seed = 7;
    Decode(o);
    ASSERT_TRUE(fMessages.empty()) << fMessages[0];
    const TBitmap24 composite = Form().Composite();

    // Asking for the map without an orbit opens the element set dialog; the file's only Meteor is
    // taken without asking.
    fNextTle = kTle;
    Form().OnMap->setChecked(true);
    ASSERT_TRUE(fMessages.empty()) << fMessages[0];
    EXPECT_EQ(fTleDialogs, 1);
    EXPECT_TRUE(fOffered.isEmpty());
    EXPECT_EQ(Form().OrbitFile(), kTle);
    ASSERT_TRUE(Form().OnMap->isChecked());
    ASSERT_NE(Form().Geolocation(), nullptr);
    const TGeolocation& g = *Form().Geolocation();
    EXPECT_EQ(g.Satellite, "METEOR-M2 4");
    EXPECT_TRUE(g.Northbound);
    EXPECT_TRUE(g.Registration.Attempted);
    EXPECT_TRUE(g.Registration.Applied) << g.Registration.Why;
    EXPECT_LT(g.Registration.ResidualKm, 2.0);
    EXPECT_TRUE(Form().MapStatus->text().contains("registration applied"));
    EXPECT_EQ(Form().MapName(), "rgb123");
    EXPECT_NE(&Form().Shown(), &Form().Composite());

    // Save writes the map beside the input as the tools name it, and the composite as before.
    const std::string stem = fRecording + ".rgb123.map";
    Form().Save1Click();
    ASSERT_TRUE(fMessages.empty()) << fMessages[0];
    EXPECT_TRUE(fs::exists(fRecording + ".bmp"));
    const TTiff tif = ReadTiff(stem + ".tif");
    ASSERT_TRUE(tif.Opened);
    EXPECT_EQ(tif.Bands, 3);
    EXPECT_TRUE(tif.HasTransform);
    EXPECT_TRUE(tif.NoData);
    EXPECT_EQ(tif.Authority, "4326");
    // North up, and the swath's middle over the Adriatic, where the pass was.
    EXPECT_GT(tif.Transform[1], 0);
    EXPECT_LT(tif.Transform[5], 0);
    const double midLon = tif.Transform[0] + tif.Transform[1] * tif.Width / 2;
    const double midLat = tif.Transform[3] + tif.Transform[5] * tif.Height / 2;
    EXPECT_NEAR(midLat, 42, 6);
    EXPECT_NEAR(midLon, 16, 8);
    // The window shows what the PNG holds: the map with the lines drawn on.
    const QImage png(QString::fromStdString(stem + ".png"));
    ASSERT_EQ(png.width(), tif.Width);
    ASSERT_EQ(png.height(), tif.Height);
    ASSERT_EQ(Form().Shown().Width(), tif.Width);
    int differ = 0, lines = 0;
    for (int y = 0; y < png.height(); y += 3)
        for (int x = 0; x < png.width(); x += 3) {
            const TPixel24 p = Form().Shown().Pixel(x, y);
            const QRgb q = png.pixel(x, y);
            differ += p != TPixel24{static_cast<uint8_t>(qBlue(q)), static_cast<uint8_t>(qGreen(q)),
                                    static_cast<uint8_t>(qRed(q))};
            // The coastlines' yellow does not occur in the picture itself.
            lines += p.Red > 200 && p.Green > 180 && p.Blue < 60;
        }
    EXPECT_EQ(differ, 0);
    EXPECT_GT(lines, 50);

    // "rectified" and "map" exclude each other; the composite itself is unchanged throughout.
    Form().Rectified->setChecked(true);
    EXPECT_FALSE(Form().OnMap->isChecked());
    EXPECT_EQ(Form().ShownPngName(), fRecording + ".rgb.rect.png");
    Form().OnMap->setChecked(true);
    EXPECT_FALSE(Form().Rectified->isChecked());
    EXPECT_EQ(Form().Composite().Pixel(700, 300), composite.Pixel(700, 300));

    // One channel chosen thrice is that channel's grey map, named by its APID.
    for (QComboBox* box : {fWindow->RBox, fWindow->GBox, fWindow->BBox})
        box->setCurrentIndex(1);
    fWindow->Button3Click();
    EXPECT_EQ(Form().MapName(), "65");
    Form().Save1Click();
    EXPECT_EQ(ReadTiff(fRecording + ".65.map.tif").Bands, 1);

    // A file of several entries, none a Meteor: the operator picks one (its name line renamed, its
    // elements the pass's), and the map follows.
    const std::string text = ReadText(kTle);
    const size_t meteor = text.find("METEOR-M2 4\n");
    ASSERT_NE(meteor, std::string::npos);
    const fs::path two = fDir / "two.txt";
    WriteText(two, text.substr(0, meteor) + "SAT A" + text.substr(meteor + 11));
    fAnswer = 1;
    fNextTle = two.string();
    ASSERT_TRUE(Form().Orbit1Click());
    ASSERT_EQ(fOffered.size(), 2);
    EXPECT_TRUE(fOffered[1].startsWith("SAT A"));
    ASSERT_NE(Form().Geolocation(), nullptr);
    EXPECT_EQ(Form().Geolocation()->Satellite, "SAT A");
    EXPECT_TRUE(Form().Geolocation()->Registration.Applied);
    // Cancelling the choice keeps the orbit there was.
    fAnswer.reset();
    EXPECT_FALSE(Form().LoadOrbit(two.string()));
    EXPECT_EQ(Form().OrbitFile(), two.string());
    EXPECT_TRUE(fMessages.empty());
}

TEST_F(MapWindow, ElementSetFilesTheToolsRefuseAreToldAndChangeNothing) {
    const std::string text = ReadText(kTle);
    const fs::path garbage = fDir / "garbage.txt", checksum = fDir / "checksum.txt";
    WriteText(garbage, "this is no element set\n");
    std::string spoilt = text;
    const size_t line1 = spoilt.find("\n1 ") + 1;
    spoilt[line1 + 20] = spoilt[line1 + 20] == '5' ? '6' : '5'; // a digit of the epoch
    WriteText(checksum, spoilt);
    for (const fs::path& bad : {garbage, checksum, fDir / "missing.txt"}) {
        fMessages.clear();
        EXPECT_FALSE(Form().LoadOrbit(bad.string()));
        ASSERT_EQ(fMessages.size(), 1u) << bad;
        EXPECT_NE(fMessages[0].find(bad.filename().string()), std::string::npos) << fMessages[0];
        EXPECT_TRUE(Form().OrbitFile().empty());
    }
    // The map without an orbit, the dialog cancelled: the box stays unchecked, nothing said.
    fMessages.clear();
    Form().OnMap->setChecked(true);
    EXPECT_EQ(fTleDialogs, 1);
    EXPECT_FALSE(Form().OnMap->isChecked());
    EXPECT_TRUE(fMessages.empty());
}

TEST_F(MapWindow, PassesThatCannotBePutOnTheMapAreToldAndTheCompositeStays) {
    ASSERT_TRUE(Form().LoadOrbit(kTle));
    // Generated packets carry no day count, and the window has no other way to date them.
    lrptsynth::SynthOptions o;
    o.durationSeconds = 6;
    o.channels = {1, 2, 3};
    Decode(o);
    Form().OnMap->setChecked(true);
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_NE(fMessages[0].find("no date"), std::string::npos) << fMessages[0];
    EXPECT_FALSE(Form().OnMap->isChecked());
    EXPECT_EQ(&Form().Shown(), &Form().Composite());
    EXPECT_EQ(Form().Geolocation(), nullptr);
}

TEST(MapNames, TheChoicesAreNamedAsTheToolsNameTheSamePictures) {
    EXPECT_EQ(ChoiceName({1, 2, 3}), "rgb123"); // natural colour: channel 3 shows as red
    EXPECT_EQ(ChoiceName({1, 2, 2}), "rgb221");
    EXPECT_EQ(ChoiceName({5, 5, 5}), "68");
    EXPECT_EQ(ChoiceName({5, 2, 1}), "rgb125"); // red, green, blue as shown
}
