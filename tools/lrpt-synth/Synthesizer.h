// Builds a complete synthetic recording of the downlink in memory: pictures
// (or test patterns) -> image packets -> M_PDU transfer frames -> Reed-Solomon,
// pseudo-random sequence, marker -> convolutional code -> (80 k) interleaver
// and unique words -> QPSK channel -> symbol file bytes or a WAV file, plus
// the ground truth (ideal pictures, frames, packets, what was lost).
#pragma once

#include "Picture.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lrptsynth {

enum class Mode { k72, k80 };
// Nominal: the pair the decoder's chain receives is (G1, G2), bit 1 positive.
// Satellite: (G1, NOT G2), bit 1 negative, as the satellites send it.
enum class Polarity { Nominal, Satellite };
// Wav and Iq are complex baseband: a WAV file (RIFF, or RF64 beyond 4 GiB) or headerless
// interleaved samples (.cu8 .cs8 .cs16 .cf32, as SDR programs write them).
enum class OutputForm { Soft8, Soft3, Hard, Wav, Iq };
inline bool isBaseband(OutputForm f) {
    return f == OutputForm::Wav || f == OutputForm::Iq;
}
// Sample encoding of complex baseband. WAV takes U8 (unsigned, zero at 128, as WAV defines it),
// S16, S24, S32, F32, F64; headerless I/Q takes U8 (cu8), S8 (cs8), S16 (cs16), F32 (cf32).
// Auto: from wavBits (8: U8, 16: S16) for WAV, S16 for headerless.
enum class SampleFormat { Auto, U8, S8, S16, S24, S32, F32, F64 };

struct NoiseGap {
    double startSeconds = 0; // from the start of the recording
    double lengthSeconds = 0;
};

// A slip of the receiver at a fade: one symbol lost (Drop) or delivered twice (Double), or the
// sign of every symbol from there on turned (Flip: a half turn of the carrier phase).
enum class SlipKind { Drop, Double, Flip };
struct Slip {
    double atSeconds = 0; // from the start of the recording; the symbol sent then
    SlipKind kind = SlipKind::Drop;
};

// A narrowband line added to a baseband recording (an SDR's own spur, a nearby unmodulated carrier).
struct Spur {
    double offsetHz = 0;    // from the signal's carrier at the start (--carrier-offset), Hz
    double powerDb = 0;     // relative to the signal's power
    double driftHzPerS = 0; // its own drift, phase-continuous, independent of the signal's
};

// A second path of the signal (a ground reflection): a delayed, weaker copy of the transmission.
struct Echo {
    double delayUs = 0; // after the direct path
    double gainDb = -6; // relative to the direct path, below 0
    double phaseDeg = 0;
};

struct SynthOptions {
    Mode mode = Mode::k72;
    Polarity polarity = Polarity::Nominal;
    // NRZ-M differential encoding (e_k = e_(k-1) XOR b_k, e starting at 0) of
    // the whole transmitted bit stream, markers included, before the
    // convolutional code; continuous across frames.
    bool nrzm = false;
    OutputForm form = OutputForm::Soft8;

    // Image source.
    std::vector<int> channels{1, 2, 3};               // 1..6 (APID 63 + n)
    std::array<std::optional<GreyImage>, 6> pictures; // empty: test pattern
    int scans = 0;                                    // 0: from the pictures, else from durationSeconds
    double durationSeconds = 60;                      // used when scans = 0 and no picture is given
    int quality = 80;                                 // 1..255
    bool varyQuality = false;                         // quality changes from packet to packet
    std::uint32_t startTimeMs = 10 * 3600000u;        // time stamp of the first scan (ms of the day)
    std::uint16_t day = 0;                            // day field of the secondary header
    bool telemetry = true;                            // one APID 70 packet per scan
    int telemetryLength = 64;                         // bytes behind its primary header
    bool pace = true;                                 // fill packets keep frames at the downlink rate
    std::uint32_t firstFrameCounter = 0;              // 24-bit
    int firstPacketCount = 0;                         // 14-bit, one counter for all APIDs
    int tailFrames = -1; // fill frames after the pass; -1: 3 (72 k) or 170 (80 k)
    int headFrames = 0;  // fill frames before the first scan (time for a receiver to lock)

    // Real frames instead of pictures: 1,024-byte records (marker, then the
    // 1,020 bytes without the pseudo-random sequence).
    std::optional<std::vector<std::uint8_t>> cadus;
    // With cadus: every image packet's time stamp moved by this many seconds (rounded to the ms;
    // the day count follows across midnight when it is given), and the Reed-Solomon check bytes of
    // every frame touched made anew, as a satellite with its clock that far off would send them.
    double timeShiftS = 0;

    // Impairments.
    double otherVcRate = 0; // chance of a frame of virtual channel otherVcid before each frame
    int otherVcid = 63;
    double dropPacketRate = 0; // packets made but never sent
    double dropFrameRate = 0;  // frames made but never sent
    double flipBitRate = 0;    // per bit of the 1,020 coded bytes of each frame
    std::vector<NoiseGap> noiseGaps;
    // Applied to the transmitted symbols after the coding (80 k: after the interleaver and unique
    // words); frame ranges and deliveries stay as sent, so delivery is not exact with slips.
    std::vector<Slip> slips;
    std::int64_t truncateBytes = -1; // cut the output to this many bytes

    // Channel.
    double leadInSeconds = 0.25;  // noise before the first frame
    double amplitude = 70;        // soft value of a clean code bit
    std::optional<double> esn0Db; // none: no noise on the symbols
    int rotationDeg = 0;          // 0, 90, 180, 270
    bool swapIq = false;

    // WAV.
    int wavBits = 16; // 8 or 16 (used when sampleFormat is Auto)
    SampleFormat sampleFormat = SampleFormat::Auto;
    double sampleRate = 196078; // Hz; the receiver's default internal rate / 4
    double symbolRate = 0;      // 0: 72,000 (72 k) or 80,000 (80 k)
    double carrierOffsetHz = 0;
    double driftHzPerS = 0; // the carrier offset grows by this much per second, phase-continuously
    double phaseDeg = 0;
    // RMS per branch in sample units (full scale 1 for floats); 0: 1600 / 32768 of full scale, which
    // is 1,600 for 16-bit and 6.25 for 8-bit.
    double wavLevel = 0;
    double rolloff = 0.6;
    bool oqpsk = false; // offset QPSK: the Q branch delayed by half a symbol (baseband only)
    // Receiver spoilers (baseband only). Spurs and the echo are in the air, phase noise on the
    // carrier; the clock, the I/Q imbalance and the DC offset belong to the recorder, after noise.
    std::vector<Spur> spurs;
    std::optional<Echo> echo;
    double phaseNoiseHz = 0; // carrier linewidth: phase a random walk of variance 2 pi x this per s
    double clockPpm = 0;     // sample clock this far fast (the file still states --sample-rate)
    double iqGainDb = 0;     // Q's gain over I's
    double iqPhaseDeg = 0;   // Q's axis this far from a right angle to I's
    double dcI = 0, dcQ = 0; // added after noise, in units of the signal's RMS per branch

    std::uint64_t seed = 1;
};

struct FrameRecord {
    int vcid = 5;
    std::uint32_t counter = 0;
    int pointer = 2047;    // first-header pointer (VC 5 frames)
    bool sent = true;      // false: dropped
    bool fill = false;     // holds only fill (tail frames)
    bool fromFile = false; // taken from --from-cadu
    int flippedBits = 0;
    std::array<int, 4> wordErrors{};              // corrupted symbols per code word
    bool rsFailed = false;                        // a code word with more than 16 corrupted symbols
    std::int64_t firstValue = -1, lastValue = -1; // range in the chain's value stream (incl. lead-in)
    bool inNoiseGap = false;
    bool cutOff = false; // lies beyond a truncation
    int sentIndex = -1;  // position among transmitted frames
};

struct PacketRecord {
    int apid = 0;
    int count = 0;
    int dataLength = 0; // bytes behind the primary header
    std::uint32_t timeMs = 0;
    int mcu = -1;    // first MCU (image packets)
    int channel = 0; // 1..6, 0 for others
    int scan = -1;
    int quality = 0;
    bool sent = true;       // false: dropped before multiplexing
    bool delivered = false; // reaches its APID stream whole at a decoder following the packet rules
    int firstFrame = -1, lastFrame = -1; // indices into frames (VC 5 zone order)
    std::int64_t zoneOffset = -1;
};

struct Recording {
    SynthOptions options;
    std::vector<std::uint8_t> bytes;   // the output file: symbol form or WAV
    std::array<GreyImage, 6> truth;    // ideal picture per channel; empty when not sent
    std::vector<FrameRecord> frames;   // every frame made, in transmission order
    std::vector<PacketRecord> packets; // every packet made, in order
    // The transmitted values in the order of the decoder's pairs, after the
    // polarity mapping and before rotation, exchange and noise: 1 = positive.
    // Lead-in excluded; in 80 k mode interleaved, unique words included.
    std::vector<std::uint8_t> chainBits;
    std::int64_t leadInValues = 0; // noise values in front of chainBits
    std::int64_t pairs = 0;        // symbols in the symbol stream
    double symbolRate = 0;
    int scans = 0;
    std::vector<std::uint8_t> sentCadus; // the transmitted CADUs, 1,024 bytes each, before coding
    std::string notes;                   // e.g. pacing overruns
    // False when the delivered flags cannot be exact: a WAV (the demodulator's
    // lock time decides) or noise gaps in 80 k mode (a gap makes the receiver's
    // unique-word stage drop values, which shifts its deinterleaver for about
    // 36 x 73,728 values). Channel noise is never judged.
    bool deliveryExact = true;

    std::string manifestJson() const;
};

class SynthError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Throws SynthError on inconsistent options (message names the option).
Recording synthesize(const SynthOptions& options);

// Channel n's picture of what arrives: 255 where the blocks of a delivered
// packet lie, 0 where the packet was lost (same size as truth[n - 1]).
GreyImage deliveredMask(const Recording& rec, int channel);

// What the channel picture of a decoder following the image rules holds after
// the pass, given the packets that arrive (`delivered`): every packet is
// placed by its own time stamp; a stamp other than the current strip's starts
// a new strip (whatever the MCU number) placed 8 rows per scan period after
// the previous one (a pass over midnight goes on downwards), and a packet of
// an earlier scan goes straight into that scan's rows; blocks never written
// in a strip are green, and the first strip buffer starts black.
// `writeLastStrip`: the strip still being built at the end is written out too.
struct ExpectedPicture {
    enum State : std::uint8_t { Unwritten = 0, Grey = 1, Green = 2 };
    int width = 1568;
    int height = 0;                  // rows up to the last one written (at most 6000)
    std::vector<std::uint8_t> value; // grey value where state is Grey
    std::vector<std::uint8_t> state;
    State stateAt(int x, int y) const {
        return static_cast<State>(state[static_cast<std::size_t>(y) * width + x]);
    }
    std::uint8_t at(int x, int y) const { return value[static_cast<std::size_t>(y) * width + x]; }
};
ExpectedPicture expectedPicture(const Recording& rec, int channel, bool writeLastStrip = true);

// Writes the recording to `output`, and unless `truth` is false its manifest
// (default name output + ".json") and ideal pictures (prefix + ".ch<n>.pgm",
// default prefix output); when packets are lost also the expected decoder
// pictures (prefix + ".ch<n>.expected.ppm": grey, green where blocks never
// came, magenta for rows no strip reached). Throws std::runtime_error naming a file that cannot
// be written.
void writeRecordingFiles(const Recording& rec, const std::string& output, bool truth = true,
                         const std::string& manifest = "", const std::string& truthPrefix = "");

// Reads a --from-cadu file; throws SynthError when it is not made of
// 1,024-byte records starting with the marker.
std::vector<std::uint8_t> readCaduFile(const std::string& path);

// Conventions of the recorder.
// Symbol files hold each symbol as (Q, I), the order of the demodulator's
// 3-bit form. In 72 k mode I carries the first value of the chain's pair; in
// 80 k mode (no exchange at the decoder) Q does.
const char* formExtension(OutputForm form);
// The encoding a baseband recording of these options is written in (Auto resolved), and its name
// ("u8", "s16", ...; headerless forms are named "c" + this: "cu8", "cs16", "cf32").
SampleFormat resolvedSampleFormat(const SynthOptions& o);
const char* sampleFormatName(SampleFormat f);
// The default --level of an encoding: 1600 / 32768 of its full scale.
double defaultLevel(SampleFormat f);

} // namespace lrptsynth
