// The window's run with the precise receiver: the input layer's complex float blocks, the precise
// receiver and its symbol writer, stepped once per tick of the window's timer. No toolkit: the
// window copies what it shows (readouts, recent symbols, a probe of the input) after each step.
#pragma once

#include "app/Displays.h"
#include "app/SampleSource.h"
#include "core/ProbeBuffer.h"
#include "precise/PreciseReceiver.h"
#include "precise/SoftSymbolWriter.h"

#include <memory>
#include <string>
#include <vector>

// What the operator's controls set for a precise run.
struct TPreciseSetup {
    bool Precise = false; // the receiver choice: false for the model (the default)
    bool Oqpsk = false;
    bool SwapIq = false; // exchange the input's channels
};
// One control to one field, as the window reads them when Run starts one.
struct TPreciseControl {
    const char* Control;                     // object name of the window's control
    void (*Set)(TPreciseSetup&, int aValue); // a check box gives 0/1, the receiver box its index
};
const std::vector<TPreciseControl>& PreciseControls();
constexpr const char* ReceiverChoices[] = {"Model", "Precise"}; // index 1 is the precise receiver

class TPreciseRun {
  public:
    static constexpr int BlockFrames = 8192; // frames read per step, as the model's tick
    static constexpr int RecentSymbols = 1040;

    // Opens the input (TInputError when it cannot be read, or when its rate is one the receiver
    // does not take) and creates (truncates) aOutput for the symbols, in the form its extension
    // gives (".raw" 3-bit soft, else 8-bit pairs). An empty aOutput or one that cannot be created
    // leaves the run without an output: the symbols are then dropped (OutputOpen false).
    // aProbe (may be nullptr, borrowed) receives the input's I samples x 128 whenever its reader
    // has restarted it.
    TPreciseRun(const TSourceOptions& aInput, const TPreciseSetup& aSetup, const std::string& aOutput,
                ProbeBuffer* aProbe);

    enum TStep {
        st_Block, // a block was read and processed
        st_End,   // the input has ended: the receiver flushed, the output closed; later steps do nothing
    };
    // Reads up to BlockFrames frames and runs them; read errors (TInputError) leave Step.
    TStep Step();

    precise::TPreciseReadouts Readouts() const { return fRx->Readouts(); }
    // The newest symbols, up to RecentSymbols of them, oldest first (a copy made after each step).
    const std::vector<precise::TSoftPair>& Recent() const { return fRecent; }
    const TSampleSource& Source() const { return *fSource; }
    // Moves the input to frame aFrame (TSampleSource::SeekFrame: clamped, TInputError where the
    // input cannot seek); the receiver goes on from there as after a fade. Nothing after the end.
    void SeekFrame(int64_t aFrame);
    bool OutputOpen() const { return fOutputOpen; }
    // Closes the output (everything written so far is in it) and goes on into aPath, created or
    // truncated; false when it cannot be created (the symbols are then dropped).
    bool SetOutput(const std::string& aPath);
    int64_t SymbolsWritten() const { return fOut.Symbols(); } // to the current output file
    bool Ended() const { return fEnded; }

  private:
    std::unique_ptr<TSampleSource> fSource;
    std::unique_ptr<precise::TPreciseReceiver> fRx;
    precise::TSoftSymbolWriter fOut;
    bool fOutputOpen = false, fEnded = false;
    ProbeBuffer* fProbe;
    std::vector<std::complex<float>> fSamples;
    std::vector<precise::TSoftPair> fSymbols, fRecent;
};

// The constellation display of recent precise symbols: the empty constellation with one green
// point per symbol; a clean symbol (+-1, +-1) sits 40 pixels from the centre (positive Q downwards,
// as the model's). Points beyond the image are clamped to its edge.
TPixelMap PreciseConstellation(const std::vector<precise::TSoftPair>& aSymbols);
