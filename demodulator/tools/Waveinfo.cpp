#include "tools/Waveinfo.h"

#include <cstdint>
#include <cstring>

namespace {

template <typename... A> std::string Format(const char* f, A... args) {
    char text[128];
    std::snprintf(text, sizeof text, f, args...);
    return text;
}

bool ReadId(std::FILE* f, std::string& aId) {
    char b[4];
    if (std::fread(b, 1, 4, f) != 4) return false;
    aId.assign(b, 4);
    // Identifiers are printed as text; a NUL would end a C string there.
    const size_t z = aId.find('\0');
    if (z != std::string::npos) aId.resize(z);
    return true;
}

bool ReadInt(std::FILE* f, int aBytes, int32_t& aValue) {
    uint8_t b[4];
    if (std::fread(b, 1, size_t(aBytes), f) != size_t(aBytes)) return false;
    uint32_t v = 0;
    for (int i = aBytes - 1; i >= 0; --i)
        v = v << 8 | b[i];
    aValue = aBytes == 4 ? int32_t(v) : int32_t(v);
    return true;
}

} // namespace

std::vector<std::string> WaveInfoListing(std::FILE* f, const TWavFormat& fmt) {
    std::vector<std::string> out;
    const std::string missing = Format("DATA CHUNK MISSING!!! %d", 6);
    std::string id;
    int32_t size = 0;
    out.push_back("HEADER CHUNK");
    if (!ReadId(f, id) || !ReadInt(f, 4, size)) return out.push_back(missing), out;
    out.push_back("   Chunk ID = " + id);
    out.push_back(Format("   Chunk Size = %d", size));
    if (!ReadId(f, id)) return out.push_back(missing), out;
    out.push_back("   File Format = " + id);

    out.push_back("");
    out.push_back("SUB-CHUNK 1");
    int32_t s1 = 0;
    if (!ReadId(f, id) || !ReadInt(f, 4, s1)) return out.push_back(missing), out;
    out.push_back("   Chunk ID = " + id);
    out.push_back(Format("   Chunk Size = %d", s1));
    out.push_back(Format("   AudioFormat = %d", fmt.AudioFormat));
    out.push_back(Format("   NumChannels = %d", fmt.NumChannels));
    out.push_back(Format("   SampleRate = %dHz", fmt.SampleRate));
    out.push_back(Format("   ByteRate = %dHz", fmt.ByteRate));
    out.push_back(Format("   BlockAlign = %d", fmt.BlockAlign));
    out.push_back(Format("   BitsPerSample = %d", fmt.BitsPerSample));
    fseeko(f, 16, SEEK_CUR);
    int32_t extra = 0;
    if (s1 > 16 && ReadInt(f, 2, extra)) out.push_back(Format("   ExtraParameter = %d", extra));
    if (s1 < 0 || fseeko(f, off_t(int64_t(s1) + 20), SEEK_SET) != 0) return out.push_back(missing), out;

    for (int n = 2; n <= 5; ++n) {
        out.push_back("");
        out.push_back(Format("SUB-CHUNK %d", n));
        int32_t s = 0;
        if (!ReadId(f, id) || !ReadInt(f, 4, s)) break;
        out.push_back("   Chunk ID = " + id);
        out.push_back(Format("   Chunk Size = %d", s));
        if (id == "auxi" && s == 72) {
            static const char* const lines[5] = {"   Center Freq = %dMHz", "   ADC Freq = %dMHz",
                                                 "   IF Freq = %dMHz", "   Bandwidth = %dMHz",
                                                 "   DC offset = %d cnts"};
            fseeko(f, 32, SEEK_CUR);
            for (const char* line : lines) {
                int32_t v = 0;
                if (!ReadInt(f, 4, v)) break;
                out.push_back(Format(line, v));
            }
            fseeko(f, 20, SEEK_CUR);
        } else if (id != "data") {
            // Sizes are unsigned on disk.
            fseeko(f, off_t(uint32_t(s)), SEEK_CUR);
        }
        if (id == "data") return out;
    }
    out.push_back(missing);
    return out;
}
