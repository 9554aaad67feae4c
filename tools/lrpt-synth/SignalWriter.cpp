#include "SignalWriter.h"

#include "Random.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lrptsynth {

namespace {

// Physical (I, Q) of chain pair (first, second), before rotation.
inline void toPhysical(Mode mode, int first, int second, int& i, int& q) {
    if (mode == Mode::k72) {
        i = first;
        q = second;
    } else {
        q = first;
        i = second;
    }
}

inline void rotate(int quarterTurns, int& i, int& q) {
    for (int k = 0; k < quarterTurns; ++k) {
        const int t = i;
        i = -q;
        q = t;
    }
}

bool inGap(const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps, std::int64_t v) {
    for (const auto& g : gaps)
        if (v >= g.first && v < g.second) return true;
    return false;
}

inline std::int8_t toSoft(double v) {
    const double r = std::nearbyint(v);
    return static_cast<std::int8_t>(r > 127 ? 127 : r < -127 ? -127 : r);
}

void putTag(std::vector<std::uint8_t>& out, const char* tag) {
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<std::uint8_t>(tag[k]));
}

void putLe(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
    for (int k = 0; k < bytes; ++k)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

double rrc(double t, double beta) {
    const double eps = 1e-9;
    if (std::fabs(t) < eps) return 1.0 - beta + 4.0 * beta / M_PI;
    if (std::fabs(std::fabs(t) - 1.0 / (4.0 * beta)) < eps)
        return beta / std::sqrt(2.0) *
               ((1 + 2 / M_PI) * std::sin(M_PI / (4 * beta)) + (1 - 2 / M_PI) * std::cos(M_PI / (4 * beta)));
    const double num = std::sin(M_PI * t * (1 - beta)) + 4 * beta * t * std::cos(M_PI * t * (1 + beta));
    const double den = M_PI * t * (1 - (4 * beta * t) * (4 * beta * t));
    return num / den;
}

// Draws clamp(round(mean + sigma * N(0, 1)), -127, 127) with one table
// lookup: the table holds the quantiles of that discrete distribution at
// 2^20 evenly spaced probabilities (resolution 1e-6, far below the error
// rates of interest), so a 64-bit random number yields three values.
class SoftNoiseTable {
  public:
    static constexpr int kBits = 20;
    SoftNoiseTable(double mean, double sigma) : fTable(1u << kBits) {
        if (sigma <= 0) {
            std::fill(fTable.begin(), fTable.end(), toSoft(mean));
            return;
        }
        std::size_t k = 0;
        const double n = static_cast<double>(fTable.size());
        for (int v = -127; v <= 127 && k < fTable.size(); ++v) {
            // P(value <= v); the ends take the clamped tails.
            const double cdf = v == 127 ? 1.0 : 0.5 * std::erfc(-((v + 0.5 - mean) / sigma) / std::sqrt(2.0));
            while (k < fTable.size() && (static_cast<double>(k) + 0.5) / n < cdf)
                fTable[k++] = static_cast<std::int8_t>(v);
        }
        while (k < fTable.size())
            fTable[k++] = 127;
    }
    std::int8_t draw(Random& rng) {
        if (fLeft == 0) {
            fBits = rng.next();
            fLeft = 3;
        }
        const auto idx = static_cast<std::size_t>(fBits & ((1u << kBits) - 1));
        fBits >>= kBits;
        --fLeft;
        return fTable[idx];
    }

  private:
    std::vector<std::int8_t> fTable;
    std::uint64_t fBits = 0;
    int fLeft = 0;
};

// Offset QPSK baseband at time tau (in symbols): the I pulses centred on the
// symbol times, the Q pulses half a symbol later. h is the pulse table of
// writeWav (kSpan symbols each side, kRes points per symbol).
void offsetBaseband(const std::vector<double>& h, int span, int res, const std::vector<std::int8_t>& symI,
                    const std::vector<std::int8_t>& symQ, double tau, double& bi, double& bq) {
    const auto pairs = static_cast<std::int64_t>(symI.size());
    auto branch = [&](const std::vector<std::int8_t>& sym, double t) {
        const std::int64_t lo = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::ceil(t - span)));
        const std::int64_t hi =
            std::min<std::int64_t>(pairs - 1, static_cast<std::int64_t>(std::floor(t + span)));
        double b = 0;
        for (std::int64_t n = lo; n <= hi; ++n) {
            const std::int8_t v = sym[static_cast<std::size_t>(n)];
            if (v == 0) continue;
            const double x = (t - n + span) * res;
            const auto k = static_cast<std::size_t>(x);
            b += v * (h[k] + (h[k + 1] - h[k]) * (x - k));
        }
        return b;
    };
    bi = branch(symI, tau);
    bq = branch(symQ, tau - 0.5);
}

} // namespace

namespace {

// How one sample of an encoding is stored: bytes, the value of full scale, float or integer.
struct SampleCoding {
    SampleFormat format;
    int bytes;
    double unit; // integers: 2^(bits-1); floats: 1
    bool floating;
};

SampleCoding codingOf(SampleFormat f) {
    switch (f) {
    case SampleFormat::U8:
    case SampleFormat::S8:
        return {f, 1, 128.0, false};
    case SampleFormat::S24:
        return {f, 3, 8388608.0, false};
    case SampleFormat::S32:
        return {f, 4, 2147483648.0, false};
    case SampleFormat::F32:
        return {f, 4, 1.0, true};
    case SampleFormat::F64:
        return {f, 8, 1.0, true};
    default:
        return {SampleFormat::S16, 2, 32768.0, false};
    }
}

} // namespace

SignalWriter::SignalWriter(const SynthOptions& options, double symbolRate, std::uint64_t seed)
    : fO(options), fSymbolRate(symbolRate), fSeed(seed) {}

std::uint8_t SignalWriter::softCode3(int v) {
    const int a = v < 0 ? -v : v;
    const int m = a < 24 ? 0 : a < 48 ? 1 : a < 72 ? 2 : 3;
    return static_cast<std::uint8_t>(v >= 0 ? m : 7 - m);
}

std::vector<std::uint8_t>
SignalWriter::write(const std::vector<std::uint8_t>& chain, std::int64_t lead,
                    const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps) {
    return isBaseband(fO.form) ? writeWav(chain, lead, gaps) : writeSymbols(chain, lead, gaps);
}

std::int64_t SignalWriter::valuesInBytes(std::int64_t bytes) const {
    switch (fO.form) {
    case OutputForm::Soft8:
        return bytes / 2 * 2;
    case OutputForm::Soft3:
        return bytes * 2;
    case OutputForm::Hard:
        return bytes * 8;
    case OutputForm::Wav:
    case OutputForm::Iq: {
        const int block = 2 * codingOf(resolvedSampleFormat(fO)).bytes;
        const std::int64_t frames = std::max<std::int64_t>(0, bytes - fHeaderBytes) / block;
        return 2 * static_cast<std::int64_t>(
                       std::floor(frames / (fO.sampleRate * (1 + fO.clockPpm * 1e-6)) * fSymbolRate));
    }
    }
    return 0;
}

std::vector<std::uint8_t>
SignalWriter::writeSymbols(const std::vector<std::uint8_t>& chain, std::int64_t lead,
                           const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps) {
    Random rng(fSeed);
    const double a = fO.amplitude;
    const double sigma = fO.esn0Db ? a / std::sqrt(std::pow(10.0, *fO.esn0Db / 10.0)) : 0.0;
    const double sigmaAbsent = std::max(sigma, a); // signal absent: noise only
    const int quarter = ((fO.rotationDeg / 90) % 4 + 4) % 4;
    const std::int64_t total = lead + static_cast<std::int64_t>(chain.size());
    const std::int64_t pairs = total / 2;

    std::vector<std::uint8_t> out;
    switch (fO.form) {
    case OutputForm::Soft8:
        out.reserve(static_cast<std::size_t>(pairs * 2));
        break;
    case OutputForm::Soft3:
        out.reserve(static_cast<std::size_t>(pairs));
        break;
    default:
        out.reserve(static_cast<std::size_t>(pairs / 4 + 1));
        break;
    }
    unsigned hardAcc = 0;
    int hardBits = 0;
    auto putHard = [&](std::int8_t v) {
        hardAcc = (hardAcc << 1) | (v > 0 ? 1u : 0u);
        if (++hardBits == 8) {
            out.push_back(static_cast<std::uint8_t>(hardAcc));
            hardAcc = 0;
            hardBits = 0;
        }
    };
    // Signal values: +A plus noise, turned over for a negative value (the
    // rounding and the clamp are symmetric, so one table serves both signs).
    SoftNoiseTable signal(a, sigma), absent(0.0, sigmaAbsent);
    for (std::int64_t n = 0; n < pairs; ++n) {
        const std::int64_t v0 = 2 * n;
        std::int8_t vi, vq;
        if (v0 < lead || (!gaps.empty() && inGap(gaps, v0))) {
            vi = absent.draw(rng);
            vq = absent.draw(rng);
        } else {
            const int first = chain[static_cast<std::size_t>(v0 - lead)] ? 1 : -1;
            const int second = chain[static_cast<std::size_t>(v0 - lead + 1)] ? 1 : -1;
            int i, q;
            toPhysical(fO.mode, first, second, i, q);
            rotate(quarter, i, q);
            if (fO.swapIq) std::swap(i, q);
            const std::int8_t ni = signal.draw(rng), nq = signal.draw(rng);
            vi = static_cast<std::int8_t>(i > 0 ? ni : -ni);
            vq = static_cast<std::int8_t>(q > 0 ? nq : -nq);
        }
        switch (fO.form) {
        case OutputForm::Soft8:
            out.push_back(static_cast<std::uint8_t>(vq));
            out.push_back(static_cast<std::uint8_t>(vi));
            break;
        case OutputForm::Soft3:
            out.push_back(static_cast<std::uint8_t>(softCode3(vq) << 4 | softCode3(vi)));
            break;
        default:
            putHard(vq);
            putHard(vi);
            break;
        }
    }
    if (fO.form == OutputForm::Hard && hardBits > 0)
        out.push_back(static_cast<std::uint8_t>(hardAcc << (8 - hardBits)));
    return out;
}

namespace {

// The WAV header before the samples: canonical 44 bytes for PCM; IEEE float adds the cbSize field
// and a "fact" chunk (58 bytes).
std::vector<std::uint8_t> wavHeader(const SampleCoding& c, std::uint32_t rate, std::uint32_t dataBytes) {
    const std::uint32_t fmtSize = c.floating ? 18 : 16;
    const std::uint32_t block = static_cast<std::uint32_t>(2 * c.bytes);
    std::vector<std::uint8_t> h;
    putTag(h, "RIFF");
    putLe(h, 4 + 8 + fmtSize + (c.floating ? 12 : 0) + 8 + dataBytes, 4);
    putTag(h, "WAVE");
    putTag(h, "fmt ");
    putLe(h, fmtSize, 4);
    putLe(h, c.floating ? 3 : 1, 2); // IEEE float or PCM
    putLe(h, 2, 2);
    putLe(h, rate, 4);
    putLe(h, rate * block, 4);
    putLe(h, block, 2);
    putLe(h, static_cast<std::uint32_t>(8 * c.bytes), 2);
    if (c.floating) {
        putLe(h, 0, 2); // cbSize
        putTag(h, "fact");
        putLe(h, 4, 4);
        putLe(h, dataBytes / block, 4);
    }
    putTag(h, "data");
    putLe(h, dataBytes, 4);
    return h;
}

// Appends one sample in units of the coding (already rounded for integers); counts clipping.
inline void putSample(std::vector<std::uint8_t>& out, const SampleCoding& c, double v,
                      std::int64_t& clipped) {
    if (c.floating) {
        if (c.format == SampleFormat::F32) {
            const float f = static_cast<float>(v);
            std::uint32_t u;
            std::memcpy(&u, &f, 4);
            putLe(out, u, 4);
        } else {
            std::uint64_t u;
            std::memcpy(&u, &v, 8);
            putLe(out, static_cast<std::uint32_t>(u), 4);
            putLe(out, static_cast<std::uint32_t>(u >> 32), 4);
        }
        return;
    }
    const double r = std::nearbyint(v);
    const double q = std::clamp(r, -c.unit, c.unit - 1);
    clipped += q != r;
    const auto i = static_cast<std::int64_t>(q);
    switch (c.format) {
    case SampleFormat::U8:
        out.push_back(static_cast<std::uint8_t>(i + 128));
        break;
    case SampleFormat::S8:
        out.push_back(static_cast<std::uint8_t>(static_cast<std::int8_t>(i)));
        break;
    default:
        putLe(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(i)), c.bytes);
        break;
    }
}

} // namespace

std::vector<std::uint8_t>
SignalWriter::writeWav(const std::vector<std::uint8_t>& chain, std::int64_t lead,
                       const std::vector<std::pair<std::int64_t, std::int64_t>>& gaps) {
    Random rng(fSeed);
    // Phase noise draws from a generator of its own, so the channel noise stays as without it.
    Random phaseRng(fSeed ^ 0x5DEECE66Dull);
    const SampleCoding coding = codingOf(resolvedSampleFormat(fO));
    const double fsStated = std::round(fO.sampleRate);
    // A fast sample clock takes more samples per second than the file states: every physical
    // quantity below runs at the true rate.
    const double fs = fsStated * (1 + fO.clockPpm * 1e-6);
    const double rs = fSymbolRate;
    const double sps = fs / rs;
    const double level = fO.wavLevel > 0 ? fO.wavLevel : defaultLevel(coding.format);
    // Es/N0 per symbol with the noise over the whole sampled band: a matched filter's output then
    // has, per branch, the signal-to-noise ratio Es/N0, as the symbol forms define it.
    const double sigma = fO.esn0Db ? level * std::sqrt(sps / std::pow(10.0, *fO.esn0Db / 10.0)) : 0.0;
    const int quarter = ((fO.rotationDeg / 90) % 4 + 4) % 4;
    const std::int64_t pairs = (lead + static_cast<std::int64_t>(chain.size())) / 2;

    // Physical symbols: -1, 0 (absent), +1 per branch.
    std::vector<std::int8_t> symI(static_cast<std::size_t>(pairs)), symQ(static_cast<std::size_t>(pairs));
    for (std::int64_t n = 0; n < pairs; ++n) {
        const std::int64_t v0 = 2 * n;
        if (v0 < lead || (!gaps.empty() && inGap(gaps, v0))) continue;
        int i, q;
        toPhysical(fO.mode, chain[static_cast<std::size_t>(v0 - lead)] ? 1 : -1,
                   chain[static_cast<std::size_t>(v0 - lead + 1)] ? 1 : -1, i, q);
        symI[static_cast<std::size_t>(n)] = static_cast<std::int8_t>(i);
        symQ[static_cast<std::size_t>(n)] = static_cast<std::int8_t>(q);
    }

    // Root-raised-cosine pulse, +-8 symbols, tabulated finely and scaled to
    // unit energy per symbol so that the RMS per branch equals the level.
    constexpr int kSpan = 8;
    constexpr int kRes = 512;
    std::vector<double> h(2 * kSpan * kRes + 2);
    double energy = 0;
    for (std::size_t k = 0; k < h.size(); ++k) {
        h[k] = rrc(static_cast<double>(k) / kRes - kSpan, fO.rolloff);
        energy += h[k] * h[k] / kRes;
    }
    for (auto& v : h)
        v /= std::sqrt(energy);

    const std::int64_t samples = static_cast<std::int64_t>(std::ceil(pairs * sps));
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(samples) * 2 * coding.bytes;
    if (dataBytes > 0xFFFFFFFFull - 100)
        throw SynthError("the recording would exceed 4 GiB; shorten the pass or lower --sample-rate");
    std::vector<std::uint8_t> out;
    if (fO.form == OutputForm::Wav)
        out = wavHeader(coding, static_cast<std::uint32_t>(fsStated), static_cast<std::uint32_t>(dataBytes));
    fHeaderBytes = static_cast<std::int64_t>(out.size());
    out.reserve(static_cast<std::size_t>(out.size() + dataBytes));

    const double w = 2 * M_PI * fO.carrierOffsetHz / fs;
    const double phi0 = fO.phaseDeg * M_PI / 180.0 + quarter * M_PI / 2;
    const double stepC = std::cos(w), stepS = std::sin(w);
    double c = 1, s = 0;
    fClipped = 0;
    // Baseband (I, Q) of the transmission at tau symbols.
    auto baseband = [&](double tau, double& bi, double& bq) {
        bi = bq = 0;
        if (fO.oqpsk) {
            offsetBaseband(h, kSpan, kRes, symI, symQ, tau, bi, bq);
            return;
        }
        const std::int64_t lo = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::ceil(tau - kSpan)));
        const std::int64_t hi =
            std::min<std::int64_t>(pairs - 1, static_cast<std::int64_t>(std::floor(tau + kSpan)));
        for (std::int64_t n = lo; n <= hi; ++n) {
            const std::int8_t si = symI[static_cast<std::size_t>(n)], sq = symQ[static_cast<std::size_t>(n)];
            if ((si | sq) == 0) continue;
            const double x = (tau - n + kSpan) * kRes;
            const auto k = static_cast<std::size_t>(x);
            const double fr = x - k;
            const double p = h[k] + (h[k + 1] - h[k]) * fr;
            bi += si * p;
            bq += sq * p;
        }
    };
    // Spoilers. A spur of power P dB over the signal's (2 level^2) has amplitude level x
    // sqrt(2 x 10^(P/10)); it stays where it is when the signal drifts.
    std::vector<double> spurAmp;
    for (const Spur& sp : fO.spurs)
        spurAmp.push_back(level * std::sqrt(2 * std::pow(10.0, sp.powerDb / 10)));
    const double echoAmp = fO.echo ? std::pow(10.0, fO.echo->gainDb / 20) : 0;
    const double echoC = fO.echo ? echoAmp * std::cos(fO.echo->phaseDeg * M_PI / 180) : 0;
    const double echoS = fO.echo ? echoAmp * std::sin(fO.echo->phaseDeg * M_PI / 180) : 0;
    const double echoSymbols = fO.echo ? fO.echo->delayUs * 1e-6 * rs : 0;
    const double phaseStep = std::sqrt(2 * M_PI * fO.phaseNoiseHz / fs);
    double phaseNoise = 0;
    // I/Q imbalance: I gains sqrt(g), Q loses it, and Q's axis leans by the phase error towards I.
    const double iqG = std::pow(10.0, fO.iqGainDb / 20);
    const double gainI = 1 / std::sqrt(iqG), gainQ = std::sqrt(iqG);
    const double leanC = std::cos(fO.iqPhaseDeg * M_PI / 180), leanS = std::sin(fO.iqPhaseDeg * M_PI / 180);
    for (std::int64_t m = 0; m < samples; ++m) {
        const double tau = m / sps; // in symbols
        double bi, bq;
        baseband(tau, bi, bq);
        if (fO.echo) {
            double ei, eq;
            baseband(tau - echoSymbols, ei, eq);
            bi += echoC * ei - echoS * eq;
            bq += echoS * ei + echoC * eq;
        }
        if (fO.driftHzPerS != 0) {
            // Phase of offset + drift x t, exact at every sample: the integral of the frequency,
            // whole cycles dropped from each term before they are added.
            const double t = static_cast<double>(m) / fs;
            const double cycles =
                std::fmod(fO.carrierOffsetHz * t, 1.0) + std::fmod(0.5 * fO.driftHzPerS * t * t, 1.0);
            c = std::cos(2 * M_PI * cycles + phi0);
            s = std::sin(2 * M_PI * cycles + phi0);
        } else if ((m & 4095) == 0) {
            // Carrier phasor: exact every 4096 samples, rotated by one step in between.
            const double ph = std::fmod(w * static_cast<double>(m), 2 * M_PI) + phi0;
            c = std::cos(ph);
            s = std::sin(ph);
        } else {
            const double nc = c * stepC - s * stepS;
            s = s * stepC + c * stepS;
            c = nc;
        }
        double vi, vq;
        if (phaseStep > 0) {
            phaseNoise = std::fmod(phaseNoise + phaseStep * phaseRng.gaussian(), 2 * M_PI);
            const double pc = std::cos(phaseNoise), ps = std::sin(phaseNoise);
            vi = level * (bi * (c * pc - s * ps) - bq * (s * pc + c * ps));
            vq = level * (bi * (s * pc + c * ps) + bq * (c * pc - s * ps));
        } else {
            vi = level * (bi * c - bq * s);
            vq = level * (bi * s + bq * c);
        }
        for (std::size_t k = 0; k < spurAmp.size(); ++k) {
            const Spur& sp = fO.spurs[k];
            const double t = static_cast<double>(m) / fs;
            const double cycles = std::fmod((fO.carrierOffsetHz + sp.offsetHz) * t, 1.0) +
                                  std::fmod(0.5 * sp.driftHzPerS * t * t, 1.0);
            vi += spurAmp[k] * std::cos(2 * M_PI * cycles);
            vq += spurAmp[k] * std::sin(2 * M_PI * cycles);
        }
        if (sigma > 0) {
            vi += sigma * rng.gaussian();
            vq += sigma * rng.gaussian();
        }
        if (fO.iqGainDb != 0 || fO.iqPhaseDeg != 0) {
            const double i = vi, q = vq;
            vi = gainI * i;
            vq = gainQ * (q * leanC + i * leanS);
        }
        vi += fO.dcI * level;
        vq += fO.dcQ * level;
        if (fO.swapIq) std::swap(vi, vq);
        // Frames (Q, I) in every form: the order the demodulator's model reads.
        putSample(out, coding, vq, fClipped);
        putSample(out, coding, vi, fClipped);
    }
    return out;
}

} // namespace lrptsynth
