#include "tools/Fft.h"

#include <cmath>

TSpectrumAnalyser::TGrid TSpectrumAnalyser::GridFor(int aDivisions) {
    if (aDivisions < 1) aDivisions = 1;
    TGrid g;
    g.Dx = 512 / aDivisions;
    g.X0 = 511;
    while (g.Dx < g.X0)
        g.X0 -= g.Dx;
    return g;
}

TPixelMap TSpectrumAnalyser::EmptyImage(const TGrid& aGrid) {
    TPixelMap m(Width, Height);
    for (int x = 0; x < Width; ++x)
        m.Set(x, Axis, colours::Grid);
    for (int y = 0; y < Height; ++y)
        m.Set(511, y, colours::Grid);
    for (int y = 0; y < Height; y += 25)
        for (int x = 3; x < Width; x += 4)
            m.Set(x, y, colours::Grid);
    if (aGrid.Dx > 0)
        for (int x = aGrid.X0; x < Width; x += aGrid.Dx)
            for (int y = 0; y < Height; y += 4)
                m.Set(x, y, colours::Grid);
    return m;
}

const std::array<double, 1024>& TSpectrumAnalyser::Window() {
    static const std::array<double, 1024> w = [] {
        std::array<double, 1024> v{};
        for (int k = 0; k < 512; ++k) {
            v[512 + k] = 0.54 + 0.46 * std::cos(k * 6.283185307179586 / 1023);
            v[511 - k] = v[512 + k];
        }
        return v;
    }();
    return w;
}

void TSpectrumAnalyser::Transform(std::array<std::complex<double>, 1024>& a) {
    std::array<std::complex<double>, 1024> b;
    for (int i = 0; i < 1024; ++i) {
        int r = 0;
        for (int bit = 0; bit < 10; ++bit)
            r |= ((i >> bit) & 1) << (9 - bit);
        b[r] = a[i];
    }
    const double pi = 3.14159265358979323846;
    for (int s = 0; s < 10; ++s) {
        const int half = 1 << s, span = 2 * half;
        for (int base = 0; base < 1024; base += span)
            for (int r = 0; r < half; ++r) {
                const double angle = 2 * pi * r / span;
                const std::complex<double> w(std::cos(angle), -std::sin(angle));
                std::complex<double>& p = b[base + r];
                std::complex<double>& q = b[base + r + half];
                const std::complex<double> t = q * w;
                q = (p - t) * 0.625;
                p = (p + t) * 0.625;
            }
    }
    a = b;
}

bool TSpectrumAnalyser::Trace(ProbeBuffer& aProbe, std::vector<TPlot>& aPlots) {
    aPlots.clear();
    if (!aProbe.Full()) return false;
    std::array<double, 1024> avg;
    for (int i = 0; i < 1024; ++i) {
        auto& row = fHistory[i];
        for (int c = 7; c > 0; --c)
            row[c] = row[c - 1];
        row[0] = aProbe[i];
        int64_t sum = 0;
        for (int32_t v : row)
            sum += v;
        avg[i] = double(sum) * 0.125;
    }
    if (fCounter < 8) {
        ++fCounter;
        aProbe.Restart();
        return true;
    }
    auto plot = [&](int x, double y, uint32_t colour) {
        if (!std::isfinite(y) || y < -1e9 || y > 1e9) return;
        const int64_t row = Axis - int64_t(y);
        if (x >= 0 && x < Width && row >= 0 && row < Height) aPlots.push_back({x, int(row), colour});
    };
    for (int i = 1; i < 1024; ++i)
        plot(i, avg[i], TimeColour);

    std::array<std::complex<double>, 1024> x;
    const auto& w = Window();
    for (int i = 0; i < 1024; ++i)
        x[i] = {avg[i] * w[i], 0.0};
    Transform(x);
    for (int k = 1; k < 1024; ++k) {
        const double mag = std::abs(x[k]);
        const double v = mag != 0 ? 100 * std::log10(mag) : 0;
        plot(k < 512 ? k + 512 : k - 512, v, SpectrumColour);
    }
    aProbe.Restart();
    return true;
}
