// wav-ramp: turns the carrier of a 16-bit complex-baseband WAV (frames Q, I) into a linear
// frequency ramp, as Doppler does over a pass: sample n is multiplied by exp(j pi d t^2), t = n / fs.
// A stand-in for a drift option of the generator in the sensitivity script.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: wav-ramp IN.wav OUT.wav HZ_PER_S\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (!in) {
        std::fprintf(stderr, "wav-ramp: cannot open %s\n", argv[1]);
        return 1;
    }
    uint8_t header[44];
    if (std::fread(header, 1, 44, in) != 44 || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 36, "data", 4) != 0 || (header[34] | header[35] << 8) != 16) {
        std::fprintf(stderr, "wav-ramp: %s is not a canonical 16-bit WAV\n", argv[1]);
        return 1;
    }
    const double rate =
        double(uint32_t(header[24] | header[25] << 8 | header[26] << 16 | uint32_t(header[27]) << 24));
    const double drift = std::atof(argv[3]);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) {
        std::fprintf(stderr, "wav-ramp: cannot create %s\n", argv[2]);
        return 1;
    }
    std::fwrite(header, 1, 44, out);
    std::vector<int16_t> frames(2 * 65536);
    int64_t n = 0;
    size_t got;
    while ((got = std::fread(frames.data(), 4, 65536, in)) > 0) {
        for (size_t k = 0; k < got; ++k, ++n) {
            const double t = double(n) / rate;
            const double ph = std::fmod(M_PI * drift * t * t, 2 * M_PI);
            const double c = std::cos(ph), s = std::sin(ph);
            const double q = frames[2 * k], i = frames[2 * k + 1];
            const double ri = i * c - q * s, rq = i * s + q * c;
            frames[2 * k] = int16_t(std::lround(std::fmax(-32768.0, std::fmin(32767.0, rq))));
            frames[2 * k + 1] = int16_t(std::lround(std::fmax(-32768.0, std::fmin(32767.0, ri))));
        }
        std::fwrite(frames.data(), 4, got, out);
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
