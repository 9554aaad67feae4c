#include "packets/LRPT_MPDUThreadUnit.h"

#include "TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int Zone = 882;

// A source packet: primary header for (apid, count) and `dataLen` bytes behind it, each byte
// telling its packet and place apart. `lengthField` overrides the header's length when >= 0.
Bytes Packet(int apid, int count, int dataLen, int lengthField = -1, int seqFlags = 3) {
    const int len = lengthField >= 0 ? lengthField : dataLen - 1;
    Bytes p = {static_cast<uint8_t>(0x08 | (apid >> 8)),
               static_cast<uint8_t>(apid),
               static_cast<uint8_t>(seqFlags << 6 | (count >> 8 & 0x3F)),
               static_cast<uint8_t>(count),
               static_cast<uint8_t>(len >> 8),
               static_cast<uint8_t>(len)};
    for (int i = 0; i < dataLen; ++i)
        p.push_back(static_cast<uint8_t>(apid * 7 + count * 3 + i));
    return p;
}

Bytes FillPacket(int size) {
    return Packet(2047, 0, size - 6);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// An 892-byte transfer frame of the given virtual channel whose zone is `zone` (padded with a
// marker byte that no packet uses).
Bytes Frame(int pointer, const Bytes& zone, int vc = 5, int spare = 0) {
    Bytes f(892, 0xEE);
    const uint8_t head[10] = {0x40,
                              static_cast<uint8_t>(vc),
                              0,
                              0,
                              1,
                              0,
                              0,
                              0,
                              static_cast<uint8_t>(spare << 3 | (pointer >> 8 & 7)),
                              static_cast<uint8_t>(pointer)};
    std::copy(head, head + 10, f.begin());
    std::copy(zone.begin(), zone.begin() + static_cast<long>(std::min<size_t>(zone.size(), Zone)),
              f.begin() + 10);
    return f;
}

Bytes Slice(const Bytes& b, size_t from, size_t count) {
    return Bytes(b.begin() + static_cast<long>(from),
                 b.begin() + static_cast<long>(std::min(b.size(), from + count)));
}

class PacketStage : public ::testing::Test {
  protected:
    void SetUp() override {
        fLog = (std::filesystem::temp_directory_path() /
                ("tarnwick_mpdu_" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log"))
                   .string();
        fStage = std::make_unique<TMPDUThread>(&fIn, &fOuts, fLog);
    }
    void TearDown() override { std::filesystem::remove(fLog); }

    void Feed(const Bytes& b) { fIn.Write(b.data(), static_cast<int32_t>(b.size())); }
    // Runs steps as the stage loop would, until a step finds too little input.
    int Run() {
        int steps = 0;
        while (fStage->DoStepMultiOut(&fIn, &fOuts)) {
            fIn.ClearNotActualMemory();
            ++steps;
        }
        return steps;
    }
    Bytes Out(int apid) {
        TSHORTstream* s = fOuts[apid];
        Bytes b(static_cast<size_t>(s->AwaitingReadSize()));
        s->Read(b.data(), static_cast<int32_t>(b.size()));
        return b;
    }
    std::vector<std::string> Log() const { return LogMessages(fLog); }

    TSHORTstream fIn{"in", true, true, nullptr};
    TSHORTStreams fOuts;
    std::string fLog;
    std::unique_ptr<TMPDUThread> fStage;
};

} // namespace

TEST_F(PacketStage, CreatesTheApidStreams) {
    EXPECT_EQ(fOuts.Count(), 4096);
    for (int apid = 64; apid <= 70; ++apid) {
        ASSERT_NE(fOuts[apid], nullptr);
        EXPECT_EQ(fOuts[apid]->Master, "MPDU_" + std::to_string(apid));
    }
    EXPECT_EQ(fOuts[63], nullptr);
    EXPECT_EQ(fOuts[71], nullptr);
}

TEST_F(PacketStage, TailThenWholePacketsThenFill) {
    const Bytes a = Packet(64, 0, 1000); // 1006 bytes: 882 in frame 1, 124 in frame 2
    const Bytes b = Packet(65, 1, 100);
    const Bytes c = Packet(70, 2, 50);
    const Bytes zone2 = Concat({Slice(a, Zone, 124), b, c});
    Feed(Frame(0, Slice(a, 0, Zone)));
    Feed(Frame(124, Concat({zone2, FillPacket(Zone - static_cast<int>(zone2.size()))})));
    Feed(Bytes(20, 0)); // what lets the last frame be processed
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(Out(64), a);
    EXPECT_EQ(Out(65), b);
    EXPECT_EQ(Out(70), c);
    EXPECT_EQ(Log(), (std::vector<std::string>{"VCDU=0 flag=false hedpos=0", "VCDU=1 flag=false hedpos=124",
                                               "CHECKED 64 0 1000 1006 1 3", "CHECKED 65 1 100 106 1 3",
                                               "CHECKED 70 2 50 56 1 3"}));
}

TEST_F(PacketStage, PacketOverThreeFramesAndEmptyPointers) {
    const Bytes a = Packet(66, 1, 1994); // 2000 bytes
    Feed(Frame(2047, Bytes(100, 1)));    // no packet in progress: zone skipped
    Feed(Frame(0, Slice(a, 0, Zone)));
    Feed(Frame(2047, Slice(a, Zone, Zone), 5, 1));
    Feed(Frame(2000 - 2 * Zone, Concat({Slice(a, 2 * Zone, Zone), FillPacket(Zone - (2000 - 2 * Zone))})));
    Feed(Bytes(20, 0));
    EXPECT_EQ(Run(), 4);
    EXPECT_EQ(Out(66), a);
    const auto log = Log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2], "VCDU=2 flag=true hedpos=2047");
    EXPECT_EQ(log[4], "CHECKED 66 1 1994 2000 1 3");
}

TEST_F(PacketStage, PointerAtZoneEndClosesThePacketWithTheWholeZone) {
    const Bytes a = Packet(64, 1, 2 * Zone - 6);
    Feed(Frame(0, Slice(a, 0, Zone)));
    Feed(Frame(882, Slice(a, Zone, Zone)));
    Feed(Bytes(20, 0));
    Run();
    EXPECT_EQ(Out(64), a);
}

TEST_F(PacketStage, PacketThatExactlyFillsTheZoneWaitsForTheNextPointer) {
    const Bytes a = Packet(64, 1, Zone - 6);
    const Bytes b = Packet(65, 2, 10);
    const Bytes second = Frame(0, Concat({b, FillPacket(Zone - 16)}));
    Feed(Frame(0, a));
    Feed(Slice(second, 0, 20));
    EXPECT_EQ(Run(), 1);
    EXPECT_TRUE(Out(64).empty());
    Feed(Slice(second, 20, second.size()));
    Feed(Bytes(20, 0));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Out(64), a);
    EXPECT_EQ(Out(65), b);
}

TEST_F(PacketStage, HeaderStraddlingTwoFrames) {
    const Bytes a = Packet(64, 1, Zone - 3 - 6); // leaves 3 bytes in the zone
    const Bytes b = Packet(67, 2, 40);
    Feed(Frame(0, Concat({a, Slice(b, 0, 3)})));
    const Bytes rest = Slice(b, 3, b.size());
    Feed(Frame(static_cast<int>(rest.size()),
               Concat({rest, FillPacket(Zone - static_cast<int>(rest.size()))})));
    Feed(Bytes(20, 0));
    Run();
    EXPECT_EQ(Out(64), a);
    EXPECT_EQ(Out(67), b);
}

TEST_F(PacketStage, WrongLengthAndForeignFramesAreDroppedNotPassedOn) {
    // The header promises 2000 bytes, but the next pointer closes the packet after 882.
    Feed(Frame(0, Packet(64, 0, Zone - 6, 1999)));
    Feed(Frame(0, Packet(65, 1, 10), 6)); // virtual channel 6: skipped silently
    Feed(Frame(0, Concat({Packet(69, 2, 10), FillPacket(Zone - 16)})));
    Feed(Bytes(20, 0));
    EXPECT_EQ(Run(), 3);
    EXPECT_TRUE(Out(64).empty());
    EXPECT_TRUE(Out(65).empty());
    EXPECT_EQ(Out(69), Packet(69, 2, 10));
    EXPECT_EQ(Log(),
              (std::vector<std::string>{"VCDU=0 flag=false hedpos=0", "VCDU=1 flag=false hedpos=0",
                                        "ERROR   64 0 2000 882 1 3", "CHECKED 69 2 10 16 1 3", "потеря"}));
}

TEST_F(PacketStage, SequenceJumpsAreLoggedAsLoss) {
    auto zone = [](std::initializer_list<Bytes> packets) {
        Bytes z = Concat(packets);
        return Concat({z, FillPacket(Zone - static_cast<int>(z.size()))});
    };
    Feed(Frame(0, zone({Packet(64, 5, 10), Packet(64, 5, 10), Packet(64, 6, 10), Packet(65, 16383, 10)})));
    Feed(Frame(0, zone({Packet(65, 0, 10), Packet(65, 2, 10)})));
    Feed(Bytes(20, 0));
    Run();
    std::vector<std::string> losses;
    for (const auto& line : Log())
        if (line == "потеря" || line.rfind("CHECKED", 0) == 0) losses.push_back(line.substr(0, 14));
    EXPECT_EQ(losses, (std::vector<std::string>{"CHECKED 64 5 1", "потеря", "CHECKED 64 5 1",
                                                "CHECKED 64 6 1", "CHECKED 65 163", "потеря",
                                                "CHECKED 65 0 1", "потеря", "CHECKED 65 2 1", "потеря"}));
}

TEST_F(PacketStage, LastFrameWaitsForTwentyMoreBytes) {
    Feed(Frame(0, Concat({Packet(64, 0, 10), FillPacket(Zone - 16)})));
    Feed(Bytes(19, 0));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(fIn.Position(), 0);
    Feed(Bytes(1, 0));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Out(64), Packet(64, 0, 10));
}
