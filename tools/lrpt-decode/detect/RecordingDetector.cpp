#include "RecordingDetector.h"

#include "precise/SoftSymbolWriter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <iomanip>
#include <sstream>
#include <stdexcept>

std::string RecordingHypothesisName(const TRecordingHypothesis& aHypothesis) {
    return std::string(aHypothesis.Oqpsk ? "OQPSK " : "QPSK ") +
           HypothesisName(TModeHypothesis{aHypothesis.Mode, aHypothesis.Nrzm});
}

double SymbolRateOf(TLrptMode aMode) {
    return aMode == TLrptMode::lm72k ? 72000.0 : 80000.0;
}

std::string TRecordingDetection::Describe() const {
    std::ostringstream out;
    out << std::fixed << std::setprecision(1);
    if (Found)
        out << RecordingHypothesisName(Chosen);
    else
        out << "nothing decodable";
    out << " (";
    for (size_t i = 0; i < Tried.size(); ++i) {
        const TRecordingEvidence& e = Tried[i];
        if (i > 0) out << "; ";
        out << RecordingHypothesisName(e.Hypothesis) << ": ";
        if (!e.Tried)
            out << "not tried yet";
        else if (e.Frames == 0)
            out << (e.Locked ? "no frame" : "receiver not locked");
        else
            out << e.CleanFrames << " clean frames of " << e.Frames;
    }
    out << "; " << Seconds << " s of wall time on " << InputSeconds << " s of recording)";
    return out.str();
}

// One hypothesis of modulation and symbol rate: its receiver and the soft values it made from
// the current window's start on.
struct TBranch {
    bool Oqpsk = false;
    TLrptMode Mode = TLrptMode::lm72k;
    std::unique_ptr<precise::TPreciseReceiver> Receiver;
    std::vector<precise::TSoftPair> Pairs;    // scratch
    std::vector<int8_t> Values;               // Q, I per symbol
    std::vector<TRecordingEvidence> Evidence; // per NRZ-M choice still open
    int64_t WindowSymbols = 0;

    void Convert() {
        const double scale = precise::Soft8Scale(Receiver->NoiseRatio());
        for (const precise::TSoftPair& p : Pairs) {
            Values.push_back(precise::Soft8Value(p.Q, scale));
            Values.push_back(precise::Soft8Value(p.I, scale));
        }
        Pairs.clear();
    }
};

struct TRecordingDetector::TImpl {
    TRecordingDetectorOptions Options;
    std::vector<TBranch> Branches;
    std::vector<std::complex<float>> Pending; // samples gathered for the next parallel round
    size_t RoundSamples = 0;
    double SampleRate = 0;
    int64_t SamplesFed = 0;
    bool Decided = false;
    int Winner = -1;
    TRecordingDetection Result;
    std::chrono::steady_clock::time_point Started;
    double Busy = 0;       // seconds spent in Process / Finish
    int PreviousBest = -1; // the best find of the last try that did not decide
    size_t PreviousEvidence = 0;

    void Round();
    // Decodes each branch's window (or what it holds when aFinal); decides on clean frames.
    void Try(bool aFinal);
    void Decide(int aBranch, size_t aEvidence);
    void Record();
};

void TRecordingDetector::TImpl::Round() {
    std::vector<std::future<void>> work;
    for (TBranch& b : Branches) {
        work.push_back(std::async(std::launch::async, [&b, this] {
            b.Receiver->Process(Pending.data(), Pending.size(), b.Pairs);
            b.Convert();
        }));
    }
    for (auto& w : work)
        w.get();
    SamplesFed += static_cast<int64_t>(Pending.size());
    Pending.clear();
    Try(false);
}

void TRecordingDetector::TImpl::Try(bool aFinal) {
    struct TJob {
        size_t Branch, Evidence;
    };
    std::vector<TJob> jobs;
    // All receivers of a rate are tried on the same seconds: one of them may have made a few
    // symbols fewer by then, and it must not lose to the other for that.
    bool due[2] = {false, false};
    for (const TBranch& b : Branches)
        if (static_cast<int64_t>(b.Values.size() / 2) >= b.WindowSymbols)
            due[b.Mode == TLrptMode::lm80k] = true;
    for (size_t i = 0; i < Branches.size(); ++i) {
        const TBranch& b = Branches[i];
        const int64_t held = static_cast<int64_t>(b.Values.size() / 2);
        if (aFinal ? held == 0 : !due[b.Mode == TLrptMode::lm80k] || held < b.WindowSymbols * 9 / 10)
            continue;
        for (size_t k = 0; k < b.Evidence.size(); ++k)
            jobs.push_back({i, k});
    }
    if (jobs.empty()) return;
    std::vector<std::future<THypothesisEvidence>> work;
    for (const TJob& j : jobs) {
        const TBranch& b = Branches[j.Branch];
        const TModeHypothesis h{b.Mode, b.Evidence[j.Evidence].Hypothesis.Nrzm};
        work.push_back(std::async(std::launch::async, [&b, h, aFinal, this] {
            const auto held = static_cast<int64_t>(b.Values.size() / 2);
            const int64_t symbols = std::min<int64_t>(b.WindowSymbols, held);
            // At the end of the input a window that holds the last values is decoded to its end
            // (80 k: through the deinterleaver's store), however much shorter than a window it is.
            return TryHypothesis(h, b.Values.data(), 2 * symbols, symbols, Options.EnoughFrames,
                                 aFinal && symbols == held);
        }));
    }
    int best = -1;
    size_t bestEvidence = 0;
    uint32_t bestClean = 0, bestFrames = 0;
    double bestErrors = 0;
    for (size_t n = 0; n < jobs.size(); ++n) {
        const THypothesisEvidence e = work[n].get();
        TBranch& b = Branches[jobs[n].Branch];
        TRecordingEvidence& r = b.Evidence[jobs[n].Evidence];
        r.Tried = true;
        r.Frames = e.Frames;
        r.CleanFrames = e.CleanFrames;
        r.Locked = b.Receiver->Readouts().Locked;
        r.SnrDb = b.Receiver->Readouts().SnrDb;
        if (e.CleanFrames < std::max<uint32_t>(Options.MinCleanFrames, 1)) continue;
        // Among the hypotheses that decode, the one whose frames needed the fewest corrections: an
        // offset-QPSK receiver decodes many frames of a strong plain QPSK pass too (its half-symbol
        // late branch is right whenever two symbols in a row agree), but with far more errors.
        // Ties go to the earlier (plainer) hypothesis.
        const double errors =
            static_cast<double>(e.CuredSymbols + 17 * e.FailedWords) / std::max<uint32_t>(e.Frames, 1);
        if (best < 0 || errors < bestErrors) {
            best = static_cast<int>(jobs[n].Branch);
            bestEvidence = jobs[n].Evidence;
            bestClean = e.CleanFrames;
            bestFrames = e.Frames;
            bestErrors = errors;
        }
    }
    // A receiver of the other modulation may decode a few frames of a strong pass while the right
    // one is still pulling in: a find where most frames fail decides only when the same hypothesis
    // is again the best one in the next window (or the input has ended).
    const bool clear = bestClean * 4 >= bestFrames;
    const bool again = best == PreviousBest && bestEvidence == PreviousEvidence;
    if (best >= 0 && (aFinal || clear || again)) {
        Decide(best, bestEvidence);
        return;
    }
    PreviousBest = best;
    PreviousEvidence = bestEvidence;
    // Nothing yet: keep the second half of each full window, so a signal that began within it
    // is looked at again with the seconds that follow.
    for (size_t i = 0; i < Branches.size(); ++i) {
        TBranch& b = Branches[i];
        const auto held = static_cast<int64_t>(b.Values.size() / 2);
        if (std::none_of(jobs.begin(), jobs.end(), [i](const TJob& j) { return j.Branch == i; })) continue;
        const int64_t drop = std::max<int64_t>(0, held - b.WindowSymbols / 2);
        b.Values.erase(b.Values.begin(), b.Values.begin() + 2 * drop);
    }
}

void TRecordingDetector::TImpl::Decide(int aBranch, size_t aEvidence) {
    Decided = true;
    Winner = aBranch;
    TBranch& b = Branches[static_cast<size_t>(aBranch)];
    Result.Found = true;
    Result.Chosen = b.Evidence[aEvidence].Hypothesis;
    Record();
}

void TRecordingDetector::TImpl::Record() {
    Result.Tried.clear();
    for (const TBranch& b : Branches)
        for (const TRecordingEvidence& e : b.Evidence)
            Result.Tried.push_back(e);
    Result.InputSeconds = static_cast<double>(SamplesFed) / SampleRate;
    Result.Seconds = Busy;
}

TRecordingDetector::TRecordingDetector(double aSampleRate, const TRecordingConstraints& aConstraints,
                                       const TRecordingDetectorOptions& aOptions)
    : fImpl(std::make_unique<TImpl>()) {
    TImpl& d = *fImpl;
    d.Options = aOptions;
    d.SampleRate = aSampleRate;
    for (const bool oqpsk : {false, true}) {
        if (aConstraints.Oqpsk && *aConstraints.Oqpsk != oqpsk) continue;
        for (const TLrptMode mode : {TLrptMode::lm72k, TLrptMode::lm80k}) {
            if (aConstraints.Mode && *aConstraints.Mode != mode) continue;
            TBranch b;
            b.Oqpsk = oqpsk;
            b.Mode = mode;
            precise::TPreciseParams params = aOptions.Receiver;
            params.SampleRate = aSampleRate;
            params.SymbolRate = SymbolRateOf(mode);
            params.Oqpsk = oqpsk;
            b.Receiver = std::make_unique<precise::TPreciseReceiver>(params);
            const double window = mode == TLrptMode::lm72k ? aOptions.Window72k : aOptions.Window80k;
            b.WindowSymbols = static_cast<int64_t>(std::ceil(window * params.SymbolRate));
            for (const bool nrzm : {false, true}) {
                if (aConstraints.Nrzm && *aConstraints.Nrzm != nrzm) continue;
                TRecordingEvidence e;
                e.Hypothesis = {oqpsk, mode, nrzm};
                b.Evidence.push_back(e);
            }
            if (!b.Evidence.empty()) d.Branches.push_back(std::move(b));
        }
    }
    if (d.Branches.empty())
        throw std::invalid_argument("the forced choices leave no way the recording was sent");
    // A round of a quarter of a second keeps the threads busy without holding much input.
    d.RoundSamples = static_cast<size_t>(std::max(4096.0, aSampleRate / 4));
    d.Pending.reserve(d.RoundSamples);
    d.Record();
}

TRecordingDetector::~TRecordingDetector() = default;

bool TRecordingDetector::Process(const std::complex<float>* aSamples, size_t aCount) {
    TImpl& d = *fImpl;
    if (d.Decided) return true;
    const auto started = std::chrono::steady_clock::now();
    while (aCount > 0 && !d.Decided) {
        const size_t n = std::min(aCount, d.RoundSamples - d.Pending.size());
        d.Pending.insert(d.Pending.end(), aSamples, aSamples + n);
        aSamples += n;
        aCount -= n;
        if (d.Pending.size() == d.RoundSamples) d.Round();
    }
    if (d.Decided && aCount > 0) {
        // The rest of this block goes to the winner, so the caller goes on with the next block.
        TBranch& b = d.Branches[static_cast<size_t>(d.Winner)];
        b.Receiver->Process(aSamples, aCount, b.Pairs);
        b.Convert();
        d.SamplesFed += static_cast<int64_t>(aCount);
    }
    d.Busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!d.Decided) d.Record();
    return d.Decided;
}

void TRecordingDetector::Finish() {
    TImpl& d = *fImpl;
    if (d.Decided) return;
    const auto started = std::chrono::steady_clock::now();
    if (!d.Pending.empty()) d.Round();
    if (!d.Decided) {
        for (TBranch& b : d.Branches) {
            b.Receiver->Flush(b.Pairs);
            b.Convert();
        }
        d.Try(true);
    }
    d.Busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!d.Decided) {
        d.Decided = true;
        d.Result.Found = false;
        d.Record();
    }
}

bool TRecordingDetector::Decided() const {
    return fImpl->Decided;
}
const TRecordingDetection& TRecordingDetector::Result() const {
    return fImpl->Result;
}

std::unique_ptr<precise::TPreciseReceiver> TRecordingDetector::TakeReceiver() {
    if (fImpl->Winner < 0) return nullptr;
    return std::move(fImpl->Branches[static_cast<size_t>(fImpl->Winner)].Receiver);
}

std::vector<int8_t> TRecordingDetector::TakeValues() {
    if (fImpl->Winner < 0) return {};
    return std::move(fImpl->Branches[static_cast<size_t>(fImpl->Winner)].Values);
}
