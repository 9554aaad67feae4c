// Room for rasters of tens of megabytes. A pass's maps touch several hundred megabytes of fresh
// memory once each; page by page that is over a hundred thousand page faults, which cost more
// than the sampling itself. On huge pages (where the kernel allows them on request) it is a few
// hundred.
#pragma once

#include <cstddef>
#include <vector>

namespace lrptgeo {

// Asks for huge pages under [aData, aData + aBytes) (the whole 2 MB pages inside it); a hint that
// changes nothing but the speed of the first touch, and nothing at all on small ranges.
void AdviseHugePages(const void* aData, size_t aBytes);

// aVector.reserve(aCount) on huge pages: call before filling a large, still empty vector.
template <class T> void ReserveLarge(std::vector<T>& aVector, size_t aCount) {
    aVector.reserve(aCount);
    AdviseHugePages(aVector.data(), aVector.capacity() * sizeof(T));
}

} // namespace lrptgeo
