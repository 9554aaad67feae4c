#include "BatchDemodulator.h"
#include "PreciseRun.h"

#include "app/ReceiverControls.h"
#include "app/RunLoop.h"
#include "app/SymbolWriter.h"
#include "core/CostasReceiver.h"
#include "core/ReceiverReadouts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

THaldrinBatchOptions ParseHaldrinBatchArguments(const std::vector<std::string>& aArgs) {
    THaldrinBatchOptions o;
    bool symbolRateGiven = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < aArgs.size(); ++i) {
        const std::string& a = aArgs[i];
        if (a == "-h" || a == "--help") {
            o.Help = true;
        } else if (a == "-q" || a == "--quiet") {
            o.Quiet = true;
        } else if (a == "--oqpsk") {
            o.Oqpsk = true;
        } else if (a == "--receiver" || a.rfind("--receiver=", 0) == 0) {
            if (a == "--receiver" && i + 1 >= aArgs.size())
                throw std::invalid_argument("--receiver needs precise or model");
            o.Receiver = a == "--receiver" ? aArgs[++i] : a.substr(11);
            if (o.Receiver != "precise" && o.Receiver != "model")
                throw std::invalid_argument("--receiver must be precise or model, got \"" + o.Receiver +
                                            "\"");
        } else if (a == "--symbol-rate") {
            symbolRateGiven = true;
            if (i + 1 >= aArgs.size()) throw std::invalid_argument("--symbol-rate needs a value");
            const std::string text = aArgs[++i];
            size_t used = 0;
            try {
                o.SymbolRate = std::stod(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != text.size() || !(o.SymbolRate >= 1000 && o.SymbolRate <= 1e6))
                throw std::invalid_argument("--symbol-rate needs symbols/s in 1000..1000000, got \"" + text +
                                            "\"");
        } else if (a == "--param" || a.rfind("--param=", 0) == 0) {
            std::string assignment;
            if (a == "--param") {
                if (i + 1 >= aArgs.size()) throw std::invalid_argument("--param needs NAME=VALUE");
                assignment = aArgs[++i];
            } else {
                assignment = a.substr(8);
            }
            const size_t eq = assignment.find('=');
            if (eq == std::string::npos)
                throw std::invalid_argument("--param needs NAME=VALUE, got \"" + assignment + "\"");
            const std::string name = assignment.substr(0, eq), text = assignment.substr(eq + 1);
            const TParamEntry* e = FindReceiverParam(name);
            if (!e) throw std::invalid_argument("unknown receiver parameter \"" + name + "\"");
            long long v = 0;
            size_t used = 0;
            try {
                v = std::stoll(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != text.size())
                throw std::invalid_argument("parameter " + name + " needs an integer, got \"" + text + "\"");
            if (v < e->Min || v > e->Max)
                throw std::invalid_argument("parameter " + name + " must lie in " + std::to_string(e->Min) +
                                            ".." + std::to_string(e->Max) + ", got " + text);
            o.Params.emplace_back(name, int32_t(v));
        } else if (a == "--swap-iq") {
            o.SwapIq = true;
        } else if (a == "--input-format" || a == "--rate") {
            if (i + 1 >= aArgs.size()) throw std::invalid_argument(a + " needs a value");
            const std::string v = aArgs[++i];
            if (a == "--input-format") {
                const auto form = ParseInputForm(v);
                if (!form)
                    throw std::invalid_argument("--input-format: wav, cu8, cs8, cs16 or cf32, got \"" + v +
                                                "\"");
                o.InputForm = *form;
            } else {
                const auto hz = ParseRateHz(v);
                if (!hz) throw std::invalid_argument("--rate needs a whole number of Hz, got \"" + v + "\"");
                o.RateHz = *hz;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            throw std::invalid_argument("unknown option " + a);
        } else {
            files.push_back(a);
        }
    }
    if (o.Help) return o;
    if (o.Receiver == "precise" && !o.Params.empty())
        throw std::invalid_argument("--param sets the model's parameters; add --receiver model");
    if (o.Receiver == "model" && o.Oqpsk) o.Params.emplace_back("Oqpsk", 1);
    if (o.Receiver == "model" && symbolRateGiven)
        throw std::invalid_argument(
            "--symbol-rate is the precise receiver's; the model takes --param SymRate=");
    if (files.size() != 2) throw std::invalid_argument("expected IN and OUT");
    o.Input = files[0];
    o.Output = files[1];
    return o;
}

std::string HaldrinBatchUsage() {
    std::string u =
        "usage: haldrin-batch [--receiver precise|model] [--oqpsk] [--symbol-rate HZ] [--input-format FMT]\n"
        "                     [--rate HZ] [--swap-iq] [--param NAME=VALUE ...] [-q] IN OUT\n"
        "Demodulates complex baseband into a symbol file.\n"
        "IN: a WAV, RF64 or W64 file of two channels (PCM 8-bit unsigned, 16-, 24-, 32-bit integer,\n"
        "32- or 64-bit float), or headerless I/Q by extension .cu8 .cs8 .cs16 .cf32; - reads standard\n"
        "input (needs --input-format), and the output grows as the symbols come.\n"
        "  --input-format FMT  wav, cu8 (rtl_sdr), cs8, cs16 or cf32, whatever the name says\n"
        "  --rate HZ           sample rate; required for headerless input, replaces a WAV header's\n"
        "  --swap-iq           the first channel is Q (SDR programs record I first)\n"
        "  --receiver precise  (the default) the floating-point receiver, for any rate from 8 kHz to\n"
        "                      20 MHz; OUT's extension gives the form of the symbol file: .raw 3-bit\n"
        "                      soft, anything else (.s) 8-bit soft pairs\n"
        "  --receiver model    the fixed-point receiver model at its default settings; one 3-bit soft\n"
        "                      byte per symbol; rates up to 500000 Hz; its internal sample rate Samp\n"
        "                      is 4 x the input rate unless given\n"
        "  --oqpsk             offset QPSK (N2-3, N2-4), for either receiver (the model's Oqpsk)\n"
        "  --symbol-rate HZ    the precise receiver's symbol rate (72000; 80000 for 80 k passes)\n"
        "Model parameters for --param (NAME: range):\n";
    std::string line(1, ' ');
    for (const TParamEntry& e : ReceiverParamTable()) {
        std::string item(1, ' ');
        item.append(e.Name)
            .append(":")
            .append(std::to_string(e.Min))
            .append("..")
            .append(std::to_string(e.Max));
        if (line.size() + item.size() > 96) {
            u.append(line).append("\n");
            line.assign(1, ' ');
        }
        line.append(item);
    }
    return u.append(line).append("\n").append(
        "Exit status: 0 done; 1 the input cannot be used or the output not written; 2 a usage error;\n"
        "3 done, but the recording is cut short (its data chunk claims more than the file holds).\n");
}

std::string ProgressPosition(const TSampleSource& aIn) {
    char where[64];
    if (aIn.TotalFrames() > 0) {
        const double fraction = std::min(1.0, double(aIn.FramesRead()) / double(aIn.TotalFrames()));
        const int filled = int(fraction * 30 + 0.5);
        std::snprintf(where, sizeof where, "[%s%s] %3d%%", std::string(size_t(filled), '#').c_str(),
                      std::string(size_t(30 - filled), '.').c_str(), int(fraction * 100));
    } else {
        std::snprintf(where, sizeof where, "%9.1f s of signal",
                      double(aIn.FramesRead()) / double(aIn.SampleRate()));
    }
    return where;
}

namespace {

void Progress(std::ostream& out, const TSampleSource& in, const TCostasReceiver& rx) {
    const TLoopReadouts r = LoopReadouts(rx);
    const std::string where = ProgressPosition(in);
    char text[200];
    std::snprintf(text, sizeof text, "\r%s  %s  carrier %+7lld Hz  symbol %+5lld Hz ", where.c_str(),
                  rx.State().Locked ? "LOCKED  " : "unlocked", (long long)r.CarrierFreqHz,
                  (long long)r.SymbolOffsetHz);
    out << text << std::flush;
}

} // namespace

namespace {
std::atomic<bool> EndOfInput{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
} // namespace

void RequestEndOfInput() {
    EndOfInput.store(true);
}

THaldrinBatchResult RunHaldrinBatch(const THaldrinBatchOptions& o, std::ostream* aProgress) {
    TSourceOptions so;
    so.Path = o.Input;
    so.Form = o.InputForm;
    so.RateHz = o.RateHz;
    so.SwapIq = o.SwapIq;
    so.Stop = &EndOfInput;
    THaldrinBatchResult result;
    try {
        TSampleSource source(so); // a TInputError is a std::runtime_error naming the file
        result =
            o.Receiver == "precise" ? RunPreciseBatch(source, o, aProgress) : RunModel(source, o, aProgress);
        result.NonFiniteSamples = source.NonFiniteSamples();
        result.Interrupted = source.StopRequested();
    } catch (const TInputInterrupted&) {
        result.NothingCame = "interrupted before anything came on standard input; nothing written";
    }
    return result;
}

THaldrinBatchResult RunModel(TSampleSource& in, const THaldrinBatchOptions& o, std::ostream* aProgress) {
    const auto start = std::chrono::steady_clock::now();
    constexpr int64_t MaxModelRate = 2000000 / 4;
    const bool sampGiven =
        std::any_of(o.Params.begin(), o.Params.end(), [](const auto& p) { return p.first == "Samp"; });
    if (in.SampleRate() > MaxModelRate && !sampGiven)
        throw std::runtime_error(in.Name() + ": " + std::to_string(in.SampleRate()) +
                                 " Hz is above the receiver model's " + std::to_string(MaxModelRate) +
                                 " Hz (Samp, 4 x the input rate, stops at 2000000); resample the recording");

    auto rx = std::make_unique<TCostasReceiver>();
    TakeInputRate(*rx, nullptr, in.SampleRate());
    for (const auto& [name, value] : o.Params)
        FindReceiverParam(name)->Set(*rx, value);
    rx->ComputeWords();

    // An empty pipe is refused like an empty file: before the output exists.
    if (!in.WaitForData()) {
        if (!in.StopRequested()) throw std::runtime_error(in.Name() + " holds no samples");
        THaldrinBatchResult nothing;
        nothing.NothingCame = "interrupted before anything came on " + in.Name() + "; nothing written";
        return nothing;
    }
    TSymbolWriter out;
    if (!out.Open(o.Output)) throw std::runtime_error("cannot create output file " + o.Output);

    TRunLoop loop(*rx, in, out);
    // The display is redrawn ten times a second at most; a terminal cannot show more.
    auto shown = start;
    TRunLoop::TTick tick;
    do {
        tick = loop.Tick();
        if (in.IsStream()) out.Flush();
        if (aProgress) {
            const auto now = std::chrono::steady_clock::now();
            if (now - shown >= std::chrono::milliseconds(100) || tick != TRunLoop::tk_Block) {
                Progress(*aProgress, in, *rx);
                shown = now;
            }
        }
    } while (tick == TRunLoop::tk_Block && !in.StopRequested()); // an interrupt ends a file too
    if (aProgress) *aProgress << "\n";
    out.Close();
    if (out.Failed()) throw std::runtime_error("cannot write output file " + o.Output);

    THaldrinBatchResult r;
    r.Symbols = out.Written();
    r.Frames = loop.FramesProcessed();
    r.LockedFrames = loop.FramesLocked();
    r.ClippedFrames = loop.FramesClipped();
    r.SampleRate = in.SampleRate();
    r.SignalSeconds = double(r.Frames) / double(r.SampleRate);
    r.ElapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.Warning = in.Warning();
    r.Input = in.Name() + ": " + in.Description();
    r.LockedShare = r.Frames ? double(r.LockedFrames) / double(r.Frames) : 0;
    return r;
}

std::string HaldrinBatchSummary(const THaldrinBatchResult& r) {
    char text[512];
    std::string s = r.Input.empty() ? std::string() : r.Input + "\n";
    std::snprintf(text, sizeof text,
                  "receiver %s: %lld symbols written, locked %.1f%% of the time, %.1f s of signal in %.2f s "
                  "(%.1f x real time)\n",
                  r.Receiver.c_str(), (long long)r.Symbols, 100.0 * r.LockedShare, r.SignalSeconds,
                  r.ElapsedSeconds, r.ElapsedSeconds > 0 ? r.SignalSeconds / r.ElapsedSeconds : 0.0);
    s += text;
    if (r.NonFiniteSamples > 0)
        s += "input: " + std::to_string(r.NonFiniteSamples) +
             " sample values were NaN or infinite and were read as 0\n";
    if (r.Interrupted) s += "input ended by an interrupt; what came before it was demodulated\n";
    if (r.HasPreciseReadouts) {
        if (r.LockTimeS >= 0)
            std::snprintf(
                text, sizeof text,
                "first lock after %.2f s; carrier offset %+.1f Hz on average, drift up to %.1f Hz/s; "
                "Es/N0 about %.1f dB\n",
                r.LockTimeS, r.MeanOffsetHz, r.MaxDriftHzPerS, r.SnrDb);
        else
            std::snprintf(text, sizeof text, "never locked\n");
        s += text;
    }
    // A few clamped peaks are harmless; more tell the user the recording is louder than the model
    // takes (8-bit recordings of SDR dongles often are).
    if (r.Frames > 0 && r.ClippedFrames * 100 > r.Frames) {
        std::snprintf(text, sizeof text,
                      "note: %.1f%% of the frames exceed the model's input range (-512..511, 16-bit "
                      "samples / 8) and were clipped\n",
                      100.0 * double(r.ClippedFrames) / double(r.Frames));
        s += text;
    }
    return s;
}
