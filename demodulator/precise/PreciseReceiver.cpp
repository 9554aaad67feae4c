#include "PreciseReceiver.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace precise {

namespace {

constexpr double kTwoPi = 2 * M_PI;
// Inner samples per chunk: the AGC, the NCO frequency and the coarse estimate change only at chunk
// edges, so the chunk (about 128 symbols) is short against every loop's time constant.
constexpr size_t kChunk = 256;
// Root-raised-cosine matched filter of the symbol timing: +-7 symbols, 32 polyphase branches.
constexpr unsigned kFilterDelay = 7, kBranches = 32;
constexpr float kRollOff = 0.6f;
// Moments (amplitude, SNR) and lock metric average over about this many symbols.
constexpr double kStatsWeight = 1.0 / 2048, kLockWeight = 1.0 / 4096;
// Lock metric thresholds (see Symbol), with hysteresis.
constexpr double kLockOn = 0.2, kLockOff = 0.1;
// A coarse estimate is trusted when its line stands this far above the floor.
constexpr double kLineStrength = 8;

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
    fInnerRate = 2 * fP.SymbolRate;
    fAcqGains = LoopGains(fP.CarrierAcqBw, fP.CarrierDamping);
    fTrackGains = LoopGains(fP.CarrierBw, fP.CarrierDamping);
    const double ratio = fInnerRate / fP.SampleRate;
    if (std::fabs(ratio - 1) > 1e-9) {
        fResampler.reset(msresamp_crcf_create(float(ratio), 60.0f));
        Check(fResampler != nullptr, "cannot create the resampler");
    }
    fSymsync.reset(symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, 2, kFilterDelay, kRollOff, kBranches));
    Check(fSymsync != nullptr, "cannot create the symbol synchroniser");
    symsync_crcf_set_lf_bw(fSymsync.get(), float(fP.TimingBw));
    symsync_crcf_set_output_rate(fSymsync.get(), 1);
    // 4,096-point spectra (about 28 ms at 72,000 symbols/s), four averaged per estimate.
    fCoarse = std::make_unique<TCoarseFrequency>(fInnerRate, 4096, 4, fP.MaxOffsetHz);
    Reset();
}

TPreciseReceiver::~TPreciseReceiver() = default;

void TPreciseReceiver::Reset() {
    if (fResampler) msresamp_crcf_reset(fResampler.get());
    symsync_crcf_reset(fSymsync.get());
    fCoarse->Reset();
    fPending.clear();
    fAgcGain = 1;
    fAgcPower = -1;
    fNcoPhase = fNcoFreq = 0;
    fPhasor = 1;
    fFreq = 0;
    fPrevRe = 0;
    fM2 = 1;
    fM4 = 2;
    fAmp = 1;
    fLockMetric = 0;
    fNoiseRatio = 1;
    fLocked = fEverLocked = fTuned = false;
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
    constexpr size_t kPiece = 8192;
    while (aCount > 0) {
        const size_t n = std::min(aCount, kPiece);
        if (fResampler) {
            const size_t room = size_t(std::ceil(double(n) * fInnerRate / fP.SampleRate)) + 64;
            const size_t old = fPending.size();
            fPending.resize(old + room);
            unsigned written = 0;
            msresamp_crcf_execute(fResampler.get(), const_cast<std::complex<float>*>(aSamples), unsigned(n),
                                  fPending.data() + old, &written);
            fPending.resize(old + written);
        } else {
            fPending.insert(fPending.end(), aSamples, aSamples + n);
        }
        aSamples += n;
        aCount -= n;
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
    // AGC: the mean power of the chunk, smoothed with the AGC's time constant, sets the gain.
    float power = 0;
    for (size_t k = 0; k < aCount; ++k)
        power += std::norm(aBuf[k]);
    power /= float(aCount);
    if (fAgcPower < 0) {
        fAgcPower = power;
    } else {
        const double keep = std::pow(1 - fP.AgcBw / 2, double(aCount));
        fAgcPower = float(keep * fAgcPower + (1 - keep) * power);
    }
    fAgcGain = fAgcPower > 1e-30f ? 1 / std::sqrt(fAgcPower) : 1;

    // NCO: one exact phasor per chunk, a recurrence in between.
    std::complex<float> p = std::polar(fAgcGain, float(-fNcoPhase));
    const std::complex<float> step = std::polar(1.0f, float(-fNcoFreq));
    for (size_t k = 0; k < aCount; ++k) {
        aBuf[k] *= p;
        p *= step;
    }
    fNcoPhase = std::remainder(fNcoPhase + fNcoFreq * double(aCount), kTwoPi);
    fInnerSamples += int64_t(aCount);

    // Coarse estimate while unlocked: the first one tunes at once, later ones only after the loop
    // has failed to lock for a while and when they move the carrier by more than the loop's reach.
    if (!fLocked) {
        if (fCoarse->Feed(aBuf, aCount) && fCoarse->Strength() >= kLineStrength) {
            const double off = fCoarse->OffsetHz();
            const double waited = double(fSymbols - fUnlockedSince) / fP.SymbolRate;
            if (!fTuned ||
                (waited >= fP.LockSeconds && std::fabs(off) > fP.CarrierAcqBw * fP.SymbolRate / 4)) {
                Retune(off);
                fTuned = true;
            }
        }
    }

    // Offset QPSK: I is delayed by half a symbol (one inner sample), which puts it beside the Q of
    // the same pair; from here on the signal is plain QPSK to the timing loop and the Costas loop.
    if (fP.Oqpsk) {
        for (size_t k = 0; k < aCount; ++k) {
            const float re = aBuf[k].real();
            aBuf[k] = {fPrevRe, aBuf[k].imag()};
            fPrevRe = re;
        }
    }

    fSyms.resize(aCount + 16);
    unsigned got = 0;
    symsync_crcf_execute(fSymsync.get(), aBuf, unsigned(aCount), fSyms.data(), &got);
    for (unsigned k = 0; k < got; ++k)
        Symbol(fSyms[k], aSymbols);

    // The loop's residual frequency goes to the NCO, so the matched filter stays centred on the
    // carrier however far it drifts.
    fNcoFreq += fFreq / 2;
    fFreq = 0;
}

void TPreciseReceiver::Retune(double aOffsetHz) {
    fNcoFreq += kTwoPi * aOffsetHz / fInnerRate;
    fFreq = 0;
    fCoarse->Reset();
}

void TPreciseReceiver::Symbol(std::complex<float> aY, std::vector<TSoftPair>& aSymbols) {
    const std::complex<double> z = std::complex<double>(aY) * fPhasor;
    const double zr = z.real(), zi = z.imag();
    const double m2 = zr * zr + zi * zi;

    // Moments: M2 = S + N, M4 = S^2 + 4 S N + 2 N^2 for QPSK in complex Gaussian noise, so
    // S = sqrt(2 M2^2 - M4).
    fM2 += kStatsWeight * (m2 - fM2);
    fM4 += kStatsWeight * (m2 * m2 - fM4);
    const double s2 = 2 * fM2 * fM2 - fM4;
    const double signal = s2 > 0 ? std::sqrt(s2) : 0;
    const double noise = std::max(fM2 - signal, 1e-12 * fM2);
    // Amplitude per branch; without a usable estimate the whole power counts as signal.
    fAmp = std::sqrt(std::max(signal, fM2 * 0.05) / 2);
    fNoiseRatio = std::sqrt(noise / 2) / fAmp;

    // Costas phase detector for QPSK, normalised to sin(phase error).
    double e = ((zr >= 0 ? zi : -zi) - (zi >= 0 ? zr : -zr)) / (2 * fAmp);
    e = std::clamp(e, -1.0, 1.0);
    const TLoopGains& g = fLocked ? fTrackGains : fAcqGains;
    const double turn = fFreq + g.Alpha * e;
    fFreq += g.Beta * e;
    // Small-angle update of the derotation phasor, renormalised each symbol.
    fPhasor *= std::complex<double>(1 - turn * turn / 2, -turn);
    fPhasor *= (3 - std::norm(fPhasor)) / 2;

    // Lock metric: the mean of -z^4 over M2^2. Noise has no fourth moment of its own (circular),
    // so a locked carrier gives (S / (S + N))^2: 0.25 at Es/N0 0 dB, 1 clean; without a carrier
    // it stays near 0 (standard deviation about 0.04 over its averaging time).
    const double z4 = (zr * zr - zi * zi) * (zr * zr - zi * zi) - 4 * zr * zr * zi * zi;
    fLockSum += kLockWeight * (-z4 - fLockSum);
    fLockMetric = fLockSum / (fM2 * fM2);
    if (!fLocked && fLockMetric > kLockOn) {
        fLocked = true;
        if (!fEverLocked) fLockTime = double(fInnerSamples) / fInnerRate;
        fEverLocked = true;
    } else if (fLocked && fLockMetric < kLockOff) {
        fLocked = false;
        fUnlockedSince = fSymbols;
        fCoarse->Reset();
    }

    ++fSymbols;
    const double carrierHz = (fNcoFreq * fInnerRate + fFreq * fP.SymbolRate) / kTwoPi;
    if (fLocked) {
        ++fLockedSymbols;
        fOffsetSum += carrierHz;
        fSignalSum += signal;
        fNoiseSum += noise;
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
    } else {
        fHaveSpan = false;
        fSpanSum = 0;
        fSpanCount = 0;
    }
    aSymbols.push_back({float(zr / fAmp), float(zi / fAmp)});
}

TPreciseReadouts TPreciseReceiver::Readouts() const {
    TPreciseReadouts r;
    r.Locked = fLocked;
    r.CarrierOffsetHz = (fNcoFreq * fInnerRate + fFreq * fP.SymbolRate) / kTwoPi;
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
