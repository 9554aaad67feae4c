// Map making speed: a ten-minute pass (1568 x 6000, three bands) mapped north-up, with its tie points
// from an analytic swath (tests/geo/maps/SwathModel.h). Counters: map pixels per second and the map's
// size; the target is the whole map in about 0.5 s on one core.
#include "SwathModel.h"

#include "maps/MapOverlay.h"
#include "maps/MapRaster.h"

#include <benchmark/benchmark.h>

#include <vector>

using namespace lrptgeo;

namespace {

void MapPass(benchmark::State& aState, const char* aProjection, double aStartLatDeg) {
    // Northbound, 12 degrees west of north, as a sun-synchronous pass over Europe runs.
    const TSwathModel model(aStartLatDeg, 20, -12, 1568, 6000);
    std::vector<uint8_t> bytes(static_cast<size_t>(1568) * 6000 * 3);
    for (size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<uint8_t>(k * 2654435761u >> 24);
    const TPictureView picture{bytes.data(), 1568, 6000, 3, 3, 1568 * 3, true};
    const TGeoTiePoints ties = model.Ties(8, 32);
    const TMapProjection projection(aProjection);
    const TMapGrid grid = ChooseMapGrid(ties, projection);
    for (auto _ : aState) {
        TMapRaster map = MakeMap(picture, ties, projection, grid);
        benchmark::DoNotOptimize(map.Pixels.data());
    }
    const double pixels = static_cast<double>(grid.Width) * grid.Height;
    aState.counters["map_Mpixels"] = pixels / 1e6;
    aState.counters["map_pixels_per_s"] =
        benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
}

// From 20 N to 77 N on the default map; the same over 35 N .. 90 N in polar stereographic and from
// 20 N in UTM (a projected map whose pixels all lie near the swath).
void BM_MapEquirectangular(benchmark::State& aState) {
    MapPass(aState, "EPSG:4326", 20);
}
void BM_MapPolarStereographic(benchmark::State& aState) {
    MapPass(aState, "EPSG:3413", 35);
}
void BM_MapUtm(benchmark::State& aState) {
    MapPass(aState, "EPSG:32633", 20);
}

// A pass's pictures as the batch tools sample them: one inverse mapping for six grey channels and a
// colour composite (each a 24-bit picture), in two batches as the tools' two threads take them.
void BM_MapSamplingOfAPass(benchmark::State& aState) {
    const TSwathModel model(50, 20, -12, 1568, 4870);
    std::vector<std::vector<uint8_t>> pictures(7, std::vector<uint8_t>(static_cast<size_t>(1568) * 4870 * 3));
    for (size_t p = 0; p < pictures.size(); ++p)
        for (size_t k = 0; k < pictures[p].size(); ++k)
            pictures[p][k] = static_cast<uint8_t>((k / 3 * 7 + k / (3 * 1568) * 5 + p * 40) >> 2);
    const TGeoTiePoints ties = model.Ties(8, 32);
    const TMapProjection projection("EPSG:4326");
    const TMapSampling sampling(ties, projection, ChooseMapGrid(ties, projection));
    auto view = [&](size_t aPicture, int aBands) {
        return TPictureView{pictures[aPicture].data(), 1568, 4870, aBands, 3, 1568 * 3, true};
    };
    const std::vector<TPictureView> first{view(0, 1), view(2, 1), view(4, 1), view(6, 3)},
        second{view(1, 1), view(3, 1), view(5, 1)};
    for (auto _ : aState) {
        benchmark::DoNotOptimize(sampling.Apply(first).front().Pixels.data());
        benchmark::DoNotOptimize(sampling.Apply(second).front().Pixels.data());
    }
    const double pixels = static_cast<double>(sampling.Grid().Width) * sampling.Grid().Height;
    aState.counters["map_Mpixels"] = pixels / 1e6;
}

// The coastlines, borders and grid of a ten-minute pass over Europe, as the map files draw them on.
void BM_OverlayOfAPass(benchmark::State& aState) {
    const TSwathModel model(50, 20, -12, 1568, 4870);
    const TGeoTiePoints ties = model.Ties(8, 32);
    const TMapProjection projection("EPSG:4326");
    const TMapGrid grid = ChooseMapGrid(ties, projection);
    size_t pixels = 0;
    for (auto _ : aState)
        pixels = DrawOverlayPixels(grid, projection).X.size();
    aState.counters["line_pixels"] = static_cast<double>(pixels);
}

} // namespace

BENCHMARK(BM_OverlayOfAPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapSamplingOfAPass)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapEquirectangular)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapPolarStereographic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapUtm)->Unit(benchmark::kMillisecond);
