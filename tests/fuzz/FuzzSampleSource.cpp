// The input layer on arbitrary files in every form: opening either refuses with an input error or
// gives a source whose reads, in pieces of any size and through both readers, stay within the file
// and give finite values in range; some frames go on through the receiver model.
//
// Input: one selector byte, then the file. Selector bits 0-2: 0-3 a WAV/RF64/W64 by its header
// (libsndfile's parsers), 4 cu8, 5 cs8, 6 cs16, 7 cf32; bit 3: swap the channels; bits 4-7 pick
// the piece sizes.
#include "app/SampleSource.h"
#include "core/CostasReceiver.h"

#include <cmath>
#include <complex>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

class TDiscard : public SymbolSink {
  public:
    void Put(uint8_t) override {}
};

void Check(bool aOk) {
    if (!aOk) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize == 0) return 0;
    const uint8_t selector = aData[0];
    const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0) return 0;
    if (aSize > 1 && write(fd, aData + 1, aSize - 1) != ssize_t(aSize - 1)) {
        close(fd);
        return 0;
    }
    static const TInputForm forms[] = {TInputForm::Auto, TInputForm::Wav, TInputForm::Auto, TInputForm::Wav,
                                       TInputForm::Cu8,  TInputForm::Cs8, TInputForm::Cs16, TInputForm::Cf32};
    TSourceOptions o;
    o.Path = "/proc/self/fd/" + std::to_string(fd);
    o.Form = forms[selector & 7];
    o.RateHz = (selector & 7) >= 4 || (selector & 2) ? 196078 : 0;
    o.SwapIq = (selector & 8) != 0;
    try {
        TSampleSource source(o);
        Check(source.SampleRate() > 0);
        const bool integers =
            source.Encoding() != TSampleEncoding::F32 && source.Encoding() != TSampleEncoding::F64;
        static std::vector<std::complex<float>> piece(20000);
        static ReceiverBlock block;
        static TCostasReceiver receiver; // kept: the model is never reset, as in the program
        TDiscard sink;
        const int sizes[4] = {1 + (selector >> 4), 4096, 8193, 3 * (selector >> 4)};
        for (int k = 0; k < 64; ++k) {
            int got;
            if (k % 3 == 2) {
                got = source.ReadModelBlock(block, (k & 4) != 0);
                Check(got >= 0 && got <= ReceiverBlock::FrameCount);
                receiver.ProcessFrames(block, std::min(got, 256), sink);
            } else {
                const int want = sizes[k % 4];
                got = source.ReadComplex(piece.data(), want);
                Check(got >= 0 && got <= want);
                for (int n = 0; n < got; ++n) {
                    const std::complex<float> z = piece[size_t(n)];
                    if (integers) Check(std::fabs(z.real()) <= 1 && std::fabs(z.imag()) <= 1);
                }
            }
            if (source.TotalFrames() >= 0) Check(source.FramesRead() <= source.TotalFrames());
            if (got == 0 && sizes[k % 4] > 0) break;
        }
        source.Description();
    } catch (const TInputError&) {
    }
    close(fd);
    return 0;
}
