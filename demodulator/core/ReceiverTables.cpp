#include "core/ReceiverTables.h"

#include <algorithm>
#include <cmath>

TReceiverTables::TReceiverTables() {
    // The hardware tables were generated with pi as 3.14159 and single-precision sine values;
    // both roundings show in the entries, so they are reproduced.
    for (int k = 0; k < NcoSize; ++k) {
        const double a = k * 2.0 * 3.14159 / 2048;
        const int32_t s = int32_t(2048.0f * float(std::sin(a)));
        const int32_t c = int32_t(2048.0f * float(std::cos(a)));
        Nco[k] = {std::min(s, 2047), std::min(c, 2047)};
    }
    for (int idx = 0; idx < PolarSize; ++idx) {
        const int32_t i = int8_t(uint8_t(idx & 0xFF));
        const int32_t q = int8_t(uint8_t(idx >> 8));
        const int32_t root = int32_t(std::sqrt(double(i * i + q * q)));
        Magnitude[idx] = uint8_t(std::min(255, root * 256 / 182));
        if (i == 0 && q == 0) {
            Phase[idx] = 0;
        } else {
            // Degrees with 1/3.14159 in place of 1/pi, evaluated in extended precision.
            const int32_t d = int32_t(std::atan2(static_cast<long double>(q), static_cast<long double>(i)) *
                                      180 * 0.31831015504887655L);
            Phase[idx] = int8_t(std::clamp(d * 128 / 180, -128, 127));
        }
    }
}
