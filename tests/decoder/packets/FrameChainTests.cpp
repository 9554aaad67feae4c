// Generated recordings through sync, Viterbi, frame and packet stages, stepped without threads,
// against the generator's manifest of packets.
#include "fec/LRPT_ReedSolomonThreadUnit.h"
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"
#include "packets/LRPT_MPDUThreadUnit.h"
#include "session/SymbolFileForms.h"

#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Packet {
    int apid, count, length;
    uint32_t time;
    int mcu;
    friend bool operator==(const Packet&, const Packet&) = default;
};

std::ostream& operator<<(std::ostream& s, const Packet& p) {
    return s << "apid " << p.apid << " count " << p.count << " length " << p.length << " time " << p.time
             << " mcu " << p.mcu;
}

struct Decoded {
    std::vector<Packet> packets; // in the order of each APID stream, APIDs 64..70 one after another
    int losses = 0;              // "потеря" lines
};

Decoded Decode(const lrptsynth::Recording& r) {
    const std::string log =
        (std::filesystem::temp_directory_path() / "tarnwick_frame_chain.mpdu.log").string();
    TSHORTstream in("in", true, true, nullptr), synced("s", true, true, nullptr),
        decoded("v", true, true, nullptr), frames("f", true, true, nullptr);
    TSHORTStreams outs;
    TSyncBeforeViterbi sync(&in, &synced, "");
    TViterbiThread viterbi(&synced, &decoded, "");
    TReedSolomonThread rs(&decoded, &frames, "", nullptr, false);
    TMPDUThread mpdu(&frames, &outs, log);

    // The file as the session feeds it in 72 k mode: pairs exchanged.
    std::vector<int8_t> values(r.bytes.begin(), r.bytes.end());
    ExchangePairs(values.data(), static_cast<int>(values.size()));
    for (size_t at = 0; at < values.size(); at += 10000)
        in.Write(values.data() + at, static_cast<int32_t>(std::min<size_t>(10000, values.size() - at)));
    while (sync.DoStep(&in, &synced))
        in.ClearNotActualMemory();
    while (viterbi.DoStep(&synced, &decoded))
        synced.ClearNotActualMemory();
    while (rs.DoStep(&decoded, &frames))
        decoded.ClearNotActualMemory();
    while (mpdu.DoStepMultiOut(&frames, &outs))
        frames.ClearNotActualMemory();

    Decoded d;
    for (int apid = 64; apid <= 70; ++apid) {
        TSHORTstream& s = *outs[apid];
        std::vector<uint8_t> bytes(static_cast<size_t>(s.AwaitingReadSize()));
        s.Read(bytes.data(), static_cast<int32_t>(bytes.size()));
        for (size_t at = 0; at + 6 <= bytes.size();) {
            const uint8_t* h = bytes.data() + at;
            const int length = (h[4] << 8 | h[5]) + 1;
            Packet p{(h[0] & 7) << 8 | h[1], (h[2] & 0x3F) << 8 | h[3], length, 0, -1};
            if (apid != 70) {
                p.time = static_cast<uint32_t>(h[8]) << 24 | static_cast<uint32_t>(h[9]) << 16 | h[10] << 8 |
                         h[11];
                p.mcu = h[14];
            }
            d.packets.push_back(p);
            at += 6 + static_cast<size_t>(length);
        }
    }
    std::ifstream in2(log, std::ios::binary);
    std::string line;
    while (std::getline(in2, line))
        d.losses += line.find(" - потеря") != std::string::npos;
    std::filesystem::remove(log);
    return d;
}

std::vector<Packet> Expected(const lrptsynth::Recording& r, bool onlyDelivered) {
    std::vector<Packet> expected;
    for (int apid = 64; apid <= 70; ++apid)
        for (const auto& p : r.packets)
            if (p.apid == apid && p.sent && (!onlyDelivered || p.delivered))
                expected.push_back(
                    {p.apid, p.count, p.dataLength, apid == 70 ? 0u : p.timeMs, apid == 70 ? -1 : p.mcu});
    return expected;
}

// "потеря" lines the packet stage owes: jumps of more than one in the count, over all APIDs in
// the order the packets were completed (which is the order they were sent).
int ExpectedLosses(const lrptsynth::Recording& r) {
    int losses = 0, previous = 0;
    for (const auto& p : r.packets)
        if (p.delivered && p.apid >= 64 && p.apid <= 70) {
            if (std::abs(p.count - previous) > 1) ++losses;
            previous = p.count;
        }
    return losses;
}

} // namespace

TEST(FrameChain, EveryPacketArrivesWholeAndInOrder) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 8;
    o.channels = {1, 2, 3, 4, 5, 6};
    o.esn0Db = 6;
    const auto r = lrptsynth::synthesize(o);
    const Decoded d = Decode(r);
    const auto expected = Expected(r, false);
    ASSERT_EQ(d.packets.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(d.packets[i], expected[i]) << i;
    EXPECT_EQ(d.losses, ExpectedLosses(r));
}

TEST(FrameChain, DroppedFramesLoseExactlyTheDamagedPackets) {
    lrptsynth::SynthOptions o;
    o.durationSeconds = 10;
    o.channels = {1, 2, 3};
    o.dropFrameRate = 0.08;
    o.seed = 3;
    const auto r = lrptsynth::synthesize(o);
    const auto expected = Expected(r, true);
    ASSERT_LT(expected.size(), Expected(r, false).size()); // something was lost
    const Decoded d = Decode(r);
    ASSERT_EQ(d.packets.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(d.packets[i], expected[i]) << i;
    EXPECT_GT(d.losses, 0);
    EXPECT_EQ(d.losses, ExpectedLosses(r));
}
