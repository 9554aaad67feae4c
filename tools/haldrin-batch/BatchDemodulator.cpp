#include "BatchDemodulator.h"
#include "PreciseRun.h"

#include "app/ReceiverControls.h"
#include "app/RunLoop.h"
#include "app/SymbolWriter.h"
#include "app/WavInput.h"
#include "core/CostasReceiver.h"
#include "core/ReceiverReadouts.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

THaldrinBatchOptions ParseHaldrinBatchArguments(const std::vector<std::string>& aArgs) {
    THaldrinBatchOptions o;
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
    if (files.size() != 2) throw std::invalid_argument("expected IN.wav and OUT.raw");
    o.Input = files[0];
    o.Output = files[1];
    return o;
}

std::string HaldrinBatchUsage() {
    std::string u =
        "usage: haldrin-batch [--receiver precise|model] [--oqpsk] [--symbol-rate HZ] [--param NAME=VALUE "
        "...]\n"
        "                     [-q] IN.wav OUT\n"
        "Demodulates complex baseband (a WAV file of 2, 4, 6 or 8 bytes per frame).\n"
        "--receiver precise (the default): the floating-point receiver; OUT's extension gives the form of\n"
        "  the symbol file: .raw 3-bit soft, anything else (.s) 8-bit soft pairs. --symbol-rate (72000)\n"
        "  sets its symbol rate.\n"
        "--receiver model: the fixed-point receiver model at its default settings; one 3-bit soft byte per\n"
        "  symbol. The internal sample rate Samp is 4 x the WAV rate unless given.\n"
        "--oqpsk: offset QPSK (N2-3, N2-4), for either receiver (the model's Oqpsk).\n"
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

namespace {

void Progress(std::ostream& out, const TWavInput& in, const TCostasReceiver& rx) {
    const double fraction = in.FileSize() > 0 ? double(in.Position()) / double(in.FileSize()) : 1.0;
    const int filled = int(fraction * 30 + 0.5);
    const TLoopReadouts r = LoopReadouts(rx);
    char text[160];
    std::snprintf(text, sizeof text, "\r[%s%s] %3d%%  %s  carrier %+7lld Hz  symbol %+5lld Hz ",
                  std::string(size_t(filled), '#').c_str(), std::string(size_t(30 - filled), '.').c_str(),
                  int(fraction * 100), rx.State().Locked ? "LOCKED  " : "unlocked",
                  (long long)r.CarrierFreqHz, (long long)r.SymbolOffsetHz);
    out << text << std::flush;
}

} // namespace

THaldrinBatchResult RunHaldrinBatch(const THaldrinBatchOptions& o, std::ostream* aProgress) {
    const auto start = std::chrono::steady_clock::now();
    std::error_code error;
    if (std::filesystem::is_directory(o.Input, error))
        throw std::runtime_error("cannot read " + o.Input + ": it is a folder, not a WAV file");
    TWavInput in;
    if (!in.Open(o.Input)) throw std::runtime_error("cannot open input file " + o.Input);
    if (in.FileSize() == 0) throw std::runtime_error(o.Input + " is empty");
    if (!in.Readable()) throw std::runtime_error(o.Input + ": " + in.Problem());
    // A recording cut short keeps the length of the whole data chunk in its header: demodulate
    // what is there and say so.
    std::string warning;
    {
        uint8_t length[4] = {};
        in.SeekTo(in.DataOffset() - 4);
        if (std::fread(length, 1, 4, in.Handle()) == 4) {
            const int64_t declared = int64_t{length[0]} | int64_t{length[1]} << 8 | int64_t{length[2]} << 16 |
                                     int64_t{length[3]} << 24;
            const int64_t present = in.FileSize() - in.DataOffset();
            if (declared > present)
                warning = o.Input + ": the data chunk claims " + std::to_string(declared) +
                          " bytes but the file holds " + std::to_string(present) +
                          "; the recording is cut short, demodulated what is there";
        }
        in.SeekTo(in.DataOffset());
    }

    if (o.Receiver == "precise") {
        THaldrinBatchResult r = RunPreciseBatch(o, in, start, aProgress);
        r.Warning = warning;
        return r;
    }

    auto rx = std::make_unique<TCostasReceiver>();
    TakeInputRate(*rx, nullptr, in.Format());
    for (const auto& [name, value] : o.Params)
        FindReceiverParam(name)->Set(*rx, value);
    rx->ComputeWords();

    TSymbolWriter out;
    if (!out.Open(o.Output)) throw std::runtime_error("cannot create output file " + o.Output);

    TRunLoop loop(*rx, in, out);
    // The display is redrawn ten times a second at most; a terminal cannot show more.
    auto shown = start;
    TRunLoop::TTick tick;
    do {
        tick = loop.Tick();
        if (aProgress) {
            const auto now = std::chrono::steady_clock::now();
            if (now - shown >= std::chrono::milliseconds(100) || tick != TRunLoop::tk_Block) {
                Progress(*aProgress, in, *rx);
                shown = now;
            }
        }
    } while (tick == TRunLoop::tk_Block);
    if (aProgress) *aProgress << "\n";
    out.Close();
    if (out.Failed()) throw std::runtime_error("cannot write output file " + o.Output);

    THaldrinBatchResult r;
    r.Symbols = out.Written();
    r.Frames = loop.FramesProcessed();
    r.LockedFrames = loop.FramesLocked();
    r.SampleRate = in.Format().SampleRate;
    r.SignalSeconds = double(r.Frames) / double(r.SampleRate);
    r.ElapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.Warning = warning;
    r.LockedShare = r.Frames ? double(r.LockedFrames) / double(r.Frames) : 0;
    return r;
}

std::string HaldrinBatchSummary(const THaldrinBatchResult& r) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "receiver %s: %lld symbols written, locked %.1f%% of the time, %.1f s of signal in %.2f s "
                  "(%.1f x real time)\n",
                  r.Receiver.c_str(), (long long)r.Symbols, 100.0 * r.LockedShare, r.SignalSeconds,
                  r.ElapsedSeconds, r.ElapsedSeconds > 0 ? r.SignalSeconds / r.ElapsedSeconds : 0.0);
    std::string s = text;
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
    return s;
}
