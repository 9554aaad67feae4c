#include "session/SymbolQueue.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

TSymbolQueue::TSymbolQueue(size_t aCapacity) {
    if (aCapacity == 0) throw std::invalid_argument("a symbol queue needs room for one value");
    fBuffer.resize(aCapacity);
}

bool TSymbolQueue::Write(const int8_t* aValues, size_t aCount) {
    std::unique_lock<std::mutex> lock(fLock);
    while (aCount > 0) {
        fSpace.wait(lock, [&] { return fCancelled || fClosed || fCount < fBuffer.size(); });
        if (fCancelled || fClosed) return false;
        // Into the free space, in at most two pieces around the end of the ring.
        const size_t tail = (fHead + fCount) % fBuffer.size();
        const size_t n = std::min({aCount, fBuffer.size() - fCount, fBuffer.size() - tail});
        std::copy(aValues, aValues + n, fBuffer.begin() + static_cast<std::ptrdiff_t>(tail));
        fCount += n;
        aValues += n;
        aCount -= n;
        fData.notify_one();
    }
    return true;
}

void TSymbolQueue::Close() {
    std::lock_guard<std::mutex> lock(fLock);
    fClosed = true;
    fData.notify_all();
    fSpace.notify_all();
}

void TSymbolQueue::Cancel() {
    std::lock_guard<std::mutex> lock(fLock);
    fCancelled = true;
    fSpace.notify_all();
    fData.notify_all();
}

int TSymbolQueue::Read(int8_t* aOut, int aMax, int aWaitMs) {
    std::unique_lock<std::mutex> lock(fLock);
    if (!fData.wait_for(lock, std::chrono::milliseconds(std::max(aWaitMs, 0)),
                        [&] { return fCount > 0 || fClosed || fCancelled; }))
        return 0;
    if (fCount == 0) return -1; // closed (or cancelled) and empty
    int got = 0;
    while (fCount > 0 && got < aMax) {
        const size_t n = std::min({fCount, static_cast<size_t>(aMax - got), fBuffer.size() - fHead});
        std::copy(fBuffer.begin() + static_cast<std::ptrdiff_t>(fHead),
                  fBuffer.begin() + static_cast<std::ptrdiff_t>(fHead + n), aOut + got);
        fHead = (fHead + n) % fBuffer.size();
        fCount -= n;
        got += static_cast<int>(n);
    }
    fSpace.notify_one();
    return got;
}

size_t TSymbolQueue::Size() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fCount;
}
