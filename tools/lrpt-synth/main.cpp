// lrpt-synth: writes a synthetic LRPT recording with its ground truth.
#include "LrptVersion.h"
#include "Synthesizer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace lrptsynth;

namespace {

const char* kHelp = R"(Usage: lrpt-synth [OPTIONS] -o OUTPUT

Makes a synthetic recording of the Meteor-M LRPT downlink from pictures or
built-in test patterns (or from received frames), writes it as a symbol file
(.s 8-bit soft, .raw 3-bit soft, .hard) or as a complex-baseband WAV file, and
writes beside it the ideal decoded picture of every channel and a JSON
manifest of all frames and packets.

Output
  -o, --output FILE         recording to write; its form follows the extension
                            (.s, .raw, .hard, .wav) unless --form is given
  --form s|raw|hard|wav     form of the recording
  --manifest FILE           manifest file (default: OUTPUT.json)
  --truth-prefix PREFIX     ideal pictures are PREFIX.ch<N>.pgm (default: OUTPUT)
  --no-truth                write neither the manifest nor the pictures
  -q, --quiet               print nothing on success

Transmission
  --mode 72k|80k            plain 72 k symbol/s, or interleaved 80 k symbol/s with
                            a unique word before every 72 code values (default 72k)
  --polarity nominal|satellite
                            nominal: pair (G1, G2), bit 1 positive; satellite:
                            pair (G1, NOT G2), bit 1 negative (default nominal)
  --nrzm                    NRZ-M differential encoding (e_k = e_(k-1) XOR b_k)
                            of the whole bit stream, markers included, before
                            the convolutional code (today's satellites)

Pictures (one 8-row scan every 1231.14 ms per channel)
  --channels LIST           channels to send, e.g. 1,2,3 (default 1,2,3; APID 63+n)
  --picture N=FILE          8-bit grey PGM or BMP, 1568 pixels wide, for channel
                            N; channels without one get a test pattern; a short
                            picture repeats downwards
  --scans N                 number of scans (default: the tallest picture, or
                            --duration)
  --duration SECONDS        pass length when no picture sets it (default 60)
  --quality Q               quality factor of every packet, 1..255 (default 80)
  --vary-quality            quality varies by up to +-15 from packet to packet
  --start-time HH:MM:SS[.mmm]
                            time stamp of the first scan (default 10:00:00.000);
                            time stamps wrap at midnight
  --day N                   day field of the packets' secondary header (default 0)
  --no-telemetry            no APID 70 packet per scan
  --telemetry-length N      data bytes of each APID 70 packet (default 64)
  --no-pace                 do not add fill packets to hold the downlink's frame
                            rate (8.79 frames/s); frames then follow back to back
  --first-frame-counter N   counter of the first frame of virtual channel 5 (default 0)
  --first-packet-count N    sequence count of the first packet (default 0)
  --head-frames N           fill frames before the first scan, so that a
                            demodulator locks before the pictures begin (default 0)
  --tail-frames N           fill frames after the pass (default 3 in 72k, 170 in
                            80k, enough to flush the interleaver)
  --from-cadu FILE          send received frames instead of pictures: 1,024-byte
                            records, marker 1ACFFC1D then the 1,020 bytes without
                            the pseudo-random sequence (no ground-truth pictures)

Impairments (decisions follow --seed)
  --drop-packets RATE       chance that a packet is made but never sent
  --drop-frames RATE        chance that a frame is made but never sent
  --flip-bits RATE          chance per bit of the 1,020 coded bytes of a frame
  --other-vc RATE           chance of a frame of another virtual channel before
                            each frame
  --other-vcid N            virtual channel of those frames (default 63)
  --noise-gap START:LENGTH  noise only from START for LENGTH seconds (repeatable)
  --truncate BYTES          cut the recording after BYTES bytes

Channel
  --lead-in SECONDS         noise before the first frame (default 0.25)
  --amplitude A             soft value of a clean code bit, 1..127 (default 70)
  --esn0 DB                 Gaussian noise at this Es/N0 (default: none)
  --rotate DEG              carrier phase rotation 0, 90, 180 or 270 (default 0)
  --swap-iq                 exchange I and Q

WAV (complex baseband, root-raised-cosine pulses)
  --wav-bits 8|16           sample size (default 16); 16-bit frames hold (Q, I),
                            8-bit frames (I, Q) as signed bytes
  --sample-rate HZ          default 196078 (the demodulator's default setting)
  --symbol-rate HZ          default 72000 (72k) or 80000 (80k)
  --carrier-offset HZ       carrier frequency offset (default 0)
  --phase DEG               carrier phase (default 0)
  --level RMS               RMS per branch in sample units (default 1600 for
                            16-bit, 40 for 8-bit)
  --rolloff R               roll-off of the pulses (default 0.6)
  --oqpsk                   offset QPSK: the Q branch delayed by half a symbol

  --seed N                  seed of every random choice (default 1)
  -h, --help                this text

Conventions: symbol files hold every symbol as (Q, I), the demodulator's order;
the decoder exchanges the pair in 72k mode and keeps it in 80k mode, so the first
value of the decoder's pair rides on I in 72k mode and on Q in 80k mode. 80k
branch b (the value's index after the first unique word, mod 36) is delayed by
b x 73,728 values. See tools/lrpt-synth/README.md.

Exit status: 0 on success, 1 on a failure (one line on stderr), 2 on a usage error.
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lrpt-synth %s\n", LRPT_VERSION);
        return 0;
    }
    SynthOptions o;
    std::string output, manifest, truthPrefix, formName;
    bool noTruth = false, quiet = false;
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= args.size()) throw UsageError(a + ": needs a value");
                return args[++i];
            };
            if (a == "-h" || a == "--help") {
                std::fputs(kHelp, stdout);
                return 0;
            } else if (a == "-o" || a == "--output")
                output = value();
            else if (a == "--form")
                formName = value();
            else if (a == "--manifest")
                manifest = value();
            else if (a == "--truth-prefix")
                truthPrefix = value();
            else if (a == "--no-truth")
                noTruth = true;
            else if (a == "-q" || a == "--quiet")
                quiet = true;
            else if (a == "--mode") {
                const auto v = value();
                if (v == "72k" || v == "72K")
                    o.mode = Mode::k72;
                else if (v == "80k" || v == "80K")
                    o.mode = Mode::k80;
                else
                    throw UsageError("--mode: 72k or 80k");
            } else if (a == "--polarity") {
                const auto v = value();
                if (v == "nominal")
                    o.polarity = Polarity::Nominal;
                else if (v == "satellite")
                    o.polarity = Polarity::Satellite;
                else
                    throw UsageError("--polarity: nominal or satellite");
            } else if (a == "--channels") {
                o.channels.clear();
                std::string v = value(), cur;
                v += ',';
                for (char c : v) {
                    if (c == ',') {
                        if (!cur.empty()) o.channels.push_back(static_cast<int>(toInt("--channels", cur)));
                        cur.clear();
                    } else {
                        cur += c;
                    }
                }
            } else if (a == "--picture") {
                const auto v = value();
                const auto eq = v.find('=');
                if (eq == std::string::npos) throw UsageError("--picture: expected N=FILE");
                const long long n = toInt("--picture", v.substr(0, eq));
                if (n < 1 || n > 6) throw UsageError("--picture: channel 1 to 6");
                o.pictures[static_cast<std::size_t>(n - 1)] = readPicture(v.substr(eq + 1));
            } else if (a == "--scans")
                o.scans = static_cast<int>(toInt(a, value()));
            else if (a == "--duration")
                o.durationSeconds = toDouble(a, value());
            else if (a == "--quality")
                o.quality = static_cast<int>(toInt(a, value()));
            else if (a == "--vary-quality")
                o.varyQuality = true;
            else if (a == "--start-time")
                o.startTimeMs = parseTime(value());
            else if (a == "--day")
                o.day = static_cast<std::uint16_t>(toInt(a, value()));
            else if (a == "--no-telemetry")
                o.telemetry = false;
            else if (a == "--telemetry-length")
                o.telemetryLength = static_cast<int>(toInt(a, value()));
            else if (a == "--no-pace")
                o.pace = false;
            else if (a == "--first-frame-counter")
                o.firstFrameCounter = static_cast<std::uint32_t>(toInt(a, value()));
            else if (a == "--first-packet-count")
                o.firstPacketCount = static_cast<int>(toInt(a, value()));
            else if (a == "--tail-frames")
                o.tailFrames = static_cast<int>(toInt(a, value()));
            else if (a == "--head-frames")
                o.headFrames = static_cast<int>(toInt(a, value()));
            else if (a == "--from-cadu")
                o.cadus = readCaduFile(value());
            else if (a == "--drop-packets")
                o.dropPacketRate = toDouble(a, value());
            else if (a == "--drop-frames")
                o.dropFrameRate = toDouble(a, value());
            else if (a == "--flip-bits")
                o.flipBitRate = toDouble(a, value());
            else if (a == "--other-vc")
                o.otherVcRate = toDouble(a, value());
            else if (a == "--other-vcid")
                o.otherVcid = static_cast<int>(toInt(a, value()));
            else if (a == "--noise-gap") {
                const auto v = value();
                const auto c = v.find(':');
                if (c == std::string::npos) throw UsageError("--noise-gap: expected START:LENGTH");
                o.noiseGaps.push_back({toDouble(a, v.substr(0, c)), toDouble(a, v.substr(c + 1))});
            } else if (a == "--truncate")
                o.truncateBytes = toInt(a, value());
            else if (a == "--lead-in")
                o.leadInSeconds = toDouble(a, value());
            else if (a == "--amplitude")
                o.amplitude = toDouble(a, value());
            else if (a == "--esn0")
                o.esn0Db = toDouble(a, value());
            else if (a == "--rotate")
                o.rotationDeg = static_cast<int>(toInt(a, value()));
            else if (a == "--swap-iq")
                o.swapIq = true;
            else if (a == "--nrzm")
                o.nrzm = true;
            else if (a == "--wav-bits")
                o.wavBits = static_cast<int>(toInt(a, value()));
            else if (a == "--sample-rate")
                o.sampleRate = toDouble(a, value());
            else if (a == "--symbol-rate")
                o.symbolRate = toDouble(a, value());
            else if (a == "--carrier-offset")
                o.carrierOffsetHz = toDouble(a, value());
            else if (a == "--phase")
                o.phaseDeg = toDouble(a, value());
            else if (a == "--level")
                o.wavLevel = toDouble(a, value());
            else if (a == "--rolloff")
                o.rolloff = toDouble(a, value());
            else if (a == "--oqpsk")
                o.oqpsk = true;
            else if (a == "--seed")
                o.seed = static_cast<std::uint64_t>(toInt(a, value()));
            else
                throw UsageError("unknown option: " + a);
        }
        if (output.empty()) throw UsageError("no output file given (-o FILE)");
        if (o.rotationDeg < 0 || o.rotationDeg > 270 || o.rotationDeg % 90)
            throw UsageError("--rotate: 0, 90, 180 or 270");
        if (formName.empty()) {
            if (endsWith(output, ".s"))
                formName = "s";
            else if (endsWith(output, ".raw"))
                formName = "raw";
            else if (endsWith(output, ".hard"))
                formName = "hard";
            else if (endsWith(output, ".wav"))
                formName = "wav";
            else
                throw UsageError("cannot tell the form from the name " + output + "; use --form");
        }
        if (formName == "s")
            o.form = OutputForm::Soft8;
        else if (formName == "raw")
            o.form = OutputForm::Soft3;
        else if (formName == "hard")
            o.form = OutputForm::Hard;
        else if (formName == "wav")
            o.form = OutputForm::Wav;
        else
            throw UsageError("--form: s, raw, hard or wav");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "lrpt-synth: %s (see --help)\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lrpt-synth: %s\n", e.what());
        return 1;
    }

    try {
        const auto t0 = std::chrono::steady_clock::now();
        const Recording rec = synthesize(o);
        writeRecordingFiles(rec, output, !noTruth, manifest, truthPrefix);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!quiet) {
            int sent = 0, delivered = 0;
            for (const auto& p : rec.packets) {
                sent += p.sent;
                delivered += p.delivered;
            }
            int framesSent = 0;
            for (const auto& f : rec.frames)
                framesSent += f.sent;
            std::printf("%s: %zu bytes, %.1f s of signal at %.0f symbols/s, %zu frames (%d sent), %zu "
                        "packets (%d sent, "
                        "%d expected whole at the decoder), %d scans; made in %.2f s\n",
                        output.c_str(), rec.bytes.size(), rec.pairs / rec.symbolRate, rec.symbolRate,
                        rec.frames.size(), framesSent, rec.packets.size(), sent, delivered, rec.scans, secs);
            if (!rec.notes.empty()) std::printf("note: %s\n", rec.notes.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lrpt-synth: %s\n", e.what());
        return 1;
    }
    return 0;
}
