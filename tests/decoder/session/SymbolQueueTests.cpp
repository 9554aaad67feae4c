// The bounded queue between a receiver and the decoding session, and whole sessions fed through it.
#include "session/DecodingSession.h"
#include "session/SymbolQueue.h"

#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Values that tell their place: value k is k mod 251 as a signed byte.
int8_t At(size_t k) {
    return static_cast<int8_t>(k % 251);
}

} // namespace

// A small ring, writes and reads of every size (larger than the ring too): every value arrives
// once, in order, and the end comes after the last one.
TEST(SymbolQueue, CarriesEveryValueInOrderThroughASmallRing) {
    TSymbolQueue queue(1000);
    constexpr size_t Total = 300000;
    std::thread writer([&] {
        std::mt19937 random(7);
        std::vector<int8_t> chunk;
        for (size_t sent = 0; sent < Total;) {
            const size_t n = std::min<size_t>(Total - sent, random() % 2500 + 1);
            chunk.resize(n);
            for (size_t k = 0; k < n; ++k)
                chunk[k] = At(sent + k);
            ASSERT_TRUE(queue.Write(chunk.data(), n));
            sent += n;
        }
        queue.Close();
    });
    std::mt19937 random(11);
    std::vector<int8_t> buffer(1500);
    size_t received = 0, wrong = 0;
    for (;;) {
        const int got = queue.Read(buffer.data(), int(random() % 1500 + 1), 1000);
        if (got < 0) break;
        ASSERT_LE(queue.Size(), queue.Capacity());
        for (int k = 0; k < got; ++k)
            wrong += buffer[size_t(k)] != At(received + size_t(k));
        received += size_t(got);
    }
    writer.join();
    EXPECT_EQ(received, Total);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(queue.Read(buffer.data(), 10, 0), -1); // and stays ended
}

TEST(SymbolQueue, WaitsEndsAndGivesUp) {
    TSymbolQueue queue(16);
    int8_t out[32];
    EXPECT_EQ(queue.Read(out, 32, 20), 0); // nothing arrived in time: not the end
    const int8_t values[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    // A writer blocked on the full ring is released by the reader giving up, and told so.
    bool accepted = true;
    std::thread writer([&] { accepted = queue.Write(values, 20); });
    while (queue.Size() < 16)
        std::this_thread::yield();
    queue.Cancel();
    writer.join();
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(queue.Write(values, 1));

    TSymbolQueue closed(16);
    ASSERT_TRUE(closed.Write(values, 5));
    closed.Close();
    EXPECT_FALSE(closed.Write(values, 1)); // nothing after the end
    EXPECT_EQ(closed.Read(out, 32, 0), 5); // what was held is still read, then the end
    EXPECT_EQ(out[4], 5);
    EXPECT_EQ(closed.Read(out, 32, 0), -1);
}

// The session fed through the queue (odd-sized writes, so reads split symbols) gives what the
// same values give from a file: the same frames, packets and pictures, in both modes.
TEST(SymbolQueue, SessionFromAStreamEqualsTheSessionFromTheFile) {
    const fs::path dir = fs::temp_directory_path() / ("symbol_queue_session_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto mode : {lrptsynth::Mode::k72, lrptsynth::Mode::k80}) {
        const bool plain = mode == lrptsynth::Mode::k72;
        SCOPED_TRACE(plain ? "72k" : "80k");
        lrptsynth::SynthOptions o;
        o.mode = mode;
        o.nrzm = plain; // the differential path too
        o.durationSeconds = plain ? 8 : 6;
        o.channels = {1, 2};
        o.esn0Db = 6;
        const lrptsynth::Recording r = lrptsynth::synthesize(o);
        const std::string file = (dir / "pass.s").string();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(r.bytes.data()), std::streamsize(r.bytes.size()));
        const TLrptMode decoderMode = plain ? TLrptMode::lm72k : TLrptMode::lm80k;

        auto run = [&](bool aStream, std::vector<std::vector<uint8_t>>& aPictures) {
            TStageChain chain;
            TDecodingSession session(chain);
            if (aStream) {
                TSymbolQueue queue(50001);
                std::thread writer([&] {
                    const auto* values = reinterpret_cast<const int8_t*>(r.bytes.data());
                    for (size_t at = 0; at < r.bytes.size(); at += 7777)
                        queue.Write(values + at, std::min<size_t>(7777, r.bytes.size() - at));
                    queue.Close();
                });
                session.Run(decoderMode, queue, (dir / "stream").string(), false, {}, {}, o.nrzm);
                writer.join();
            } else {
                session.Run(decoderMode, file, false, {}, {}, (dir / "file").string(), o.nrzm);
            }
            for (int i = 0; i < 2; ++i) {
                StopStage(*chain.Channel(i));
                const TBitmap24& p = *chain.Channel(i)->Picture();
                aPictures.emplace_back(p.Bits(), p.Bits() + size_t(p.BytesPerLine()) * size_t(p.Height()));
            }
            return session.Totals();
        };
        std::vector<std::vector<uint8_t>> fromFile, fromStream;
        const TSessionTotals f = run(false, fromFile), s = run(true, fromStream);
        EXPECT_GT(f.FramesPassedOn, plain ? 60u : 100u);
        EXPECT_EQ(s.BytesFed, f.BytesFed);
        EXPECT_EQ(s.FileBytesRead, int64_t(r.bytes.size()));
        EXPECT_EQ(s.Frames, f.Frames);
        EXPECT_EQ(s.FramesPassedOn, f.FramesPassedOn);
        EXPECT_EQ(s.FailedWords, f.FailedWords);
        EXPECT_EQ(s.Packets, f.Packets);
        EXPECT_TRUE(fromStream == fromFile);
        EXPECT_EQ(fs::file_size(dir / "stream.vcdu"), fs::file_size(dir / "file.vcdu"));
    }
    fs::remove_all(dir);
}
