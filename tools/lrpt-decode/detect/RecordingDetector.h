// Finds how a baseband recording was sent, from the recording itself: plain or offset QPSK, 72 k or
// 80 k symbols/s (plain or interleaved mode), NRZ-M or not. The recorder's channel order is no
// hypothesis: the precise receiver and the decoder's lock search take either order in every mode.
//
// Every open hypothesis of modulation and symbol rate gets a precise receiver of its own; all are
// fed the same samples, side by side on threads. Their soft symbols are decoded as they come
// (TryHypothesis of the mode detector, with and without NRZ-M) over windows of the latest seconds;
// the first window in which a hypothesis yields Reed-Solomon-clean frames decides. A wrong rate or
// modulation yields none: its receiver does not lock, or its symbols do not decode.
//
// The winner is not thrown away: its receiver, already locked, and the soft values it produced from
// the start of the deciding window on are handed to the caller, which goes on from there. So the
// recording is read once, nothing before the deciding window is kept, and memory stays bounded
// however long a stream runs before a signal appears.
#pragma once

#include "precise/PreciseReceiver.h"
#include "session/ModeDetector.h"

#include <complex>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One way the recording may have been sent.
struct TRecordingHypothesis {
    bool Oqpsk = false;
    TLrptMode Mode = TLrptMode::lm72k; // 72 k: 72,000 symbols/s plain; 80 k: 80,000 interleaved
    bool Nrzm = false;
    friend bool operator==(const TRecordingHypothesis&, const TRecordingHypothesis&) = default;
};

// "OQPSK 72k NRZ-M", "QPSK 80k", ...
std::string RecordingHypothesisName(const TRecordingHypothesis& aHypothesis);
double SymbolRateOf(TLrptMode aMode); // 72,000 or 80,000

// What the user forced; every member left empty is found.
struct TRecordingConstraints {
    std::optional<bool> Oqpsk;
    std::optional<TLrptMode> Mode;
    std::optional<bool> Nrzm;
};

struct TRecordingDetectorOptions {
    double Window72k = 4;        // seconds of 72 k symbols decoded per try
    double Window80k = 24;       // of 80 k symbols (the deinterleaver delays by about 16.6 s)
    uint32_t EnoughFrames = 8;   // clean frames that decide at once
    uint32_t MinCleanFrames = 2; // at the end of the input, fewer than this under every hypothesis: not found
    precise::TPreciseParams Receiver; // SampleRate, SymbolRate and Oqpsk are set per hypothesis
};

struct TRecordingEvidence {
    TRecordingHypothesis Hypothesis;
    bool Tried = false;  // a window of its symbols was decoded (80 k needs the longer window)
    bool Locked = false; // its receiver was locked at the end of its latest try
    double SnrDb = 0;    // its receiver's Es/N0 estimate
    uint32_t Frames = 0; // frames examined in its latest try
    uint32_t CleanFrames = 0;
};

struct TRecordingDetection {
    bool Found = false;
    TRecordingHypothesis Chosen; // meaningful when Found
    std::vector<TRecordingEvidence> Tried;
    double InputSeconds = 0; // seconds of the recording read until the decision
    double Seconds = 0;      // processor-independent wall time spent detecting
    // One line: the choice and the evidence, e.g. "OQPSK 72k NRZ-M (OQPSK 72k NRZ-M: 8 clean
    // frames of 8; QPSK 72k: no frame; QPSK 80k: not tried yet; ...; 0.4 s of wall time on 5.2 s of
    // recording)".
    std::string Describe() const;
};

class TRecordingDetector {
  public:
    // aSampleRate: Hz of the input. Throws precise::TPreciseParamError for a rate the receiver cannot
    // take, std::invalid_argument when the constraints leave no hypothesis.
    TRecordingDetector(double aSampleRate, const TRecordingConstraints& aConstraints,
                       const TRecordingDetectorOptions& aOptions = {});
    ~TRecordingDetector();
    TRecordingDetector(const TRecordingDetector&) = delete;
    TRecordingDetector& operator=(const TRecordingDetector&) = delete;

    // Feeds complex samples (I + jQ as the input layer delivers them); every sample of the block is
    // taken (when the decision falls within it, the rest of it goes to the winner). Returns true once
    // decided; later calls then take nothing: the caller feeds the handed-over receiver.
    bool Process(const std::complex<float>* aSamples, size_t aCount);
    // At the end of the input: runs what is held back, tries what has not been tried yet on the
    // values held (decoded to their end, 80 k through the deinterleaver's store), then decides (Found false
    // when nothing decoded). Every receiver has then been flushed (TPreciseReceiver::Flush), the handed-over
    // one too.
    void Finish();
    bool Decided() const;
    const TRecordingDetection& Result() const;

    // After a find: the winning receiver, locked and ready for the samples after the last one fed,
    // and the 8-bit soft values it made from the deciding window's start on (Q, I per symbol, the
    // symbol file's order and scale). Each may be taken once.
    std::unique_ptr<precise::TPreciseReceiver> TakeReceiver();
    std::vector<int8_t> TakeValues();

  private:
    struct TImpl;
    std::unique_ptr<TImpl> fImpl;
};
