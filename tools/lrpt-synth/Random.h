// Deterministic random numbers: the same seed gives the same recording on
// every machine (no dependence on the standard library's distributions).
#pragma once

#include <cmath>
#include <cstdint>

namespace lrptsynth {

class Random {
  public:
    explicit Random(std::uint64_t seed) {
        std::uint64_t z = seed;
        for (auto& s : fS)
            s = splitmix(z);
    }
    std::uint64_t next() {
        const std::uint64_t result = rotl(fS[1] * 5, 7) * 9;
        const std::uint64_t t = fS[1] << 17;
        fS[2] ^= fS[0];
        fS[3] ^= fS[1];
        fS[1] ^= fS[2];
        fS[0] ^= fS[3];
        fS[2] ^= t;
        fS[3] = rotl(fS[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return p > 0 && uniform() < p; }
    // Standard normal (Box-Muller, both values used).
    double gaussian() {
        if (fHave) {
            fHave = false;
            return fSpare;
        }
        double u1 = uniform();
        if (u1 < 1e-300) u1 = 1e-300;
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        fSpare = r * std::sin(2 * M_PI * u2);
        fHave = true;
        return r * std::cos(2 * M_PI * u2);
    }

  private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static std::uint64_t splitmix(std::uint64_t& z) {
        z += 0x9E3779B97F4A7C15ull;
        std::uint64_t r = z;
        r = (r ^ (r >> 30)) * 0xBF58476D1CE4E5B9ull;
        r = (r ^ (r >> 27)) * 0x94D049BB133111EBull;
        return r ^ (r >> 31);
    }
    std::uint64_t fS[4];
    double fSpare = 0;
    bool fHave = false;
};

} // namespace lrptsynth
