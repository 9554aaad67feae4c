// lrpt-synth: writes a synthetic LRPT recording with its ground truth.
#include "CommandLine.h"
#include "Synthesizer.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

using namespace lrptsynth;

namespace {

void printSummary(const Recording& rec, const std::string& output, double seconds) {
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
                rec.frames.size(), framesSent, rec.packets.size(), sent, delivered, rec.scans, seconds);
    if (!rec.notes.empty()) std::printf("note: %s\n", rec.notes.c_str());
}

} // namespace

int main(int argc, char** argv) {
    CommandLine c;
    try {
        c = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "lrpt-synth: %s (see --help)\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lrpt-synth: %s\n", e.what());
        return 1;
    }
    if (c.help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }

    try {
        const auto t0 = std::chrono::steady_clock::now();
        const Recording rec = synthesize(c.options);
        writeRecordingFiles(rec, c.output, !c.noTruth, c.manifest, c.truthPrefix);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!c.quiet) printSummary(rec, c.output, secs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lrpt-synth: %s\n", e.what());
        return 1;
    }
    return 0;
}
