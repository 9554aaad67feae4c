// Channel pictures kept from one fuzz input to the next: a drawing stage sets its picture up
// afresh (size, black, marker band), so nothing carries over but the memory, which would
// otherwise be mapped and cleared anew for every input.
#pragma once

#include "image/ImageControls.h"

#include <array>

inline std::array<TBitmapImage, 6>& ReusedImages() {
    static std::array<TBitmapImage, 6> images;
    return images;
}
