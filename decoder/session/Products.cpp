#include "session/Products.h"

#include "image/GroundRectifier.h"

#include <algorithm>

std::string CompositeName(TCompositeKind aKind) {
    switch (aKind) {
    case TCompositeKind::Natural123:
        return "rgb123";
    case TCompositeKind::Day221:
        return "rgb221";
    case TCompositeKind::InfraRed:
        return "ir";
    }
    return "?";
}

std::string ChoiceName(const std::array<int, 3>& aChannels) {
    const auto [a, b, c] = aChannels;
    if (a == b && b == c) return std::to_string(63 + a);
    for (const TCompositeKind kind : {TCompositeKind::Natural123, TCompositeKind::Day221})
        if (CompositeChannels(kind, {}) == aChannels) return CompositeName(kind);
    return "rgb" + std::to_string(c) + std::to_string(b) + std::to_string(a);
}

std::string CompositeTitle(TCompositeKind aKind) {
    switch (aKind) {
    case TCompositeKind::Natural123:
        return "natural colour (R 3, G 2, B 1)";
    case TCompositeKind::Day221:
        return "daylight 221 (R 2, G 2, B 1)";
    case TCompositeKind::InfraRed:
        return "infrared, enhanced (ch 5, 6 or 4)";
    }
    return "?";
}

std::vector<TCompositeKind> ChooseComposites(const std::array<bool, 6>& aPresent) {
    std::vector<TCompositeKind> kinds;
    if (aPresent[0] && aPresent[1] && aPresent[2]) kinds.push_back(TCompositeKind::Natural123);
    if (aPresent[0] && aPresent[1]) kinds.push_back(TCompositeKind::Day221);
    if (aPresent[3] || aPresent[4] || aPresent[5]) kinds.push_back(TCompositeKind::InfraRed);
    return kinds;
}

std::array<int, 3> CompositeChannels(TCompositeKind aKind, const std::array<bool, 6>& aPresent) {
    switch (aKind) {
    case TCompositeKind::Natural123:
        return {1, 2, 3};
    case TCompositeKind::Day221:
        return {1, 2, 2};
    case TCompositeKind::InfraRed:
        break;
    }
    // 10.5-11.5 um sees cloud tops best; 11.5-12.5 um is nearly as good; 3.5-4.1 um mixes in
    // reflected sunlight by day.
    for (const int channel : {5, 6, 4})
        if (aPresent[static_cast<size_t>(channel - 1)]) return {channel, channel, channel};
    return {5, 5, 5};
}

TPixel24 InfraRedColour(uint8_t aValue) {
    if (aValue < 160) return {aValue, aValue, aValue};
    // Six stops over 160..255, each colour given as (red, green, blue) and blended linearly.
    static constexpr int stops[7][3] = {{0, 0, 160}, {0, 200, 255}, {0, 220, 0},    {255, 255, 0},
                                        {255, 0, 0}, {255, 0, 255}, {255, 255, 255}};
    const int t = (aValue - 160) * 6 * 256 / 96; // 0 .. 6*256 - 16
    const int k = t / 256, w = t % 256;
    auto mix = [&](int c) {
        return static_cast<uint8_t>((stops[k][c] * (256 - w) + stops[k + 1][c] * w) / 256);
    };
    return {mix(2), mix(1), mix(0)};
}

namespace {

void ApplyInfraRedPalette(TBitmap24& aPicture) {
    for (int y = 0; y < aPicture.Height(); ++y) {
        uint8_t* row = aPicture.ScanLine(y);
        for (int x = 0; x < aPicture.Width(); ++x) {
            const TPixel24 c = InfraRedColour(row[3 * x]);
            row[3 * x] = c.Blue;
            row[3 * x + 1] = c.Green;
            row[3 * x + 2] = c.Red;
        }
    }
}

} // namespace

TBitmap24 ComposeProduct(TCompositeKind aKind, const std::array<TRGBSource, 6>& aChannels,
                         TRGBStatistics* aStatistics) {
    std::array<bool, 6> present{};
    for (size_t i = 0; i < 6; ++i)
        present[i] = ChannelPresent(aChannels[i]);
    const auto channels = CompositeChannels(aKind, present);
    TBitmap24 out;
    const auto statistics = ComposeRGB(aChannels[static_cast<size_t>(channels[0] - 1)],
                                       aChannels[static_cast<size_t>(channels[1] - 1)],
                                       aChannels[static_cast<size_t>(channels[2] - 1)], out);
    if (aKind == TCompositeKind::InfraRed) ApplyInfraRedPalette(out);
    if (aStatistics) *aStatistics = statistics;
    return out;
}

TBitmap24 GenerateProduct(TCompositeKind aKind, const std::array<TCanalDrawThread*, 6>& aStages,
                          TRGBStatistics* aStatistics) {
    std::array<bool, 6> present{};
    for (size_t i = 0; i < 6; ++i)
        present[i] = aStages[i]->FirstScanTime() >= 0 && aStages[i]->LineCount() > 0;
    const auto channels = CompositeChannels(aKind, present);
    TBitmap24 out;
    const auto statistics = GenerateRGB(*aStages[static_cast<size_t>(channels[0] - 1)],
                                        *aStages[static_cast<size_t>(channels[1] - 1)],
                                        *aStages[static_cast<size_t>(channels[2] - 1)], out);
    if (aKind == TCompositeKind::InfraRed) ApplyInfraRedPalette(out);
    if (aStatistics) *aStatistics = statistics;
    return out;
}

TBitmap24 RectifyProduct(const TBitmap24& aPicture) {
    return TGroundRectifier::ForWidth(CompositeWidth).Rectify(aPicture);
}
