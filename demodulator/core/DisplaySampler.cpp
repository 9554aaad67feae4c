#include "core/DisplaySampler.h"

#include <cmath>

void TDisplaySampler::SetPixelNs(double aNs) {
    // Negative or non-finite values have no meaning as a duration; treat them as "every step".
    fPixelNs = (std::isfinite(aNs) && aNs > 0 && aNs < 9.0e18) ? int64_t(aNs) : 0;
}
