#include "CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace lrptsynth {

namespace {

const char* kHead = R"(Usage: lrpt-synth [OPTIONS] -o OUTPUT

Makes a synthetic recording of the Meteor-M LRPT downlink from pictures or
built-in test patterns (or from received frames), writes it as a symbol file
(.s 8-bit soft, .raw 3-bit soft, .hard) or as a complex-baseband WAV file, and
writes beside it the ideal decoded picture of every channel and a JSON
manifest of all frames and packets.
)";

const char* kTail = R"(
Conventions: symbol files hold every symbol as (Q, I), the demodulator's order;
the decoder exchanges the pair in 72k mode and keeps it in 80k mode, so the first
value of the decoder's pair rides on I in 72k mode and on Q in 80k mode. 80k
branch b (the value's index after the first unique word, mod 36) is delayed by
b x 73,728 values. See tools/lrpt-synth/README.md.

Exit status: 0 on success, 1 on a failure (one line on stderr), 2 on a usage error.
)";

constexpr std::size_t kHelpColumn = 28;

double toDouble(const std::string& opt, const std::string& v) {
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0') throw UsageError(opt + ": not a number: " + v);
    return d;
}

long long toInt(const std::string& opt, const std::string& v) {
    char* end = nullptr;
    const long long d = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0') throw UsageError(opt + ": not a whole number: " + v);
    return d;
}

// A colon-separated list of aMin .. aMax numbers.
std::vector<double> numbers(const std::string& opt, const std::string& v, std::size_t aMin,
                            std::size_t aMax) {
    std::vector<double> out;
    std::size_t at = 0;
    while (true) {
        const std::size_t colon = v.find(':', at);
        out.push_back(toDouble(opt, v.substr(at, colon - at)));
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    if (out.size() < aMin || out.size() > aMax)
        throw UsageError(opt + ": expected " + std::to_string(aMin) +
                         (aMax > aMin ? " or " + std::to_string(aMax) : std::string()) +
                         " numbers separated by ':', got " + v);
    return out;
}

std::uint32_t parseTime(const std::string& v) {
    int h = 0, m = 0, s = 0, ms = 0;
    char tail = 0;
    const int n = std::sscanf(v.c_str(), "%d:%d:%d.%d%c", &h, &m, &s, &ms, &tail);
    if (n < 3 || n > 4 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || ms < 0 || ms > 999)
        throw UsageError("--start-time: expected HH:MM:SS[.mmm], got " + v);
    return static_cast<std::uint32_t>(((h * 60 + m) * 60 + s) * 1000 + ms);
}

bool endsWith(const std::string& s, const std::string& e) {
    return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

using Set = std::function<void(CommandLine&, const std::string&)>;

// Setters for the common shapes of option: a number into a field, a switch.
template <class T> Set integer(const char* opt, T SynthOptions::*field) {
    return [opt, field](CommandLine& c, const std::string& v) {
        c.options.*field = static_cast<T>(toInt(opt, v));
    };
}
Set real(const char* opt, double SynthOptions::*field) {
    return [opt, field](CommandLine& c, const std::string& v) { c.options.*field = toDouble(opt, v); };
}
Set flag(bool SynthOptions::*field, bool value = true) {
    return [field, value](CommandLine& c, const std::string&) { c.options.*field = value; };
}

std::vector<OptionGroup> makeTable() {
    return {
        {"Output",
         {
             {"-o, --output", "FILE",
              "recording to write; its form follows the extension\n(.s, .raw, .hard, .wav, .cu8, .cs8, "
              ".cs16, .cf32)\nunless "
              "--form is given",
              [](CommandLine& c, const std::string& v) { c.output = v; }},
             {"--form", "s|raw|hard|wav|cu8|cs8|cs16|cf32", "form of the recording",
              [](CommandLine& c, const std::string& v) { c.formName = v; }},
             {"--manifest", "FILE", "manifest file (default: OUTPUT.json)",
              [](CommandLine& c, const std::string& v) { c.manifest = v; }},
             {"--truth-prefix", "PREFIX", "ideal pictures are PREFIX.ch<N>.pgm (default: OUTPUT)",
              [](CommandLine& c, const std::string& v) { c.truthPrefix = v; }},
             {"--no-truth", "", "write neither the manifest nor the pictures",
              [](CommandLine& c, const std::string&) { c.noTruth = true; }},
             {"-q, --quiet", "", "print nothing on success",
              [](CommandLine& c, const std::string&) { c.quiet = true; }},
         }},
        {"Transmission",
         {
             {"--mode", "72k|80k",
              "plain 72 k symbol/s, or interleaved 80 k symbol/s with\na unique word before every 72 code "
              "values "
              "(default 72k)",
              [](CommandLine& c, const std::string& v) {
                  if (v == "72k" || v == "72K")
                      c.options.mode = Mode::k72;
                  else if (v == "80k" || v == "80K")
                      c.options.mode = Mode::k80;
                  else
                      throw UsageError("--mode: 72k or 80k");
              }},
             {"--polarity", "nominal|satellite",
              "nominal: pair (G1, G2), bit 1 positive; satellite:\npair (G1, NOT G2), bit 1 negative "
              "(default "
              "nominal)",
              [](CommandLine& c, const std::string& v) {
                  if (v == "nominal")
                      c.options.polarity = Polarity::Nominal;
                  else if (v == "satellite")
                      c.options.polarity = Polarity::Satellite;
                  else
                      throw UsageError("--polarity: nominal or satellite");
              }},
             {"--nrzm", "",
              "NRZ-M differential encoding (e_k = e_(k-1) XOR b_k)\nof the whole bit stream, markers "
              "included, "
              "before\nthe convolutional code (today's satellites)",
              flag(&SynthOptions::nrzm)},
         }},
        {"Pictures (one 8-row scan every 1231.14 ms per channel)",
         {
             {"--channels", "LIST", "channels to send, e.g. 1,2,3 (default 1,2,3; APID 63+n)",
              [](CommandLine& c, const std::string& value) {
                  c.options.channels.clear();
                  std::string v = value, cur;
                  v += ',';
                  for (char ch : v) {
                      if (ch == ',') {
                          if (!cur.empty())
                              c.options.channels.push_back(static_cast<int>(toInt("--channels", cur)));
                          cur.clear();
                      } else {
                          cur += ch;
                      }
                  }
              }},
             {"--picture", "N=FILE",
              "8-bit grey PGM or BMP, 1568 pixels wide, for channel\nN; channels without one get a test "
              "pattern; a "
              "short\npicture repeats downwards",
              [](CommandLine& c, const std::string& v) {
                  const auto eq = v.find('=');
                  if (eq == std::string::npos) throw UsageError("--picture: expected N=FILE");
                  const long long n = toInt("--picture", v.substr(0, eq));
                  if (n < 1 || n > 6) throw UsageError("--picture: channel 1 to 6");
                  c.options.pictures[static_cast<std::size_t>(n - 1)] = readPicture(v.substr(eq + 1));
              }},
             {"--scans", "N", "number of scans (default: the tallest picture, or\n--duration)",
              integer("--scans", &SynthOptions::scans)},
             {"--duration", "SECONDS", "pass length when no picture sets it (default 60)",
              real("--duration", &SynthOptions::durationSeconds)},
             {"--quality", "Q", "quality factor of every packet, 1..255 (default 80)",
              integer("--quality", &SynthOptions::quality)},
             {"--vary-quality", "", "quality varies by up to +-15 from packet to packet",
              flag(&SynthOptions::varyQuality)},
             {"--start-time", "HH:MM:SS[.mmm]",
              "time stamp of the first scan (default 10:00:00.000);\ntime stamps wrap at midnight",
              [](CommandLine& c, const std::string& v) { c.options.startTimeMs = parseTime(v); }},
             {"--day", "N", "day field of the packets' secondary header (default 0)",
              integer("--day", &SynthOptions::day)},
             {"--no-telemetry", "", "no APID 70 packet per scan", flag(&SynthOptions::telemetry, false)},
             {"--telemetry-length", "N", "data bytes of each APID 70 packet (default 64)",
              integer("--telemetry-length", &SynthOptions::telemetryLength)},
             {"--no-pace", "",
              "do not add fill packets to hold the downlink's frame\nrate (8.79 frames/s); frames then "
              "follow back "
              "to back",
              flag(&SynthOptions::pace, false)},
             {"--first-frame-counter", "N", "counter of the first frame of virtual channel 5 (default 0)",
              integer("--first-frame-counter", &SynthOptions::firstFrameCounter)},
             {"--first-packet-count", "N", "sequence count of the first packet (default 0)",
              integer("--first-packet-count", &SynthOptions::firstPacketCount)},
             {"--head-frames", "N",
              "fill frames before the first scan, so that a\ndemodulator locks before the pictures begin "
              "(default "
              "0)",
              integer("--head-frames", &SynthOptions::headFrames)},
             {"--tail-frames", "N",
              "fill frames after the pass (default 3 in 72k, 170 in\n80k, enough to flush the interleaver)",
              integer("--tail-frames", &SynthOptions::tailFrames)},
             {"--from-cadu", "FILE",
              "send received frames instead of pictures: 1,024-byte\nrecords, marker 1ACFFC1D then the 1,020 "
              "bytes "
              "without\nthe pseudo-random sequence (no ground-truth pictures)",
              [](CommandLine& c, const std::string& v) { c.options.cadus = readCaduFile(v); }},
             {"--time-shift", "SECONDS",
              "with --from-cadu: move every image packet's time\nstamp (and the day across midnight) by "
              "SECONDS\nand remake the check bytes of the frames touched",
              real("--time-shift", &SynthOptions::timeShiftS)},
         }},
        {"Impairments (decisions follow --seed)",
         {
             {"--drop-packets", "RATE", "chance that a packet is made but never sent",
              real("--drop-packets", &SynthOptions::dropPacketRate)},
             {"--drop-frames", "RATE", "chance that a frame is made but never sent",
              real("--drop-frames", &SynthOptions::dropFrameRate)},
             {"--flip-bits", "RATE", "chance per bit of the 1,020 coded bytes of a frame",
              real("--flip-bits", &SynthOptions::flipBitRate)},
             {"--other-vc", "RATE", "chance of a frame of another virtual channel before\neach frame",
              real("--other-vc", &SynthOptions::otherVcRate)},
             {"--other-vcid", "N", "virtual channel of those frames (default 63)",
              integer("--other-vcid", &SynthOptions::otherVcid)},
             {"--noise-gap", "START:LENGTH", "noise only from START for LENGTH seconds (repeatable)",
              [](CommandLine& c, const std::string& v) {
                  const auto colon = v.find(':');
                  if (colon == std::string::npos) throw UsageError("--noise-gap: expected START:LENGTH");
                  c.options.noiseGaps.push_back({toDouble("--noise-gap", v.substr(0, colon)),
                                                 toDouble("--noise-gap", v.substr(colon + 1))});
              }},
             {"--slip", "SECONDS:KIND",
              "the receiver slips at SECONDS: drop (a symbol lost), double\n(a symbol twice) or flip (every "
              "symbol on turned by a\nhalf turn) (repeatable)",
              [](CommandLine& c, const std::string& v) {
                  const auto colon = v.find(':');
                  if (colon == std::string::npos) throw UsageError("--slip: expected SECONDS:KIND");
                  const std::string kind = v.substr(colon + 1);
                  SlipKind k = SlipKind::Drop;
                  if (kind == "double")
                      k = SlipKind::Double;
                  else if (kind == "flip")
                      k = SlipKind::Flip;
                  else if (kind != "drop")
                      throw UsageError("--slip: KIND is drop, double or flip");
                  c.options.slips.push_back({toDouble("--slip", v.substr(0, colon)), k});
              }},
             {"--truncate", "BYTES", "cut the recording after BYTES bytes",
              integer("--truncate", &SynthOptions::truncateBytes)},
         }},
        {"Channel",
         {
             {"--lead-in", "SECONDS", "noise before the first frame (default 0.25)",
              real("--lead-in", &SynthOptions::leadInSeconds)},
             {"--amplitude", "A", "soft value of a clean code bit, 1..127 (default 70)",
              real("--amplitude", &SynthOptions::amplitude)},
             {"--esn0", "DB", "Gaussian noise at this Es/N0 (default: none)",
              [](CommandLine& c, const std::string& v) { c.options.esn0Db = toDouble("--esn0", v); }},
             {"--rotate", "DEG", "carrier phase rotation 0, 90, 180 or 270 (default 0)",
              integer("--rotate", &SynthOptions::rotationDeg)},
             {"--swap-iq", "", "exchange I and Q", flag(&SynthOptions::swapIq)},
         }},
        {"WAV and headerless I/Q (complex baseband, root-raised-cosine pulses)",
         {
             {"--wav-bits", "8|16",
              "sample size (default 16); frames hold (Q, I), 8-bit\nsamples unsigned with zero at 128",
              integer("--wav-bits", &SynthOptions::wavBits)},
             {"--wav-format", "u8|s16|s24|s32|f32|f64",
              "WAV sample encoding (instead of --wav-bits): 8-bit\nunsigned, 16-, 24-, 32-bit integer, 32-, "
              "64-bit "
              "float.\nHeaderless forms take theirs from the name: .cu8\nunsigned 8-bit (rtl_sdr), .cs8, "
              ".cs16 "
              "signed, .cf32\nfloat; frames (Q, I) in all; up to 4 GiB",
              [](CommandLine& c, const std::string& v) {
                  const std::map<std::string, SampleFormat> names = {
                      {"u8", SampleFormat::U8},   {"s16", SampleFormat::S16}, {"s24", SampleFormat::S24},
                      {"s32", SampleFormat::S32}, {"f32", SampleFormat::F32}, {"f64", SampleFormat::F64}};
                  const auto f = names.find(v);
                  if (f == names.end()) throw UsageError("--wav-format: u8, s16, s24, s32, f32 or f64");
                  c.options.sampleFormat = f->second;
                  c.wavFormatGiven = true;
              }},
             {"--sample-rate", "HZ", "default 196078 (the demodulator's default setting);\nup to 100 MHz",
              real("--sample-rate", &SynthOptions::sampleRate)},
             {"--symbol-rate", "HZ", "default 72000 (72k) or 80000 (80k)",
              real("--symbol-rate", &SynthOptions::symbolRate)},
             {"--carrier-offset", "HZ", "carrier frequency offset (default 0)",
              real("--carrier-offset", &SynthOptions::carrierOffsetHz)},
             {"--drift", "HZ_PER_S",
              "carrier drift: the offset grows by this much every\nsecond from the start, phase-continuously "
              "(default 0)",
              real("--drift", &SynthOptions::driftHzPerS)},
             {"--phase", "DEG", "carrier phase (default 0)", real("--phase", &SynthOptions::phaseDeg)},
             {"--level", "RMS",
              "RMS per branch in sample units, full scale 1 for\nfloats (default 1600/32768 of full scale: "
              "1600 "
              "for\n16-bit, 6.25 for 8-bit)",
              real("--level", &SynthOptions::wavLevel)},
             {"--rolloff", "R", "roll-off of the pulses (default 0.6)",
              real("--rolloff", &SynthOptions::rolloff)},
             {"--oqpsk", "", "offset QPSK: the Q branch delayed by half a symbol",
              flag(&SynthOptions::oqpsk)},
         }},
        {"Receiver spoilers (complex baseband only)",
         {
             {"--spur", "OFFSET_HZ:POWER_DB[:DRIFT_HZ_PER_S]",
              "an unmodulated line OFFSET_HZ from the signal's\ncarrier (at the start), POWER_DB over "
              "the signal's\npower, drifting on its own (repeatable)",
              [](CommandLine& c, const std::string& v) {
                  const std::vector<double> f = numbers("--spur", v, 2, 3);
                  c.options.spurs.push_back({f[0], f[1], f.size() > 2 ? f[2] : 0.0});
              }},
             {"--echo", "DELAY_US:GAIN_DB[:PHASE_DEG]",
              "a second path (ground reflection): the signal again,\nDELAY_US later, GAIN_DB (below 0) "
              "weaker, turned\nby PHASE_DEG",
              [](CommandLine& c, const std::string& v) {
                  const std::vector<double> f = numbers("--echo", v, 2, 3);
                  c.options.echo = Echo{f[0], f[1], f.size() > 2 ? f[2] : 0.0};
              }},
             {"--phase-noise", "HZ", "carrier phase noise: a random walk of this linewidth",
              real("--phase-noise", &SynthOptions::phaseNoiseHz)},
             {"--clock-ppm", "PPM",
              "the recorder's sample clock runs PPM fast (negative:\nslow); the file states "
              "--sample-rate. A tuner on\nthe same crystal is off by PPM x 137.9 Hz too: give\nthat "
              "with --carrier-offset",
              real("--clock-ppm", &SynthOptions::clockPpm)},
             {"--iq-imbalance", "GAIN_DB:PHASE_DEG",
              "the recorder's Q branch GAIN_DB stronger than I, its\naxis PHASE_DEG from a right angle",
              [](CommandLine& c, const std::string& v) {
                  const std::vector<double> f = numbers("--iq-imbalance", v, 2, 2);
                  c.options.iqGainDb = f[0];
                  c.options.iqPhaseDeg = f[1];
              }},
             {"--dc-offset", "I:Q",
              "added to every sample after the noise, in units of\nthe signal's RMS per branch",
              [](CommandLine& c, const std::string& v) {
                  const std::vector<double> f = numbers("--dc-offset", v, 2, 2);
                  c.options.dcI = f[0];
                  c.options.dcQ = f[1];
              }},
         }},
        {"",
         {
             {"--seed", "N", "seed of every random choice (default 1)",
              integer("--seed", &SynthOptions::seed)},
             {"-h, --help", "", "this text", [](CommandLine& c, const std::string&) { c.help = true; }},
         }},
    };
}

} // namespace

const std::vector<OptionGroup>& optionTable() {
    static const std::vector<OptionGroup> table = makeTable();
    return table;
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    std::map<std::string, const OptionEntry*> byName;
    for (const OptionGroup& g : optionTable())
        for (const OptionEntry& e : g.entries) {
            std::size_t at = 0;
            while (at < e.names.size()) {
                const std::size_t comma = e.names.find(", ", at);
                byName[e.names.substr(at, comma - at)] = &e;
                at = comma == std::string::npos ? e.names.size() : comma + 2;
            }
        }

    CommandLine c;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto found = byName.find(a);
        if (found == byName.end()) throw UsageError("unknown option: " + a);
        const OptionEntry& e = *found->second;
        std::string value;
        if (!e.argument.empty()) {
            if (i + 1 >= args.size()) throw UsageError(a + ": needs a value");
            value = args[++i];
        }
        e.set(c, value);
        if (c.help) return c;
    }

    if (c.output.empty()) throw UsageError("no output file given (-o FILE)");
    SynthOptions& o = c.options;
    if (o.rotationDeg < 0 || o.rotationDeg > 270 || o.rotationDeg % 90)
        throw UsageError("--rotate: 0, 90, 180 or 270");
    if (c.formName.empty()) {
        for (const char* form : {"s", "raw", "hard", "wav", "cu8", "cs8", "cs16", "cf32"})
            if (c.formName.empty() && endsWith(c.output, std::string(".").append(form)))
                c.formName.assign(form);
        if (c.formName.empty())
            throw UsageError("cannot tell the form from the name " + c.output + "; use --form");
    }
    const std::map<std::string, std::pair<OutputForm, SampleFormat>> forms = {
        {"s", {OutputForm::Soft8, SampleFormat::Auto}},   {"raw", {OutputForm::Soft3, SampleFormat::Auto}},
        {"hard", {OutputForm::Hard, SampleFormat::Auto}}, {"wav", {OutputForm::Wav, SampleFormat::Auto}},
        {"cu8", {OutputForm::Iq, SampleFormat::U8}},      {"cs8", {OutputForm::Iq, SampleFormat::S8}},
        {"cs16", {OutputForm::Iq, SampleFormat::S16}},    {"cf32", {OutputForm::Iq, SampleFormat::F32}}};
    const auto form = forms.find(c.formName);
    if (form == forms.end()) throw UsageError("--form: s, raw, hard, wav, cu8, cs8, cs16 or cf32");
    o.form = form->second.first;
    if (o.form == OutputForm::Iq) {
        if (c.wavFormatGiven)
            throw UsageError("--wav-format: a headerless form takes its encoding from its name");
        o.sampleFormat = form->second.second;
    }
    return c;
}

std::string helpText() {
    std::string text = kHead;
    for (const OptionGroup& g : optionTable()) {
        text += "\n";
        if (!g.title.empty()) text.append(g.title).append("\n");
        for (const OptionEntry& e : g.entries) {
            std::string left(2, ' ');
            left.append(e.names);
            if (!e.argument.empty()) left.append(" ").append(e.argument);
            const std::string indent(kHelpColumn, ' ');
            text.append(left);
            if (left.size() + 2 <= kHelpColumn)
                text.append(kHelpColumn - left.size(), ' ');
            else
                text.append("\n").append(indent);
            for (char ch : e.help) {
                text += ch;
                if (ch == '\n') text += indent;
            }
            text += "\n";
        }
    }
    return text + kTail;
}

} // namespace lrptsynth
