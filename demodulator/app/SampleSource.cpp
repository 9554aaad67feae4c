#include "app/SampleSource.h"

#include "app/WavInput.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <sndfile.h>
#include <thread>
#include <unistd.h>

// Standard input read so that a stop request ends any wait: poll with a short timeout, then read
// what has come. (A read blocked in the kernel is not ended by a flag, and libsndfile retries a
// read that a signal interrupted.)
class TSampleSource::TStdinReader {
  public:
    explicit TStdinReader(std::function<bool()> aStopped) : fStopped(std::move(aStopped)) {}

    // Waits until a byte can be read or the input ended; false on a stop request.
    bool WaitReadable() {
        for (;;) {
            if (fStopped()) return false;
            pollfd p{STDIN_FILENO, POLLIN, 0};
            const int ready = poll(&p, 1, 100);
            if (ready > 0) return true; // data, the end (POLLHUP) or an error: read tells
            if (ready < 0 && errno != EINTR) return true;
        }
    }
    // Up to aBytes as soon as any have come; 0 at the end of the input or on a stop request; -1 on
    // a read error (errno set).
    ssize_t Read(void* aBuffer, size_t aBytes) {
        for (;;) {
            if (!WaitReadable()) return 0;
            const ssize_t got = read(STDIN_FILENO, aBuffer, aBytes);
            if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
        }
    }
    // Fills aBytes unless the input ends, is stopped or fails first; returns the bytes read.
    size_t ReadFully(uint8_t* aBuffer, size_t aBytes, bool& aFailed) {
        size_t done = 0;
        while (done < aBytes) {
            const ssize_t got = Read(aBuffer + done, aBytes - done);
            if (got <= 0) {
                aFailed = got < 0;
                break;
            }
            done += size_t(got);
        }
        return done;
    }

  private:
    std::function<bool()> fStopped;
};

// A WAV on standard input goes to libsndfile through a pipe of ours, filled by a thread from the
// stop-aware reader: on a stop the thread closes the pipe, and libsndfile's read meets the end.
class TSampleSource::TStdinRelay {
  public:
    // aQuit: set by the destructor; the reader must stop on it too (it is the flag the reader's
    // stop condition reads, so that the condition touches nothing being constructed or destroyed).
    TStdinRelay(TStdinReader& aReader, std::atomic<bool>& aQuit) : fReader(aReader), fQuit(aQuit) {
        if (pipe(fPipe) != 0) throw TInputError(std::string("standard input: ") + std::strerror(errno));
        fcntl(fPipe[1], F_SETFL, fcntl(fPipe[1], F_GETFL) | O_NONBLOCK);
        fThread = std::thread([this] { Run(); });
    }
    ~TStdinRelay() {
        fQuit.store(true);
        fThread.join();
        close(fPipe[0]);
    }
    TStdinRelay(const TStdinRelay&) = delete;
    TStdinRelay& operator=(const TStdinRelay&) = delete;

    int ReadEnd() const { return fPipe[0]; }
    // Set once the thread met a read error of standard input.
    bool Failed() const { return fFailed.load(); }

  private:
    void Run() {
        std::vector<uint8_t> buffer(size_t{1} << 16);
        for (;;) {
            const ssize_t got = fReader.Read(buffer.data(), buffer.size());
            if (got <= 0) {
                fFailed.store(got < 0);
                break;
            }
            if (!WriteAll(buffer.data(), size_t(got))) break;
        }
        close(fPipe[1]); // the end of the input for libsndfile
    }
    bool WriteAll(const uint8_t* aBytes, size_t aCount) {
        while (aCount > 0) {
            if (fQuit.load()) return false;
            pollfd p{fPipe[1], POLLOUT, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t put = write(fPipe[1], aBytes, aCount);
            if (put < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return false;
            }
            aBytes += put;
            aCount -= size_t(put);
        }
        return true;
    }

    TStdinReader& fReader;
    int fPipe[2] = {-1, -1};
    std::thread fThread;
    std::atomic<bool>& fQuit;
    std::atomic<bool> fFailed{false};
};

struct TSampleSource::TSndFile {
    SNDFILE* Handle = nullptr;
    ~TSndFile() {
        if (Handle) sf_close(Handle);
    }
};

namespace {

constexpr int BlockFrames = ReceiverBlock::FrameCount;

std::string Lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int FrameBytes(TInputForm aForm) {
    switch (aForm) {
    case TInputForm::Cu8:
    case TInputForm::Cs8:
        return 2;
    case TInputForm::Cs16:
        return 4;
    case TInputForm::Cf32:
        return 8;
    default:
        return 0;
    }
}

const char* FormName(TInputForm aForm) {
    switch (aForm) {
    case TInputForm::Cu8:
        return "cu8";
    case TInputForm::Cs8:
        return "cs8";
    case TInputForm::Cs16:
        return "cs16";
    case TInputForm::Cf32:
        return "cf32";
    case TInputForm::Wav:
        return "wav";
    default:
        return "auto";
    }
}

// The first four bytes of a RIFF, RF64 or W64 file.
bool LooksLikeWav(const std::string& aPath) {
    std::FILE* f = std::fopen(aPath.c_str(), "rb");
    if (!f) return false;
    char magic[4] = {};
    const bool got = std::fread(magic, 1, 4, f) == 4;
    std::fclose(f);
    return got && (std::memcmp(magic, "RIFF", 4) == 0 || std::memcmp(magic, "RF64", 4) == 0 ||
                   std::memcmp(magic, "riff", 4) == 0);
}

int32_t ToModelScale(double x) {
    if (!std::isfinite(x)) return 0; // the read made them 0; no NaN reaches the conversion
    const double r = std::nearbyint(x * 32768.0);
    return int32_t(std::clamp(r, -32768.0, 32767.0));
}

} // namespace

std::optional<int64_t> ParseRateHz(const std::string& aText) {
    size_t used = 0;
    double hz = 0;
    try {
        hz = std::stod(aText, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used == 0 || used != aText.size() || !(hz >= 1 && hz <= 1e9) || hz != std::floor(hz))
        return std::nullopt;
    return static_cast<int64_t>(hz);
}

std::optional<TInputForm> ParseInputForm(const std::string& aName) {
    const std::string n = Lower(aName);
    if (n == "auto") return TInputForm::Auto;
    if (n == "wav" || n == "rf64" || n == "w64") return TInputForm::Wav;
    if (n == "cu8") return TInputForm::Cu8;
    if (n == "cs8") return TInputForm::Cs8;
    if (n == "cs16") return TInputForm::Cs16;
    if (n == "cf32") return TInputForm::Cf32;
    return std::nullopt;
}

TInputForm InputFormFromName(const std::string& aPath) {
    const std::string ext = Lower(std::filesystem::path(aPath).extension().string());
    if (ext == ".wav" || ext == ".wave" || ext == ".rf64" || ext == ".w64") return TInputForm::Wav;
    if (ext == ".cu8") return TInputForm::Cu8;
    if (ext == ".cs8") return TInputForm::Cs8;
    if (ext == ".cs16") return TInputForm::Cs16;
    if (ext == ".cf32") return TInputForm::Cf32;
    return TInputForm::Auto;
}

std::string FrameTimeText(int64_t aFrames, int64_t aRateHz) {
    int64_t ms = 0;
    if (aRateHz > 0 && aFrames > 0) ms = int64_t(double(aFrames) / double(aRateHz) * 1000.0);
    char text[48];
    std::snprintf(text, sizeof text, " %02lld:%02d:%03d", (long long)(ms / 60000), int(ms / 1000 % 60),
                  int(ms % 1000));
    return text;
}

const char* EncodingName(TSampleEncoding aEncoding) {
    switch (aEncoding) {
    case TSampleEncoding::U8:
        return "8-bit unsigned integer";
    case TSampleEncoding::S8:
        return "8-bit signed integer";
    case TSampleEncoding::S16:
        return "16-bit signed integer";
    case TSampleEncoding::S24:
        return "24-bit signed integer";
    case TSampleEncoding::S32:
        return "32-bit signed integer";
    case TSampleEncoding::F32:
        return "32-bit float";
    case TSampleEncoding::F64:
        return "64-bit float";
    }
    return "?";
}

TSampleSource::TSampleSource(const TSourceOptions& o) : fPath(o.Path), fSwap(o.SwapIq), fStop(o.Stop) {
    fStream = o.Path == "-";
    fName = fStream ? "standard input" : o.Path;
    if (fStream)
        fStdin = std::make_unique<TStdinReader>([this] { return StopRequested() || fRelayQuit.load(); });
    if (o.RateHz < 0) Refuse("the rate must be positive");
    if (!fStream) {
        std::error_code error;
        if (std::filesystem::is_directory(o.Path, error)) Refuse("is a folder, not a recording");
        std::FILE* probe = std::fopen(o.Path.c_str(), "rb");
        if (!probe) throw TInputError("cannot open input file " + o.Path);
        std::fclose(probe);
        if (std::filesystem::file_size(o.Path, error) == 0 && !error) throw TInputError(o.Path + " is empty");
    }
    fForm = o.Form;
    if (fForm == TInputForm::Auto) {
        if (fStream) Refuse("give its form with --input-format (wav, cu8, cs8, cs16, cf32)");
        fForm = InputFormFromName(o.Path);
        if (fForm == TInputForm::Auto && LooksLikeWav(o.Path)) fForm = TInputForm::Wav;
        if (fForm == TInputForm::Auto)
            Refuse(
                "cannot tell its form from the name (.wav, .cu8, .cs8, .cs16, .cf32); give --input-format");
    }
    if (fForm == TInputForm::Wav)
        OpenWav(o);
    else
        OpenHeaderless(o);
}

TSampleSource::~TSampleSource() {
    if (fRawFile) std::fclose(fRawFile);
}

void TSampleSource::Refuse(const std::string& aWhy) const {
    throw TInputError(fName + ": " + aWhy);
}

void TSampleSource::OpenWav(const TSourceOptions& o) {
    SF_INFO info{};
    fSnd = std::make_unique<TSndFile>();
    if (fStream) fRelay = std::make_unique<TStdinRelay>(*fStdin, fRelayQuit);
    fSnd->Handle = fStream ? sf_open_fd(fRelay->ReadEnd(), SFM_READ, &info, 0)
                           : sf_open(o.Path.c_str(), SFM_READ, &info);
    if (!fSnd->Handle) {
        const std::string why = sf_strerror(nullptr);
        if (fStream && StopRequested()) throw TInputInterrupted(fName + ": interrupted before anything came");
        if (fStream && fRelay->Failed()) Refuse(std::string("read failed: ") + std::strerror(errno));
        if (fStream) Refuse("not a WAV stream that can be read from a pipe (" + why + ")");
        // The RIFF walk names what is missing, where it gets that far.
        TWavInput walk;
        if (walk.Open(o.Path) && walk.DataOffset() >= 0) {
            const int tag = walk.Format().AudioFormat;
            if (tag != 1 && tag != 3 && tag != 0xFFFE) {
                char text[160];
                std::snprintf(
                    text, sizeof text,
                    "WAV of format tag 0x%04X, a compressed or unknown encoding: only PCM integer or "
                    "float samples can be demodulated",
                    unsigned(tag) & 0xFFFFu);
                Refuse(text);
            }
        }
        if (walk.IsOpen() && !walk.Readable()) {
            std::string problem = walk.Problem();
            if (!problem.empty()) problem[0] = char(std::tolower(static_cast<unsigned char>(problem[0])));
            Refuse(problem);
        }
        Refuse("not a readable WAV, RF64 or W64 file (" + why + ")");
    }
    const int type = info.format & SF_FORMAT_TYPEMASK, sub = info.format & SF_FORMAT_SUBMASK;
    SF_FORMAT_INFO subInfo{};
    subInfo.format = sub;
    const bool named = sf_command(nullptr, SFC_GET_FORMAT_INFO, &subInfo, sizeof subInfo) == 0;
    const std::string subName = named && subInfo.name ? subInfo.name : "an unknown encoding";
    switch (type) {
    case SF_FORMAT_WAV:
        fContainer = "WAV";
        break;
    case SF_FORMAT_WAVEX:
        fContainer = "WAV (extensible)";
        break;
    case SF_FORMAT_RF64:
        fContainer = "RF64";
        break;
    case SF_FORMAT_W64:
        fContainer = "W64";
        break;
    default: {
        SF_FORMAT_INFO typeInfo{};
        typeInfo.format = type;
        const bool known = sf_command(nullptr, SFC_GET_FORMAT_INFO, &typeInfo, sizeof typeInfo) == 0;
        Refuse(std::string("holds ") + (known && typeInfo.name ? typeInfo.name : "an unknown container") +
               ", not WAV, RF64 or W64");
    }
    }
    switch (sub) {
    case SF_FORMAT_PCM_U8:
        fEncoding = TSampleEncoding::U8;
        break;
    case SF_FORMAT_PCM_S8:
        fEncoding = TSampleEncoding::S8;
        break;
    case SF_FORMAT_PCM_16:
        fEncoding = TSampleEncoding::S16;
        break;
    case SF_FORMAT_PCM_24:
        fEncoding = TSampleEncoding::S24;
        break;
    case SF_FORMAT_PCM_32:
        fEncoding = TSampleEncoding::S32;
        break;
    case SF_FORMAT_FLOAT:
        fEncoding = TSampleEncoding::F32;
        break;
    case SF_FORMAT_DOUBLE:
        fEncoding = TSampleEncoding::F64;
        break;
    default:
        Refuse(fContainer + " of " + subName + ": only PCM integer or float samples can be demodulated");
    }
    if (info.channels != 2)
        Refuse(fContainer + " with " + std::to_string(info.channels) + " channel" +
               (info.channels == 1 ? "" : "s") + " of " + EncodingName(fEncoding) +
               ": complex baseband needs two channels, I and Q");
    fRate = o.RateHz > 0 ? o.RateHz : info.samplerate;
    if (fRate <= 0) Refuse(fContainer + " with sample rate " + std::to_string(info.samplerate));
    // libsndfile leaves the count at its maximum when it cannot know it (a pipe).
    fTotal = fStream || info.frames >= SF_COUNT_MAX / 4 ? -1 : int64_t(info.frames);
    if (fTotal == 0) Refuse(fContainer + " of " + EncodingName(fEncoding) + " that holds no samples");
    // A recording cut short keeps the length of the whole data chunk in its header; what is there
    // is read, and the user is told.
    if (!fStream && (type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX)) {
        TWavInput walk;
        if (walk.Open(o.Path) && walk.DataOffset() >= 12) {
            fDataOffset = walk.DataOffset();
            uint8_t length[4] = {};
            walk.SeekTo(walk.DataOffset() - 4);
            if (std::fread(length, 1, 4, walk.Handle()) == 4) {
                const int64_t declared = int64_t{length[0]} | int64_t{length[1]} << 8 |
                                         int64_t{length[2]} << 16 | int64_t{length[3]} << 24;
                const int64_t present = walk.FileSize() - walk.DataOffset();
                if (declared > present)
                    fWarning = fName + ": the data chunk claims " + std::to_string(declared) +
                               " bytes but the file holds " + std::to_string(present) +
                               "; the recording is cut short, demodulated what is there";
            }
        }
    }
}

void TSampleSource::OpenHeaderless(const TSourceOptions& o) {
    switch (fForm) {
    case TInputForm::Cu8:
        fEncoding = TSampleEncoding::U8;
        break;
    case TInputForm::Cs8:
        fEncoding = TSampleEncoding::S8;
        break;
    case TInputForm::Cs16:
        fEncoding = TSampleEncoding::S16;
        break;
    default:
        fEncoding = TSampleEncoding::F32;
        break;
    }
    if (o.RateHz <= 0)
        Refuse(std::string("headerless ") + FormName(fForm) +
               " I/Q has no sample rate; give it with --rate HZ");
    fRate = o.RateHz;
    if (!fStream) {
        std::error_code error;
        const auto size = std::filesystem::file_size(o.Path, error);
        fTotal = error ? -1 : int64_t(size) / FrameBytes(fForm);
        if (fTotal == 0) Refuse(std::string("headerless ") + FormName(fForm) + " shorter than one frame");
        fDataOffset = 0;
        // Opened last: nothing may throw once the handle is held (no destructor runs then).
        fRawFile = std::fopen(o.Path.c_str(), "rb");
        if (!fRawFile) throw TInputError("cannot open input file " + o.Path);
    }
}

std::string TSampleSource::Description() const {
    const std::string rate = std::to_string(fRate) + " Hz";
    if (fForm == TInputForm::Wav)
        return fContainer + ", 2 channels of " + EncodingName(fEncoding) + ", " + rate;
    return std::string("headerless ") + FormName(fForm) + " (" + EncodingName(fEncoding) + " I/Q), " + rate;
}

std::string TSampleSource::Container() const {
    return fForm == TInputForm::Wav ? fContainer : std::string("headerless ") + FormName(fForm);
}

std::vector<std::string> TSampleSource::Summary() const {
    std::vector<std::string> lines = {fForm == TInputForm::Wav ? fContainer + " FILE" : "HEADERLESS I/Q"};
    lines.push_back("   Form = " + Container());
    lines.push_back(std::string("   Encoding = 2 channels of ") + EncodingName(fEncoding));
    lines.push_back("   SampleRate = " + std::to_string(fRate) + "Hz");
    if (fForm != TInputForm::Wav) lines.push_back("   FrameBytes = " + std::to_string(FrameBytes(fForm)));
    if (fTotal >= 0) {
        lines.push_back("   Frames = " + std::to_string(fTotal));
        lines.push_back("   Duration =" + FrameTimeText(fTotal, fRate));
    }
    if (!fWarning.empty()) lines.push_back("   " + fWarning);
    return lines;
}

void TSampleSource::SeekFrame(int64_t aFrame) {
    if (!CanSeek()) Refuse("cannot seek in a stream");
    aFrame = std::max<int64_t>(aFrame, 0);
    if (fTotal >= 0) aFrame = std::min(aFrame, fTotal);
    bool moved;
    if (fSnd)
        moved = sf_seek(fSnd->Handle, sf_count_t(aFrame), SEEK_SET) == sf_count_t(aFrame);
    else
        moved = fseeko(fRawFile, off_t(aFrame * FrameBytes(fForm)), SEEK_SET) == 0;
    if (!moved) Refuse("cannot seek to frame " + std::to_string(aFrame));
    fRead = aFrame;
}

bool TSampleSource::WaitForData() {
    if (fStdin && !fSnd) {
        // A byte is taken to know; it waits in fPending for the first read.
        if (!fPending.empty()) return true;
        uint8_t byte = 0;
        const ssize_t got = fStdin->Read(&byte, 1);
        if (got < 0) Refuse(std::string("read failed: ") + std::strerror(errno));
        if (got == 0) return false;
        fPending.push_back(byte);
        return true;
    }
    if (StopRequested() && fStream) return false;
    if (!fRawFile) return fTotal < 0 || fRead < fTotal;
    const int c = std::fgetc(fRawFile);
    if (c == EOF) return false;
    std::ungetc(c, fRawFile);
    return true;
}

size_t TSampleSource::ReadHeaderless(int aMax) {
    const size_t bytes = size_t(FrameBytes(fForm));
    fBytes.resize(size_t(aMax) * bytes);
    if (fRawFile) {
        const size_t frames = std::fread(fBytes.data(), bytes, size_t(aMax), fRawFile);
        if (frames < size_t(aMax) && std::ferror(fRawFile))
            Refuse(std::string("read failed: ") + std::strerror(errno));
        return frames;
    }
    // Standard input: as many whole frames as asked for unless it ends or is stopped first.
    const size_t have0 = std::min(fPending.size(), fBytes.size());
    std::copy(fPending.begin(), fPending.begin() + std::ptrdiff_t(have0), fBytes.begin());
    fPending.erase(fPending.begin(), fPending.begin() + std::ptrdiff_t(have0));
    bool failed = false;
    const size_t have = have0 + fStdin->ReadFully(fBytes.data() + have0, fBytes.size() - have0, failed);
    if (failed) Refuse(std::string("read failed: ") + std::strerror(errno));
    const size_t frames = have / bytes;
    // A part of a frame (at the end, or before a stop) is not a frame.
    fPending.insert(fPending.end(), fBytes.begin() + std::ptrdiff_t(frames * bytes),
                    fBytes.begin() + std::ptrdiff_t(have));
    return frames;
}

int TSampleSource::ReadRaw(int aMax) {
    aMax = std::clamp(aMax, 0, BlockFrames);
    if (aMax == 0) return 0;
    const bool floats = fEncoding == TSampleEncoding::F32 || fEncoding == TSampleEncoding::F64;
    size_t frames = 0;
    if (fSnd) {
        if (floats) {
            fDoubles.resize(size_t(2 * aMax));
            frames = size_t(sf_readf_double(fSnd->Handle, fDoubles.data(), aMax));
            fFloats.resize(2 * frames);
            std::transform(fDoubles.begin(), fDoubles.begin() + std::ptrdiff_t(2 * frames), fFloats.begin(),
                           [](double v) { return float(v); });
        } else {
            fInts.resize(size_t(2 * aMax));
            frames = size_t(sf_readf_int(fSnd->Handle, fInts.data(), aMax));
        }
        if (frames == 0 && sf_error(fSnd->Handle) != SF_ERR_NO_ERROR)
            Refuse(std::string("read failed: ") + sf_strerror(fSnd->Handle));
        if (frames == 0 && fRelay && fRelay->Failed()) Refuse("read failed");
    } else {
        frames = ReadHeaderless(aMax);
        const uint8_t* p = fBytes.data();
        if (fForm == TInputForm::Cf32) {
            fFloats.resize(2 * frames);
            std::memcpy(fFloats.data(), p, 2 * frames * sizeof(float)); // little-endian host
        } else {
            fInts.resize(2 * frames);
            for (size_t k = 0; k < 2 * frames; ++k) {
                switch (fForm) {
                case TInputForm::Cu8:
                    fInts[k] = int32_t(uint32_t(int32_t(p[k]) - 128) << 24);
                    break;
                case TInputForm::Cs8:
                    fInts[k] = int32_t(uint32_t(int8_t(p[k])) << 24);
                    break;
                default:
                    fInts[k] = int32_t(uint32_t(uint16_t(p[2 * k] | p[2 * k + 1] << 8)) << 16);
                    break;
                }
            }
        }
    }
    if (floats) {
        // Erasures: a value that is not finite becomes 0 before any receiver sees it.
        for (float& v : fFloats)
            if (!std::isfinite(v)) {
                v = 0;
                ++fNonFinite;
            }
    }
    fRead += int64_t(frames);
    return int(frames);
}

int TSampleSource::ReadComplex(std::complex<float>* aOut, int aMax) {
    const bool floats = fEncoding == TSampleEncoding::F32 || fEncoding == TSampleEncoding::F64;
    const int first = fSwap ? 1 : 0, second = 1 - first;
    int done = 0;
    while (done < aMax) {
        const int got = ReadRaw(aMax - done);
        if (got == 0) break;
        for (int n = 0; n < got; ++n) {
            if (floats)
                aOut[done + n] = {fFloats[size_t(2 * n + first)], fFloats[size_t(2 * n + second)]};
            else
                aOut[done + n] = {float(fInts[size_t(2 * n + first)]) * 0x1p-31f,
                                  float(fInts[size_t(2 * n + second)]) * 0x1p-31f};
        }
        done += got;
    }
    return done;
}

int TSampleSource::ReadModelBlock(ReceiverBlock& aBlock, bool aModelSwap) {
    const bool floats = fEncoding == TSampleEncoding::F32 || fEncoding == TSampleEncoding::F64;
    // The model's own order is I = second channel; the layer's swap and the model's exchange it.
    const bool swap = fSwap != aModelSwap;
    const int iAt = swap ? 0 : 1, qAt = 1 - iAt;
    int done = 0;
    while (done < BlockFrames) {
        const int got = ReadRaw(BlockFrames - done);
        if (got == 0) break;
        for (int n = 0; n < got; ++n) {
            int32_t s[2];
            for (int c = 0; c < 2; ++c)
                s[c] = floats ? ToModelScale(fFloats[size_t(2 * n + c)]) : fInts[size_t(2 * n + c)] >> 16;
            aBlock.Frames[size_t(done + n)] = ReceiverFrame{s[iAt] / 8, s[qAt] / 8};
        }
        done += got;
    }
    return done;
}
