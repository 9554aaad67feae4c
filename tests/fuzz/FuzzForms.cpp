// The three symbol-file forms: a file of arbitrary bytes, named with each extension, fed by the
// session driver into a 72 k chain on real threads and drained; and Convert Soft to Hard.
#include "session/DecodingSession.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    static const std::string dir = [] {
        const auto d =
            std::filesystem::temp_directory_path() / ("tarnwick_fuzz_forms_" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    const char* extensions[] = {".s", ".raw", ".hard", ".bin"};
    const std::string name = dir + "/input_LRPT_" + extensions[aSize % 4];
    {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(aData), static_cast<std::streamsize>(aSize));
    }
    {
        TStageChain chain;
        TDecodingSession session(chain);
        session.Run(aSize % 8 < 4 ? TLrptMode::lm72k : TLrptMode::lm80k, name, (aSize & 1) != 0);
    }
    ConvertSoftToHard(name);
    return 0;
}
