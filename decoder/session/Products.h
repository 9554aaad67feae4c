// The pictures a user expects from a pass, besides the raw channels: colour composites chosen from
// the channels the pass has, and every picture also rectified to equal ground distance
// (image/GroundRectifier.h). Used by tarnwick-batch and the RGB window; callable by any program.
#pragma once

#include "image/Bitmap24.h"
#include "image/CanalDrawThreadUnit.h"
#include "session/RGBComposite.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum class TCompositeKind {
    Natural123, // natural colour: red 1.6-1.8 um (ch 3), green 0.7-1.1 um (ch 2), blue 0.5-0.7 um (ch 1)
    Day221,     // red and green ch 2, blue ch 1: daylight passes without ch 3 (vegetation green-yellow)
    InfraRed,   // the best thermal channel (5, else 6, else 4) through the enhancement palette
};

// "rgb123", "rgb221", "ir": the file name part and the name shown to the user.
std::string CompositeName(TCompositeKind aKind);
// The file name part of the composite of channels aChannels = (a, b, c) of ComposeRGB (numbers
// 1..6, the sources of the blue, green and red bytes): the product's name when a product takes the
// very same channels ("rgb123", "rgb221"), the APID ("64" .. "69") when all three are one channel,
// as the channel pictures are named, else "rgb" and the channels as red, green and blue show them
// (c, b, a).
std::string ChoiceName(const std::array<int, 3>& aChannels);
// One line for a menu: "natural colour (3-2-1)" and the like.
std::string CompositeTitle(TCompositeKind aKind);

// Whether a channel has anything drawn: a strip begun and at least one line.
inline bool ChannelPresent(const TRGBSource& aSource) {
    return aSource.Picture && aSource.FirstScanTime >= 0 && aSource.LineCount > 0;
}

// The composites worth making from the channels present (aPresent[n-1] for channel n):
// Natural123 when 1, 2 and 3 are there; Day221 when 1 and 2 are there; InfraRed when any of 4, 5, 6
// is. In that order; empty when none applies.
std::vector<TCompositeKind> ChooseComposites(const std::array<bool, 6>& aPresent);

// The channel numbers (1..6) a composite takes as the (a, b, c) of ComposeRGB / GenerateRGB,
// i.e. the sources of the blue, green and red bytes. For InfraRed, the thermal channel thrice.
// aPresent decides which thermal channel; with none present the InfraRed choice is channel 5.
std::array<int, 3> CompositeChannels(TCompositeKind aKind, const std::array<bool, 6>& aPresent);

// The colour of grey value aValue (0..255, brighter = colder, as the thermal channels arrive) in
// the infrared enhancement: grey up to 159, then blue, cyan, green, yellow, red and white for the
// coldest cloud tops.
TPixel24 InfraRedColour(uint8_t aValue);

// Builds a composite from the six channels (aChannels[n-1]: channel n), aligned by scan time
// exactly as ComposeRGB aligns the RGB composite, which it uses; the result is CompositeWidth wide
// and cut to the largest line count of the channels it takes. aStatistics, when given, receives
// ComposeRGB's statistics lines.
TBitmap24 ComposeProduct(TCompositeKind aKind, const std::array<TRGBSource, 6>& aChannels,
                         TRGBStatistics* aStatistics = nullptr);
// The same from running or stopped drawing stages (aStages[n-1]: channel n, none may be null),
// each picture read under its stage's lock (GenerateRGB).
TBitmap24 GenerateProduct(TCompositeKind aKind, const std::array<TCanalDrawThread*, 6>& aStages,
                          TRGBStatistics* aStatistics = nullptr);

// The first CompositeWidth columns of aPicture resampled to equal ground distance (rows unchanged;
// the result is wider). Throws std::invalid_argument for a picture narrower than CompositeWidth.
TBitmap24 RectifyProduct(const TBitmap24& aPicture);
