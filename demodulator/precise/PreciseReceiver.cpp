#include "PreciseReceiver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

// liquid-dsp 1.5 leaks one small search object (qs1dsearch) each time its multi-stage resampler
// designs a half-band filter; LeakSanitizer builds are told so rather than failing on it.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:qs1dsearch_create\n";
}

namespace precise {

namespace {

constexpr double kTwoPi = 2 * M_PI;
// Inner samples per chunk: the AGC, the NCO frequency and the coarse estimate change only at chunk
// edges, so the chunk (64 to 128 symbols) is short against every loop's time constant.
constexpr size_t kChunk = 256;
// Inner samples per NCO block (see Chunk); divides kChunk.
constexpr size_t kBlock = 16;
static_assert(kChunk % kBlock == 0);
constexpr float kRollOff = 0.6f; // of the matched filter
// Wideband input is decimated to at least this many samples per symbol (see the constructor).
constexpr double kDecimateTo = 3;
// Moments (amplitude, SNR) and lock metric average over about this many symbols.
constexpr double kStatsWeight = 1.0 / 2048, kLockWeight = 1.0 / 4096;
// Lock metric thresholds (see Symbol), with hysteresis.
constexpr double kLockOn = 0.2, kLockOff = 0.1;
// A coarse estimate is trusted when its line stands this far above the floor, or this far when
// two estimates in a row agree within kAgreeHz.
constexpr double kLineStrength = 8, kWeakLineStrength = 4, kAgreeHz = 25;

void Check(bool aOk, const std::string& aWhat) {
    if (!aOk) throw TPreciseParamError("precise receiver: " + aWhat);
}

} // namespace

TPreciseReceiver::TLoopGains TPreciseReceiver::LoopGains(double aBw, double aDamping) {
    // Second-order loop with a proportional-plus-integral filter: for a noise bandwidth Bn (per
    // update) and damping z, the natural frequency is wn = 2 Bn / (z + 1 / (4 z)); the bilinear
    // mapping gives alpha = 4 z w / d and beta = 4 w^2 / d with w = wn / 2 and d = 1 + 2 z w + w^2.
    const double wn = 2 * aBw / (aDamping + 1 / (4 * aDamping));
    const double w = wn / 2;
    const double d = 1 + 2 * aDamping * w + w * w;
    return {4 * aDamping * w / d, 4 * w * w / d};
}

TPreciseReceiver::TPreciseReceiver(const TPreciseParams& aParams) : fP(aParams) {
    Check(fP.SampleRate >= 8000 && fP.SampleRate <= 20e6, "sample rate must lie in 8 kHz .. 20 MHz");
    Check(fP.SymbolRate >= 1000 && fP.SymbolRate <= fP.SampleRate * 4,
          "symbol rate must lie in 1,000 .. 4 x the sample rate");
    for (double bw : {fP.CarrierAcqBw, fP.CarrierBw, fP.TimingBw, fP.AgcBw})
        Check(bw > 0 && bw < 0.2, "loop bandwidths must lie in 0 .. 0.2 of the symbol rate");
    Check(fP.CarrierDamping > 0.1 && fP.CarrierDamping < 5, "damping must lie in 0.1 .. 5");
    Check(fP.MaxOffsetHz > 0 && fP.LockSeconds > 0, "offset range and lock time must be positive");
    fAcqGains = LoopGains(fP.CarrierAcqBw, fP.CarrierDamping);
    fTrackGains = LoopGains(fP.CarrierBw, fP.CarrierDamping);
    // The symbol timing interpolates at any number of samples per symbol from two up, so the
    // loops run at the input rate. Wideband input (6 or more samples per symbol) is first
    // decimated by an integer D to 3 .. 4.5 samples per symbol, which bounds the work per
    // symbol; a short Kaiser-windowed filter suffices, since only the band the matched filter
    // keeps must stay free of aliases: the signal's half-width plus the largest offset. (Fewer
    // samples per symbol after it would need a much sharper, longer filter.) Input below two
    // samples per symbol is brought up to two by liquid's multi-stage resampler.
    const double sps = fP.SampleRate / fP.SymbolRate;
    double afterDecimation = fP.SampleRate;
    if (sps >= 2 * kDecimateTo) {
        fDecimation = int(sps / kDecimateTo);
        afterDecimation = fP.SampleRate / fDecimation;
        const double keep = 0.5 * (1 + kRollOff) * fP.SymbolRate + fP.MaxOffsetHz;
        const double stop = afterDecimation - keep;
        const unsigned len =
            std::max(9u, estimate_req_filter_len(float((stop - keep) / fP.SampleRate), 60.0f));
        std::vector<float> h(len);
        liquid_firdes_kaiser(len, float(0.5 * (keep + stop) / fP.SampleRate), 60.0f, 0.0f, h.data());
        fDecimator = std::make_unique<TFirDecimator>(h, fDecimation);
    }
    fInnerRate = afterDecimation;
    if (afterDecimation < 2 * fP.SymbolRate) {
        fInnerRate = 2 * fP.SymbolRate;
        fResampler.reset(msresamp_crcf_create(float(fInnerRate / afterDecimation), 60.0f));
        Check(fResampler != nullptr, "cannot create the resampler");
    }
    fSps = fInnerRate / fP.SymbolRate;
    fInvSps = 1 / fSps;
    fTiming = std::make_unique<TSymbolTiming>(fSps, fP.Oqpsk, std::clamp(fP.TimingBw, 1e-6, 0.2), kRollOff);
    // The coarse estimate sees two samples per symbol: above the signal's band there is only
    // noise, whose fourth power would raise the floor under the line and delay acquisition at low
    // Es/N0. It runs only while unlocked, so its own resampler costs nothing once locked.
    // 8,192-point spectra (57 ms at 72,000 symbols/s: a drift of 100 Hz/s smears the line over
    // about one bin), four averaged per estimate.
    const double coarseRate = 2 * fP.SymbolRate;
    if (fInnerRate > coarseRate * (1 + 1e-9)) {
        fCoarseResampler.reset(msresamp_crcf_create(float(coarseRate / fInnerRate), 60.0f));
        Check(fCoarseResampler != nullptr, "cannot create the resampler");
    }
    fCoarse = std::make_unique<TCoarseFrequency>(coarseRate, 8192, 4, fP.MaxOffsetHz);
    fSpurs = std::make_unique<TSpurNotch>(fInnerRate);
    Reset();
}

TPreciseReceiver::~TPreciseReceiver() = default;

void TPreciseReceiver::Reset() {
    if (fDecimator) fDecimator->Reset();
    if (fResampler) msresamp_crcf_reset(fResampler.get());
    fTiming->Reset();
    ResetCoarse();
    fSpurs->Reset();
    fPending.clear();
    fAgcGain = 1;
    fAgcPower = -1;
    fNco = fStep = 1;
    fW = 0;
    fM2 = 1;
    fM4 = 2;
    fInvAmp = 1;
    fSignal = 1;
    fNoise = 0;
    fNoiseRatio = 1;
    fLocked = fEverLocked = fTuned = fHaveEstimate = false;
    fLastEstimate = 0;
    fInnerSamples = fSymbols = fLockedSymbols = fUnlockedSince = 0;
    fLockTime = -1;
    fOffsetSum = fDrift = fMaxDrift = 0;
    fSignalSum = fNoiseSum = fSpanSum = fLastSpanMean = 0;
    fSpanCount = 0;
    fHaveSpan = false;
    fLockSum = 0;
}

void TPreciseReceiver::Process(const std::complex<float>* aSamples, size_t aCount,
                               std::vector<TSoftPair>& aSymbols) {
    constexpr size_t kPiece = 16384;
    while (aCount > 0) {
        size_t n = std::min(aCount, kPiece);
        const std::complex<float>* in = aSamples;
        aSamples += n;
        aCount -= n;
        if (fDecimator) {
            fDecimated.clear();
            fDecimator->Process(in, n, fDecimated);
            in = fDecimated.data();
            n = fDecimated.size();
        }
        if (fResampler) {
            const size_t room = size_t(std::ceil(double(n) * fInnerRate / fP.SampleRate * fDecimation)) + 64;
            const size_t old = fPending.size();
            fPending.resize(old + room);
            unsigned written = 0;
            msresamp_crcf_execute(fResampler.get(), const_cast<std::complex<float>*>(in), unsigned(n),
                                  fPending.data() + old, &written);
            fPending.resize(old + written);
        } else {
            fPending.insert(fPending.end(), in, in + n);
        }
        size_t at = 0;
        for (; at + kChunk <= fPending.size(); at += kChunk)
            Chunk(fPending.data() + at, kChunk, aSymbols);
        fPending.erase(fPending.begin(), fPending.begin() + std::ptrdiff_t(at));
    }
}

void TPreciseReceiver::Flush(std::vector<TSoftPair>& aSymbols) {
    if (!fPending.empty()) Chunk(fPending.data(), fPending.size(), aSymbols);
    fPending.clear();
}

void TPreciseReceiver::Chunk(std::complex<float>* aBuf, size_t aCount, std::vector<TSoftPair>& aSymbols) {
    // Spurs: notched before the AGC and the carrier search see them. A line newly found spoilt the
    // spectra gathered so far (its fourth power outshines the carrier's), so the search restarts.
    if (fSpurs->Process(aBuf, aCount)) {
        ResetCoarse();
        fHaveEstimate = false;
    }

    // AGC: the mean power of the chunk, smoothed with the AGC's time constant, sets the gain.
    float power = 0;
    for (size_t k = 0; k < aCount; ++k)
        power += std::norm(aBuf[k]);
    power /= float(aCount);
    if (fAgcPower < 0) {
        fAgcPower = power;
    } else {
        const double keep = std::pow(1 - fP.AgcBw / fSps, double(aCount));
        fAgcPower = float(keep * fAgcPower + (1 - keep) * power);
    }
    fAgcGain = fAgcPower > 1e-30f ? 1 / std::sqrt(fAgcPower) : 1;

    // Coarse estimate of the absolute carrier offset while unlocked. A strong line is taken at
    // once, a weaker one when two estimates in a row agree. The first accepted estimate tunes at
    // once; later ones only after the loop has failed to lock for a while, and when they move the
    // carrier by more than the loop pulls in by itself.
    // Offset QPSK keeps a fourth-power line at four times the offset too (the staggered branches
    // do not cancel it with a roll-off of 0.6), so both are estimated from the samples as they come.
    // (The estimate's powers need the gain applied; once locked, the NCO applies it.)
    float gain = fAgcGain;
    if (!fLocked) {
        for (size_t k = 0; k < aCount; ++k)
            aBuf[k] *= fAgcGain;
        gain = 1;
    }
    const bool ready = !fLocked && FeedCoarse(aBuf, aCount);
    if (ready) {
        const double off = fCoarse->OffsetHz(), strength = fCoarse->Strength();
        const bool agree = fHaveEstimate && std::fabs(off - fLastEstimate) < kAgreeHz;
        fLastEstimate = off;
        fHaveEstimate = true;
        if (strength >= kLineStrength || (agree && strength >= kWeakLineStrength)) {
            const double waited = double(fSymbols - fUnlockedSince) / fP.SymbolRate;
            const double move = std::fabs(off - CarrierHz());
            if (!fTuned || (waited >= fP.LockSeconds && move > fP.CarrierAcqBw * fP.SymbolRate / 4)) {
                Retune(off);
                fTuned = true;
            }
        }
    }

    // Per block of kBlock samples: NCO, then symbol timing (which, for offset QPSK, lines the
    // branches up by sampling I half a symbol before Q). The NCO holds its phase step over the block and
    // takes the Costas loop's corrections at the block's end: the derotation of a block then does not wait
    // for the symbols just found, and the loop's extra delay (at most kBlock / 2 symbols) is small beside its
    // time constant. Blocks count from the start of the input, since chunks do. Once locked, the AGC's gain
    // rides on the NCO's phasor.
    fInnerSamples += int64_t(aCount);
    std::complex<float> z[kBlock], y;
    for (size_t at = 0; at < aCount; at += kBlock) {
        const size_t n = std::min(kBlock, aCount - at);
        // Powers of the step from a few products rather than a chain of kBlock of them.
        std::complex<float> step[kBlock + 1];
        step[0] = 1;
        step[1] = fStep;
        step[2] = fStep * fStep;
        step[3] = step[2] * fStep;
        step[4] = step[2] * step[2];
        for (size_t k = 5; k <= kBlock; ++k)
            step[k] = step[4] * step[k - 4];
        const std::complex<float> nco = fNco * gain;
        for (size_t k = 0; k < n; ++k)
            z[k] = aBuf[at + k] * (nco * step[k]);
        fNco *= step[n];
        fKick = fTurn = 0;
        for (size_t k = 0; k < n; ++k)
            if (fTiming->Push(z[k], y)) Symbol(y, aSymbols);
        fNco *= std::complex<float>(1 - fKick * fKick / 2, -fKick);
        fStep *= std::complex<float>(1 - fTurn * fTurn / 2, -fTurn);
    }
    // Exact phasors once per chunk keep the recurrences from wandering.
    fNco /= std::abs(fNco);
    fStep = std::polar(1.0f, float(-fW));
    UpdateMoments();
}

bool TPreciseReceiver::FeedCoarse(const std::complex<float>* aBuf, size_t aCount) {
    if (!fCoarseResampler) return fCoarse->Feed(aBuf, aCount);
    fCoarseIn.resize(aCount + 64);
    unsigned written = 0;
    msresamp_crcf_execute(fCoarseResampler.get(), const_cast<std::complex<float>*>(aBuf), unsigned(aCount),
                          fCoarseIn.data(), &written);
    return fCoarse->Feed(fCoarseIn.data(), written);
}

void TPreciseReceiver::ResetCoarse() {
    // After a lock the resampler holds samples from before it; the estimate starts afresh.
    if (fCoarseResampler) msresamp_crcf_reset(fCoarseResampler.get());
    fCoarse->Reset();
}

void TPreciseReceiver::UpdateMoments() {
    // M2 = S + N and M4 = S^2 + 4 S N + 2 N^2 for QPSK in complex Gaussian noise, so
    // S = sqrt(2 M2^2 - M4). Without a usable estimate the whole power counts as signal.
    const double s2 = 2 * fM2 * fM2 - fM4;
    fSignal = s2 > 0 ? std::sqrt(s2) : 0;
    fNoise = std::max(fM2 - fSignal, 1e-12 * fM2);
    const double amp = std::sqrt(std::max(fSignal, fM2 * 0.05) / 2); // per branch
    fInvAmp = 1 / amp;
    fNoiseRatio = std::sqrt(fNoise / 2) / amp;
}

double TPreciseReceiver::CarrierHz() const {
    return fW * fInnerRate / kTwoPi;
}

void TPreciseReceiver::Retune(double aOffsetHz) {
    fW = kTwoPi * aOffsetHz / fInnerRate;
    fStep = std::polar(1.0f, float(-fW));
    fCoarse->Reset();
    fHaveEstimate = false;
}

inline void TPreciseReceiver::Symbol(std::complex<float> aY, std::vector<TSoftPair>& aSymbols) {
    const float zr = aY.real(), zi = aY.imag();
    const double m2 = double(zr) * zr + double(zi) * zi;
    fM2 += kStatsWeight * (m2 - fM2);
    fM4 += kStatsWeight * (m2 * m2 - fM4);

    // Costas phase detector for QPSK, normalised to sin(phase error); the loop turns the NCO's
    // phase (small-angle rotation) and its frequency through the integrator (per symbol, so per
    // sample a share of it), both at the end of the NCO block.
    double e = double((zr >= 0 ? zi : -zi) - (zi >= 0 ? zr : -zr)) * (0.5 * fInvAmp);
    e = std::clamp(e, -1.0, 1.0);
    const TLoopGains& g = fLocked ? fTrackGains : fAcqGains;
    const float turn = float(g.Beta * e * fInvSps);
    fKick += float(g.Alpha * e);
    fTurn += turn;
    fW += double(turn);

    // Lock metric: the mean of -z^4 over M2^2. Noise has no fourth moment of its own (circular),
    // so a locked carrier gives (S / (S + N))^2: 0.25 at Es/N0 0 dB, 1 clean; without a carrier
    // it stays near 0 (standard deviation about 0.04 over its averaging time).
    const double z4 = double(zr * zr - zi * zi) * double(zr * zr - zi * zi) - 4.0 * zr * zr * zi * zi;
    fLockSum += kLockWeight * (-z4 - fLockSum);
    // (Compared without dividing: the metric is fLockSum / M2^2.)
    const double m2sq = fM2 * fM2;
    if (!fLocked && fTuned && fLockSum > kLockOn * m2sq) {
        fLocked = true;
        if (!fEverLocked) fLockTime = double(fInnerSamples) / fInnerRate;
        fEverLocked = true;
    } else if (fLocked && fLockSum < kLockOff * m2sq) {
        fLocked = false;
        fUnlockedSince = fSymbols;
        ResetCoarse();
        fHaveEstimate = false;
    }

    ++fSymbols;
    if (fLocked) {
        const double carrierHz = CarrierHz();
        ++fLockedSymbols;
        fOffsetSum += carrierHz;
        fSignalSum += fSignal;
        fNoiseSum += fNoise;
        // Drift: the change between the mean carrier of consecutive locked half seconds.
        fSpanSum += carrierHz;
        if (++fSpanCount >= int64_t(fP.SymbolRate / 2)) {
            const double mean = fSpanSum / double(fSpanCount);
            if (fHaveSpan) {
                fDrift = (mean - fLastSpanMean) * 2;
                fMaxDrift = std::max(fMaxDrift, std::fabs(fDrift));
            }
            fLastSpanMean = mean;
            fHaveSpan = true;
            fSpanSum = 0;
            fSpanCount = 0;
        }
    } else if (fHaveSpan || fSpanCount) {
        fHaveSpan = false;
        fSpanSum = 0;
        fSpanCount = 0;
    }
    aSymbols.push_back({float(zr * fInvAmp), float(zi * fInvAmp)});
}

TPreciseReadouts TPreciseReceiver::Readouts() const {
    TPreciseReadouts r;
    r.Locked = fLocked;
    r.CarrierOffsetHz = CarrierHz();
    r.DriftHzPerS = fDrift;
    r.SnrDb = fNoiseSum > 0 ? 10 * std::log10(fSignalSum / fNoiseSum)
                            : 20 * std::log10(1 / std::max(fNoiseRatio, 1e-6));
    r.LockTimeS = fLockTime;
    r.InputSeconds = double(fInnerSamples) / fInnerRate;
    r.Symbols = fSymbols;
    r.LockedSymbols = fLockedSymbols;
    r.MeanOffsetHz = fLockedSymbols ? fOffsetSum / double(fLockedSymbols) : 0;
    r.MaxDriftHzPerS = fMaxDrift;
    return r;
}

} // namespace precise
