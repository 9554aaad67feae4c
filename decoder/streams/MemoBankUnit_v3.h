// Pool of fixed-size memory pages shared by the paged streams.
#pragma once

#include "platform/Threads.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

// Hands out pages of BufferSize bytes and takes them back. Free pages are reused first in, first
// out; at most UnTerminatedLimit of them are kept (more when a caller insists with NoFreeMem).
// A fresh page is allocated only while the system has more than three pages' worth of physical
// memory free. Pages are not cleared. The pool does not track pages handed out: their holders
// return them before the pool is destroyed.
class TMemoBank {
  public:
    // Allocates aUnTerminatedLimit pages up front (as many as memory allows).
    TMemoBank(int32_t aBufferSize, std::string aMaster, uint16_t aUnTerminatedLimit);
    ~TMemoBank();
    TMemoBank(const TMemoBank&) = delete;
    TMemoBank& operator=(const TMemoBank&) = delete;

    // A page, or nullptr when none can be had (low memory or allocation failure).
    uint8_t* GetBuffer();
    // Takes a page back; nullptr is ignored. The page is kept for reuse while fewer than
    // UnTerminatedLimit pages are free, or always when aNoFreeMem is true; otherwise freed.
    void Retrieve(uint8_t* p, bool aNoFreeMem);

    // Pages handed out and not yet returned.
    int32_t BufferCount() const { return fBufferCount.load(); }
    void SetBufferCount(int32_t aValue) { fBufferCount.store(aValue); }
    // Free pages held for reuse.
    int FreeCount() const;

    const int32_t BufferSize;
    const uint16_t UnTerminatedLimit;
    const std::string Master;

  private:
    uint8_t* NewBuffer();

    std::deque<uint8_t*> fFree;
    std::atomic<int32_t> fBufferCount{0};
    mutable TCriticalSection MemoBankCS;
};

// The one pool of the program: 1 MiB pages, "CommonBank", keeps up to 3 free pages.
// Created on first use, destroyed at program exit after every stream that used it.
TMemoBank& CommonBank();
