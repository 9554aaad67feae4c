#include "Synthesizer.h"

#include "FrameCoding.h"
#include "ImageEncoder.h"
#include "Interleaver.h"
#include "PacketLayer.h"
#include "Random.h"
#include "SignalWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

namespace lrptsynth {

namespace {

constexpr double kScanPeriodMs = 1231.14;
constexpr std::uint32_t kMsPerDay = 86400000u;
constexpr double kFramesPerSecond = 72000.0 / 8192.0; // data symbols per second / symbols per frame
constexpr int kValuesPerFrame = 16384;

std::uint64_t hashBytes(const std::uint8_t* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h ^ n;
}

void put16(std::vector<std::uint8_t>& v, std::size_t at, unsigned x) {
    v[at] = static_cast<std::uint8_t>(x >> 8);
    v[at + 1] = static_cast<std::uint8_t>(x);
}
void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + i] = static_cast<std::uint8_t>(x >> (24 - 8 * i));
}

void validate(const SynthOptions& o) {
    if (o.timeShiftS != 0 && !o.cadus) throw SynthError("--time-shift applies to --from-cadu");
    if (!(std::abs(o.timeShiftS) <= 86400)) throw SynthError("--time-shift: at most a day either way");
    if (!o.cadus) {
        if (o.channels.empty()) throw SynthError("--channels: at least one channel is needed");
        for (int c : o.channels)
            if (c < 1 || c > 6) throw SynthError("--channels: channel numbers are 1 to 6");
        for (std::size_t i = 0; i < o.channels.size(); ++i)
            for (std::size_t j = i + 1; j < o.channels.size(); ++j)
                if (o.channels[i] == o.channels[j]) throw SynthError("--channels: a channel is listed twice");
        for (int c = 0; c < 6; ++c)
            if (o.pictures[c] && o.pictures[c]->width != ImageEncoder::kLineWidth)
                throw SynthError("picture of channel " + std::to_string(c + 1) + " is " +
                                 std::to_string(o.pictures[c]->width) + " pixels wide; 1568 are needed");
    }
    if (o.quality < 1 || o.quality > 255) throw SynthError("--quality: 1 to 255");
    if (o.scans < 0 || o.scans > 6000) throw SynthError("--scans: 0 to 6000");
    if (!(o.durationSeconds > 0) || o.durationSeconds > 7200)
        throw SynthError("--duration: above 0, at most 7200 s");
    if (o.startTimeMs >= kMsPerDay) throw SynthError("--start-time: must lie within the day");
    if (o.telemetryLength < 1 || o.telemetryLength > 65536)
        throw SynthError("--telemetry-length: 1 to 65536");
    for (double r : {o.otherVcRate, o.dropPacketRate, o.dropFrameRate, o.flipBitRate})
        if (!(r >= 0 && r <= 1)) throw SynthError("rates must lie between 0 and 1");
    if (o.otherVcid < 0 || o.otherVcid > 63 || o.otherVcid == 5)
        throw SynthError("--other-vcid: 0 to 63, not 5");
    if (o.rotationDeg % 90 != 0) throw SynthError("--rotate: 0, 90, 180 or 270");
    if (!(o.amplitude > 0 && o.amplitude <= 127)) throw SynthError("--amplitude: above 0, at most 127");
    if (!(o.leadInSeconds >= 0 && o.leadInSeconds <= 3600)) throw SynthError("--lead-in: 0 to 3600 s");
    if (o.firstFrameCounter > 0xFFFFFFu) throw SynthError("--first-frame-counter: 24 bits");
    if (o.firstPacketCount < 0 || o.firstPacketCount > 16383)
        throw SynthError("--first-packet-count: 0 to 16383");
    if (o.tailFrames < -1 || o.tailFrames > 100000) throw SynthError("--tail-frames: 0 to 100000");
    if (o.headFrames < 0 || o.headFrames > 100000) throw SynthError("--head-frames: 0 to 100000");
    if (isBaseband(o.form)) {
        if (o.sampleFormat == SampleFormat::Auto && o.wavBits != 8 && o.wavBits != 16)
            throw SynthError("--wav-bits: 8 or 16");
        const SampleFormat f = resolvedSampleFormat(o);
        if (o.form == OutputForm::Wav && f == SampleFormat::S8)
            throw SynthError(
                "--wav-format: a WAV holds u8, s16, s24, s32, f32 or f64 (8-bit WAV is unsigned)");
        if (o.form == OutputForm::Iq && f != SampleFormat::U8 && f != SampleFormat::S8 &&
            f != SampleFormat::S16 && f != SampleFormat::F32)
            throw SynthError("headerless I/Q is cu8, cs8, cs16 or cf32");
        if (!(o.sampleRate >= 1000 && o.sampleRate <= 100e6))
            throw SynthError("--sample-rate: 1000 Hz to 100 MHz");
        if (!(o.rolloff > 0 && o.rolloff <= 1)) throw SynthError("--rolloff: above 0, at most 1");
        if (!std::isfinite(o.driftHzPerS) || std::fabs(o.driftHzPerS) > 1e5)
            throw SynthError("--drift: at most 100000 Hz/s either way");
    }
    if (o.oqpsk && !isBaseband(o.form)) throw SynthError("--oqpsk: only for a baseband recording");
    const bool spoilt = !o.spurs.empty() || o.echo || o.phaseNoiseHz != 0 || o.clockPpm != 0 ||
                        o.iqGainDb != 0 || o.iqPhaseDeg != 0 || o.dcI != 0 || o.dcQ != 0;
    if (spoilt && !isBaseband(o.form))
        throw SynthError("--spur, --echo, --phase-noise, --clock-ppm, --iq-imbalance, --dc-offset: only "
                         "for a baseband recording");
    for (const auto& sp : o.spurs)
        if (!std::isfinite(sp.offsetHz) || !(sp.powerDb >= -100 && sp.powerDb <= 40) ||
            !std::isfinite(sp.driftHzPerS))
            throw SynthError("--spur: OFFSET_HZ:POWER_DB[:DRIFT_HZ_PER_S], power -100 .. 40 dB");
    if (o.echo && !(o.echo->delayUs >= 0 && o.echo->delayUs <= 1000 && o.echo->gainDb < 0))
        throw SynthError("--echo: DELAY_US 0 .. 1000, GAIN_DB below 0");
    if (!(o.phaseNoiseHz >= 0 && o.phaseNoiseHz <= 10000))
        throw SynthError("--phase-noise: a linewidth of 0 .. 10000 Hz");
    if (!(std::fabs(o.clockPpm) <= 10000)) throw SynthError("--clock-ppm: at most 10000 either way");
    if (!(std::fabs(o.iqGainDb) <= 6 && std::fabs(o.iqPhaseDeg) <= 30))
        throw SynthError("--iq-imbalance: at most 6 dB and 30 degrees");
    if (!(std::fabs(o.dcI) <= 10 && std::fabs(o.dcQ) <= 10))
        throw SynthError("--dc-offset: at most 10 either way");
    if (o.symbolRate < 0) throw SynthError("--symbol-rate: must be positive");
    for (const auto& g : o.noiseGaps)
        if (!(g.startSeconds >= 0 && g.lengthSeconds > 0))
            throw SynthError("--noise-gap: START and LENGTH in seconds, LENGTH above 0");
    for (const auto& slip : o.slips)
        if (!(slip.atSeconds >= 0 && std::isfinite(slip.atSeconds)))
            throw SynthError("--slip: SECONDS from the start, at least 0");
}

// The symbols slipped as a receiver would have delivered them; values are 0 / 1, pairs are symbols.
// Symbol indices count in the stream as sent, so the slips are applied from the last one back.
void applySlips(std::vector<std::uint8_t>& aChain, std::vector<Slip> aSlips, std::int64_t aLead,
                double aSymbolRate) {
    std::stable_sort(aSlips.begin(), aSlips.end(),
                     [](const Slip& a, const Slip& b) { return a.atSeconds > b.atSeconds; });
    for (const auto& slip : aSlips) {
        const std::int64_t k = 2 * std::llround(slip.atSeconds * aSymbolRate) - aLead;
        if (k < 0 || k + 2 > static_cast<std::int64_t>(aChain.size())) continue; // lead-in or beyond
        const auto at = aChain.begin() + k;
        switch (slip.kind) {
        case SlipKind::Drop:
            aChain.erase(at, at + 2);
            break;
        case SlipKind::Double: {
            const std::uint8_t pair[2] = {at[0], at[1]};
            aChain.insert(at, pair, pair + 2);
            break;
        }
        case SlipKind::Flip:
            for (auto it = at; it != aChain.end(); ++it)
                *it ^= 1u;
            break;
        }
    }
}

// Packet bookkeeping that stays out of the public record.
struct MadePacket {
    std::uint64_t hash = 0;
};

class Builder {
  public:
    explicit Builder(const SynthOptions& o) : fO(o), fRng(o.seed), fImpair(o.seed ^ 0xA5A5A5A5DEADBEEFull) {}

    Recording run() {
        Recording rec;
        rec.options = fO;
        rec.symbolRate = fO.symbolRate > 0 ? fO.symbolRate : (fO.mode == Mode::k72 ? 72000.0 : 80000.0);
        std::vector<std::vector<std::uint8_t>> frameBytes; // 892 bytes per frame, transmission order
        if (fO.cadus)
            framesFromCadus(rec, frameBytes);
        else
            framesFromPictures(rec, frameBytes);
        transmit(rec, frameBytes);
        return rec;
    }

  private:
    const SynthOptions& fO;
    Random fRng;    // picture path and channel noise
    Random fImpair; // impairment decisions, separate so they do not change the noise
    ImageEncoder fEnc;
    ReedSolomonEncoder fRs;
    std::vector<MadePacket> fMade;
    std::vector<std::vector<std::uint8_t>> fCadus; // transmitted, before coding

    int scansFor() const {
        if (fO.scans > 0) return fO.scans;
        int rows = 0;
        for (int c : fO.channels)
            if (fO.pictures[c - 1]) rows = std::max(rows, fO.pictures[c - 1]->height);
        if (rows > 0) return (rows + 7) / 8;
        return std::max(1, static_cast<int>(std::ceil(fO.durationSeconds * 1000.0 / kScanPeriodMs)));
    }

    std::uint8_t sourcePixel(int channel, int x, int y) const {
        const auto& pic = fO.pictures[channel - 1];
        if (pic) return pic->at(x, y % pic->height); // a short picture repeats
        return testPatternPixel(channel, x, y);
    }

    void framesFromPictures(Recording& rec, std::vector<std::vector<std::uint8_t>>& frameBytes) {
        const int scans = scansFor();
        rec.scans = scans;
        if (scans > 6000) throw SynthError("the pictures are taller than 6000 scans (48,000 rows)");
        if (isBaseband(fO.form)) {
            const double seconds = scans * kScanPeriodMs / 1000.0 + fO.leadInSeconds + 20;
            const SampleFormat f = resolvedSampleFormat(fO);
            const int bytes = f == SampleFormat::U8 || f == SampleFormat::S8 ? 2
                              : f == SampleFormat::S16                       ? 4
                              : f == SampleFormat::S24                       ? 6
                              : f == SampleFormat::F64                       ? 16
                                                                             : 8;
            if (seconds * fO.sampleRate * bytes > 4.0e9)
                throw SynthError("the recording would exceed 4 GiB; shorten the pass or lower --sample-rate");
        }
        for (int c : fO.channels) {
            auto& t = rec.truth[c - 1];
            t.width = ImageEncoder::kLineWidth;
            t.height = scans * 8;
            t.pixels.assign(static_cast<std::size_t>(t.width) * t.height, 0);
        }
        PacketZoneStream zone;
        int count = fO.firstPacketCount;
        std::vector<std::uint8_t> strip(8 * ImageEncoder::kLineWidth);
        std::vector<std::array<int, 64>> coefs;
        int overruns = 0;
        zone.fillTo(static_cast<std::int64_t>(fO.headFrames) * kZoneSize);
        for (int k = 0; k < scans; ++k) {
            const std::uint32_t t = static_cast<std::uint32_t>(
                (fO.startTimeMs + static_cast<std::uint64_t>(std::llround(k * kScanPeriodMs))) % kMsPerDay);
            for (int c : fO.channels) {
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < ImageEncoder::kLineWidth; ++x)
                        strip[y * ImageEncoder::kLineWidth + x] = sourcePixel(c, x, k * 8 + y);
                for (int first = 0; first < ImageEncoder::kBlocksPerLine;
                     first += ImageEncoder::kBlocksPerPacket) {
                    int q = fO.quality;
                    if (fO.varyQuality)
                        q = std::clamp(fO.quality + static_cast<int>(fRng.next() % 31) - 15, 1, 100);
                    coefs.clear();
                    const auto entropy = fEnc.encodePacket(strip.data(), first, q, &coefs);
                    auto& truth = rec.truth[c - 1];
                    for (int b = 0; b < ImageEncoder::kBlocksPerPacket; ++b)
                        fEnc.reconstructBlock(coefs[b], q,
                                              truth.pixels.data() +
                                                  static_cast<std::size_t>(k * 8) * truth.width +
                                                  (first + b) * 8,
                                              truth.width);
                    std::vector<std::uint8_t> data(14 + entropy.size(), 0);
                    put16(data, 0, fO.day);
                    put32(data, 2, t);
                    // bytes 6..7: microseconds (0)
                    data[8] = static_cast<std::uint8_t>(first);
                    // 9..10: scan header; 11..12: segment header word; 13: quality
                    data[9] = 0x00;
                    data[10] = 0x00;
                    data[11] = 0xFF;
                    data[12] = 0xF0;
                    data[13] = static_cast<std::uint8_t>(q);
                    std::copy(entropy.begin(), entropy.end(), data.begin() + 14);
                    PacketRecord pr;
                    pr.apid = 63 + c;
                    pr.channel = c;
                    pr.scan = k;
                    pr.mcu = first;
                    pr.quality = q;
                    pr.timeMs = t;
                    emitPacket(rec, zone, pr, count, data);
                }
            }
            if (fO.telemetry) {
                std::vector<std::uint8_t> data(static_cast<std::size_t>(fO.telemetryLength), 0);
                for (std::size_t i = 0; i < data.size(); ++i)
                    data[i] = static_cast<std::uint8_t>(fRng.next());
                if (data.size() >= 8) {
                    put16(data, 0, fO.day);
                    put32(data, 2, t);
                    put16(data, 6, 0);
                }
                PacketRecord pr;
                pr.apid = 70;
                pr.scan = k;
                pr.timeMs = t;
                emitPacket(rec, zone, pr, count, data);
            }
            if (fO.pace) {
                const auto target = fO.headFrames + static_cast<std::int64_t>(std::floor(
                                                        (k + 1) * kScanPeriodMs / 1000.0 * kFramesPerSecond));
                if (zone.size() <= target * kZoneSize)
                    zone.fillTo(target * kZoneSize);
                else
                    ++overruns;
            }
        }
        if (overruns > 0)
            rec.notes =
                std::to_string(overruns) + " scans held more data than the downlink carries in a scan period";
        zone.padToBoundary();
        const int tail = fO.tailFrames >= 0 ? fO.tailFrames : (fO.mode == Mode::k72 ? 3 : 170);
        const std::int64_t dataFrames = zone.frames();
        zone.fillTo((dataFrames + tail) * kZoneSize);

        // Packets' frame spans (in VC 5 zone order; mapped to transmission order below).
        std::vector<std::int64_t> zoneFrameToIndex;
        std::uint32_t counter = fO.firstFrameCounter;
        std::uint32_t otherCounter = 0;
        for (std::int64_t j = 0; j < zone.frames(); ++j) {
            if (fImpair.chance(fO.otherVcRate)) {
                std::vector<std::uint8_t> f(kFrameSize, 0);
                f[0] = 0x40;
                f[1] = static_cast<std::uint8_t>(fO.otherVcid & 0x3F);
                f[2] = static_cast<std::uint8_t>(otherCounter >> 16);
                f[3] = static_cast<std::uint8_t>(otherCounter >> 8);
                f[4] = static_cast<std::uint8_t>(otherCounter);
                otherCounter = (otherCounter + 1) & 0xFFFFFFu;
                for (std::size_t i = 8; i < kFrameSize; ++i)
                    f[i] = static_cast<std::uint8_t>(fRng.next());
                FrameRecord fr;
                fr.vcid = fO.otherVcid;
                fr.counter = (otherCounter - 1) & 0xFFFFFFu;
                rec.frames.push_back(fr);
                frameBytes.push_back(std::move(f));
            }
            std::vector<std::uint8_t> f(kFrameSize, 0);
            const int p = zone.pointer(j);
            f[0] = 0x40;
            f[1] = 0x05;
            f[2] = static_cast<std::uint8_t>(counter >> 16);
            f[3] = static_cast<std::uint8_t>(counter >> 8);
            f[4] = static_cast<std::uint8_t>(counter);
            f[5] = 0x00; // signalling byte
            // 6..7: insert zone (0)
            f[8] = static_cast<std::uint8_t>((p >> 8) & 0x07);
            f[9] = static_cast<std::uint8_t>(p);
            std::memcpy(f.data() + 10, zone.zone(j), kZoneSize);
            FrameRecord fr;
            fr.counter = counter;
            fr.pointer = p;
            fr.fill = zone.fillOnly(j);
            counter = (counter + 1) & 0xFFFFFFu;
            zoneFrameToIndex.push_back(static_cast<std::int64_t>(rec.frames.size()));
            rec.frames.push_back(fr);
            frameBytes.push_back(std::move(f));
        }
        for (auto& pr : rec.packets) {
            if (!pr.sent) continue;
            const std::int64_t total = pr.dataLength + 6;
            pr.firstFrame = static_cast<int>(zoneFrameToIndex[pr.zoneOffset / kZoneSize]);
            pr.lastFrame = static_cast<int>(zoneFrameToIndex[(pr.zoneOffset + total - 1) / kZoneSize]);
        }
    }

    void emitPacket(Recording& rec, PacketZoneStream& zone, PacketRecord pr, int& count,
                    const std::vector<std::uint8_t>& data) {
        pr.count = count;
        count = (count + 1) & 0x3FFF;
        pr.dataLength = static_cast<int>(data.size());
        const auto pkt = makePacket(pr.apid, pr.count, true, data);
        MadePacket mp;
        mp.hash = hashBytes(pkt.data(), pkt.size());
        pr.sent = !fImpair.chance(fO.dropPacketRate);
        if (pr.sent) pr.zoneOffset = zone.add(pkt);
        rec.packets.push_back(pr);
        fMade.push_back(mp);
    }

    // Walks the packets of the image virtual channel (5) across the frames' data zones, from the
    // first packet header a frame points to, starting afresh at a frame that does not follow the
    // previous one; moves the day and ms fields of every image packet and re-encodes each frame
    // whose bytes changed.
    void shiftImageTimes(std::vector<std::vector<std::uint8_t>>& frames) const {
        const std::int64_t shiftMs = std::llround(fO.timeShiftS * 1000);
        struct Where {
            std::size_t frame;
            std::size_t byte;
        };
        std::vector<Where> stream;
        std::vector<std::size_t> zoneStart, firstHeader; // per zone in the stream; npos: none
        std::vector<bool> follows;
        std::uint32_t lastCounter = 0;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const auto& f = frames[i];
            if ((f[1] & 0x3F) != 5) continue;
            const std::uint32_t counter = static_cast<std::uint32_t>(f[2] << 16 | f[3] << 8 | f[4]);
            follows.push_back(!zoneStart.empty() && counter == ((lastCounter + 1) & 0xFFFFFF));
            lastCounter = counter;
            zoneStart.push_back(stream.size());
            const int p = ((f[8] & 7) << 8) | f[9];
            firstHeader.push_back(p < kZoneSize ? stream.size() + static_cast<std::size_t>(p)
                                                : std::string::npos);
            for (std::size_t b = 10; b < 10 + kZoneSize; ++b)
                stream.push_back({i, b});
        }
        auto at = [&](std::size_t k) -> std::uint8_t& { return frames[stream[k].frame][stream[k].byte]; };
        std::vector<bool> touched(frames.size(), false);
        std::size_t zone = 0, pos = std::string::npos;
        while (zone < zoneStart.size()) {
            if (pos == std::string::npos) { // find a frame that says where a packet begins
                while (zone < zoneStart.size() && firstHeader[zone] == std::string::npos)
                    ++zone;
                if (zone == zoneStart.size()) break;
                pos = firstHeader[zone];
            }
            if (pos + 6 > stream.size()) break;
            const std::size_t length = static_cast<std::size_t>((at(pos + 4) << 8 | at(pos + 5)) + 1);
            const std::size_t end = pos + 6 + length;
            // A packet running into a frame that does not follow its predecessor is lost.
            std::size_t z = zone;
            bool broken = false;
            while (z + 1 < zoneStart.size() && zoneStart[z + 1] < std::min(end, stream.size())) {
                ++z;
                if (!follows[z]) broken = true;
            }
            if (broken || end > stream.size()) {
                zone = z + (end > stream.size() ? 1 : 0);
                pos = std::string::npos;
                continue;
            }
            const int apid = (at(pos) & 7) << 8 | at(pos + 1);
            if (apid >= 64 && apid <= 69 && length >= 8) {
                const std::int64_t day = at(pos + 6) << 8 | at(pos + 7);
                std::int64_t ms = 0;
                for (int b = 0; b < 4; ++b)
                    ms = ms << 8 | at(pos + 8 + static_cast<std::size_t>(b));
                std::int64_t newDay = day, newMs = 0;
                if (day > 0) {
                    const std::int64_t total = day * kMsPerDay + ms + shiftMs;
                    newDay = total / kMsPerDay;
                    newMs = total % kMsPerDay;
                } else {
                    newMs = ((ms + shiftMs) % kMsPerDay + kMsPerDay) % kMsPerDay;
                }
                const std::uint8_t bytes[6] = {
                    static_cast<std::uint8_t>(newDay >> 8), static_cast<std::uint8_t>(newDay),
                    static_cast<std::uint8_t>(newMs >> 24), static_cast<std::uint8_t>(newMs >> 16),
                    static_cast<std::uint8_t>(newMs >> 8),  static_cast<std::uint8_t>(newMs)};
                for (std::size_t b = 0; b < 6; ++b) {
                    at(pos + 6 + b) = bytes[b];
                    touched[stream[pos + 6 + b].frame] = true;
                }
            }
            pos = end;
            while (zone + 1 < zoneStart.size() && zoneStart[zone + 1] <= pos)
                ++zone;
        }
        for (std::size_t i = 0; i < frames.size(); ++i)
            if (touched[i]) fRs.encodeFrame(frames[i].data());
    }

    void framesFromCadus(Recording& rec, std::vector<std::vector<std::uint8_t>>& frameBytes) {
        const auto& in = *fO.cadus;
        if (in.size() % kCaduSize != 0 || in.empty())
            throw SynthError("frame input must be a non-empty sequence of 1024-byte records");
        for (std::size_t off = 0; off < in.size(); off += kCaduSize) {
            if (in[off] != 0x1A || in[off + 1] != 0xCF || in[off + 2] != 0xFC || in[off + 3] != 0x1D)
                throw SynthError("frame record " + std::to_string(off / kCaduSize) +
                                 " does not start with 1ACFFC1D");
            // Keep the whole 1,020 bytes, check bytes included, as received.
            std::vector<std::uint8_t> f(in.begin() + static_cast<std::ptrdiff_t>(off + 4),
                                        in.begin() + static_cast<std::ptrdiff_t>(off + kCaduSize));
            FrameRecord fr;
            fr.fromFile = true;
            fr.vcid = f[1] & 0x3F;
            fr.counter = static_cast<std::uint32_t>(f[2] << 16 | f[3] << 8 | f[4]);
            fr.pointer = ((f[8] & 7) << 8) | f[9];
            rec.frames.push_back(fr);
            frameBytes.push_back(std::move(f));
        }
        if (fO.timeShiftS != 0) shiftImageTimes(frameBytes);
        // Fill frames behind them, as behind a pass of pictures, so that the interleaver and a
        // receiver's pipeline are flushed. They are idle frames of the other virtual channel, so
        // they add nothing to the packets of the frames given.
        const int tail = fO.tailFrames >= 0 ? fO.tailFrames : (fO.mode == Mode::k72 ? 3 : 170);
        for (int j = 0; j < tail; ++j) {
            std::vector<std::uint8_t> f(kFrameSize, 0);
            f[0] = 0x40;
            f[1] = static_cast<std::uint8_t>(fO.otherVcid & 0x3F);
            f[2] = static_cast<std::uint8_t>(j >> 16);
            f[3] = static_cast<std::uint8_t>(j >> 8);
            f[4] = static_cast<std::uint8_t>(j);
            FrameRecord fr;
            fr.vcid = fO.otherVcid & 0x3F;
            fr.counter = static_cast<std::uint32_t>(j);
            fr.fill = true;
            rec.frames.push_back(fr);
            frameBytes.push_back(std::move(f));
        }
        // Packets the frames carry, as a receiver with every frame would get them.
        std::vector<const std::uint8_t*> all;
        for (std::size_t i = 0; i < frameBytes.size(); ++i)
            if (frameBytes[i][0] == 0x40 && frameBytes[i][1] == 0x05) all.push_back(frameBytes[i].data());
        for (const auto& pkt : reassemblePackets(all)) {
            PacketRecord pr;
            pr.apid = ((pkt[0] & 7) << 8) | pkt[1];
            pr.count = ((pkt[2] & 0x3F) << 8) | pkt[3];
            pr.dataLength = static_cast<int>(pkt.size()) - 6;
            if (pkt.size() >= 12)
                pr.timeMs = static_cast<std::uint32_t>(pkt[8] << 24 | pkt[9] << 16 | pkt[10] << 8 | pkt[11]);
            if (pr.apid >= 64 && pr.apid <= 69 && pkt.size() >= 20) {
                pr.channel = pr.apid - 63;
                pr.mcu = pkt[14];
                pr.quality = pkt[19];
            }
            rec.packets.push_back(pr);
            fMade.push_back(MadePacket{hashBytes(pkt.data(), pkt.size())});
        }
    }

    // Frames -> CADUs -> code values -> channel -> output bytes.
    void transmit(Recording& rec, const std::vector<std::vector<std::uint8_t>>& frameBytes) {
        int sentIndex = 0;
        for (std::size_t i = 0; i < frameBytes.size(); ++i) {
            FrameRecord& fr = rec.frames[i];
            fr.sent = !fImpair.chance(fO.dropFrameRate);
            if (!fr.sent) continue;
            std::array<std::uint8_t, kCaduSize> cadu{};
            if (fr.fromFile) {
                cadu = {0x1A, 0xCF, 0xFC, 0x1D};
                std::memcpy(cadu.data() + 4, frameBytes[i].data(), kCodedFrameSize);
                applyPseudoRandom(cadu.data() + 4, kCodedFrameSize);
            } else {
                cadu = buildCadu(fRs, frameBytes[i].data());
            }
            if (fO.flipBitRate > 0) {
                std::array<std::array<bool, 255>, 4> hit{};
                for (std::size_t b = 4; b < kCaduSize; ++b)
                    for (int bit = 0; bit < 8; ++bit)
                        if (fImpair.chance(fO.flipBitRate)) {
                            cadu[b] ^= static_cast<std::uint8_t>(1u << bit);
                            ++fr.flippedBits;
                            hit[(b - 4) % 4][(b - 4) / 4] = true;
                        }
                for (int w = 0; w < 4; ++w) {
                    fr.wordErrors[w] = static_cast<int>(std::count(hit[w].begin(), hit[w].end(), true));
                    if (fr.wordErrors[w] > 16) fr.rsFailed = true;
                }
            }
            fr.sentIndex = sentIndex++;
            rec.sentCadus.insert(rec.sentCadus.end(), cadu.begin(), cadu.end());
        }

        // Convolutional code over all transmitted frames, one continuous stream.
        ConvolutionalEncoder conv;
        std::vector<std::uint8_t> code;
        code.reserve(rec.sentCadus.size() * 16);
        // With NRZ-M the code carries the differentially encoded bits; a zero
        // data bit then repeats the last encoded bit (padding below).
        unsigned padBit = 0;
        if (fO.nrzm) {
            std::vector<std::uint8_t> encoded(rec.sentCadus);
            padBit = nrzmEncode(encoded.data(), encoded.size(), 0);
            conv.encodeBytes(encoded.data(), encoded.size(), code);
        } else {
            conv.encodeBytes(rec.sentCadus.data(), rec.sentCadus.size(), code);
        }

        std::vector<std::uint8_t> isUw;
        std::vector<std::uint8_t> chain;
        if (fO.mode == Mode::k80) {
            // Whole groups of 72 values; a partial last group is completed with
            // encoded zero bits.
            while (code.size() % Interleaver::kGroupData) {
                std::uint8_t c1, c2;
                conv.encodeBit(padBit, c1, c2);
                code.push_back(c1);
                code.push_back(c2);
            }
            Random pre(fO.seed ^ 0x5EEDF00Dull);
            chain = Interleaver::interleave(
                code, [&pre](std::int64_t) { return static_cast<unsigned>(pre.next() >> 63); }, &isUw);
        } else {
            chain = std::move(code);
        }

        // Polarity: which values are positive in the chain's view.
        if (fO.polarity == Polarity::Satellite) {
            for (std::size_t i = 0; i < chain.size(); ++i) {
                const bool first = (i % 2) == 0;
                const bool uw = !isUw.empty() && isUw[i];
                // G1 and the unique word: bit 1 negative. NOT G2 with bit 1 negative
                // leaves G2's own sign.
                if (first || uw) chain[i] ^= 1u;
            }
        }
        rec.leadInValues = 2 * static_cast<std::int64_t>(std::llround(fO.leadInSeconds * rec.symbolRate));
        rec.pairs = (rec.leadInValues + static_cast<std::int64_t>(chain.size())) / 2;

        // Value ranges of the frames in the chain stream.
        const std::int64_t lead = rec.leadInValues;
        const std::int64_t dataTotal = static_cast<std::int64_t>(chain.size());
        auto chainIndex = [&](std::int64_t dataIndex) -> std::int64_t {
            if (fO.mode == Mode::k72) return lead + dataIndex;
            return lead + (dataIndex / Interleaver::kGroupData) * Interleaver::kGroupSize + 8 +
                   dataIndex % Interleaver::kGroupData;
        };
        for (auto& fr : rec.frames) {
            if (!fr.sent) continue;
            const std::int64_t a = static_cast<std::int64_t>(fr.sentIndex) * kValuesPerFrame;
            std::int64_t b = a + kValuesPerFrame - 1;
            if (fO.mode == Mode::k80) b += (Interleaver::kBranches - 1) * Interleaver::kBranchDelay;
            fr.firstValue = chainIndex(a);
            fr.lastValue = std::min(chainIndex(b), lead + dataTotal - 1);
        }
        std::vector<std::pair<std::int64_t, std::int64_t>> gaps;
        for (const auto& g : fO.noiseGaps) {
            const std::int64_t a =
                2 * static_cast<std::int64_t>(std::llround(g.startSeconds * rec.symbolRate));
            const std::int64_t b =
                a + 2 * static_cast<std::int64_t>(std::llround(g.lengthSeconds * rec.symbolRate));
            gaps.emplace_back(a, b);
            for (auto& fr : rec.frames)
                if (fr.sent && fr.firstValue < b && fr.lastValue >= a) fr.inNoiseGap = true;
        }

        applySlips(chain, fO.slips, lead, rec.symbolRate);
        SignalWriter writer(fO, rec.symbolRate, fO.seed ^ 0x0123456789ABCDEFull);
        rec.bytes = writer.write(chain, lead, gaps);
        rec.chainBits = std::move(chain);

        if (fO.truncateBytes >= 0 && static_cast<std::int64_t>(rec.bytes.size()) > fO.truncateBytes) {
            rec.bytes.resize(static_cast<std::size_t>(fO.truncateBytes));
            const std::int64_t kept = writer.valuesInBytes(fO.truncateBytes);
            for (auto& fr : rec.frames)
                if (fr.sent && fr.lastValue >= kept) fr.cutOff = true;
        }
        markDelivered(rec, frameBytes);
        rec.deliveryExact =
            !isBaseband(fO.form) && !(fO.mode == Mode::k80 && !fO.noiseGaps.empty()) && fO.slips.empty();
        if (writer.clippedSamples() > 0) {
            if (!rec.notes.empty()) rec.notes += "; ";
            rec.notes += std::to_string(writer.clippedSamples()) +
                         " samples lay beyond full scale and were clipped (lower --level)";
        }
    }

    void markDelivered(Recording& rec, const std::vector<std::vector<std::uint8_t>>& frameBytes) {
        std::vector<const std::uint8_t*> arrived;
        for (std::size_t i = 0; i < frameBytes.size(); ++i) {
            const auto& fr = rec.frames[i];
            if (fr.sent && !fr.rsFailed && !fr.cutOff && !fr.inNoiseGap && frameBytes[i][0] == 0x40 &&
                frameBytes[i][1] == 0x05)
                arrived.push_back(frameBytes[i].data());
        }
        std::map<std::tuple<int, int, std::uint64_t>, std::vector<std::size_t>> byKey;
        for (std::size_t i = 0; i < rec.packets.size(); ++i)
            if (rec.packets[i].sent)
                byKey[{rec.packets[i].apid, rec.packets[i].count, fMade[i].hash}].push_back(i);
        for (const auto& pkt : reassemblePackets(arrived)) {
            const int apid = ((pkt[0] & 7) << 8) | pkt[1];
            const int count = ((pkt[2] & 0x3F) << 8) | pkt[3];
            auto it = byKey.find({apid, count, hashBytes(pkt.data(), pkt.size())});
            if (it == byKey.end()) continue;
            for (std::size_t idx : it->second)
                if (!rec.packets[idx].delivered) {
                    rec.packets[idx].delivered = true;
                    break;
                }
        }
    }
};

void appendJsonString(std::string& s, const std::string& v) {
    s += '"';
    for (char c : v) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            s += buf;
        } else {
            s += c;
        }
    }
    s += '"';
}

} // namespace

const char* formExtension(OutputForm form) {
    switch (form) {
    case OutputForm::Soft8:
        return ".s";
    case OutputForm::Soft3:
        return ".raw";
    case OutputForm::Hard:
        return ".hard";
    case OutputForm::Wav:
        return ".wav";
    case OutputForm::Iq:
        return ".iq";
    }
    return "";
}

SampleFormat resolvedSampleFormat(const SynthOptions& o) {
    if (o.sampleFormat != SampleFormat::Auto) return o.sampleFormat;
    if (o.form == OutputForm::Iq) return SampleFormat::S16;
    return o.wavBits == 8 ? SampleFormat::U8 : SampleFormat::S16;
}

const char* sampleFormatName(SampleFormat f) {
    switch (f) {
    case SampleFormat::U8:
        return "u8";
    case SampleFormat::S8:
        return "s8";
    case SampleFormat::S24:
        return "s24";
    case SampleFormat::S32:
        return "s32";
    case SampleFormat::F32:
        return "f32";
    case SampleFormat::F64:
        return "f64";
    default:
        return "s16";
    }
}

double defaultLevel(SampleFormat f) {
    switch (f) {
    case SampleFormat::U8:
    case SampleFormat::S8:
        return 1600.0 / 256;
    case SampleFormat::S24:
        return 1600.0 * 256;
    case SampleFormat::S32:
        return 1600.0 * 65536;
    case SampleFormat::F32:
    case SampleFormat::F64:
        return 1600.0 / 32768;
    default:
        return 1600.0;
    }
}

Recording synthesize(const SynthOptions& options) {
    validate(options);
    Builder b(options);
    return b.run();
}

GreyImage deliveredMask(const Recording& rec, int channel) {
    const GreyImage& t = rec.truth.at(static_cast<std::size_t>(channel - 1));
    GreyImage m{t.width, t.height, std::vector<std::uint8_t>(t.pixels.size(), 0)};
    for (const auto& p : rec.packets) {
        if (p.channel != channel || !p.delivered || p.scan < 0 || p.mcu < 0) continue;
        for (int y = p.scan * 8; y < p.scan * 8 + 8 && y < m.height; ++y)
            for (int x = p.mcu * 8; x < p.mcu * 8 + 112 && x < m.width; ++x)
                m.pixels[static_cast<std::size_t>(y) * m.width + x] = 255;
    }
    return m;
}

ExpectedPicture expectedPicture(const Recording& rec, int channel, bool writeLastStrip) {
    constexpr int kRows = 6000, kW = ImageEncoder::kLineWidth;
    const GreyImage& truth = rec.truth.at(static_cast<std::size_t>(channel - 1));
    ExpectedPicture pic;
    pic.value.assign(static_cast<std::size_t>(kRows) * kW, 0);
    pic.state.assign(pic.value.size(), ExpectedPicture::Unwritten);
    std::vector<std::uint8_t> bufValue(8 * kW, 0), bufState(8 * kW, ExpectedPicture::Grey); // black at first
    std::int64_t gt = 0, gy = 0, stamp = 0;
    int maxRow = -1;
    auto writeOut = [&](bool reset) {
        for (int y = 0; y < 8; ++y) {
            const std::int64_t r = gy + y;
            if (r < 0 || r >= kRows) continue;
            std::copy_n(&bufValue[static_cast<std::size_t>(y) * kW], kW,
                        &pic.value[static_cast<std::size_t>(r) * kW]);
            std::copy_n(&bufState[static_cast<std::size_t>(y) * kW], kW,
                        &pic.state[static_cast<std::size_t>(r) * kW]);
            maxRow = std::max(maxRow, static_cast<int>(r));
            if (reset) std::fill_n(&bufState[static_cast<std::size_t>(y) * kW], kW, ExpectedPicture::Green);
        }
    };
    for (const auto& p : rec.packets) {
        if (p.channel != channel || !p.delivered) continue;
        std::int64_t t = p.timeMs;
        const int x = p.mcu * 8;
        if (gt != 0 && t < gt - kMsPerDay / 2) t += kMsPerDay; // over midnight
        const bool newStamp = gt == 0 || t != stamp;
        const double c =
            newStamp && gt != 0 ? std::nearbyint(static_cast<double>(t - gt) / kScanPeriodMs) : 0;
        const bool late = c < 0; // a packet of an earlier scan: straight into its own rows
        if (newStamp && !late) {
            writeOut(true);
            stamp = t;
            if (gt != 0) {
                if (c == 0) {
                    gy += 8;
                    t += 1231;
                } else {
                    gy += 8 * static_cast<std::int64_t>(c);
                }
            }
            gt = t;
        }
        if (p.quality <= 0 || x > 1456) continue;
        for (int y = 0; y < 8; ++y)
            for (int k = 0; k < 112; ++k) {
                const std::uint8_t v = truth.at(x + k, p.scan * 8 + y);
                if (late) {
                    const std::int64_t r = gy + 8 * static_cast<std::int64_t>(c) + y;
                    if (r < 0 || r >= kRows) continue;
                    const std::size_t i = static_cast<std::size_t>(r) * kW + x + k;
                    pic.value[i] = v;
                    pic.state[i] = ExpectedPicture::Grey;
                    maxRow = std::max(maxRow, static_cast<int>(r));
                    continue;
                }
                const std::size_t i = static_cast<std::size_t>(y) * kW + x + k;
                bufValue[i] = v;
                bufState[i] = ExpectedPicture::Grey;
            }
    }
    if (writeLastStrip && gt != 0) writeOut(false);
    pic.height = maxRow + 1;
    pic.value.resize(static_cast<std::size_t>(pic.height) * kW);
    pic.state.resize(pic.value.size());
    return pic;
}

void writeRecordingFiles(const Recording& rec, const std::string& output, bool truth,
                         const std::string& manifest, const std::string& truthPrefix) {
    auto write = [](const std::string& path, const void* data, std::size_t size) {
        std::ofstream out(path, std::ios::binary);
        if (!out) throw std::runtime_error(path + ": cannot create file");
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) throw std::runtime_error(path + ": cannot write file");
    };
    write(output, rec.bytes.data(), rec.bytes.size());
    if (!truth) return;
    const std::string json = rec.manifestJson();
    write(manifest.empty() ? output + ".json" : manifest, json.data(), json.size());
    const std::string prefix = truthPrefix.empty() ? output : truthPrefix;
    bool losses = false;
    for (const auto& p : rec.packets)
        losses |= !p.delivered;
    for (int c = 1; c <= 6; ++c) {
        if (rec.truth[c - 1].width == 0) continue;
        const std::string base = prefix + ".ch" + std::to_string(c);
        writePgm(base + ".pgm", rec.truth[c - 1]);
        if (!losses) continue;
        // What a decoder draws from what arrives: grey, green for blocks that
        // never came, magenta for rows no strip reached.
        const ExpectedPicture e = expectedPicture(rec, c);
        std::string ppm = "P6\n" + std::to_string(e.width) + " " + std::to_string(e.height) + "\n255\n";
        ppm.reserve(ppm.size() + e.value.size() * 3);
        for (std::size_t i = 0; i < e.value.size(); ++i) {
            const auto st = static_cast<ExpectedPicture::State>(e.state[i]);
            const char v = static_cast<char>(e.value[i]);
            if (st == ExpectedPicture::Grey)
                ppm.append({v, v, v});
            else if (st == ExpectedPicture::Green)
                ppm.append({'\0', static_cast<char>(255), '\0'});
            else
                ppm.append({static_cast<char>(255), '\0', static_cast<char>(255)});
        }
        write(base + ".expected.ppm", ppm.data(), ppm.size());
    }
}

std::vector<std::uint8_t> readCaduFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SynthError(path + ": cannot open frame file");
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) throw SynthError(path + ": frame file is empty");
    if (bytes.size() % kCaduSize != 0) throw SynthError(path + ": size is not a multiple of 1024 bytes");
    return bytes;
}

std::string Recording::manifestJson() const {
    const SynthOptions& o = options;
    std::string s;
    s.reserve(256 + frames.size() * 200 + packets.size() * 170);
    char buf[512];
    s += "{\n  \"generator\": \"lrpt-synth\",\n";
    std::snprintf(
        buf, sizeof buf,
        "  \"mode\": \"%s\",\n  \"polarity\": \"%s\",\n  \"form\": \"%s\",\n  \"seed\": %llu,\n"
        "  \"symbolRate\": %.3f,\n  \"pairOrderInFile\": \"QI\",\n  \"firstValueOfPairOn\": \"%s\",\n"
        "  \"leadInValues\": %lld,\n  \"symbols\": %lld,\n  \"bytes\": %zu,\n  \"truncatedTo\": %lld,\n"
        "  \"amplitude\": %.3f,\n  \"esn0Db\": %s,\n  \"rotationDeg\": %d,\n  \"swapIq\": %s,\n",
        o.mode == Mode::k72 ? "72k" : "80k", o.polarity == Polarity::Nominal ? "nominal" : "satellite",
        formExtension(o.form) + 1, static_cast<unsigned long long>(o.seed), symbolRate,
        o.mode == Mode::k72 ? "I" : "Q", static_cast<long long>(leadInValues), static_cast<long long>(pairs),
        bytes.size(), static_cast<long long>(o.truncateBytes), o.amplitude,
        o.esn0Db ? std::to_string(*o.esn0Db).c_str() : "null", o.rotationDeg, o.swapIq ? "true" : "false");
    s += buf;
    if (o.nrzm) s += "  \"nrzm\": true,\n";
    if (isBaseband(o.form)) {
        const SampleFormat f = resolvedSampleFormat(o);
        const int bits = f == SampleFormat::U8 || f == SampleFormat::S8 ? 8
                         : f == SampleFormat::S16                       ? 16
                         : f == SampleFormat::S24                       ? 24
                         : f == SampleFormat::F64                       ? 64
                                                                        : 32;
        std::snprintf(
            buf, sizeof buf,
            "  \"wav\": {\"bits\": %d, \"encoding\": \"%s\", \"headerless\": %s, \"frameOrder\": \"QI\", "
            "\"sampleRate\": %d, \"carrierOffsetHz\": %.3f, \"driftHzPerS\": %.6g, \"phaseDeg\": %.3f, "
            "\"levelRms\": %.9g, \"rolloff\": %.3f, \"oqpsk\": %s},\n",
            bits, sampleFormatName(f), o.form == OutputForm::Iq ? "true" : "false",
            static_cast<int>(std::lround(o.sampleRate)), o.carrierOffsetHz, o.driftHzPerS, o.phaseDeg,
            o.wavLevel > 0 ? o.wavLevel : defaultLevel(f), o.rolloff, o.oqpsk ? "true" : "false");
        s += buf;
        s += "  \"spoilers\": {\"spurs\": [";
        for (std::size_t k = 0; k < o.spurs.size(); ++k) {
            std::snprintf(buf, sizeof buf, "%s{\"offsetHz\": %.3f, \"powerDb\": %.3f, \"driftHzPerS\": %.6g}",
                          k ? ", " : "", o.spurs[k].offsetHz, o.spurs[k].powerDb, o.spurs[k].driftHzPerS);
            s += buf;
        }
        s += "], \"echo\": ";
        if (o.echo) {
            std::snprintf(buf, sizeof buf, "{\"delayUs\": %.6g, \"gainDb\": %.3f, \"phaseDeg\": %.3f}",
                          o.echo->delayUs, o.echo->gainDb, o.echo->phaseDeg);
            s += buf;
        } else {
            s += "null";
        }
        std::snprintf(
            buf, sizeof buf,
            ", \"phaseNoiseHz\": %.6g, \"clockPpm\": %.6g, \"iqGainDb\": %.4g, \"iqPhaseDeg\": %.4g, "
            "\"dcI\": %.6g, \"dcQ\": %.6g},\n",
            o.phaseNoiseHz, o.clockPpm, o.iqGainDb, o.iqPhaseDeg, o.dcI, o.dcQ);
        s += buf;
    }
    std::snprintf(buf, sizeof buf,
                  "  \"deliveryExact\": %s,\n  \"fromCadu\": %s,\n  \"scans\": %d,\n  \"scanPeriodMs\": "
                  "1231.14,\n  \"firstScanTimeMs\": %u,\n"
                  "  \"impairments\": {\"dropPacketRate\": %g, \"dropFrameRate\": %g, \"flipBitRate\": %g, "
                  "\"otherVcRate\": %g},\n",
                  deliveryExact ? "true" : "false", o.cadus ? "true" : "false", scans, o.startTimeMs,
                  o.dropPacketRate, o.dropFrameRate, o.flipBitRate, o.otherVcRate);
    s += buf;
    s += "  \"channels\": [";
    bool firstCh = true;
    if (!o.cadus)
        for (int c : o.channels) {
            if (!firstCh) s += ", ";
            firstCh = false;
            std::snprintf(buf, sizeof buf, "{\"channel\": %d, \"apid\": %d, \"width\": %d, \"height\": %d}",
                          c, 63 + c, truth[c - 1].width, truth[c - 1].height);
            s += buf;
        }
    s += "],\n  \"noiseGaps\": [";
    for (std::size_t i = 0; i < o.noiseGaps.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%s{\"startSeconds\": %g, \"lengthSeconds\": %g}", i ? ", " : "",
                      o.noiseGaps[i].startSeconds, o.noiseGaps[i].lengthSeconds);
        s += buf;
    }
    s += "],\n";
    if (!o.slips.empty()) {
        s += "  \"slips\": [";
        for (std::size_t i = 0; i < o.slips.size(); ++i) {
            const SlipKind k = o.slips[i].kind;
            std::snprintf(buf, sizeof buf, "%s{\"atSeconds\": %g, \"kind\": \"%s\"}", i ? ", " : "",
                          o.slips[i].atSeconds,
                          k == SlipKind::Drop     ? "drop"
                          : k == SlipKind::Double ? "double"
                                                  : "flip");
            s += buf;
        }
        s += "],\n";
    }
    s += "  \"notes\": ";
    appendJsonString(s, notes);
    s += ",\n  \"frames\": [\n";
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& f = frames[i];
        std::snprintf(
            buf, sizeof buf,
            "    {\"index\": %zu, \"vcid\": %d, \"counter\": %u, \"pointer\": %d, \"sent\": %s, \"fill\": "
            "%s, "
            "\"sentIndex\": %d, \"firstValue\": %lld, \"lastValue\": %lld, \"flippedBits\": %d, "
            "\"wordErrors\": [%d, %d, %d, %d], \"rsFailed\": %s, \"inNoiseGap\": %s, \"cutOff\": %s}%s\n",
            i, f.vcid, f.counter, f.pointer, f.sent ? "true" : "false", f.fill ? "true" : "false",
            f.sentIndex, static_cast<long long>(f.firstValue), static_cast<long long>(f.lastValue),
            f.flippedBits, f.wordErrors[0], f.wordErrors[1], f.wordErrors[2], f.wordErrors[3],
            f.rsFailed ? "true" : "false", f.inNoiseGap ? "true" : "false", f.cutOff ? "true" : "false",
            i + 1 < frames.size() ? "," : "");
        s += buf;
    }
    s += "  ],\n  \"packets\": [\n";
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto& p = packets[i];
        std::snprintf(
            buf, sizeof buf,
            "    {\"apid\": %d, \"count\": %d, \"length\": %d, \"timeMs\": %u, \"mcu\": %d, \"channel\": %d, "
            "\"scan\": %d, \"quality\": %d, \"sent\": %s, \"delivered\": %s, \"firstFrame\": %d, "
            "\"lastFrame\": %d}%s\n",
            p.apid, p.count, p.dataLength, p.timeMs, p.mcu, p.channel, p.scan, p.quality,
            p.sent ? "true" : "false", p.delivered ? "true" : "false", p.firstFrame, p.lastFrame,
            i + 1 < packets.size() ? "," : "");
        s += buf;
    }
    s += "  ]\n}\n";
    return s;
}

} // namespace lrptsynth
