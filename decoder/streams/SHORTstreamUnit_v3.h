// Paged first-in-first-out byte stream between two stage threads, and an indexed set of them.
#pragma once

#include "platform/Streams.h"
#include "platform/Threads.h"
#include "streams/MemoBankUnit_v3.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// An unbounded byte queue kept in 1 MiB pages borrowed from a TMemoBank.
//
// Positions are absolute byte numbers since the stream was created. One thread writes (Write,
// CopyFrom), one thread reads (Read, Seek, Position, release, MoveTo); any thread may read the
// size properties, which take no lock and may be momentarily out of date. The reader may step
// back over bytes it has read but not released (down to NotActualPosition).
//
// Invariant: DeletedPagesCount*1MiB <= NotActualPosition <= Position <= Size <= Capacity
//            = (DeletedPagesCount + PagesCount)*1MiB.
//
// Failure: when the pool has no page, Write stores what fits and returns the smaller count; the
// rest is dropped and nothing else reports it.
class TSHORTstream {
  public:
    static constexpr int64_t PageSize = 1048576;

    // aNoFreeMem is recorded only. The pool is CommonBank when aCommonMemBank, else
    // aSpetialMemBank when given, else a pool of the stream's own (128 pages kept).
    TSHORTstream(std::string aMaster, bool aNoFreeMem, bool aCommonMemBank, TMemoBank* aSpetialMemBank);
    ~TSHORTstream();
    TSHORTstream(const TSHORTstream&) = delete;
    TSHORTstream& operator=(const TSHORTstream&) = delete;

    // Appends aCount bytes; returns how many were stored (0 for aCount <= 0).
    int32_t Write(const void* aBuffer, int32_t aCount);
    // Copies up to aCount bytes from Position and advances it; never waits.
    int32_t Read(void* aBuffer, int32_t aCount);

    // Origin 0: from 0, 1: from Position, 2: from Size; another origin leaves Position alone.
    // Returns the new Position (the 32-bit form returns its low 32 bits).
    int32_t Seek(int32_t aOffset, uint16_t aOrigin);
    int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin);

    int64_t Size() const { return fSize.load(); }
    int64_t Position() const { return fCurrentPosition.load(); }
    // Clamps to [NotActualPosition, Size]. Reader thread only.
    void SetPosition(int64_t aValue);
    int64_t NotActualPosition() const { return fNotActualBytesPosition.load(); }
    // Releases every page wholly below the new mark (clamped to [0, Position]).
    void SetNotActualPosition(int64_t aValue);
    // Gives up everything already read.
    void ClearNotActualMemory();

    // Append bytes read from another stream; aCount 0 means everything waiting (paged source)
    // or the whole source from its start (generic source). Returns the count moved.
    int64_t CopyFrom(TSHORTstream& aSource, int64_t aCount);
    int64_t CopyFrom(TStream& aSource, int64_t aCount);
    // Hand waiting bytes to another stream; aCount 0 or above AwaitingReadSize means all of
    // them. Releases what was moved. Returns the count moved.
    int64_t MoveTo(TStream& aTarget, int64_t aCount);
    int64_t MoveTo(TSHORTstream& aTarget, int64_t aCount);

    // Blocks the reading thread until Size has grown by aMinGrowth bytes beyond aSeenSize, or
    // aMilliseconds have passed; true when it grew. Lets an idle stage wake as soon as enough
    // input has arrived, without waking for every small write. One waiter at a time.
    bool WaitForData(int64_t aSeenSize, int aMilliseconds, int64_t aMinGrowth = 1);
    // Ends the current wait of WaitForData at once (or the next one, when none is under way),
    // as if the time had run out: a stage asked to stop need not sleep out its wait first.
    void InterruptWait();

    int64_t AwaitingReadSize() const { return Size() - Position(); }
    int64_t ActualSize() const { return Size() - NotActualPosition(); }
    int64_t ActualMemoryResource() const { return fPagesCount.load() * PageSize; }

    int64_t Capacity() const { return fCapacity.load(); }
    int64_t DeletedPagesCount() const { return fDeletedPagesCount.load(); }
    int64_t PagesCount() const { return fPagesCount.load(); }
    bool NoFreeMem() const { return fNoFreeMem; }
    TMemoBank& MemoBank() { return *fMemoBank; }
    TCriticalSection& CS() { return SHORTstreamCS; }

    const std::string Master;

  private:
    uint8_t* PageAt(int64_t aAbsolutePosition) const;
    int32_t Store(const void* aBuffer, int32_t aCount);

    std::deque<uint8_t*> fPagesList;
    std::atomic<int64_t> fSize{0};
    std::atomic<int64_t> fCapacity{0};
    std::atomic<int64_t> fNotActualBytesPosition{0};
    std::atomic<int64_t> fCurrentPosition{0};
    std::atomic<int64_t> fDeletedPagesCount{0};
    std::atomic<int64_t> fPagesCount{0};
    bool fNoFreeMem;
    bool fOwnMemoBank = false;
    TMemoBank* fMemoBank;
    TCriticalSection SHORTstreamCS;
    std::mutex fWaitLock;
    std::condition_variable fGrown;
    std::atomic<int64_t> fWaitTarget{std::numeric_limits<int64_t>::max()};
    bool fWaitInterrupted = false; // under fWaitLock
};

// Indexed list of stream references. Entries never set are empty. The list does not own what its
// entries point to, except streams handed to Own: those live as long as the list, so that streams
// created by one stage stay valid for their readers after that stage is gone.
class TSHORTStreams {
  public:
    int Count() const { return static_cast<int>(fItems.size()); }
    // Grows with empty entries or shrinks.
    void SetCount(int aCount);
    // Both throw EListError for an index outside the list.
    TSHORTstream* GetStreams(int32_t aIndex) const;
    void SetStreams(int32_t aIndex, TSHORTstream* aValue);
    TSHORTstream* operator[](int32_t aIndex) const { return GetStreams(aIndex); }
    void Own(std::unique_ptr<TSHORTstream> aStream) { fOwned.push_back(std::move(aStream)); }

  private:
    std::vector<TSHORTstream*> fItems;
    std::vector<std::unique_ptr<TSHORTstream>> fOwned;
};
