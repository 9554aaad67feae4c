#include "tools/Rrcmain.h"

#include <cmath>
#include <cstdio>

std::array<double, 15> RrcTaps(double a, double T) {
    const double pi = 3.14159;
    std::array<double, 15> h{};
    for (int i = 0; i < 15; ++i) {
        const double t = i - 6.9999;
        const double d = 4 * a * t / T;
        h[i] = (4 * a / (pi * std::sqrt(T))) *
               (std::cos((1 + a) * pi * t / T) + std::sin((1 - a) * pi * t / T) / d) / (1 - d * d);
    }
    return h;
}

namespace {
template <typename... A> std::string Format(const char* f, A... args) {
    char text[128];
    std::snprintf(text, sizeof text, f, args...);
    return text;
}
} // namespace

std::vector<std::string> RrcListing(double aAlpha, double aT, int aScale) {
    std::vector<std::string> out{"", ""};
    const std::array<double, 15> h = RrcTaps(aAlpha, aT);
    double sum = 0;
    bool finite = aT > 0;
    for (double v : h) {
        finite = finite && std::isfinite(v);
        sum += v;
    }
    if (!finite || sum == 0) {
        out.push_back("No finite taps for these values: T must be positive and 4 Alpha t / T must not "
                      "reach 0 or +-1.");
        return out;
    }
    for (int i = 0; i < 15; ++i)
        out.push_back(Format("h(%d) = %1.7f", i, h[i]));
    out.push_back("");
    out.push_back(Format("sum = %1.7f", sum));
    out.push_back("");
    std::array<double, 15> n{};
    double nsum = 0;
    for (int i = 0; i < 15; ++i) {
        n[i] = h[i] / sum;
        nsum += n[i];
        out.push_back(Format("h(%d) = %1.7f", i, n[i]));
    }
    out.push_back("");
    out.push_back("");
    out.push_back(Format("sum = %1.7f", nsum));
    out.push_back("Actual coefficients.");
    double ssum = 0;
    for (int i = 0; i < 15; ++i) {
        const double v = n[i] * aScale;
        ssum += v;
        out.push_back(Format("h(%d) = %4.2f", i, v));
    }
    out.push_back("");
    out.push_back(Format("sum = %5.1f", ssum));
    out.push_back("");
    out.push_back("");
    return out;
}
