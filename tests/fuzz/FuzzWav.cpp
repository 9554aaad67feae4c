// WAV header walk and frame conversion on arbitrary files, then the frames read through the
// receiver model: no crash, no undefined arithmetic, whatever the header claims.
#include "app/WavInput.h"
#include "core/CostasReceiver.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

class TDiscard : public SymbolSink {
  public:
    void Put(uint8_t) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize == 0) return 0;
    std::vector<uint8_t> copy(aData, aData + aSize);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fmemopen(copy.data(), copy.size(), "rb"),
                                                         &std::fclose);
    if (!file) return 0;
    TWavFormat format;
    const int64_t offset = ParseWavHeader(file.get(), format);
    if (offset < 0 || offset > static_cast<int64_t>(aSize)) return 0;

    // Whatever alignment the header gives, as many whole frames as follow (at most one block).
    const int align = format.BlockAlign;
    static ReceiverBlock block;
    const int64_t available = static_cast<int64_t>(aSize) - offset;
    const int frames =
        align > 0 ? static_cast<int>(std::min<int64_t>(available / align, ReceiverBlock::FrameCount)) : 0;
    const bool converted = ConvertFrames(aData + offset, frames, align, (aData[0] & 1) != 0, block);
    FileTimeText(available, format.ByteRate);
    BarSeekOffset(static_cast<int64_t>(aSize), aData[aSize - 1] % 101, align, offset);
    if (!converted || frames == 0) return 0;

    static TCostasReceiver receiver; // kept: the model is never reset, as in the program
    TDiscard sink;
    receiver.ProcessFrames(block, std::min(frames, 512), sink);
    return 0;
}
