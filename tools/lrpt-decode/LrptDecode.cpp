#include "LrptDecode.h"

#include "BatchDecoder.h"
#include "LivePictures.h"
#include "ReceiverFeed.h"
#include "orbit/PassTime.h"
#include "session/DecodingSession.h"
#include "session/ModeDetector.h"
#include "stages/StageLog.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> EndOfInput{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

constexpr size_t QueueValues = size_t{4} << 20; // about 29 s of 72 k symbols between the two halves

std::string ModeName(TLrptMode aMode) {
    return aMode == TLrptMode::lm72k ? "72k" : "80k";
}

// The output folder made and emptied of what an earlier run on the same stem wrote that this
// run might not write again (the session deletes its own files).
void PrepareOutput(const std::string& aDir, const std::string& aStem) {
    std::error_code error;
    fs::create_directories(aDir, error);
    if (!fs::is_directory(aDir)) throw std::runtime_error("cannot use \"" + aDir + "\" as the output folder");
    RemoveSessionPictures(aStem);
    // The live pictures' temporaries, which an interrupted run may have left.
    for (int apid = 64; apid <= 69; ++apid)
        fs::remove(aStem + "." + std::to_string(apid) + ".png.tmp", error);
    for (const char* product : {"rgb123", "rgb221", "ir"})
        fs::remove(aStem + "." + product + ".png.tmp", error);
    fs::remove((fs::path(aDir) / "pass.json").string(), error);
}

// The time of day in a channel caption "... (hh:nn:ss.zzz)"; empty when it shows none.
std::string CaptionTime(const std::string& aCaption) {
    const size_t open = aCaption.rfind('('), close = aCaption.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    return aCaption.substr(open + 1, close - open - 1);
}

// The drawing stages of a finished session: their scans and times, then every picture.
void FinishSession(TStageChain& aChain, std::array<TCaptionProgress, 6>& aCaptions,
                   const TSessionTotals& aTotals, const std::string& aStem, const TDecodeOptions& aOptions,
                   TPassSummary& aSummary) {
    // The day of the pass: the first channel's day count, else --date.
    int day = 0;
    for (int i = 0; i < 6 && day == 0; ++i)
        if (aChain.Channel(i)->FirstScanTime() >= 0) day = aChain.Channel(i)->FirstDayCount();
    aChain.ProgressAll();
    for (int i = 0; i < 6; ++i) {
        TCanalDrawThread& stage = *aChain.Channel(i);
        StopStage(stage); // terminated by the session; wait until it has really ended
        if (stage.FirstScanTime() < 0 || stage.LineCount() <= 0) continue;
        TPassChannel c;
        c.Apid = 64 + i;
        c.Lines = stage.LineCount();
        c.Scans = c.Lines / 8;
        c.Start = FormatTimeOfDay(stage.FirstScanTime() / double(TMCU::MsPerDay));
        c.End = CaptionTime(aCaptions[size_t(i)].Caption());
        try {
            const lrptgeo::TStampTime t =
                lrptgeo::ResolveStamp(day, stage.FirstScanTime(), aOptions.Maps.Date);
            c.StartUtc = lrptgeo::FormatIsoUtc(t.Time, 3);
            // The latest scan: strips are placed a whole number of scan periods from the first.
            c.EndUtc = lrptgeo::FormatIsoUtc(
                lrptgeo::AddSeconds(t.Time, (c.Scans - 1) * lrptgeo::kStripDurationS), 3);
            aSummary.DateSource = lrptgeo::DateSourceName(t.Source);
        } catch (const lrptgeo::EPassTimeError&) {
            // No date: the times of day alone.
        }
        aSummary.Channels.push_back(c);
    }
    // The pass's start is the earliest first scan; its end the latest scan any channel drew.
    SetScanSpan(aSummary);
    aSummary.Frames = aTotals.Frames;
    aSummary.FramesPassedOn = aTotals.FramesPassedOn;
    aSummary.RsCorrectedSymbols = aTotals.CuredSymbols;
    aSummary.RsFailedWords = aTotals.FailedWords;
    aSummary.Packets = aTotals.Packets;
    const auto writing = Clock::now();
    std::unique_ptr<TPassMaps> maps;
    if (aOptions.Maps.Enabled()) maps = std::make_unique<TPassMaps>(aOptions.Maps);
    aSummary.Files = WriteSessionPictures(aChain, aStem, {1, 2, 3}, maps.get());
    if (maps && !maps->Facts().Satellite.empty()) aSummary.Geolocation = maps->Facts();
    aSummary.PicturesSeconds = std::chrono::duration<double>(Clock::now() - writing).count();
    // What the session wrote itself.
    std::error_code error;
    for (const auto& suffix : TStageChain::SessionFileSuffixes())
        if (fs::exists(aStem + suffix, error)) aSummary.Files.push_back(aStem + suffix);
}

// aRead: what was read, named for the user.
std::string NoFrameLine(const std::string& aStem, const std::string& aRead) {
    TBatchResult result;
    result.Stem = aStem;
    return NoFrameMessage(result, aRead);
}

// A symbol file: mode and NRZ-M found as tarnwick-batch --auto finds them (within what was forced),
// then the file decoded by the session as the window decodes it.
void DecodeSymbolFile(const TDecodeOptions& o, TDecodeOutcome& out, std::ostream* aProgress) {
    CheckInputFile(o.Input);
    TPassSummary& s = out.Summary;
    s.SymbolFile = true;
    s.InputDescription = "symbol file";
    s.ModeForced = o.Mode.has_value();
    s.NrzmForced = o.Nrzm.has_value();
    TLrptMode mode = o.Mode.value_or(ModeForFileName(o.Input));
    bool nrzm = o.Nrzm.value_or(false);
    if (o.Mode && o.Nrzm) {
        s.Found = true;
        s.Detection = HypothesisName({mode, nrzm}) + " (forced)";
    } else {
        const TModeDetection d = DetectMode(o.Input);
        // The best hypothesis within what was forced; a hypothesis needs the detector's least
        // number of clean frames.
        const THypothesisEvidence* best = nullptr;
        for (const auto& e : d.Tried)
            if ((!o.Mode || e.Hypothesis.Mode == *o.Mode) && (!o.Nrzm || e.Hypothesis.Nrzm == *o.Nrzm) &&
                e.CleanFrames >= TModeDetectorOptions{}.MinCleanFrames &&
                (!best || e.CleanFrames > best->CleanFrames))
                best = &e;
        s.Found = best != nullptr;
        if (best) {
            mode = best->Hypothesis.Mode;
            nrzm = best->Hypothesis.Nrzm;
        }
        s.Detection = d.Describe();
        s.DetectionSeconds = d.Seconds;
        if (aProgress) *aProgress << "detected " << s.Detection << "\n" << std::flush;
    }
    // As tarnwick-batch --auto: when nothing decoded, the mode from the name (or forced) and no
    // NRZ-M; the session then says whether anything came out.
    s.Mode = ModeName(mode);
    s.Nrzm = nrzm;
    PrepareOutput(out.OutDir, out.Stem);

    THeadlessChannels channels;
    TStageChain chain;
    TDecodingSession session(chain);
    session.SetEndOfInput(&EndOfInput); // the first Ctrl-C: what was fed is decoded and written
    session.Run(mode, o.Input, false, channels.Progress, channels.Image, out.Stem, nrzm);
    s.Interrupted = EndOfInput.load();
    FinishSession(chain, channels.Captions, session.Totals(), out.Stem, o, s);
    s.RecordingSeconds =
        double(session.Totals().BytesFed) / 2 / (mode == TLrptMode::lm72k ? 72000.0 : 80000.0);
    if (s.FramesPassedOn == 0)
        out.NotFound = NoFrameLine(out.Stem, "\"" + o.Input + "\" (not a symbol file of this mode?)");
}

std::string ProgressLine(const TReceiverProgress& r, int64_t aTotal, int64_t aRate, uint32_t aFrames) {
    char where[64];
    if (aTotal > 0) {
        const double fraction = std::min(1.0, double(r.FramesRead) / double(aTotal));
        std::string bar(size_t(fraction * 20 + 0.5), '#');
        bar.resize(20, '.');
        std::snprintf(where, sizeof where, "[%s] %3d%%", bar.c_str(), int(fraction * 100));
    } else {
        std::snprintf(where, sizeof where, "%8.1f s", double(r.FramesRead) / double(aRate));
    }
    char text[200];
    std::snprintf(text, sizeof text, "\r%s  %s  carrier %+6.0f Hz  Es/N0 %4.1f dB  frames %u\x1b[K", where,
                  r.Locked ? "LOCKED  " : "unlocked", r.CarrierOffsetHz, r.SnrDb, aFrames);
    return text;
}

void DecodeRecording(const TDecodeOptions& o, TDecodeOutcome& out, std::ostream* aProgress) {
    TSourceOptions so;
    so.Path = o.Input;
    so.Form = o.InputForm;
    so.RateHz = o.RateHz;
    so.SwapIq = o.SwapIq;
    so.Stop = &EndOfInput; // ends even a read that waits for an idle pipe
    std::optional<TSampleSource> opened;
    try {
        opened.emplace(so); // a TInputError names the input
    } catch (const TInputInterrupted&) {
        out.NothingCame = "interrupted before anything came on standard input; nothing written";
        return;
    }
    TSampleSource& source = *opened;
    // An empty pipe is refused like an empty file: before any output exists. An interrupt before
    // anything came ends the run as cleanly, with nothing to write.
    if (!source.WaitForData()) {
        if (!source.StopRequested()) throw std::runtime_error(source.Name() + " holds no samples");
        out.NothingCame = "interrupted before anything came on " + source.Name() + "; nothing written";
        return;
    }
    TPassSummary& s = out.Summary;
    s.InputDescription = source.Description();
    s.OqpskForced = o.Oqpsk.has_value();
    s.ModeForced = o.Mode.has_value();
    s.NrzmForced = o.Nrzm.has_value();
    s.SwapIqForced = o.SwapIq;
    TRecordingConstraints forced;
    forced.Oqpsk = o.Oqpsk;
    forced.Mode = o.Mode;
    forced.Nrzm = o.Nrzm;

    TSymbolQueue queue(QueueValues);
    std::unique_ptr<TReceiverFeed> feed;
    try {
        feed = std::make_unique<TReceiverFeed>(source, forced, queue, o.KeepSymbols, &EndOfInput);
    } catch (const precise::TPreciseParamError& e) {
        throw std::runtime_error(source.Name() + ": " + e.what());
    }
    PrepareOutput(out.OutDir, out.Stem);
    feed->Start();
    const TReceiverDecision decision = feed->WaitDecision();
    s.Found = decision.Found;
    s.Detection = decision.Description;
    s.DetectionSeconds = decision.DetectionSeconds;
    s.DetectionInputSeconds = decision.DetectionInputSeconds;
    if (aProgress && decision.Detected)
        *aProgress << "\r\x1b[Kdetected " << decision.Description << "\n" << std::flush;
    if (!decision.Found) {
        feed->Join();
        s.RecordingSeconds = double(feed->FramesRead()) / double(source.SampleRate());
        s.NonFiniteSamples = source.NonFiniteSamples();
        s.Interrupted = EndOfInput.load();
        out.NotFound = "no transfer frame found in " + source.Name() + ": tried " + decision.Description;
        return;
    }
    s.Oqpsk = decision.Chosen.Oqpsk;
    s.Mode = ModeName(decision.Chosen.Mode);
    s.Nrzm = decision.Chosen.Nrzm;
    // The receiver and the decoder take either channel order; only a forced order is known.
    if (o.SwapIq) s.IFirst = false;

    THeadlessChannels channels;
    TStageChain chain;
    // A stream's pictures are rewritten while the pass goes on; the drawing stages exist from the
    // session's first call of the observer on.
    TLivePictures live(chain, out.Stem, o.LiveSeconds);
    auto shown = Clock::now();
    auto captionsShown = Clock::now();
    TSessionObserver observer;
    observer.ProcessMessages = [&] {
        if (source.IsStream()) live.Start();
        const auto now = Clock::now();
        if (now - captionsShown >= std::chrono::seconds(3)) {
            chain.ProgressAll();
            captionsShown = now;
        }
        if (!aProgress || now - shown < std::chrono::milliseconds(200)) return;
        shown = now;
        *aProgress << ProgressLine(feed->Progress(), source.TotalFrames(), source.SampleRate(),
                                   chain.RS ? chain.RS->VCDUcounter() : 0)
                   << std::flush;
    };
    TDecodingSession session(chain, observer);
    try {
        session.Run(decision.Chosen.Mode, queue, out.Stem, false, channels.Progress, channels.Image,
                    decision.Chosen.Nrzm);
    } catch (...) {
        live.Stop();
        feed->Cancel();
        try {
            feed->Join();
        } catch (...) {
        }
        throw;
    }
    live.Stop();
    if (aProgress) *aProgress << "\r\x1b[K" << std::flush;
    std::exception_ptr inputError;
    try {
        feed->Join();
    } catch (...) {
        inputError = std::current_exception(); // what was decoded is still written
    }
    FinishSession(chain, channels.Captions, session.Totals(), out.Stem, o, s);
    if (feed->HasReadouts()) {
        const precise::TPreciseReadouts& r = feed->Readouts();
        s.HasReceiver = true;
        s.LockTimeS = r.LockTimeS;
        s.LockedShare = r.Symbols ? double(r.LockedSymbols) / double(r.Symbols) : 0;
        s.CarrierOffsetHz = r.CarrierOffsetHz;
        s.MeanOffsetHz = r.MeanOffsetHz;
        s.DriftHzPerS = r.DriftHzPerS;
        s.MaxDriftHzPerS = r.MaxDriftHzPerS;
        s.SnrDb = r.SnrDb;
    }
    if (!o.KeepSymbols.empty()) s.Files.push_back(o.KeepSymbols);
    s.RecordingSeconds = double(feed->FramesRead()) / double(source.SampleRate());
    s.NonFiniteSamples = source.NonFiniteSamples();
    s.Interrupted = EndOfInput.load();
    out.Warning = source.Warning();
    if (!live.Error().empty()) out.Warning += (out.Warning.empty() ? "" : "; ") + live.Error();
    if (inputError) {
        s.ElapsedSeconds = 0;
        WritePassJson(s, (fs::path(out.OutDir) / "pass.json").string());
        std::rethrow_exception(inputError);
    }
    if (s.FramesPassedOn == 0) {
        const std::string name = source.IsStream() ? source.Name() : "\"" + source.Name() + "\"";
        out.NotFound = NoFrameLine(out.Stem, name + " (" + source.Description() + ", received as " +
                                                 RecordingHypothesisName(decision.Chosen) + ")");
    }
}

} // namespace

void RequestEndOfInput() {
    EndOfInput.store(true);
}

TDecodeOutcome RunDecode(const TDecodeOptions& aOptions, std::ostream* aProgress) {
    const auto started = Clock::now();
    TDecodeOutcome out;
    out.OutDir = aOptions.OutDir.empty() ? DefaultOutDir(aOptions.Input) : aOptions.OutDir;
    out.Stem = (fs::path(out.OutDir) / OutputStemName(aOptions.Input)).string();
    out.Summary.Input = aOptions.Input;
    // An element set file that cannot be used is refused before anything is decoded.
    if (aOptions.Maps.Enabled()) TPassMaps check(aOptions.Maps);
    if (IsSymbolFile(aOptions.Input))
        DecodeSymbolFile(aOptions, out, aProgress);
    else
        DecodeRecording(aOptions, out, aProgress);
    if (!out.NothingCame.empty()) return out;
    const std::string json = (fs::path(out.OutDir) / "pass.json").string();
    out.Summary.Files.push_back(json);
    out.Summary.ElapsedSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    WritePassJson(out.Summary, json);
    return out;
}

std::string DecodeSummaryText(const TDecodeOutcome& aOutcome) {
    const TPassSummary& p = aOutcome.Summary;
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(2);
    s << "detected " << p.Detection << "\n";
    if (!p.Mode.empty()) {
        s << "mode " << (p.Oqpsk ? (*p.Oqpsk ? "OQPSK " : "QPSK ") : "") << p.Mode
          << (p.Nrzm ? " NRZ-M" : "");
        if (p.IFirst) s << (*p.IFirst ? ", I first" : ", Q first");
        s << "\n";
    }
    s << p.RecordingSeconds << " s of recording decoded in " << p.ElapsedSeconds << " s ("
      << (p.ElapsedSeconds > 0 ? p.RecordingSeconds / p.ElapsedSeconds : 0) << " times real time; "
      << p.PicturesSeconds << " s of it writing the pictures)\n";
    if (p.HasReceiver) {
        s.precision(1);
        s << "receiver: lock after " << p.LockTimeS << " s, locked " << 100 * p.LockedShare << " %, carrier "
          << p.MeanOffsetHz << " Hz (largest drift " << p.MaxDriftHzPerS << " Hz/s), Es/N0 " << p.SnrDb
          << " dB\n";
        s.precision(2);
    }
    if (p.NonFiniteSamples > 0)
        s << "input: " << p.NonFiniteSamples << " sample values were NaN or infinite and were read as 0\n";
    if (p.Interrupted) s << "input ended by an interrupt; what came before it was decoded\n";
    s << "frames " << p.Frames << ", passed on " << p.FramesPassedOn << ", RS symbols corrected "
      << p.RsCorrectedSymbols << ", RS words failed " << p.RsFailedWords << "\n";
    s << "packets";
    for (int apid = 64; apid <= 70; ++apid)
        s << " " << apid << ":" << p.Packets[size_t(apid - 64)];
    s << "\n";
    if (!p.ScanStart.empty())
        s << "scans " << (p.ScanStartUtc.empty() ? p.ScanStart : p.ScanStartUtc) << " to "
          << (p.ScanEndUtc.empty() ? p.ScanEnd : p.ScanEndUtc) << " UTC:";
    for (const auto& c : p.Channels)
        s << " ch" << c.Apid - 63 << ":" << c.Scans;
    if (!p.Channels.empty()) s << "\n";
    if (p.Geolocation) s << GeolocationSummary(*p.Geolocation);
    for (const auto& file : p.Files)
        s << "wrote " << file << "\n";
    return s.str();
}
