#include "DecodeOptions.h"

#include <cmath>
#include <ctime>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

std::string DecodeUsage() {
    // clang-format off
    return
        "usage: lrpt-decode [--oqpsk | --qpsk] [--72k | --80k] [--diff | --no-diff] [--swap-iq]\n"
        "                   [--input-format FMT] [--rate HZ] [--keep-symbols FILE] [--out DIR]\n"
        "                   [--live-every S] [-q] INPUT\n"
        "\n"
        "Turns a recording of an LRPT pass into pictures in one run: demodulation and decoding run\n"
        "side by side, and how the pass was sent is found from the recording itself.\n"
        "\n"
        "INPUT: complex baseband, I first as SDR programs record it: a WAV, RF64 or W64 file of two\n"
        "channels (PCM 8-bit unsigned, 16-, 24-, 32-bit integer, 32- or 64-bit float) or headerless\n"
        "I/Q by extension .cu8 .cs8 .cs16 .cf32; - reads standard input (needs --input-format, and\n"
        "--rate for headerless forms) and writes the pictures as the pass goes on. A symbol file\n"
        "(.s 8-bit soft, .raw 3-bit soft, .hard) is decoded directly, its mode and NRZ-M found the\n"
        "same way.\n"
        "\n"
        "Found unless forced:\n"
        "  --oqpsk, --qpsk     offset QPSK (N2-3, N2-4) or plain QPSK\n"
        "  --72k, --80k        72,000 symbols/s (plain mode) or 80,000 (interleaved mode)\n"
        "  --diff, --no-diff   NRZ-M (differentially encoded) bit stream or not\n"
        "  --swap-iq           the first channel of each frame holds Q (the decoder also copes with\n"
        "                      a mirrored spectrum by itself; the summary says which order it saw)\n"
        "Input:\n"
        "  --input-format FMT  wav, cu8 (rtl_sdr), cs8, cs16 or cf32, whatever the name says\n"
        "  --rate HZ           sample rate (8 kHz .. 20 MHz); required for headerless input,\n"
        "                      replaces a WAV header's\n"
        "Output:\n"
        "  --out DIR           the folder for every output; default: beside the input, its name\n"
        "                      without the extension and \"-decoded\" (pass.wav -> pass-decoded/);\n"
        "                      for standard input lrpt-live-YYYYMMDD-HHMMSS/ (UTC) here\n"
        "  --keep-symbols FILE also write the demodulated symbols, in the form FILE's extension\n"
        "                      names (.raw 3-bit soft, .hard hard decisions, anything else .s\n"
        "                      8-bit soft pairs)\n"
        "  --live-every S      standard input: rewrite the pictures every S seconds (default 5)\n"
        "  -q, --quiet         no progress display and no summary\n"
        "  -h, --help          this text; --version: the version\n" +
        MapOptionsUsage() +
        "\n"
        "Writes in DIR, named after the input without its extension (\"live\" for standard input):\n"
        "the channel pictures .64.png/.64.bmp ... .69.png/.69.bmp (channels without data are left\n"
        "out), rectified to equal ground distance .64.rect.png ..., the composites the channels\n"
        "allow (.rgb123, .rgb221, .ir; .png and .rect.png), the RGB composite of channels 1, 2, 3\n"
        ".bmp with .bmp.stat, .vcdu, .70 (72k), the stage logs, and pass.json: what was found (and\n"
        "what was forced), the scans' start and end times (UTC, with the date when the packets or\n"
        "--date give it), frames, packets per channel,\n"
        "Reed-Solomon corrections and failures, the receiver's lock time, carrier offset and drift,\n"
        "Es/N0, seconds of recording and the files written. From standard input the channel\n"
        "pictures and composites are rewritten while the pass goes on, each replaced at once\n"
        "(written beside it and renamed), never seen half written. With --tle also the maps\n"
        "(.rgb123.map.tif/.map.png ..., .64.map.tif/.map.png ..., .64.gcp.tif ...) and pass.json's\n"
        "\"geolocation\": satellite, element set age, UTC start and end, direction, corners, track,\n"
        "the fit to the coastlines and the map files.\n"
        "\n"
        "Exit status: 0 done; 1 the input cannot be used or an output not written; 2 a usage\n"
        "error; 3 no transfer frame found (with a line saying what was tried).\n";
    // clang-format on
}

bool IsSymbolFile(const std::string& aPath) {
    if (aPath == "-") return false;
    const std::string ext = fs::path(aPath).extension().string();
    return ext == ".s" || ext == ".raw" || ext == ".hard";
}

std::string OutputStemName(const std::string& aInput) {
    if (aInput == "-") return "live";
    const std::string stem = fs::path(aInput).stem().string();
    return stem.empty() || stem == "." || stem == ".." ? "pass" : stem;
}

std::string DefaultOutDir(const std::string& aInput) {
    if (aInput == "-") {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char name[64];
        std::strftime(name, sizeof name, "lrpt-live-%Y%m%d-%H%M%S", &utc);
        return name;
    }
    const fs::path input(aInput);
    return (input.parent_path() / (OutputStemName(aInput) + "-decoded")).string();
}

TDecodeOptions ParseDecodeArguments(const std::vector<std::string>& aArgs) {
    TDecodeOptions o;
    bool formGiven = false, rateGiven = false;
    auto once = [](auto& aField, auto aValue, const std::string& aName, const char* aOther) {
        if (aField && *aField != aValue) throw std::invalid_argument(aName + " contradicts " + aOther);
        aField = aValue;
    };
    for (size_t i = 0; i < aArgs.size(); ++i) {
        const std::string& a = aArgs[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= aArgs.size()) throw std::invalid_argument(a + " needs a value");
            return aArgs[++i];
        };
        if (a == "--oqpsk") {
            once(o.Oqpsk, true, a, "--qpsk");
        } else if (a == "--qpsk") {
            once(o.Oqpsk, false, a, "--oqpsk");
        } else if (a == "--72k") {
            once(o.Mode, TLrptMode::lm72k, a, "--80k");
        } else if (a == "--80k") {
            once(o.Mode, TLrptMode::lm80k, a, "--72k");
        } else if (a == "--diff") {
            once(o.Nrzm, true, a, "--no-diff");
        } else if (a == "--no-diff") {
            once(o.Nrzm, false, a, "--diff");
        } else if (a == "--swap-iq") {
            o.SwapIq = true;
        } else if (a == "--input-format") {
            const std::string& v = value();
            const auto form = ParseInputForm(v);
            if (!form)
                throw std::invalid_argument("--input-format: wav, cu8, cs8, cs16 or cf32, got \"" + v + "\"");
            o.InputForm = *form;
            formGiven = true;
        } else if (a == "--rate") {
            const std::string& v = value();
            const auto hz = ParseRateHz(v);
            if (!hz) throw std::invalid_argument("--rate needs a whole number of Hz, got \"" + v + "\"");
            o.RateHz = *hz;
            rateGiven = true;
        } else if (a == "--keep-symbols") {
            o.KeepSymbols = value();
            if (o.KeepSymbols.empty() || o.KeepSymbols == "-")
                throw std::invalid_argument("--keep-symbols needs a file name");
        } else if (a == "--live-every") {
            const std::string& v = value();
            size_t used = 0;
            try {
                o.LiveSeconds = std::stod(v, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != v.size() || !(o.LiveSeconds >= 0.1 && o.LiveSeconds <= 3600))
                throw std::invalid_argument("--live-every needs seconds in 0.1..3600, got \"" + v + "\"");
        } else if (a == "--out") {
            o.OutDir = value();
            if (o.OutDir.empty()) throw std::invalid_argument("--out needs a folder");
        } else if (a == "-q" || a == "--quiet") {
            o.Quiet = true;
        } else if (a == "-h" || a == "--help") {
            o.Help = true;
        } else if (ParseMapOption(aArgs, i, o.Maps)) {
            // read into o.Maps
        } else if (a.size() > 1 && a[0] == '-') {
            throw std::invalid_argument("unknown option " + a);
        } else if (o.Input.empty()) {
            o.Input = a;
            if (a.empty()) throw std::invalid_argument("an empty input name");
        } else {
            throw std::invalid_argument("only one input, please (" + a + ")");
        }
    }
    if (o.Help) return o;
    if (o.Input.empty()) throw std::invalid_argument("no input given");
    CheckMapOptions(o.Maps);
    if (IsSymbolFile(o.Input)) {
        // A symbol file was demodulated already: only the decoder's choices apply.
        for (const auto& [given, name] :
             {std::pair{o.Oqpsk.has_value(), "--oqpsk/--qpsk"}, std::pair{o.SwapIq, "--swap-iq"},
              std::pair{formGiven, "--input-format"}, std::pair{rateGiven, "--rate"},
              std::pair{!o.KeepSymbols.empty(), "--keep-symbols"}})
            if (given)
                throw std::invalid_argument(std::string(name) +
                                            " applies to a recording, not to the symbol file \"" + o.Input +
                                            "\"");
    }
    if (o.Input == "-" && !formGiven)
        throw std::invalid_argument("standard input needs --input-format (wav, cu8, cs8, cs16 or cf32)");
    return o;
}
