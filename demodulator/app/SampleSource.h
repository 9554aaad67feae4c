// The demodulator's input layer: complex baseband from a WAV/RF64/W64 file, a headerless I/Q file
// or standard input, read block by block as complex float for a float receiver or as the fixed-point
// model's frames. Every receiver reads through this one class, so none of them knows the encoding.
#pragma once

#include "core/ReceiverBlock.h"

#include <atomic>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// How the input is stored. Auto: a WAV by its header or name, a headerless form by its extension
// (.cu8 .cs8 .cs16 .cf32). Headerless forms hold interleaved pairs, little-endian, no header:
// cu8 unsigned 8-bit with zero at 128 (rtl_sdr), cs8 signed 8-bit, cs16 signed 16-bit, cf32
// 32-bit IEEE float.
enum class TInputForm { Auto, Wav, Cu8, Cs8, Cs16, Cf32 };

// " mm:ss:mmm" (minutes, seconds, milliseconds, truncated) of aFrames / aRateHz seconds; a rate
// of 0 or less gives the time 0. Minutes are not limited to two digits.
std::string FrameTimeText(int64_t aFrames, int64_t aRateHz);

// What one sample of a readable input is.
enum class TSampleEncoding { U8, S8, S16, S24, S32, F32, F64 };

// "wav", "cu8", "cs8", "cs16", "cf32" (and "auto"); nullopt for anything else.
std::optional<TInputForm> ParseInputForm(const std::string& aName);
// A sample rate given on a command line: a whole number of Hz, 1 .. 10^9; nullopt for anything else.
std::optional<int64_t> ParseRateHz(const std::string& aText);
// The form a file name's extension gives (case-insensitive), Auto when it gives none.
TInputForm InputFormFromName(const std::string& aPath);
const char* EncodingName(TSampleEncoding aEncoding); // "8-bit unsigned integer", ...

// A refused or failed input: one line for the user, beginning with the file's name ("standard
// input" for "-") and saying what the file holds or why it cannot be read.
class TInputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Standard input was ended by a stop request before it held a WAV header: nothing came.
class TInputInterrupted : public TInputError {
  public:
    using TInputError::TInputError;
};

struct TSourceOptions {
    std::string Path;                   // a file, or "-" for standard input
    TInputForm Form = TInputForm::Auto; // standard input needs a form other than Auto
    int64_t RateHz = 0;                 // frames per second; required for headerless forms, and for a
                                        // WAV it replaces the header's rate; 0: not given
    bool SwapIq = false;                // exchange the two channels of every frame
    // When given and set (from a signal handler, say), standard input ends where it is, within
    // about 0.1 s, even while the pipe stays open and idle; the same as RequestStop. Must outlive
    // the source.
    const std::atomic<bool>* Stop = nullptr;
};

// One open input. Frames are pairs of samples; the first channel is I and the second Q, as SDR
// programs record them (SwapIq exchanges). Accepted: WAV (also WAVE_FORMAT_EXTENSIBLE), RF64 and
// W64 with two channels of PCM 8-bit unsigned (zero at 128, as WAV defines it), 16-, 24- or 32-bit
// signed integer, or 32- or 64-bit float; and the four headerless forms. Read through libsndfile
// for the containers, so files over 4 GiB work. Everything else (mono or multi-channel files,
// compressed encodings, other containers, empty files, folders, a headerless input without a
// rate) is refused by the constructor with a TInputError.
//
// Standard input: headerless forms stream; a WAV streams when libsndfile can parse its header
// from a pipe (a plain PCM WAV can), and is refused otherwise. Frames are read as they arrive,
// and TotalFrames is unknown. A stop request (TSourceOptions::Stop, RequestStop) ends it within
// about 0.1 s wherever it waits: in a read, in WaitForData, or (a WAV) for the header, which then
// throws TInputInterrupted.
//
// Float samples that are not finite (NaN, infinities) are read as 0, an erasure, and counted: no
// receiver state can be spoilt by one of them.
//
// Not copyable; owns the file. Reads continue where the last read (of either kind) or SeekFrame
// left off; ReadComplex and ReadModelBlock may be mixed.
class TSampleSource {
  public:
    // Opens and checks the input; throws TInputError (see the class comment).
    explicit TSampleSource(const TSourceOptions& aOptions);
    ~TSampleSource();
    TSampleSource(const TSampleSource&) = delete;
    TSampleSource& operator=(const TSampleSource&) = delete;

    const std::string& Path() const { return fPath; }
    // The name used in messages: the path, or "standard input".
    const std::string& Name() const { return fName; }
    TInputForm Form() const { return fForm; } // Wav or a headerless form, never Auto
    TSampleEncoding Encoding() const { return fEncoding; }
    int64_t SampleRate() const { return fRate; } // frames per second, > 0
    // Frames the input holds, or -1 when unknown (standard input).
    int64_t TotalFrames() const { return fTotal; }
    // The frame the next read starts at: the frames read so far, or where SeekFrame moved to.
    int64_t FramesRead() const { return fRead; }
    bool IsStream() const { return fStream; } // standard input: the output should grow as it comes
    // Sample values (I and Q counted apart) that were NaN or infinite and were read as 0.
    uint64_t NonFiniteSamples() const { return fNonFinite; }
    // Ends standard input at the next read (a file goes on: its reads never wait long). Safe from
    // any thread and from a signal handler.
    void RequestStop() { fStopRequested.store(true); }
    // Whether a stop request has been made (here or through TSourceOptions::Stop).
    bool StopRequested() const { return fStopRequested.load() || (fStop && fStop->load()); }
    bool CanSeek() const { return !fStream; }
    // "WAV", "WAV (extensible)", "RF64", "W64", or "headerless cu8" (and the other forms).
    std::string Container() const;
    // Byte offset of the first frame in the file: 0 for headerless forms, the data chunk's for a
    // RIFF WAV whose data chunk is among the first three after "fmt "; -1 when not known (RF64,
    // W64, other WAV layouts, standard input).
    int64_t DataOffset() const { return fDataOffset; }
    // What the input holds, for messages and summaries: "WAV, 2 channels of 16-bit signed integer,
    // 196078 Hz" or "headerless cu8 (8-bit unsigned integer I/Q), 1024000 Hz".
    std::string Description() const;
    // Not empty when the input is deficient but readable: a WAV whose data chunk claims more bytes
    // than the file holds (a recording cut short; what is there is read).
    const std::string& Warning() const { return fWarning; }

    // What a listing of the input shows when it has no RIFF chunks to walk (RF64, W64,
    // headerless forms): its form, encoding, rate, length in frames and time, one item a line.
    std::vector<std::string> Summary() const;

    // Moves to frame aFrame (clamped to 0..TotalFrames), so that the next read starts there.
    // Throws TInputError for standard input (nothing can be read twice there) or when the file
    // refuses the seek.
    void SeekFrame(int64_t aFrame);

    // Blocks until the input holds at least one more byte or has ended; false when it has ended or
    // a stop was requested first (StopRequested tells which). Lets a caller refuse an empty pipe
    // before it creates its output. Cannot tell for a WAV on standard input (returns true unless
    // stopped).
    bool WaitForData();

    // Reads up to aMax frames (aMax >= 0) as I + jQ with full scale at +-1 (integers divided by
    // 2^(bits-1), floats as stored, not clipped). Returns the number read; 0 only at the end of
    // the input. Blocks on standard input until aMax frames or the end arrived. Throws TInputError
    // on a read error.
    int ReadComplex(std::complex<float>* aOut, int aMax);

    // Reads up to one block (8192 frames) on the fixed-point model's scale: every encoding is
    // brought to 16-bit full scale (integers by their top 16 bits, floats by x 32768 rounded and
    // clipped), and the model takes, as it always took from 16-bit files, I = second channel / 8
    // and Q = first channel / 8, truncating toward zero; so a 16-bit file gives exactly its old
    // frames and every other encoding the frames of a 16-bit file of the same signal. aModelSwap
    // (the model's own I/Q exchange) exchanges once more. Frames beyond the count keep their
    // contents. Returns the count; 0 only at the end. Throws TInputError on a read error.
    int ReadModelBlock(ReceiverBlock& aBlock, bool aModelSwap);

  private:
    // Reads up to aMax frames into fInts (integer encodings, left-justified to 32 bits) or fFloats
    // (float encodings, non-finite values made 0), channel order as stored. Returns the frames read.
    int ReadRaw(int aMax);
    // Reads whole frames of a headerless form from the file or standard input into fBytes.
    size_t ReadHeaderless(int aMax);
    void OpenWav(const TSourceOptions& aOptions);
    void OpenHeaderless(const TSourceOptions& aOptions);
    [[noreturn]] void Refuse(const std::string& aWhy) const;

    std::string fPath, fName;
    TInputForm fForm = TInputForm::Auto;
    TSampleEncoding fEncoding = TSampleEncoding::S16;
    int64_t fRate = 0;
    int64_t fTotal = -1;
    int64_t fRead = 0;
    bool fStream = false;
    bool fSwap = false;
    int64_t fDataOffset = -1;
    std::string fContainer; // "WAV", "WAV (extensible)", "RF64", "W64"
    std::string fWarning;

    uint64_t fNonFinite = 0;
    std::atomic<bool> fStopRequested{false};
    std::atomic<bool> fRelayQuit{false}; // the relay is ending: its reads of standard input stop
    const std::atomic<bool>* fStop = nullptr;

    class TStdinReader;                   // standard input, waits that a stop request ends
    std::unique_ptr<TStdinReader> fStdin; // set for standard input
    class TStdinRelay;                    // feeds libsndfile a WAV from standard input
    std::unique_ptr<TStdinRelay> fRelay;  // declared before fSnd: ends after libsndfile's handle
    struct TSndFile;                      // libsndfile handle (WAV, RF64, W64)
    std::unique_ptr<TSndFile> fSnd;       // set for containers
    std::FILE* fRawFile = nullptr;        // set for headerless files
    std::vector<uint8_t> fBytes;          // headerless read buffer
    std::vector<uint8_t> fPending;        // standard input: bytes read ahead of a whole frame
    std::vector<int32_t> fInts;           // two per frame
    std::vector<float> fFloats;           // two per frame
    std::vector<double> fDoubles;         // libsndfile reads of float files
};
