// The RIFF walk of a WAV file, which the input layer's messages and the Info listing use, and the
// original reader of 2-, 4-, 6- or 8-byte frames (8-bit samples signed), which no receiver uses any
// more: it stays as the reference the input layer's model frames are checked against.
#pragma once

#include "core/ReceiverBlock.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

// The "fmt " fields as read. Only the sample rate, the byte rate and the block alignment are used.
struct TWavFormat {
    int32_t FmtSize = 0;
    int32_t AudioFormat = 0;
    int32_t NumChannels = 0;
    int32_t SampleRate = 0;
    int32_t ByteRate = 0;
    int32_t BlockAlign = 0;
    int32_t BitsPerSample = 0;
};

// Codes of ParseWavHeader; a valid header gives the data offset (>= 12) instead.
enum TWavHeaderCode : int64_t {
    wh_NoRiff = -2, // bytes 0..3 are not "RIFF"
    wh_NoWave = -3, // bytes 8..11 are not "WAVE"
    wh_NoFmt = -4,  // the chunk at 12 is not "fmt " (or the file ends inside it)
    wh_NoData = -5, // none of the three chunks after "fmt " is "data" (or the file ends first)
};

// Walks the RIFF header from the start of aFile (all numbers little-endian, identifiers compared
// as four bytes) and fills aFormat as far as it got. Returns the offset of the first sample byte
// or a negative TWavHeaderCode. A file that ends early fails with the code of the item it lacks.
// The file position afterwards is where the walk stopped.
int64_t ParseWavHeader(std::FILE* aFile, TWavFormat& aFormat);

// Converts aCount frames (0..8192) of aBlockAlign bytes each into aBlock's first frames:
//   2: two signed bytes, I = b0, Q = b1;
//   4: two signed 16-bit words, I = w1 / 8, Q = w0 / 8 (truncating);
//   6: two signed 24-bit values a, b: I = b, Q = a;
//   8: two signed 32-bit values a, b: I = b, Q = a.
// aIqSwap exchanges I and Q. Other alignments convert nothing and return false.
bool ConvertFrames(const uint8_t* aRaw, int aCount, int aBlockAlign, bool aIqSwap, ReceiverBlock& aBlock);

// " %02d:%02d:%03d" (minutes, seconds, milliseconds) of aPosition / aByteRate seconds; a byte
// rate of 0 or less gives the time 0.
std::string FileTimeText(int64_t aPosition, int32_t aByteRate);

// Seek offset for a track-bar position 0..100: the fraction of the file rounded down to a whole
// frame counted from the data start.
int64_t BarSeekOffset(int64_t aFileSize, int aBarPosition, int32_t aBlockAlign, int64_t aDataOffset);

// One open input file. Owns the handle; not copyable.
class TWavInput {
  public:
    static constexpr int MaxBlockAlign = 8;

    TWavInput() = default;
    TWavInput(const TWavInput&) = delete;
    TWavInput& operator=(const TWavInput&) = delete;
    ~TWavInput() { Close(); }

    // Opens aPath and walks its header. Returns false when the file cannot be opened (nothing is
    // open then). A file that opens stays open even if its header does not parse; Readable()
    // tells whether blocks can be read, Problem() says why not.
    bool Open(const std::string& aPath);
    void Close();
    bool IsOpen() const { return fFile != nullptr; }

    // The header result: data offset or negative code.
    int64_t DataOffset() const { return fDataOffset; }
    const TWavFormat& Format() const { return fFormat; }
    // True when the header parsed, the sample rate is positive and the frames have 2, 4, 6 or 8
    // bytes; only then does ReadBlock read.
    bool Readable() const { return IsOpen() && fProblem.empty(); }
    // Empty when readable, else one line for the operator.
    const std::string& Problem() const { return fProblem; }

    int64_t FileSize() const { return fSize; }
    int64_t Position() const { return fPosition; }

    // Reads and converts up to 8192 frames; returns the number of whole frames read (0 at the end
    // of the file or when not readable). Frames beyond the count keep their previous contents.
    int ReadBlock(ReceiverBlock& aBlock, bool aIqSwap);

    // Track bar: file position / (file size / 100), 0 for files under 100 bytes.
    int BarPosition() const;
    // The operator moved the bar: seek to its fraction of the file (no effect when not readable).
    void SeekToBar(int aBarPosition);
    // Byte-exact repositioning, used around the wave information listing.
    void SeekTo(int64_t aOffset);

    std::string FileTime() const { return FileTimeText(fPosition, fFormat.ByteRate); }

    // The handle, for listing the chunks (the caller restores the position with SeekTo).
    std::FILE* Handle() { return fFile; }

  private:
    std::FILE* fFile = nullptr;
    int64_t fSize = 0;
    int64_t fPosition = 0;
    int64_t fDataOffset = 0;
    TWavFormat fFormat;
    std::string fProblem;
    std::array<uint8_t, ReceiverBlock::FrameCount * MaxBlockAlign> fRaw{};
};
