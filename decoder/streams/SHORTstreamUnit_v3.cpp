#include "streams/SHORTstreamUnit_v3.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

namespace {

// Scratch buffer for the bulk copies: a page borrowed from CommonBank, or, when the pool has
// none left, a small buffer of our own so that a copy under memory pressure still completes.
class TScratch {
  public:
    static constexpr int64_t FallbackSize = 64 * 1024;

    TScratch() : fPage(CommonBank().GetBuffer()) {
        if (!fPage) fOwn = std::make_unique<uint8_t[]>(FallbackSize);
    }
    ~TScratch() { CommonBank().Retrieve(fPage, false); }
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    uint8_t* Data() { return fPage ? fPage : fOwn.get(); }
    int64_t Capacity() const { return fPage ? TSHORTstream::PageSize : FallbackSize; }

  private:
    uint8_t* fPage;
    std::unique_ptr<uint8_t[]> fOwn;
};

} // namespace

TSHORTstream::TSHORTstream(std::string aMaster, bool aNoFreeMem, bool aCommonMemBank,
                           TMemoBank* aSpetialMemBank)
    : Master(std::move(aMaster)), fNoFreeMem(aNoFreeMem) {
    if (aCommonMemBank) {
        fMemoBank = &CommonBank();
    } else if (aSpetialMemBank) {
        fMemoBank = aSpetialMemBank;
    } else {
        fMemoBank = new TMemoBank(static_cast<int32_t>(PageSize), Master, 128);
        fOwnMemoBank = true;
    }
}

TSHORTstream::~TSHORTstream() {
    SetPosition(Size());
    SetNotActualPosition(Size());
    {
        std::lock_guard<TCriticalSection> guard(SHORTstreamCS);
        for (uint8_t* page : fPagesList)
            fMemoBank->Retrieve(page, false);
        fPagesList.clear();
        fPagesCount.store(0);
    }
    if (fOwnMemoBank) delete fMemoBank;
}

uint8_t* TSHORTstream::PageAt(int64_t aAbsolutePosition) const {
    return fPagesList[static_cast<size_t>(aAbsolutePosition / PageSize - fDeletedPagesCount.load())];
}

int32_t TSHORTstream::Write(const void* aBuffer, int32_t aCount) {
    if (aCount <= 0) return 0;
    const int32_t stored = Store(aBuffer, aCount);
    // Wake the reader only once the stream has grown as far as it waits for.
    if (stored > 0 && Size() >= fWaitTarget.load()) {
        std::lock_guard<std::mutex> wake(fWaitLock);
        fGrown.notify_all();
    }
    return stored;
}

bool TSHORTstream::WaitForData(int64_t aSeenSize, int aMilliseconds, int64_t aMinGrowth) {
    const int64_t target = aSeenSize + std::max<int64_t>(aMinGrowth, 1);
    // The target is published before the size is looked at under the lock, and the writer stores
    // the size before it looks at the target, so a wake-up cannot fall between the two.
    fWaitTarget.store(target);
    std::unique_lock<std::mutex> lock(fWaitLock);
    fGrown.wait_for(lock, std::chrono::milliseconds(aMilliseconds),
                    [&] { return Size() >= target || fWaitInterrupted; });
    fWaitInterrupted = false;
    fWaitTarget.store(std::numeric_limits<int64_t>::max());
    return Size() >= target;
}

void TSHORTstream::InterruptWait() {
    std::lock_guard<std::mutex> lock(fWaitLock);
    fWaitInterrupted = true;
    fGrown.notify_all();
}

int32_t TSHORTstream::Store(const void* aBuffer, int32_t aCount) {
    std::lock_guard<TCriticalSection> guard(SHORTstreamCS);
    const auto* from = static_cast<const uint8_t*>(aBuffer);
    int32_t stored = 0;
    int64_t remaining = aCount;
    while (remaining > 0) {
        const int64_t size = fSize.load();
        if (size + remaining > fCapacity.load()) {
            uint8_t* page = fMemoBank->GetBuffer();
            if (!page) break;
            fPagesList.push_back(page);
            fPagesCount.fetch_add(1);
            fCapacity.fetch_add(PageSize);
        }
        const int64_t offset = size % PageSize;
        const int64_t n = std::min(remaining, PageSize - offset);
        std::memcpy(PageAt(size) + offset, from, static_cast<size_t>(n));
        fSize.store(size + n);
        from += n;
        stored += static_cast<int32_t>(n);
        remaining -= n;
    }
    return stored;
}

int32_t TSHORTstream::Read(void* aBuffer, int32_t aCount) {
    if (aCount < 0) return 0;
    std::lock_guard<TCriticalSection> guard(SHORTstreamCS);
    int64_t remaining = std::min<int64_t>(aCount, fSize.load() - fCurrentPosition.load());
    auto* to = static_cast<uint8_t*>(aBuffer);
    int32_t copied = 0;
    while (remaining > 0) {
        const int64_t position = fCurrentPosition.load();
        const int64_t offset = position % PageSize;
        const int64_t n = std::min(remaining, PageSize - offset);
        std::memcpy(to, PageAt(position) + offset, static_cast<size_t>(n));
        fCurrentPosition.store(position + n);
        to += n;
        copied += static_cast<int32_t>(n);
        remaining -= n;
    }
    return copied;
}

int64_t TSHORTstream::Seek(int64_t aOffset, TSeekOrigin aOrigin) {
    switch (aOrigin) {
    case TSeekOrigin::soBeginning:
        SetPosition(aOffset);
        break;
    case TSeekOrigin::soCurrent:
        SetPosition(Position() + aOffset);
        break;
    case TSeekOrigin::soEnd:
        SetPosition(Size() + aOffset);
        break;
    }
    return Position();
}

int32_t TSHORTstream::Seek(int32_t aOffset, uint16_t aOrigin) {
    if (aOrigin <= 2) Seek(static_cast<int64_t>(aOffset), static_cast<TSeekOrigin>(aOrigin));
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(Position())));
}

void TSHORTstream::SetPosition(int64_t aValue) {
    aValue = std::min(aValue, Size());
    aValue = std::max(aValue, NotActualPosition());
    fCurrentPosition.store(aValue);
}

void TSHORTstream::SetNotActualPosition(int64_t aValue) {
    std::lock_guard<TCriticalSection> guard(SHORTstreamCS);
    aValue = std::max<int64_t>(aValue, 0);
    aValue = std::min(aValue, Position());
    const int64_t wholePages = aValue / PageSize - fDeletedPagesCount.load();
    for (int64_t k = 0; k < wholePages; ++k) {
        uint8_t* page = fPagesList.front();
        fPagesList.pop_front();
        fPagesCount.fetch_sub(1);
        fMemoBank->Retrieve(page, false);
        fDeletedPagesCount.fetch_add(1);
    }
    fNotActualBytesPosition.store(aValue);
}

void TSHORTstream::ClearNotActualMemory() {
    SetNotActualPosition(Position());
}

int64_t TSHORTstream::CopyFrom(TSHORTstream& aSource, int64_t aCount) {
    if (aCount == 0)
        aCount = aSource.AwaitingReadSize();
    else
        aCount = std::min(aCount, aSource.Size() - aSource.Position());
    const int64_t result = aCount;
    if (aCount <= 0) return result;
    TScratch scratch;
    const int64_t chunk = std::min(aCount, scratch.Capacity());
    while (aCount > 0) {
        const int64_t n = std::min(aCount, chunk);
        aSource.Read(scratch.Data(), static_cast<int32_t>(n));
        aSource.ClearNotActualMemory();
        Write(scratch.Data(), static_cast<int32_t>(n));
        aCount -= n;
    }
    return result;
}

int64_t TSHORTstream::CopyFrom(TStream& aSource, int64_t aCount) {
    if (aCount == 0) {
        aSource.SetPosition(0);
        aCount = aSource.Size();
    } else {
        aCount = std::min(aCount, aSource.Size() - aSource.Position());
    }
    const int64_t result = aCount;
    if (aCount <= 0) return result;
    TScratch scratch;
    const int64_t chunk = std::min(aCount, scratch.Capacity());
    while (aCount > 0) {
        const int64_t n = std::min(aCount, chunk);
        aSource.ReadBuffer(scratch.Data(), n);
        Write(scratch.Data(), static_cast<int32_t>(n));
        aCount -= n;
    }
    return result;
}

int64_t TSHORTstream::MoveTo(TStream& aTarget, int64_t aCount) {
    const int64_t waiting = AwaitingReadSize();
    if (aCount == 0 || aCount > waiting) aCount = waiting;
    const int64_t result = aCount;
    if (aCount > 0) {
        TScratch scratch;
        const int64_t chunk = std::min(aCount, scratch.Capacity());
        while (aCount > 0) {
            const int64_t n = Read(scratch.Data(), static_cast<int32_t>(std::min(aCount, chunk)));
            if (n <= 0) break; // only the reading thread moves Position, so this cannot happen
            aTarget.WriteBuffer(scratch.Data(), n);
            aCount -= n;
        }
    }
    ClearNotActualMemory();
    return result;
}

int64_t TSHORTstream::MoveTo(TSHORTstream& aTarget, int64_t aCount) {
    const int64_t waiting = AwaitingReadSize();
    if (aCount == 0 || aCount > waiting) aCount = waiting;
    aTarget.CopyFrom(*this, aCount);
    return aCount;
}

void TSHORTStreams::SetCount(int aCount) {
    fItems.resize(static_cast<size_t>(std::max(aCount, 0)), nullptr);
}

TSHORTstream* TSHORTStreams::GetStreams(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= Count())
        throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
    return fItems[static_cast<size_t>(aIndex)];
}

void TSHORTStreams::SetStreams(int32_t aIndex, TSHORTstream* aValue) {
    if (aIndex < 0 || aIndex >= Count())
        throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
    fItems[static_cast<size_t>(aIndex)] = aValue;
}
