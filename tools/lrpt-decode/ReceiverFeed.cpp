#include "ReceiverFeed.h"

#include "precise/SoftSymbolWriter.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <stdexcept>

namespace {

constexpr int BlockFrames = 16384; // samples read and demodulated at a time

} // namespace

TSymbolKeeper::~TSymbolKeeper() {
    if (fFile) std::fclose(fFile);
}

void TSymbolKeeper::Open(const std::string& aPath) {
    fPath = aPath;
    const std::string ext = std::filesystem::path(aPath).extension().string();
    fForm = ext == ".raw" ? 1 : ext == ".hard" ? 2 : 0;
    fFile = std::fopen(aPath.c_str(), "wb");
    if (!fFile) throw std::runtime_error("cannot create symbol file \"" + aPath + "\"");
}

void TSymbolKeeper::Write(const int8_t* aValues, size_t aCount, double aScale) {
    if (!fFile || aCount == 0) return;
    fBytes.clear();
    if (fForm == 0) {
        fBytes.assign(reinterpret_cast<const uint8_t*>(aValues),
                      reinterpret_cast<const uint8_t*>(aValues) + aCount);
    } else if (fForm == 1) {
        // Back to units of the amplitude, where the 3-bit levels are placed.
        const float toAmplitude = float(1 / std::max(aScale, 1.0));
        for (size_t k = 0; k + 1 < aCount; k += 2)
            fBytes.push_back(uint8_t(precise::Soft3Code(float(aValues[k]) * toAmplitude) << 4 |
                                     precise::Soft3Code(float(aValues[k + 1]) * toAmplitude)));
    } else {
        for (size_t k = 0; k < aCount; ++k) {
            fBits = uint8_t(fBits << 1 | (aValues[k] > 0 ? 1 : 0));
            if (++fBitCount == 8) {
                fBytes.push_back(fBits);
                fBits = 0;
                fBitCount = 0;
            }
        }
    }
    if (std::fwrite(fBytes.data(), 1, fBytes.size(), fFile) != fBytes.size()) fFailed = true;
    fSymbols += int64_t(aCount / 2);
}

void TSymbolKeeper::Close() {
    if (!fFile) return;
    if (std::fclose(fFile) != 0) fFailed = true;
    fFile = nullptr;
    if (fFailed) throw std::runtime_error("cannot write symbol file \"" + fPath + "\"");
}

TReceiverFeed::TReceiverFeed(TSampleSource& aSource, const TRecordingConstraints& aForced,
                             TSymbolQueue& aQueue, const std::string& aKeepSymbols,
                             const std::atomic<bool>* aEndOfInput)
    : fSource(aSource), fQueue(aQueue), fForced(aForced), fEndOfInput(aEndOfInput) {
    precise::TPreciseParams params;
    params.SampleRate = double(aSource.SampleRate());
    if (aForced.Oqpsk && aForced.Mode && aForced.Nrzm) {
        params.Oqpsk = *aForced.Oqpsk;
        params.SymbolRate = *aForced.Mode == TLrptMode::lm72k ? 72000 : 80000;
        fReceiver = std::make_unique<precise::TPreciseReceiver>(params);
    } else {
        TRecordingDetectorOptions options;
        options.Receiver = params;
        fDetector = std::make_unique<TRecordingDetector>(double(aSource.SampleRate()), aForced, options);
    }
    if (!aKeepSymbols.empty()) fKeeper.Open(aKeepSymbols);
}

TReceiverFeed::~TReceiverFeed() {
    Cancel();
    if (fThread.joinable()) fThread.join();
}

void TReceiverFeed::Start() {
    fRunning.store(true);
    fThread = std::thread([this] {
        Execute();
        fRunning.store(false);
    });
}

void TReceiverFeed::Cancel() {
    fCancel.store(true);
    fSource.RequestStop(); // a read waiting for an idle pipe returns
    fQueue.Cancel();
}

TReceiverDecision TReceiverFeed::WaitDecision() {
    std::unique_lock<std::mutex> lock(fLock);
    fDecided.wait(lock, [&] { return fHaveDecision; });
    return fDecision;
}

void TReceiverFeed::Join() {
    if (fThread.joinable()) fThread.join();
    if (fError) std::rethrow_exception(fError);
}

TReceiverProgress TReceiverFeed::Progress() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fProgress;
}

void TReceiverFeed::Decide(const TReceiverDecision& aDecision) {
    std::lock_guard<std::mutex> lock(fLock);
    if (fHaveDecision) return;
    fDecision = aDecision;
    fHaveDecision = true;
    fDecided.notify_all();
}

void TReceiverFeed::Push(const int8_t* aValues, size_t aCount, double aScale) {
    if (aCount == 0) return;
    fKeeper.Write(aValues, aCount, aScale);
    if (!fQueue.Write(aValues, aCount)) fCancel.store(true); // the session has given up
}

void TReceiverFeed::PushSymbols(const std::vector<precise::TSoftPair>& aPairs, double aNoiseRatio) {
    const double scale = precise::Soft8Scale(aNoiseRatio);
    fValues.resize(2 * aPairs.size());
    for (size_t k = 0; k < aPairs.size(); ++k) {
        fValues[2 * k] = precise::Soft8Value(aPairs[k].Q, scale);
        fValues[2 * k + 1] = precise::Soft8Value(aPairs[k].I, scale);
    }
    Push(fValues.data(), fValues.size(), scale);
}

void TReceiverFeed::Execute() {
    try {
        if (fReceiver) {
            TReceiverDecision forced;
            forced.Found = true;
            forced.Chosen = {*fForced.Oqpsk, *fForced.Mode, *fForced.Nrzm};
            forced.Description = RecordingHypothesisName(forced.Chosen) + " (forced)";
            Decide(forced);
        }
        std::vector<std::complex<float>> samples(BlockFrames);
        std::vector<precise::TSoftPair> symbols;
        while (!fCancel.load()) {
            int got = 0;
            try {
                if (!(fEndOfInput && fEndOfInput->load()))
                    got = fSource.ReadComplex(samples.data(), BlockFrames);
            } catch (const TInputError&) {
                // A read interrupted because the input is to end here is its end, not a fault.
                if (!(fEndOfInput && fEndOfInput->load())) throw;
            }
            fFramesRead += got;
            if (!fReceiver) {
                // Detecting: every open hypothesis sees the samples until one decodes.
                bool decided = got > 0 ? fDetector->Process(samples.data(), size_t(got)) : false;
                if (got == 0) {
                    fDetector->Finish();
                    decided = true;
                }
                if (!decided) {
                    std::lock_guard<std::mutex> lock(fLock);
                    fProgress.FramesRead = fFramesRead;
                    continue;
                }
                const TRecordingDetection& result = fDetector->Result();
                TReceiverDecision d;
                d.Detected = true;
                d.Found = result.Found;
                d.Chosen = result.Chosen;
                d.Description = result.Describe();
                d.DetectionSeconds = result.Seconds;
                d.DetectionInputSeconds = result.InputSeconds;
                if (result.Found) {
                    fReceiver = fDetector->TakeReceiver();
                    const std::vector<int8_t> values = fDetector->TakeValues();
                    Decide(d);
                    Push(values.data(), values.size() & ~size_t{1},
                         precise::Soft8Scale(fReceiver->NoiseRatio()));
                } else {
                    Decide(d);
                }
                fDetector.reset(); // its other receivers and buffers go now
                // At the end of the input the detector has flushed the winner already.
                if (!fReceiver || got == 0) break;
                continue;
            }
            symbols.clear();
            if (got > 0)
                fReceiver->Process(samples.data(), size_t(got), symbols);
            else
                fReceiver->Flush(symbols);
            PushSymbols(symbols, fReceiver->NoiseRatio());
            {
                const precise::TPreciseReadouts r = fReceiver->Readouts();
                std::lock_guard<std::mutex> lock(fLock);
                fProgress = {fFramesRead, r.Locked, r.CarrierOffsetHz, r.SnrDb};
            }
            if (got == 0) break;
        }
        if (fReceiver) {
            fReadouts = fReceiver->Readouts();
            fHasReadouts = true;
        }
        fKeeper.Close();
    } catch (...) {
        fError = std::current_exception();
    }
    // Whatever happened, the session must not wait for more, nor the main thread for a decision.
    fQueue.Close();
    TReceiverDecision none;
    none.Description = "the input ended before anything was decided";
    Decide(none);
}
