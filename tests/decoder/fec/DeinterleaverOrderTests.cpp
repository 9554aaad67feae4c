// Why the deinterleaver reads its store before writing: on a clean 80 k pass in the satellites'
// interleaving, the decoder's quality figure is 0 once the store has filled, while the order that
// writes first puts branch 0 one whole store out of step.
#include "fec/InterlivingThreadUnit.h"
#include "fec/LRPT_SyncBeforIntThreadUnit.h"
#include "fec/LRPT_SyncBeforeViterbiUnit.h"
#include "fec/LRPT_ViterbiThreadUnit.h"

#include "Synthesizer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Frame = 73728, Store = 36 * Frame;

// The write-first order: store the new value, then read the value 73,728 x branch further on.
class TWriteFirstDeinterleaver {
  public:
    int8_t Next(int8_t v) {
        fStore[fPos] = v;
        const int8_t out = fStore[(fPos + Frame * (fPos % 36)) % Store];
        fPos = (fPos + 1) % Store;
        return out;
    }

  private:
    std::vector<int8_t> fStore = std::vector<int8_t>(Store, 0);
    uint32_t fPos = 0;
};

// "BER = " figures logged by the Viterbi stage for the deinterleaved values.
std::vector<double> Quality(const std::vector<int8_t>& deinterleaved) {
    const std::string log = (std::filesystem::temp_directory_path() / "tarnwick_deint_order.log").string();
    std::vector<double> figures;
    {
        TSHORTstream in("in", true, true, nullptr), synced("s", true, true, nullptr),
            out("o", true, true, nullptr);
        TSyncBeforeViterbi sync(&in, &synced, "");
        TViterbiThread viterbi(&synced, &out, log);
        for (size_t at = 0; at < deinterleaved.size(); at += 1 << 20)
            in.Write(deinterleaved.data() + at,
                     static_cast<int32_t>(std::min<size_t>(1 << 20, deinterleaved.size() - at)));
        while (sync.DoStep(&in, &synced))
            in.ClearNotActualMemory();
        while (viterbi.DoStep(&synced, &out))
            synced.ClearNotActualMemory();
    }
    std::ifstream lines(log, std::ios::binary);
    std::string line;
    while (std::getline(lines, line))
        figures.push_back(std::stod(line.substr(line.find("BER = ") + 6)));
    std::filesystem::remove(log);
    return figures;
}

} // namespace

TEST(DeinterleaverOrder, ReadingFirstGivesEveryBranchTheSameDelay) {
    lrptsynth::SynthOptions o;
    o.mode = lrptsynth::Mode::k80;
    o.durationSeconds = 32;
    const auto r = lrptsynth::synthesize(o);

    // Unique-word sync (quarter turns, group boundaries) as in the 80 k chain.
    TSHORTstream in("in", true, true, nullptr), data("d", true, true, nullptr);
    TSyncBeforIntThread uw(&in, &data, "");
    in.Write(r.bytes.data(), static_cast<int32_t>(r.bytes.size()));
    while (uw.DoStep(&in, &data))
        in.ClearNotActualMemory();
    std::vector<int8_t> values(static_cast<size_t>(data.AwaitingReadSize() / Frame * Frame));
    data.Read(values.data(), static_cast<int32_t>(values.size()));
    ASSERT_GT(values.size(), 2u * Store);

    TSHORTstream fixedIn("fi", true, true, nullptr), fixedOut("fo", true, true, nullptr);
    TInterlivingThread fixed(&fixedIn, &fixedOut, "");
    fixedIn.Write(values.data(), static_cast<int32_t>(values.size()));
    while (fixed.DoStep(&fixedIn, &fixedOut))
        fixedIn.ClearNotActualMemory();
    std::vector<int8_t> readFirst(static_cast<size_t>(fixedOut.AwaitingReadSize()));
    fixedOut.Read(readFirst.data(), static_cast<int32_t>(readFirst.size()));

    TWriteFirstDeinterleaver writeFirstStage;
    std::vector<int8_t> writeFirst;
    for (const int8_t v : values)
        writeFirst.push_back(writeFirstStage.Next(v));

    // Both see a start-up with a store of zeros on some branches, during which the sync stage
    // locks when it can (the two need not lock at the same block); compare the figures once it
    // has passed, counted from the end.
    const auto good = Quality(readFirst), bad = Quality(writeFirst);
    ASSERT_GE(good.size(), 6u);
    ASSERT_GE(bad.size(), 6u);
    const size_t n = std::min(good.size(), bad.size());
    for (size_t k = 1; k + 5 <= n; ++k) {
        EXPECT_EQ(good[good.size() - k], 0.0) << k;
        EXPECT_GT(bad[bad.size() - k], 2.0) << k;
    }
}
