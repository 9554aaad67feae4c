// Soft values for the decoding session from a source that is not a file: a receiver running
// beside the session hands its symbols over as it makes them, and their number is not known in
// advance.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// A source of 8-bit soft values in the order of the 8-bit soft symbol file (".s"): two values per
// symbol as a file stores them, before the 72 k pair exchange.
class TSymbolInput {
  public:
    virtual ~TSymbolInput() = default;
    // Waits at most aWaitMs milliseconds for values and copies up to aMax (> 0) of them to aOut.
    // Returns the count (> 0), 0 when none arrived in time, -1 once the input has ended and every
    // value was read. A count may split a symbol; the reader keeps the pairs together.
    virtual int Read(int8_t* aOut, int aMax, int aWaitMs) = 0;
};

// Bounded first-in-first-out queue of soft values between one writing thread and one reading
// thread. Memory: the capacity given, allocated once.
class TSymbolQueue : public TSymbolInput {
  public:
    // aCapacity: values held at most (> 0).
    explicit TSymbolQueue(size_t aCapacity);

    // Writer: appends aCount values, blocking while the queue is full. Returns false (the values
    // not yet taken are dropped) when the reader has cancelled; writes after Close are refused
    // the same way.
    bool Write(const int8_t* aValues, size_t aCount);
    // Writer: no more values; the reader gets -1 once it has read what is held.
    void Close();
    // Reader: gives up. A writer blocked on a full queue returns false, and every later write too.
    void Cancel();

    int Read(int8_t* aOut, int aMax, int aWaitMs) override;

    size_t Capacity() const { return fBuffer.size(); }
    size_t Size() const;

  private:
    mutable std::mutex fLock;
    std::condition_variable fSpace, fData;
    std::vector<int8_t> fBuffer;
    size_t fHead = 0;  // index of the oldest value
    size_t fCount = 0; // values held
    bool fClosed = false, fCancelled = false;
};
