// Small WAV files written to a temporary folder for the reader's tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace wavtest {

inline void Le(std::vector<uint8_t>& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
inline void Id(std::vector<uint8_t>& b, const char* id) {
    // Byte by byte: g++ 12 at -O1 takes the range insert of the first id for an overflow.
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(id[i]));
}

struct Chunk {
    std::string Id;
    std::vector<uint8_t> Data;
};

// RIFF/WAVE with a "fmt " chunk of aFmtSize bytes (extra bytes 0x11, 0x22, ...), the given chunks
// in between and the data chunk last.
inline std::vector<uint8_t> Wav(int aBlockAlign, const std::vector<uint8_t>& aData, int aFmtSize = 16,
                                const std::vector<Chunk>& aBefore = {}, int32_t aRate = 196078) {
    std::vector<uint8_t> b;
    Id(b, "RIFF");
    Le(b, 0, 4); // patched below
    Id(b, "WAVE");
    Id(b, "fmt ");
    Le(b, uint32_t(aFmtSize), 4);
    Le(b, 1, 2);
    Le(b, 2, 2);
    Le(b, uint32_t(aRate), 4);
    Le(b, uint32_t(aRate * aBlockAlign), 4);
    Le(b, uint32_t(aBlockAlign), 2);
    Le(b, uint32_t(aBlockAlign * 4), 2);
    for (int i = 16; i < aFmtSize; ++i)
        b.push_back(uint8_t(0x11 * (i - 15)));
    for (const Chunk& c : aBefore) {
        Id(b, c.Id.c_str());
        Le(b, uint32_t(c.Data.size()), 4);
        b.insert(b.end(), c.Data.begin(), c.Data.end());
    }
    Id(b, "data");
    Le(b, uint32_t(aData.size()), 4);
    b.insert(b.end(), aData.begin(), aData.end());
    const uint32_t riff = uint32_t(b.size() - 8);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = uint8_t(riff >> (8 * i));
    return b;
}

// A folder of this test process, removed when the process ends.
inline const std::filesystem::path& TempDir() {
    struct TDir {
        std::filesystem::path Path;
        TDir()
            : Path(std::filesystem::temp_directory_path() / ("haldrin-test-" + std::to_string(::getpid()))) {
            std::filesystem::create_directories(Path);
        }
        ~TDir() {
            std::error_code ignored;
            std::filesystem::remove_all(Path, ignored);
        }
    };
    static const TDir dir;
    return dir.Path;
}

inline std::string TempPath(const std::string& aName) {
    return (TempDir() / aName).string();
}

inline std::string WriteFile(const std::string& aName, const std::vector<uint8_t>& aBytes) {
    const std::string path = TempPath(aName);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!aBytes.empty()) std::fwrite(aBytes.data(), 1, aBytes.size(), f);
    std::fclose(f);
    return path;
}

inline std::vector<uint8_t> ReadFile(const std::string& aPath) {
    std::vector<uint8_t> b;
    std::FILE* f = std::fopen(aPath.c_str(), "rb");
    if (!f) return b;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        b.push_back(uint8_t(c));
    std::fclose(f);
    return b;
}

} // namespace wavtest
